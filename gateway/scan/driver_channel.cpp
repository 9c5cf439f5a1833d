#include "scan/driver_channel.h"

#include <sys/stat.h>

#include "port_check.h"
#include "serial_device.h"

namespace westnet::gateway {
namespace {

PointAddress Word(int station, int reg) {
    PointAddress point{};
    point.station = station;
    point.reg = reg;
    point.bit = 255;
    point.kind = KIND_WORD;
    return point;
}

// Why the device did not open, as the system tells: what is wrong, then the
// evidence and what to do, on one line for the log.
std::string WhyNotOpen(const std::string& device, const LineParams& params) {
    const host::OpenFailure failure = host::DiagnoseOpen(device, params);
    std::string why = failure.summary;
    for (const std::string& detail : failure.details) {
        why += "; " + detail;
    }
    return why;
}

}  // namespace

int TimeoutTens(int timeoutMs) {
    return (timeoutMs + 9) / 10;
}

DriverChannel::DriverChannel(host::ZanMainFn zanMain, const LineConfig& line)
    : session_(zanMain), line_(line) {}

DriverChannel::~DriverChannel() {
    DriverChannel::Close();
}

bool DriverChannel::Open(std::string& why) {
    Close();
    // Resolved at every open: a link may lead elsewhere now, an adapter
    // plugged in again may have another name.
    const host::DriverDeviceName name = host::NameForDriver(line_.device);
    if (name.name.empty()) {
        why = name.error;
        return false;
    }
    LineParams params{};
    params.baudRate = static_cast<std::uint16_t>(line_.baud);
    params.dataBits = static_cast<std::uint16_t>(line_.dataBits);
    params.stopBits = static_cast<std::uint16_t>(line_.stopBitsCode);
    params.parity = static_cast<std::uint16_t>(line_.parityCode);
    // Nothing there to open (unplugged, a link whose target is gone): spare
    // the host library's open-failure message on every try.
    const std::string path = name.name == "NUL" || name.name.find('/') != std::string::npos
                                 ? name.name
                                 : "/dev/" + name.name;
    struct stat info {};
    if (name.name != "NUL" && stat(path.c_str(), &info) != 0) {
        why = WhyNotOpen(name.name, params);
        return false;
    }
    const std::int32_t result = session_.Open(name.name, TimeoutTens(line_.timeoutMs), params);
    if (result != ResOk) {
        why = WhyNotOpen(name.name, params) + " (driver result " + std::to_string(result) + ")";
        return false;
    }
    device_ = name.name;
    return true;
}

void DriverChannel::Close() {
    if (session_.IsOpen()) {
        session_.Close();
    }
}

int DriverChannel::SelectedStation() const {
    return session_.Channel().selectedStation;
}

std::int32_t DriverChannel::ReadWord(int station, int reg, std::uint16_t& value) {
    return session_.ReadPoint(Word(station, reg), value);
}

std::int32_t DriverChannel::ReadBlock(int station, int reg, int count,
                                      std::vector<std::uint16_t>& words) {
    return session_.ReadBlock(Word(station, reg), count, words);
}

std::int32_t DriverChannel::WriteWord(int station, int reg, std::uint16_t value) {
    return session_.WritePoint(Word(station, reg), value);
}

std::int32_t DriverChannel::WriteBit(int station, int reg, int bit, bool value) {
    PointAddress point = Word(station, reg);
    point.bit = bit;
    point.kind = KIND_BIT;
    return session_.WritePoint(point, value ? 1 : 0);
}

std::int32_t DriverChannel::WriteBlock(int station, int reg,
                                       const std::vector<std::uint16_t>& words) {
    return session_.WriteBlock(Word(station, reg), words);
}

}  // namespace westnet::gateway
