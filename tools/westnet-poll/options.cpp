#include "options.h"

#include "typed_value.h"

#include <westnet/westnet.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <map>

#include "address_rules.h"
#include "cli_args.h"

namespace westnet::poll {
namespace {

// Whole decimal number in [low, high]; no sign unless low is negative.
bool ParseInteger(const std::string& text, std::int64_t low, std::int64_t high,
                  std::int64_t& value) {
    if (text.empty() || text.size() > 18) {
        return false;
    }
    std::size_t i = 0;
    bool negative = false;
    if (text[0] == '-' || text[0] == '+') {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) {
        return false;
    }
    std::int64_t result = 0;
    for (; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
        result = result * 10 + (text[i] - '0');
    }
    if (negative) {
        result = -result;
    }
    if (result < low || result > high) {
        return false;
    }
    value = result;
    return true;
}

const std::map<std::string, Command>& Commands() {
    static const std::map<std::string, Command> kCommands = {
        {"info", Command::Info},
        {"parse", Command::Parse},
        {"read", Command::Read},
        {"write", Command::Write},
        {"read-block", Command::ReadBlock},
        {"write-block", Command::WriteBlock},
        {"poll", Command::Poll},
        {"line-check", Command::LineCheck},
    };
    return kCommands;
}

// The options that take a value, as --NAME VALUE or --NAME=VALUE.
constexpr const char* kWithValue[] = {
    "--driver", "--device", "--baud",     "--data-bits", "--stop-bits",  "--parity", "--timeout",
    "--kind",   "--words",  "--interval", "--count",     "--format",     "--rts",    "--dtr",
    "--log",    "--points", "--station",  "--type",      "--word-order",
};

// A refusal in our words, thrown from an option's callback.
struct Refusal {
    std::string text;
};

std::string Quote(const std::string& text) {
    return "\"" + text + "\"";
}

// A leading minus before a digit is a (negative) value, not an option.
bool LooksLikeOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-' && !std::isdigit(static_cast<unsigned char>(arg[1]));
}

// The option's name, without an inline value.
std::string OptionName(const std::string& arg) {
    return arg.substr(0, arg.find('='));
}

// CLI11 keeps options it does not know aside (allow_extras); the first of
// them ends the parse, before any fault that comes after it.
void RefuseUnknownSoFar(const CLI::App& app) {
    for (const std::string& arg : app.remaining()) {
        // CLI11 keeps the "--" that ends the options among them.
        if (arg != "--" && LooksLikeOption(arg)) {
            throw Refusal{"unknown option " + Quote(OptionName(arg))};
        }
    }
}

using cli::AddReversed;

// What CLI11 itself refuses: an option without its value (given last), or a
// value given to a switch (--hex=1), which has no value to take.
std::string CliErrorText(const CLI::ParseError& e) {
    const std::string what = e.what();
    std::string name = what.substr(0, what.find_first_of(": "));
    if (name.rfind('-', 0) != 0) {
        name = "--" + name;  // a flag override names the flag bare
    }
    if (what.find(" required ") != std::string::npos) {
        return name + " needs a value";
    }
    return "unknown option " + Quote(name);
}

// The words a value may be, for the message that refuses one.
std::string WordRange(const std::string& value, bool allowNegative) {
    if (allowNegative) {
        return "(-32768 to 65535 or 0x0000 to 0xFFFF)";
    }
    if (!value.empty() && value[0] == '-') {
        return "(0 to 65535 or 0x0000 to 0xFFFF; give --signed to write a negative value as "
               "its two's complement)";
    }
    return "(0 to 65535 or 0x0000 to 0xFFFF)";
}

// Applies one option with its value; an error text, or empty.
std::string ApplyOption(const std::string& name, const std::string& value, Options& o) {
    std::int64_t number = 0;
    if (name == "--driver") {
        o.driverPath = value;
    } else if (name == "--device") {
        if (value.empty()) {
            return "--device needs a device name";
        }
        o.device = value;
    } else if (name == "--type") {
        values::Type type{};
        if (!values::ParseType(value, type) || type == values::Type::Bool) {
            return "--type takes uint16, int16, uint32, int32, float32 or bcd16, not " +
                   Quote(value);
        }
        o.valueType = type;
    } else if (name == "--word-order") {
        values::WordOrder order{};
        if (!values::ParseWordOrder(value, order)) {
            return "--word-order takes low-first or high-first, not " + Quote(value);
        }
        o.wordOrder = order;
    } else if (name == "--baud") {
        if (!ParseInteger(value, 1, 65535, number)) {
            return "--baud takes 1 to 65535 (the driver's line record holds 16 bits), not " +
                   Quote(value);
        }
        o.baud = static_cast<std::uint16_t>(number);
    } else if (name == "--data-bits") {
        if (!ParseInteger(value, 5, 8, number)) {
            return "--data-bits takes 5 to 8, not " + Quote(value);
        }
        o.dataBits = static_cast<std::uint16_t>(number);
    } else if (name == "--stop-bits") {
        if (value == "1") {
            o.stopBitsCode = 0;
        } else if (value == "1.5") {
            o.stopBitsCode = 1;
        } else if (value == "2") {
            o.stopBitsCode = 2;
        } else {
            return "--stop-bits takes 1, 1.5 or 2, not " + Quote(value);
        }
    } else if (name == "--parity") {
        static const char* const kParities[] = {"none", "odd", "even", "mark", "space"};
        bool found = false;
        for (std::uint16_t code = 0; code < 5; ++code) {
            if (value == kParities[code]) {
                o.parityCode = code;
                found = true;
            }
        }
        if (!found) {
            return "--parity takes none, odd, even, mark or space, not " + Quote(value);
        }
    } else if (name == "--timeout") {
        if (!ParseInteger(value, 1, 600000, number)) {
            return "--timeout takes 1 to 600000 milliseconds, not " + Quote(value);
        }
        o.timeoutTens = TimeoutToTens(number);
    } else if (name == "--kind") {
        if (value == "auto") {
            o.kind = KindChoice::Auto;
        } else if (value == "word") {
            o.kind = KindChoice::Word;
        } else if (value == "bit") {
            o.kind = KindChoice::Bit;
        } else {
            return "--kind takes auto, word or bit, not " + Quote(value);
        }
    } else if (name == "--words") {
        if (!ParseInteger(value, 1, 65535, number)) {
            return "--words takes a word count of 1 or more, not " + Quote(value);
        }
        o.parseWords = static_cast<std::int32_t>(number);
    } else if (name == "--interval") {
        if (!ParseInteger(value, 0, 3600000, number)) {
            return "--interval takes 0 to 3600000 milliseconds, not " + Quote(value);
        }
        o.intervalMs = static_cast<std::int32_t>(number);
    } else if (name == "--count") {
        if (!ParseInteger(value, 0, 1000000000, number)) {
            return "--count takes a number of rounds (0 = until interrupted), not " + Quote(value);
        }
        o.rounds = number;
    } else if (name == "--rts") {
        static const std::pair<const char*, std::uint16_t> kModes[] = {
            {"on", WESTNET_RTS_ON & 0x00FF},
            {"off", 0},
            {"toggle", WESTNET_RTS_TOGGLE},
            {"handshake", WESTNET_RTS_HANDSHAKE}};
        for (const auto& [mode, flags] : kModes) {
            if (value == mode) {
                o.rtsFlags = flags;
            }
        }
        if (!o.rtsFlags) {
            return "--rts takes on, off, toggle or handshake, not " + Quote(value);
        }
    } else if (name == "--dtr") {
        static const std::pair<const char*, std::uint16_t> kModes[] = {
            {"on", WESTNET_DTR_ON & 0x00FF}, {"off", 0}, {"handshake", WESTNET_DTR_HANDSHAKE}};
        for (const auto& [mode, flags] : kModes) {
            if (value == mode) {
                o.dtrFlags = flags;
            }
        }
        if (!o.dtrFlags) {
            return "--dtr takes on, off or handshake, not " + Quote(value);
        }
    } else if (name == "--log") {
        if (value.empty()) {
            return "--log needs a file name";
        }
        o.logPath = value;
    } else if (name == "--points") {
        if (value.empty()) {
            return "--points needs a file name";
        }
        o.pointsFile = value;
    } else if (name == "--station") {
        if (!ParseInteger(value, 0, 99, number)) {
            return "--station takes a station number 0 to 99, not " + Quote(value);
        }
        o.stations.push_back(static_cast<std::int32_t>(number));
    } else if (name == "--format") {
        if (value == "table") {
            o.format = Format::Table;
        } else if (value == "csv") {
            o.format = Format::Csv;
        } else if (value == "json") {
            o.format = Format::Json;
        } else {
            return "--format takes table, csv or json, not " + Quote(value);
        }
    }
    return {};
}

// The command's own arguments; an error text, or empty.
std::string TakeArguments(const std::vector<std::string>& args, Options& o) {
    switch (o.command) {
        case Command::None:
            return "no command given";
        case Command::Info:
            if (!args.empty()) {
                return "this command takes no arguments, but got " + Quote(args[0]);
            }
            return {};
        case Command::LineCheck:
            for (const std::string& address : args) {
                o.points.push_back({address, 0});
            }
            return {};
        case Command::Parse:
        case Command::Read:
        case Command::Poll:
            if (args.empty()) {
                return "give at least one point address";
            }
            for (const std::string& address : args) {
                o.points.push_back({address, 0});
            }
            return {};
        case Command::Write:
            if (args.empty()) {
                return "give at least one ADDRESS=VALUE";
            }
            for (const std::string& arg : args) {
                const std::size_t equals = arg.rfind('=');
                if (equals == std::string::npos) {
                    return "write takes ADDRESS=VALUE, but got " + Quote(arg);
                }
                PointArg point{arg.substr(0, equals), 0};
                const std::string value = arg.substr(equals + 1);
                if (!ParseWordValue(value, point.value, o.view.isSigned)) {
                    return "the value in " + Quote(arg) + " is not a 16-bit word " +
                           WordRange(value, o.view.isSigned);
                }
                if (IsBitPoint(point.address, o.kind) && point.value > 1) {
                    return Quote(point.address) + " is a bit point: its value is 0 or 1, not " +
                           value;
                }
                o.points.push_back(point);
            }
            return {};
        case Command::ReadBlock: {
            if (args.size() != 2) {
                return "read-block takes ADDRESS COUNT";
            }
            std::int64_t count = 0;
            if (!ParseInteger(args[1], 1, 65535, count)) {
                return "the block count is a number of words, 1 or more, not " + Quote(args[1]);
            }
            o.points.push_back({args[0], 0});
            o.blockCount = static_cast<std::int32_t>(count);
            return {};
        }
        case Command::WriteBlock:
            if (args.size() < 2) {
                return "write-block takes ADDRESS V1 [V2...]";
            }
            o.points.push_back({args[0], 0});
            for (std::size_t i = 1; i < args.size(); ++i) {
                std::uint16_t value = 0;
                if (!ParseWordValue(args[i], value, o.view.isSigned)) {
                    return "block value " + Quote(args[i]) + " is not a 16-bit word " +
                           WordRange(args[i], o.view.isSigned);
                }
                o.blockValues.push_back(value);
            }
            o.blockCount = static_cast<std::int32_t>(o.blockValues.size());
            return {};
    }
    return {};
}

bool NeedsLine(Command command) {
    return command != Command::Info && command != Command::Parse && command != Command::None;
}

}  // namespace

bool IsBitPoint(const std::string& address, KindChoice kind) {
    switch (kind) {
        case KindChoice::Word:
            return false;
        case KindChoice::Bit:
            return true;
        case KindChoice::Auto:
            break;
    }
    return LooksLikeBitPoint(address);
}

std::int32_t TimeoutToTens(std::int64_t ms) {
    if (ms <= 0) {
        return 1;
    }
    return static_cast<std::int32_t>((ms + 9) / 10);
}

bool ParseWordValue(const std::string& text, std::uint16_t& value, bool allowNegative) {
    std::int64_t number = 0;
    if (allowNegative && text.size() > 1 && text[0] == '-') {
        if (!ParseInteger(text, -32768, 0, number)) {
            return false;
        }
        value = static_cast<std::uint16_t>(number + 65536);
        return true;
    }
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        if (text.size() > 6) {
            return false;
        }
        for (std::size_t i = 2; i < text.size(); ++i) {
            const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
            int digit = 0;
            if (c >= '0' && c <= '9') {
                digit = c - '0';
            } else if (c >= 'a' && c <= 'f') {
                digit = c - 'a' + 10;
            } else {
                return false;
            }
            number = number * 16 + digit;
        }
    } else if (text.empty() || text[0] == '+' || text[0] == '-' ||
               !ParseInteger(text, 0, 65535, number)) {
        return false;
    }
    value = static_cast<std::uint16_t>(number);
    return true;
}

ParseOutcome ParseCommandLine(const std::vector<std::string>& args) {
    ParseOutcome outcome;
    Options& o = outcome.options;
    CLI::App app{"", "westnet-poll"};
    // Help, unknown options and every refusal are ours to word (usage.h
    // documents them), so CLI11 only finds the options and their values.
    app.set_help_flag();
    app.allow_extras();
    std::vector<std::string> positional;
    app.add_option("arguments", positional);
    app.add_flag("-h,--help", o.help);
    app.add_flag("--version", o.version);
    const std::pair<const char*, bool*> kSwitches[] = {{"--hex", &o.view.hex},
                                                       {"--binary", &o.view.binary},
                                                       {"--signed", &o.view.isSigned},
                                                       {"--changes", &o.changes}};
    for (const auto& [name, flag] : kSwitches) {
        app.add_flag_callback(name,
                              [&o, &app, name = name, flag = flag] {
                                  RefuseUnknownSoFar(app);
                                  *flag = true;
                                  o.given.emplace_back(name);
                              })
            ->disable_flag_override()
            ->trigger_on_parse();
    }
    // Each value is applied as it is met, so that the first fault on the
    // command line is the one reported, as with the unknown options before it.
    for (const char* name : kWithValue) {
        app.add_option_function<std::string>(name,
                                             [&o, &app, name](const std::string& value) {
                                                 RefuseUnknownSoFar(app);
                                                 std::string error = ApplyOption(name, value, o);
                                                 if (!error.empty()) {
                                                     throw Refusal{std::move(error)};
                                                 }
                                                 o.given.emplace_back(name);
                                             })
            ->trigger_on_parse();
    }
    try {
        std::vector<std::string> reversed;
        for (auto arg = args.rbegin(); arg != args.rend(); ++arg) {
            AddReversed(reversed, *arg);
        }
        app.parse(reversed);
        RefuseUnknownSoFar(app);
    } catch (const Refusal& refusal) {
        outcome.error = refusal.text;
        return outcome;
    } catch (const CLI::ParseError& e) {
        outcome.error = CliErrorText(e);
        return outcome;
    }
    if (o.help || o.version) {
        outcome.ok = true;
        return outcome;
    }
    if (positional.empty()) {
        outcome.error = "no command given";
        return outcome;
    }
    const auto found = Commands().find(positional[0]);
    if (found == Commands().end()) {
        outcome.error = "unknown command " + Quote(positional[0]);
        return outcome;
    }
    o.command = found->second;
    positional.erase(positional.begin());
    o.arguments = std::move(positional);
    if (o.view.hex && o.view.binary) {
        outcome.error = "--hex and --binary: choose one view of the values";
        return outcome;
    }
    if (o.pointsFile.empty()) {
        std::string error = TakeArguments(o.arguments, o);
        if (!error.empty()) {
            outcome.error = std::move(error);
            return outcome;
        }
    }
    if (NeedsLine(o.command) && o.device.empty()) {
        outcome.error = "this command talks to a line: give --device";
        return outcome;
    }
    outcome.ok = true;
    return outcome;
}

}  // namespace westnet::poll

namespace westnet::poll {

std::vector<std::string> PointsFileLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        start = end + 1;
        line = line.substr(0, line.find('#'));
        const std::size_t first = line.find_first_not_of(" \t\r");
        if (first == std::string::npos) {
            continue;
        }
        line = line.substr(first, line.find_last_not_of(" \t\r") - first + 1);
        lines.push_back(line);
    }
    return lines;
}

std::string CompleteArguments(Options& options, const std::vector<std::string>& fileLines) {
    std::vector<std::string> all = options.arguments;
    all.insert(all.end(), fileLines.begin(), fileLines.end());
    return TakeArguments(all, options);
}

std::vector<std::string> IgnoredOptions(const Options& options) {
    using C = Command;
    struct Use {
        const char* option;
        std::vector<Command> commands;
        const char* where;
    };
    const std::vector<Command> line = {C::Read,       C::Write, C::ReadBlock,
                                       C::WriteBlock, C::Poll,  C::LineCheck};
    const std::vector<Command> values = {C::Read, C::Write, C::ReadBlock, C::WriteBlock, C::Poll};
    const std::vector<Command> addresses = {C::Parse, C::Read, C::Write, C::Poll, C::LineCheck};
    const Use uses[] = {
        {"--device", line, "the commands that talk to a line"},
        {"--baud", line, "the commands that talk to a line"},
        {"--data-bits", line, "the commands that talk to a line"},
        {"--stop-bits", line, "the commands that talk to a line"},
        {"--parity", line, "the commands that talk to a line"},
        {"--timeout", line, "the commands that talk to a line"},
        {"--rts", line, "the commands that talk to a line"},
        {"--dtr", line, "the commands that talk to a line"},
        {"--kind", addresses, "parse, read, write, poll and line-check"},
        {"--points", addresses, "parse, read, write, poll and line-check"},
        {"--words", {C::Parse}, "parse"},
        {"--interval", {C::Poll}, "poll"},
        {"--count", {C::Poll, C::LineCheck}, "poll and line-check"},
        {"--changes", {C::Poll}, "poll"},
        {"--log", {C::Poll}, "poll"},
        {"--station", {C::LineCheck}, "line-check"},
        {"--hex", values, "the commands that show values"},
        {"--binary", values, "the commands that show values"},
        {"--signed", values, "the commands that show values"},
        {"--type", {C::Read}, "read"},
        {"--word-order", {C::Read}, "read"},
    };
    std::vector<std::string> warnings;
    std::vector<std::string> warned;
    for (const std::string& given : options.given) {
        for (const Use& use : uses) {
            if (given != use.option ||
                std::find(use.commands.begin(), use.commands.end(), options.command) !=
                    use.commands.end() ||
                std::find(warned.begin(), warned.end(), given) != warned.end()) {
                continue;
            }
            warned.push_back(given);
            warnings.push_back(given +
                               " does not apply to this command and is ignored (it is for " +
                               use.where + ")");
        }
    }
    if (HasOwnControlFlags(options) && options.timeoutTens) {
        warnings.emplace_back(
            "--timeout cannot apply with --rts or --dtr: the port is then opened from the "
            "channel record (CmdReopen), which runs the driver's default reply time-out of 1 s");
    }
    return warnings;
}

std::uint16_t ControlFlagsFor(const Options& options) {
    constexpr std::uint16_t kRtsOn = WESTNET_RTS_ON & 0x00FF;
    return static_cast<std::uint16_t>(options.rtsFlags.value_or(kRtsOn) |
                                      options.dtrFlags.value_or(0));
}

bool HasOwnControlFlags(const Options& options) {
    return ControlFlagsFor(options) != (WESTNET_RTS_ON & 0x00FF);
}

}  // namespace westnet::poll
