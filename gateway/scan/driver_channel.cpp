#include "scan/driver_channel.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "system.h"

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

}  // namespace

int TimeoutTens(int timeoutMs) {
    return (timeoutMs + 9) / 10;
}

std::string DriverDeviceName(const std::string& path, std::string& why) {
    std::string device = host::DeviceForSystem(path);
    if (device.size() <= host::kDeviceNameMax) {
        return device;
    }
    // A long path (a by-id link, a link in a deep folder) names a device
    // whose own path is usually short: /dev/ttyUSB0, /dev/pts/3.
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        why = OpenFailureReason(path);
        return "";
    }
    std::string real = resolved;
    if (real.size() <= host::kDeviceNameMax) {
        return real;
    }
    why = "\"" + path + "\" resolves to \"" + real + "\", longer than the driver's " +
          std::to_string(host::kDeviceNameMax) +
          " characters: make a shorter link to it (e.g. with a udev rule) and name that";
    return "";
}

std::string OpenFailureReason(const std::string& path) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        return errno == ENOENT ? "no such device (unplugged, or a link whose target is gone)"
                               : std::string(std::strerror(errno));
    }
    if (!S_ISCHR(info.st_mode)) {
        return "not a serial device";
    }
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        return "permission denied (the gateway's user needs the dialout group)";
    }
    return "the device refused the open or its line settings (held by another program?)";
}

DriverChannel::DriverChannel(host::ZanMainFn zanMain, const LineConfig& line)
    : session_(zanMain), line_(line) {}

DriverChannel::~DriverChannel() {
    DriverChannel::Close();
}

bool DriverChannel::Open(std::string& why) {
    Close();
    // Resolved at every open: a link may point elsewhere now.
    const std::string name = DriverDeviceName(line_.device, why);
    if (name.empty()) {
        return false;
    }
    // Nothing to open: spare the host library's open-failure message.
    struct stat info {};
    if (stat(name.c_str(), &info) != 0) {
        why = OpenFailureReason(name);
        return false;
    }
    LineParams params{};
    params.baudRate = static_cast<std::uint16_t>(line_.baud);
    params.dataBits = static_cast<std::uint16_t>(line_.dataBits);
    params.stopBits = static_cast<std::uint16_t>(line_.stopBitsCode);
    params.parity = static_cast<std::uint16_t>(line_.parityCode);
    const std::int32_t result = session_.Open(name, TimeoutTens(line_.timeoutMs), params);
    if (result != ResOk) {
        why = OpenFailureReason(name) + " (driver result " + std::to_string(result) + ")";
        return false;
    }
    device_ = name;
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
