#include "session.h"

#include <algorithm>
#include <cstring>

namespace westnet::host {
namespace {

constexpr std::int32_t kBitDataType = WESTNET_DATA_TYPE_BIT;
constexpr std::int32_t kWordDataType = 0;

// A name field: the text and its terminator, the rest zero. The caller has
// made sure the text fits.
void CopyDevice(char (&field)[WESTNET_DEVICE_SIZE], const std::string& device) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, device.data(), std::min(device.size(), sizeof field - 1));
}

}  // namespace

Session::Session(ZanMainFn zanMain) : zanMain_(zanMain) {}

std::int32_t Session::Call(std::int32_t command, void* params) {
    DriverRequest request{};
    request.channel = &channel_;
    request.command = command;
    request.params = params;
    return zanMain_(&request);
}

InfoView Session::GetInfo() {
    InfoView view;
    view.result = Call(CmdGetInfo, &view.record);
    if (view.result == ResOk) {
        if (view.record.name != nullptr) {
            view.name = view.record.name;
        }
        if (view.record.banner != nullptr) {
            view.banner = view.record.banner;
        }
    }
    return view;
}

ParsedPoint Session::Parse(const std::string& text, bool bitPoint, std::int32_t words) {
    // The driver reads exactly 12 bytes of the text; the rest stays NUL.
    char field[16] = {};
    std::copy_n(text.begin(), std::min<std::size_t>(text.size(), sizeof field - 4), field);
    ParsedPoint parsed;
    parsed.record.text = field;
    parsed.record.dataType = bitPoint ? kBitDataType : kWordDataType;
    parsed.record.count = words;
    parsed.result = Call(words > 0 ? CmdParseBlock : CmdParsePoint, &parsed.record);
    parsed.record.text = nullptr;  // the field ends with this call
    return parsed;
}

std::int32_t Session::Open(const std::string& device, std::int32_t timeoutTens,
                           const LineParams& line) {
    OpenParams params{};
    CopyDevice(params.device, device);
    params.enabled = 1;
    params.replyTimeout = timeoutTens;
    params.line = line;
    return Call(CmdOpen, &params);
}

void Session::StoreSettings(const std::string& device, const LineParams& line, ControlFlags flags) {
    CopyDevice(channel_.settings.device, device);
    channel_.settings.line = line;
    channel_.settings.controlFlags = flags;
    channel_.selectedStation = STATION_NONE;
}

std::int32_t Session::Purge() {
    return Call(CmdPurge, nullptr);
}

std::int32_t Session::Close() {
    return Call(CmdClose, nullptr);
}

std::int32_t Session::Shutdown() {
    return Call(CmdShutdown, nullptr);
}

std::int32_t Session::Reopen() {
    return Call(CmdReopen, nullptr);
}

std::int32_t Session::Reconfigure(const std::string& device, std::int32_t timeoutTens,
                                  const LineParams& line) {
    ReconfigureParams params{};
    CopyDevice(params.device, device);
    params.replyTimeout = timeoutTens;
    params.line = line;
    return Call(CmdReconfigure, &params);
}

PointIo Session::IoFor(const PointAddress& point, void* values) {
    PointIo io{};
    io.station = point.station;
    io.reg = point.reg;
    io.bit = point.bit;
    io.kind = point.kind;
    io.values = values;
    return io;
}

// A single value travels at byte offset 2 of the value buffer.
std::int32_t Session::ReadPoint(const PointAddress& point, std::uint16_t& value) {
    unsigned char buffer[4] = {};
    PointIo io = IoFor(point, buffer);
    const std::int32_t result = Call(CmdReadPoint, &io);
    if (result == ResOk) {
        value = static_cast<std::uint16_t>(buffer[2] | (buffer[3] << 8));
    }
    return result;
}

std::int32_t Session::WritePoint(const PointAddress& point, std::uint16_t value) {
    unsigned char buffer[4] = {0, 0, static_cast<unsigned char>(value & 0xFF),
                               static_cast<unsigned char>(value >> 8)};
    PointIo io = IoFor(point, buffer);
    return Call(CmdWritePoint, &io);
}

// A block starts at byte offset 0, word i at byte 2i, low byte first.
std::int32_t Session::ReadBlock(const PointAddress& point, std::int32_t count,
                                std::vector<std::uint16_t>& values) {
    std::vector<unsigned char> buffer(2 * static_cast<std::size_t>(count > 0 ? count : 0));
    PointIo io = IoFor(point, buffer.data());
    io.count = count;
    const std::int32_t result = Call(CmdReadBlock, &io);
    if (result == ResOk) {
        values.clear();
        for (std::size_t i = 0; i + 1 < buffer.size(); i += 2) {
            values.push_back(static_cast<std::uint16_t>(buffer[i] | (buffer[i + 1] << 8)));
        }
    }
    return result;
}

std::int32_t Session::WriteBlock(const PointAddress& point,
                                 const std::vector<std::uint16_t>& values) {
    std::vector<unsigned char> buffer;
    for (const std::uint16_t value : values) {
        buffer.push_back(static_cast<unsigned char>(value & 0xFF));
        buffer.push_back(static_cast<unsigned char>(value >> 8));
    }
    PointIo io = IoFor(point, buffer.data());
    io.count = static_cast<std::int32_t>(values.size());
    return Call(CmdWriteBlock, &io);
}

}  // namespace westnet::host
