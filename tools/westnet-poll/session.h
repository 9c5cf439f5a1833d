// The poller as the driver's host: it owns the channel record and every
// parameter block, fills them as the host does and calls nothing but ZanMain.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "entry/records.h"

namespace westnet::poll {

// ZanMain as exported: WESTNET_STDCALL is the Windows API convention on the
// 32-bit build and empty where that convention does not exist.
using ZanMainFn = std::int32_t(WESTNET_STDCALL*)(DriverRequest*);

// The command codes of the driver's table.
constexpr std::int32_t kCmdOpen = 1;
constexpr std::int32_t kCmdPurge = 2;
constexpr std::int32_t kCmdParsePoint = 3;
constexpr std::int32_t kCmdParseBlock = 4;
constexpr std::int32_t kCmdReadPoint = 5;
constexpr std::int32_t kCmdReadBlock = 6;
constexpr std::int32_t kCmdWritePoint = 7;
constexpr std::int32_t kCmdWriteBlock = 10;
constexpr std::int32_t kCmdShutdown = 11;
constexpr std::int32_t kCmdClose = 12;
constexpr std::int32_t kCmdReopen = 13;
constexpr std::int32_t kCmdGetInfo = 14;
constexpr std::int32_t kCmdReconfigure = 15;

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

}  // namespace westnet::poll
