// The host side of ZanMain: a channel session that owns the channel record
// and every parameter block, fills them as the host does and calls nothing but
// ZanMain. The records, command and result codes are the public header's, the
// one definition of them outside the driver.
#pragma once

#include <westnet/westnet.h>

#include <cstdint>
#include <string>
#include <vector>

namespace westnet::host {

// ZanMain as exported: __stdcall on the 32-bit DLL (WESTNET_CALL).
using ZanMainFn = std::int32_t(WESTNET_CALL*)(DriverRequest*);

// The device field of the host's records holds this many characters.
constexpr std::size_t kDeviceNameMax = WESTNET_DEVICE_SIZE - 1;

// What CmdGetInfo told, copied out of the driver's record.
struct InfoView {
    std::int32_t result = 0;
    DriverInfo record{};
    std::string name;
    std::string banner;  // code page 437
};

// A point as the parse commands decoded it.
struct ParsedPoint {
    std::int32_t result = ResBad;
    PointAddress record{};
};

// One channel. Calls for one session must not overlap (the driver guards
// nothing in a channel record); parse commands must not overlap at all.
class Session {
public:
    explicit Session(ZanMainFn zanMain);

    InfoView GetInfo();
    // CmdParsePoint, or CmdParseBlock when `words` > 0. The host's data type
    // marks a bit point with 6; 0 stands for any word type.
    ParsedPoint Parse(const std::string& text, bool bitPoint, std::int32_t words = 0);

    // `device` must fit the 12-byte name field with its terminator.
    std::int32_t Open(const std::string& device, std::int32_t timeoutTens, const LineParams& line);
    std::int32_t Purge();
    std::int32_t Close();
    std::int32_t Shutdown();
    std::int32_t Reopen();
    std::int32_t Reconfigure(const std::string& device, std::int32_t timeoutTens,
                             const LineParams& line);
    bool IsOpen() const { return channel_.port != 0; }
    // Fills the stored settings as CmdOpen would have, with the host's own
    // control flags, and forgets the selected station, so that CmdReopen
    // opens the port with these flags and selects before the first exchange.
    // CmdReopen leaves the port on the driver's default reply time-out (1 s).
    void StoreSettings(const std::string& device, const LineParams& line, ControlFlags flags);
    // The next read or write selects its station again, with a frame of its
    // own (station 0 excepted, which is never selected).
    void ForgetSelection() { channel_.selectedStation = STATION_NONE; }

    std::int32_t ReadPoint(const PointAddress& point, std::uint16_t& value);
    std::int32_t WritePoint(const PointAddress& point, std::uint16_t value);
    std::int32_t ReadBlock(const PointAddress& point, std::int32_t count,
                           std::vector<std::uint16_t>& values);
    std::int32_t WriteBlock(const PointAddress& point, const std::vector<std::uint16_t>& values);

    const ChannelState& Channel() const { return channel_; }

private:
    std::int32_t Call(std::int32_t command, void* params);
    static PointIo IoFor(const PointAddress& point, void* values);

    ZanMainFn zanMain_;
    ChannelState channel_{};
};

}  // namespace westnet::host
