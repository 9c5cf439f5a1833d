// The command line of westnet-poll: what to do, on which line, how to show it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "typed_value.h"

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

// How values are shown in tables and CSV; JSON always carries the number.
struct ValueView {
    bool hex = false;
    bool binary = false;
    bool isSigned = false;  // a word as -32768 to 32767
};

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

    // Control flags for the channel record (the WESTNET_RTS_* and
    // WESTNET_DTR_* masks); unset: what CmdOpen stores, RTS on and DTR off.
    std::optional<std::uint16_t> rtsFlags;
    std::optional<std::uint16_t> dtrFlags;

    KindChoice kind = KindChoice::Auto;
    std::int32_t parseWords = 0;  // parse: 0 = single points
    std::int32_t intervalMs = 1000;
    std::int64_t rounds = 0;  // poll: 0 = until interrupted; line-check: samples per station
    Format format = Format::Table;
    ValueView view;
    // read --type: each address is the first register of a value of that
    // type (two registers for the 32-bit ones, in --word-order), decoded as
    // the gateway decodes it.
    std::optional<values::Type> valueType;
    values::WordOrder wordOrder = values::WordOrder::LowFirst;
    bool changes = false;                // poll: only rows whose value or result changed
    std::string logPath;                 // poll: rows appended as CSV or JSON Lines
    std::string pointsFile;              // more arguments, one a line
    std::vector<std::int32_t> stations;  // line-check: stations to measure

    std::vector<std::string> given;      // the options as named on the command line
    std::vector<std::string> arguments;  // the command's own arguments, as given
    std::vector<PointArg> points;        // read, write, parse, poll, line-check; block: the first
    std::int32_t blockCount = 0;         // read-block
    std::vector<std::uint16_t> blockValues;  // write-block
};

struct ParseOutcome {
    bool ok = false;
    std::string error;  // for the usage message when !ok
    Options options;
};

// Parses the options and the command. With --points the command's arguments
// are taken only once the file's lines are known: see CompleteArguments.
ParseOutcome ParseCommandLine(const std::vector<std::string>& args);

// The lines of a --points file that hold arguments: blanks at either end and
// everything from a '#' on are dropped, and so are the lines left empty.
std::vector<std::string> PointsFileLines(const std::string& text);

// Takes the command's arguments, the file's lines after those on the command
// line; an error text, or empty.
std::string CompleteArguments(Options& options, const std::vector<std::string>& fileLines);

// Warnings for options that the command does not use.
std::vector<std::string> IgnoredOptions(const Options& options);

// The control flags the run opens the port with, and whether they differ
// from what CmdOpen stores (RTS on, DTR off).
std::uint16_t ControlFlagsFor(const Options& options);
bool HasOwnControlFlags(const Options& options);

// Whether an address is taken as a bit point (the host's data type 6).
bool IsBitPoint(const std::string& address, KindChoice kind);

// Milliseconds to the driver's tens of milliseconds, rounded up.
std::int32_t TimeoutToTens(std::int64_t ms);

// A 16-bit value: decimal 0 to 65535 or hexadecimal 0x0 to 0xFFFF; with
// `allowNegative` also -32768 to -1, as the word of the same bits.
bool ParseWordValue(const std::string& text, std::uint16_t& value, bool allowNegative = false);

}  // namespace westnet::poll
