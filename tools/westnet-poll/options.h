// The command line of westnet-poll: what to do, on which line, how to show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace westnet::poll {

// Exit statuses (documented in usage.h).
constexpr int kExitOk = 0;
constexpr int kExitUsage = 2;
constexpr int kExitRefused = 3;
constexpr int kExitLineFailure = 4;
constexpr int kExitNoDriver = 5;

enum class Command { None, Info, Parse, Read, Write, ReadBlock, WriteBlock, Poll, LineCheck };
enum class Format { Table, Csv, Json };
enum class KindChoice { Auto, Word, Bit };

// One "ADDRESS=VALUE" of write, or one address of read and poll.
struct PointArg {
    std::string address;
    std::uint16_t value = 0;
};

struct Options {
    Command command = Command::None;
    bool help = false;
    bool version = false;

    std::string driverPath;  // empty: next to the executable
    std::string device;
    // Line settings the user gave; unset ones come from the driver.
    std::optional<std::uint16_t> baud;
    std::optional<std::uint16_t> dataBits;
    std::optional<std::uint16_t> stopBitsCode;  // 0 one, 1 one and a half, 2 two
    std::optional<std::uint16_t> parityCode;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<std::int32_t> timeoutTens;    // tens of milliseconds

    KindChoice kind = KindChoice::Auto;
    std::int32_t parseWords = 0;  // parse: 0 = single points
    std::int32_t intervalMs = 1000;
    std::int64_t rounds = 0;  // poll: 0 = until interrupted
    Format format = Format::Table;
    bool hex = false;

    std::vector<PointArg> points;            // read, write, parse, poll; block: the first address
    std::int32_t blockCount = 0;             // read-block
    std::vector<std::uint16_t> blockValues;  // write-block
};

struct ParseOutcome {
    bool ok = false;
    std::string error;  // for the usage message when !ok
    Options options;
};

ParseOutcome ParseCommandLine(const std::vector<std::string>& args);

// Whether an address is taken as a bit point (the host's data type 6).
bool IsBitPoint(const std::string& address, KindChoice kind);

// Milliseconds to the driver's tens of milliseconds, rounded up.
std::int32_t TimeoutToTens(std::int64_t ms);

// A 16-bit value: decimal 0 to 65535 or hexadecimal 0x0 to 0xFFFF.
bool ParseWordValue(const std::string& text, std::uint16_t& value);

}  // namespace westnet::poll
