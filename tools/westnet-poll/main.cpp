// westnet-poll: reads and writes points on a WestNet II Data HighWay line
// through the driver library, standing in for the supervisory host.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "address_rules.h"
#include "options.h"
#include "output.h"
#include "serial_device.h"
#include "session.h"
#include "stats.h"
#include "system.h"
#include "usage.h"

namespace westnet::poll {
namespace {

using host::InfoView;
using host::LoadDriver;
using host::LoadedDriver;
using host::ParsedPoint;
using host::Session;
using host::SleepMilliseconds;
using host::StderrIsTerminal;
using host::ZanMainFn;

constexpr char kProgram[] = "westnet-poll";

volatile std::sig_atomic_t gInterrupted = 0;

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void Complain(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

// The worst driver result of a run decides the exit status.
class Verdict {
public:
    void Note(std::int32_t result) {
        if (result == ResFail || (result != ResOk && result != ResBad)) {
            lineFailure_ = true;
        } else if (result == ResBad) {
            refused_ = true;
        }
    }
    void Refused() { refused_ = true; }
    int ExitStatus() const {
        if (lineFailure_) {
            return kExitLineFailure;
        }
        return refused_ ? kExitRefused : kExitOk;
    }

private:
    bool refused_ = false;
    bool lineFailure_ = false;
};

std::string ResultText(std::int32_t result) {
    switch (result) {
        case ResOk:
            return "ok";
        case ResBad:
            return "refused (1)";
        case ResFail:
            return "line failure (2)";
        default:
            return "code " + std::to_string(result);
    }
}

// What a failed exchange means, for the message on stderr.
std::string ExchangeFailure(std::int32_t result) {
    switch (result) {
        case ResBad:
            return "refused (driver result 1): the reply failed its checksum on the last "
                   "of the driver's attempts";
        case ResFail:
            return "line failure (driver result 2): no full reply within the time-out on the "
                   "last of the driver's attempts, or the request could not be written";
        default:
            return "driver result " + std::to_string(result);
    }
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

const char* StopBitsText(std::uint16_t code) {
    switch (code & 0xFF) {
        case 0:
            return "1";
        case 1:
            return "1.5";
        case 2:
            return "2";
        default:
            return "?";
    }
}

const char* ParityText(std::uint16_t code) {
    static const char* const kNames[] = {"none", "odd", "even", "mark", "space"};
    return (code & 0xFF) < 5 ? kNames[code & 0xFF] : "?";
}

// A point's address as written: station, register and, for a bit point,
// its bit number.
std::string AddressText(std::int32_t station, std::int64_t registerAsWritten) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d%05lld", static_cast<int>(station),
                  static_cast<long long>(registerAsWritten));
    return text;
}

class Tool {
public:
    Tool(const Options& options, ZanMainFn zanMain) : o_(options), session_(zanMain) {}

    int Run() {
        info_ = session_.GetInfo();
        if (info_.result != ResOk) {
            Complain("the driver refused its information record: " + ResultText(info_.result));
            verdict_.Note(info_.result);
            return verdict_.ExitStatus();
        }
        switch (o_.command) {
            case Command::Info:
                return Info();
            case Command::Parse:
                return ParseCommand();
            case Command::Read:
                return ReadCommand();
            case Command::Write:
                return WriteCommand();
            case Command::ReadBlock:
                return ReadBlockCommand();
            case Command::WriteBlock:
                return WriteBlockCommand();
            case Command::Poll:
                return PollCommand();
            case Command::LineCheck:
                return LineCheckCommand();
            case Command::None:
                break;
        }
        return kExitUsage;
    }

private:
    struct Point {
        std::string text;
        ParsedPoint parsed;
        std::uint16_t value = 0;  // write: what to write
    };

    // Parses through the driver; a rejection is explained on stderr.
    bool ParsePoint(const std::string& text, std::int32_t words, ParsedPoint& parsed) {
        const bool bit = IsBitPoint(text, o_.kind);
        const AddressVerdict model = CheckAddress(text, bit, words);
        if (text.size() > kAddressField) {
            // The driver would cut the text at 12 and maybe address another point.
            std::string message = "address \"" + text + "\" rejected by the poller:\n" +
                                  ExplainRejection(text, model);
            message.pop_back();
            Complain(message);
            verdict_.Refused();
            return false;
        }
        parsed = session_.Parse(text, bit, words);
        if (parsed.result == ResOk) {
            return true;
        }
        verdict_.Note(parsed.result);
        std::string what =
            words > 0 ? "block address \"" + text + "\" (" + std::to_string(words) + " words)"
                      : std::string(bit ? "bit" : "word") + " point address \"" + text + "\"";
        std::string message =
            what + " rejected (driver result " + std::to_string(parsed.result) + "):\n";
        if (!model.accepted) {
            message += ExplainRejection(text, model);
        } else {
            message +=
                "  the driver refused it, although it follows the address rules as the "
                "poller knows them\n";
        }
        message.pop_back();
        Complain(message);
        return false;
    }

    LineParams Line() const {
        LineParams line = info_.record.line;
        if (o_.baud) {
            line.baudRate = *o_.baud;
        }
        if (o_.dataBits) {
            line.dataBits = *o_.dataBits;
        }
        if (o_.stopBitsCode) {
            line.stopBits = *o_.stopBitsCode;
        }
        if (o_.parityCode) {
            line.parity = *o_.parityCode;
        }
        return line;
    }

    std::int32_t TimeoutTens() const {
        if (o_.timeoutTens) {
            return *o_.timeoutTens;
        }
        // The driver's suggestion sits where an open's reply time-out does.
        return info_.record.value16 > 0 ? info_.record.value16 : 100;
    }

    // Main() has put the name for the driver's device field here.
    std::string Device() const { return o_.device; }

    bool OpenLine() {
        const std::string device = Device();
        const std::int32_t result = session_.Open(device, TimeoutTens(), Line());
        if (result != ResOk) {
            verdict_.Note(result);
            Complain("cannot open " + device + " (driver result " + std::to_string(result) + ")");
            return false;
        }
        return true;
    }

    void CloseLine() {
        const std::int32_t result = session_.Close();
        if (result != ResOk) {
            verdict_.Note(result);
            Complain("closing " + Device() + " failed (driver result " + std::to_string(result) +
                     ")");
        }
    }

    Cell RegisterCell(const ParsedPoint& p) const {
        return Cell::Of(static_cast<std::int64_t>(p.record.reg) + 1);
    }

    Cell BitCell(const ParsedPoint& p) const {
        if (p.record.kind == KIND_BIT) {
            return Cell::Of(static_cast<std::int64_t>(p.record.bit) + 1);
        }
        return Cell::None();
    }

    int Info() {
        const DriverInfo& r = info_.record;
        const std::string banner = Cp437ToUtf8(info_.banner);
        std::vector<std::pair<std::string, Cell>> fields = {
            {"name", Cell::Of(info_.name)},
            {"banner_bytes", Cell::Of(static_cast<std::int64_t>(info_.banner.size()))},
            {"value_at_0", Cell::Of(static_cast<std::int64_t>(r.value0))},
            {"value_at_12", Cell::Of(static_cast<std::int64_t>(r.value12))},
            {"reply_timeout", Cell::Of(static_cast<std::int64_t>(r.value16))},
            {"reply_timeout_ms", Cell::Of(static_cast<std::int64_t>(r.value16) * 10)},
            {"baud", Cell::Of(static_cast<std::int64_t>(r.line.baudRate))},
            {"data_bits", Cell::Of(static_cast<std::int64_t>(r.line.dataBits))},
            {"stop_bits_code", Cell::Of(static_cast<std::int64_t>(r.line.stopBits))},
            {"stop_bits", Cell::Of(std::string(StopBitsText(r.line.stopBits)))},
            {"parity_code", Cell::Of(static_cast<std::int64_t>(r.line.parity))},
            {"parity", Cell::Of(std::string(ParityText(r.line.parity)))},
            {"value_at_28", Cell::Of(static_cast<std::int64_t>(r.value28))},
        };
        if (o_.format == Format::Table) {
            Print(RenderRecord(o_.format, fields) + "banner:" + banner);
        } else {
            fields.insert(fields.begin() + 1, {"banner", Cell::Of(banner)});
            Print(RenderRecord(o_.format, fields));
        }
        return verdict_.ExitStatus();
    }

    int ParseCommand() {
        std::vector<std::vector<Cell>> rows;
        for (const PointArg& arg : o_.points) {
            ParsedPoint parsed;
            if (!ParsePoint(arg.address, o_.parseWords, parsed)) {
                rows.push_back({Cell::Of(arg.address), Cell::Of(std::string("rejected")),
                                Cell::None(), Cell::None(), Cell::None(), Cell::None(),
                                Cell::None(), Cell::None(), Cell::None()});
                continue;
            }
            const PointAddress& r = parsed.record;
            rows.push_back({Cell::Of(arg.address), Cell::Of(std::string("ok")),
                            Cell::Of(static_cast<std::int64_t>(r.station)), RegisterCell(parsed),
                            Cell::Of(static_cast<std::int64_t>(r.reg)), BitCell(parsed),
                            Cell::Of(static_cast<std::int64_t>(r.bit)),
                            Cell::Of(std::string(r.kind == KIND_BIT ? "bit" : "word")),
                            Cell::Of(static_cast<std::int64_t>(r.kind))});
        }
        Print(RenderRows(o_.format,
                         {{"address"},
                          {"result"},
                          {"station"},
                          {"register"},
                          {"register0"},
                          {"bit"},
                          {"bit0"},
                          {"kind"},
                          {"kind_code"}},
                         rows));
        return verdict_.ExitStatus();
    }

    // Parses every point first; only accepted ones reach the line.
    std::vector<Point> ParsePoints() {
        std::vector<Point> points;
        for (const PointArg& arg : o_.points) {
            Point point{arg.address, {}, arg.value};
            if (ParsePoint(arg.address, 0, point.parsed)) {
                points.push_back(point);
            }
        }
        return points;
    }

    int ReadCommand() {
        std::vector<Point> points = ParsePoints();
        if (points.empty() || !OpenLine()) {
            return verdict_.ExitStatus();
        }
        std::vector<std::vector<Cell>> rows;
        for (const Point& point : points) {
            std::uint16_t value = 0;
            const std::int32_t result = session_.ReadPoint(point.parsed.record, value);
            verdict_.Note(result);
            if (result != ResOk) {
                Complain("read " + point.text + ": " + ExchangeFailure(result));
            }
            rows.push_back({Cell::Of(point.text),
                            Cell::Of(static_cast<std::int64_t>(point.parsed.record.station)),
                            RegisterCell(point.parsed), BitCell(point.parsed),
                            result == ResOk ? Cell::Word(value, o_.hex) : Cell::None(),
                            Cell::Of(ResultText(result))});
        }
        CloseLine();
        Print(RenderRows(o_.format,
                         {{"address"}, {"station"}, {"register"}, {"bit"}, {"value"}, {"result"}},
                         rows));
        return verdict_.ExitStatus();
    }

    int WriteCommand() {
        std::vector<Point> points = ParsePoints();
        if (points.empty() || !OpenLine()) {
            return verdict_.ExitStatus();
        }
        std::vector<std::vector<Cell>> rows;
        for (const Point& point : points) {
            const std::int32_t result = session_.WritePoint(point.parsed.record, point.value);
            verdict_.Note(result);
            if (result != ResOk) {
                Complain("write " + point.text + ": " + ExchangeFailure(result));
            }
            rows.push_back({Cell::Of(point.text),
                            Cell::Of(static_cast<std::int64_t>(point.parsed.record.station)),
                            RegisterCell(point.parsed), BitCell(point.parsed),
                            Cell::Word(point.value, o_.hex), Cell::Of(ResultText(result))});
        }
        CloseLine();
        Print(RenderRows(o_.format,
                         {{"address"}, {"station"}, {"register"}, {"bit"}, {"value"}, {"result"}},
                         rows));
        return verdict_.ExitStatus();
    }

    std::vector<std::vector<Cell>> BlockRows(const ParsedPoint& first,
                                             const std::vector<std::uint16_t>& values) const {
        std::vector<std::vector<Cell>> rows;
        for (std::size_t i = 0; i < values.size(); ++i) {
            const std::int64_t reg =
                static_cast<std::int64_t>(first.record.reg) + 1 + static_cast<std::int64_t>(i);
            rows.push_back({Cell::Of(AddressText(first.record.station, reg)),
                            Cell::Of(static_cast<std::int64_t>(i)), Cell::Of(reg),
                            Cell::Word(values[i], o_.hex)});
        }
        return rows;
    }

    int ReadBlockCommand() {
        const PointArg& arg = o_.points.front();
        ParsedPoint parsed;
        if (!ParsePoint(arg.address, o_.blockCount, parsed) || !OpenLine()) {
            return verdict_.ExitStatus();
        }
        std::vector<std::uint16_t> values;
        const std::int32_t result = session_.ReadBlock(parsed.record, o_.blockCount, values);
        verdict_.Note(result);
        CloseLine();
        if (result != ResOk) {
            Complain("read-block " + arg.address + " x" + std::to_string(o_.blockCount) + ": " +
                     ExchangeFailure(result));
            return verdict_.ExitStatus();
        }
        Print(RenderRows(o_.format, {{"address"}, {"index"}, {"register"}, {"value"}},
                         BlockRows(parsed, values)));
        return verdict_.ExitStatus();
    }

    int WriteBlockCommand() {
        const PointArg& arg = o_.points.front();
        ParsedPoint parsed;
        if (!ParsePoint(arg.address, o_.blockCount, parsed) || !OpenLine()) {
            return verdict_.ExitStatus();
        }
        const std::int32_t result = session_.WriteBlock(parsed.record, o_.blockValues);
        verdict_.Note(result);
        CloseLine();
        if (result != ResOk) {
            Complain("write-block " + arg.address + " x" + std::to_string(o_.blockCount) + ": " +
                     ExchangeFailure(result));
            return verdict_.ExitStatus();
        }
        Print(RenderRows(o_.format, {{"address"}, {"index"}, {"register"}, {"value"}},
                         BlockRows(parsed, o_.blockValues)));
        return verdict_.ExitStatus();
    }

    int PollCommand() {
        std::vector<Point> points = ParsePoints();
        if (points.empty() || !OpenLine()) {
            return verdict_.ExitStatus();
        }
        std::signal(SIGINT, OnInterrupt);
        const bool live = StderrIsTerminal();
        std::size_t liveWidth = 0;
        PollStats stats;
        // An endless run cannot close a JSON array: one object per line.
        Printer printer(o_.format,
                        {{"round", 5}, {"address", 9}, {"value", 6}, {"result", 16}, {"ms", 8}},
                        true);
        Print(printer.Begin());
        std::int64_t round = 0;
        const auto started = std::chrono::steady_clock::now();
        while (gInterrupted == 0 && (o_.rounds == 0 || round < o_.rounds)) {
            ++round;
            const auto roundStart = std::chrono::steady_clock::now();
            std::string rows;
            for (const Point& point : points) {
                if (gInterrupted != 0) {
                    break;
                }
                std::uint16_t value = 0;
                const auto start = std::chrono::steady_clock::now();
                const std::int32_t result = session_.ReadPoint(point.parsed.record, value);
                const double ms = MillisecondsSince(start);
                stats.Add(result, ms);
                verdict_.Note(result);
                char msText[32];
                std::snprintf(msText, sizeof msText, "%.1f", ms);
                Cell msCell = Cell::Of(std::string(msText));
                msCell.kind = Cell::Kind::Number;
                rows += printer.Row({Cell::Of(round), Cell::Of(point.text),
                                     result == ResOk ? Cell::Word(value, o_.hex) : Cell::None(),
                                     Cell::Of(ResultText(result)), msCell});
            }
            if (liveWidth > 0) {
                // The rows may share the terminal: the status line makes way.
                std::fprintf(stderr, "\r%*s\r", static_cast<int>(liveWidth), "");
                std::fflush(stderr);
            }
            Print(rows);
            if (live) {
                const std::string line = "round " + std::to_string(round) + "  " + stats.Line();
                liveWidth = line.size();
                std::fputs(line.c_str(), stderr);
                std::fflush(stderr);
            }
            if (gInterrupted == 0 && (o_.rounds == 0 || round < o_.rounds)) {
                const double left = o_.intervalMs - MillisecondsSince(roundStart);
                if (left >= 1.0) {
                    SleepMilliseconds(static_cast<long>(left));
                }
            }
        }
        Print(printer.End());
        CloseLine();
        if (liveWidth > 0) {
            std::fputc('\n', stderr);
        }
        std::fprintf(stderr, "%s: poll summary: %lld rounds in %.1f s%s; %s\n", kProgram,
                     static_cast<long long>(round), MillisecondsSince(started) / 1000.0,
                     gInterrupted != 0 ? " (interrupted)" : "", stats.Line().c_str());
        return verdict_.ExitStatus();
    }

    // The whole lifecycle of a channel on the line, one step at a time.
    int LineCheckCommand() {
        struct Step {
            const char* name;
            std::int32_t code;
        };
        const std::string device = Device();
        const Step steps[] = {
            {"open", CmdOpen},
            {"purge", CmdPurge},
            {"close", CmdClose},
            {"reopen", CmdReopen},
            {"purge", CmdPurge},
            {"shutdown", CmdShutdown},
            {"reconfigure", CmdReconfigure},
            {"close", CmdClose},
        };
        std::vector<std::vector<Cell>> rows;
        for (const Step& step : steps) {
            const auto start = std::chrono::steady_clock::now();
            std::int32_t result = ResOk;
            switch (step.code) {
                case CmdOpen:
                    result = session_.Open(device, TimeoutTens(), Line());
                    break;
                case CmdPurge:
                    result = session_.Purge();
                    break;
                case CmdClose:
                    result = session_.Close();
                    break;
                case CmdReopen:
                    result = session_.Reopen();
                    break;
                case CmdShutdown:
                    result = session_.Shutdown();
                    break;
                case CmdReconfigure:
                    result = session_.Reconfigure(device, TimeoutTens(), Line());
                    break;
                default:
                    break;
            }
            const double ms = MillisecondsSince(start);
            verdict_.Note(result);
            char msText[32];
            std::snprintf(msText, sizeof msText, "%.1f", ms);
            Cell msCell = Cell::Of(std::string(msText));
            msCell.kind = Cell::Kind::Number;
            rows.push_back({Cell::Of(std::string(step.name)),
                            Cell::Of(static_cast<std::int64_t>(step.code)),
                            Cell::Of(ResultText(result)),
                            Cell::Of(std::string(session_.IsOpen() ? "open" : "closed")), msCell});
            if (step.code == CmdOpen && result != ResOk) {
                Complain("cannot open " + device + " (driver result " + std::to_string(result) +
                         ")");
                break;
            }
        }
        if (session_.IsOpen()) {
            CloseLine();
        }
        Print(RenderRows(o_.format, {{"step"}, {"command"}, {"result"}, {"port"}, {"ms"}}, rows));
        return verdict_.ExitStatus();
    }

    const Options& o_;
    Session session_;
    InfoView info_;
    Verdict verdict_;
};

int Main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const ParseOutcome outcome = ParseCommandLine(args);
    if (!outcome.ok) {
        Complain(outcome.error);
        std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
        return kExitUsage;
    }
    Options options = outcome.options;
    if (options.help) {
        Print(kUsageText);
        return kExitOk;
    }
    if (options.version) {
        Print(std::string(kProgram) + " " + WESTNET_VERSION + "\n");
        return kExitOk;
    }
    if (!options.device.empty()) {
        const host::DriverDeviceName named = host::NameForDriver(options.device);
        if (!named.error.empty()) {
            Complain(named.error);
            return kExitUsage;
        }
        options.device = named.name;
    }
    const LoadedDriver driver = LoadDriver(options.driverPath);
    if (driver.zanMain == nullptr) {
        Complain("cannot load the driver " + driver.path + ": " + driver.error);
        return kExitNoDriver;
    }
    Tool tool(options, driver.zanMain);
    return tool.Run();
}

}  // namespace
}  // namespace westnet::poll

int main(int argc, char** argv) {
    return westnet::poll::Main(argc, argv);
}
