#include "tool.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "address_rules.h"
#include "port_check.h"
#include "serial_device.h"
#include "system.h"

namespace westnet::poll {

volatile std::sig_atomic_t gInterrupted = 0;

namespace {

using host::ParsedPoint;

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

std::string StationText(std::int32_t station) {
    char text[16];
    std::snprintf(text, sizeof text, "%02d", static_cast<int>(station));
    return text;
}

// The time-out the poller falls back on without the driver's suggestion, and
// the one a measurement uses: long enough for any station that answers.
constexpr std::int32_t kFallbackTimeoutTens = 100;
constexpr std::int32_t kMeasureTimeoutTens = 200;
// What CmdReopen leaves the port on.
constexpr double kReopenTimeoutMs = 1000.0;
// The quiet before a measurement, for replies still on their way.
constexpr long kSettleMs = 250;

}  // namespace

void Print(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

void Complain(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", kProgram, text.c_str());
}

void Warn(const std::string& text) {
    std::fprintf(stderr, "%s: warning: %s\n", kProgram, text.c_str());
}

double MillisecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

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

void Verdict::Note(std::int32_t result) {
    if (result == ResFail || (result != ResOk && result != ResBad)) {
        lineFailure_ = true;
    } else if (result == ResBad) {
        refused_ = true;
    }
}

int Verdict::ExitStatus() const {
    if (lineFailure_) {
        return kExitLineFailure;
    }
    return refused_ ? kExitRefused : kExitOk;
}

int Tool::Run() {
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
            return PointsCommand(false);
        case Command::Write:
            return PointsCommand(true);
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

bool Tool::ParsePoint(const std::string& text, std::int32_t words, ParsedPoint& parsed) {
    const bool bit = IsBitPoint(text, o_.kind);
    const AddressVerdict model = CheckAddress(text, bit, words);
    if (text.size() > kAddressField) {
        // The driver would cut the text at 12 and maybe address another point.
        std::string message =
            "address \"" + text + "\" rejected by the poller:\n" + ExplainRejection(text, model);
        message.pop_back();
        Complain(message);
        verdict_.Refused();
        return false;
    }
    parsed = session_.Parse(text, bit, words);
    if (parsed.result == ResOk) {
        if (model.accepted && model.ignoredFrom >= 0) {
            const auto from = static_cast<std::size_t>(model.ignoredFrom);
            Warn("address \"" + text + "\": the driver reads bit " + std::to_string(model.bit) +
                 " and ignores the rest, \"" + text.substr(from) + "\"; write it as \"" +
                 text.substr(0, from) + "\"");
        }
        return true;
    }
    verdict_.Note(parsed.result);
    std::string what = words > 0
                           ? "block address \"" + text + "\" (" + std::to_string(words) + " words)"
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

std::vector<Tool::Point> Tool::ParsePoints() {
    std::vector<Point> points;
    for (const PointArg& arg : o_.points) {
        Point point{arg.address, {}, arg.value, false};
        point.accepted = ParsePoint(arg.address, 0, point.parsed);
        points.push_back(point);
    }
    return points;
}

bool Tool::AnyAccepted(const std::vector<Point>& points) {
    return std::any_of(points.begin(), points.end(),
                       [](const Point& point) { return point.accepted; });
}

void Tool::WarnOfStationZero(const std::vector<Point>& points) const {
    bool zero = false;
    std::string others;
    for (const Point& point : points) {
        if (!point.accepted) {
            continue;
        }
        const std::int32_t station = point.parsed.record.station;
        const std::string text = StationText(station);
        if (station == 0) {
            zero = true;
        } else if (others.find(text) == std::string::npos) {
            others += (others.empty() ? "" : ", ") + text;
        }
    }
    if (zero && !others.empty()) {
        Warn("station 00 shares this run with station " + others +
             ": the driver never selects station 00 (it sends no selection frame), so its reads "
             "and writes go to whichever station the line selected last. Keep station 00 to a "
             "line with one station that answers unselected.");
    }
}

LineParams Tool::Line() const {
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

std::int32_t Tool::TimeoutTens() const {
    if (o_.timeoutTens) {
        return *o_.timeoutTens;
    }
    // The driver's suggestion sits where an open's reply time-out does.
    return info_.record.value16 > 0 ? info_.record.value16 : kFallbackTimeoutTens;
}

double Tool::PortTimeoutMs() const {
    return HasOwnControlFlags(o_) ? kReopenTimeoutMs : TimeoutTens() * 10.0;
}

std::string Tool::TimeoutText() const {
    char text[160];
    if (HasOwnControlFlags(o_)) {
        std::snprintf(text, sizeof text,
                      "%.0f ms, the driver's default after CmdReopen (with --rts or --dtr)",
                      PortTimeoutMs());
    } else if (o_.timeoutTens) {
        std::snprintf(text, sizeof text, "%.0f ms, from --timeout", PortTimeoutMs());
    } else {
        std::snprintf(text, sizeof text, "%.0f ms, the driver's suggestion", PortTimeoutMs());
    }
    return text;
}

// Found again at every call: after a device went away, the path given may
// lead to another name (a simulator on a new pseudo-terminal, an adapter
// plugged in again). Messages name the path as the user gave it.
std::string Tool::Device() const {
    const host::DriverDeviceName named = host::NameForDriver(o_.device);
    return named.error.empty() ? named.name : o_.device;
}

std::int32_t Tool::OpenChannel(std::int32_t timeoutTens) {
    if (!HasOwnControlFlags(o_)) {
        return session_.Open(Device(), timeoutTens, Line());
    }
    // CmdOpen always stores RTS on and DTR off: other flags reach the port
    // only through the record and CmdReopen, without a first open that would
    // raise RTS on the line.
    session_.StoreSettings(Device(), Line(), ControlFlagsFor(o_));
    return session_.Reopen();
}

bool Tool::OpenLine(std::int32_t timeoutTens) {
    const std::int32_t result = OpenChannel(timeoutTens);
    if (result != ResOk) {
        verdict_.Note(result);
        ExplainOpenFailure(result);
        return false;
    }
    return true;
}

void Tool::ExplainOpenFailure(std::int32_t result) const {
    const host::OpenFailure why = host::DiagnoseOpen(o_.device, Line());
    std::string message =
        "cannot open " + o_.device + " (driver result " + std::to_string(result) + "): ";
    if (why.reason == host::OpenFailureReason::None) {
        message += "it opens now, when tried again (" + why.summary +
                   "): it may have been busy for a moment";
    } else {
        message += why.summary;
    }
    for (const std::string& detail : why.details) {
        message += "\n  " + detail;
    }
    Complain(message);
}

void Tool::CloseLine() {
    const std::int32_t result = session_.Close();
    if (result != ResOk) {
        verdict_.Note(result);
        Complain("closing " + o_.device + " failed (driver result " + std::to_string(result) + ")");
    }
}

std::int32_t Tool::MeasureTimeoutTens() const {
    return o_.timeoutTens ? std::max(*o_.timeoutTens, kMeasureTimeoutTens) : kMeasureTimeoutTens;
}

// Each sample times a selection and a read, one exchange each, so that the
// selection's reply is measured as well as the read's.
std::vector<Tool::StationTimes> Tool::MeasureStations(const std::vector<Point>& probes,
                                                      std::int64_t samples) {
    std::vector<StationTimes> times;
    if (probes.empty() || !OpenLine(MeasureTimeoutTens())) {
        return times;
    }
    const double limitMs = HasOwnControlFlags(o_) ? kReopenTimeoutMs : MeasureTimeoutTens() * 10.0;
    // A station may still be answering requests that timed out before
    // (a run with too short a time-out leaves such a backlog): a pause, then
    // a purge, so that the first reply timed is an answer to its own request.
    host::SleepMilliseconds(kSettleMs);
    session_.Purge();
    for (const Point& probe : probes) {
        StationTimes station;
        station.station = probe.parsed.record.station;
        station.address = probe.text;
        // One read first, not timed: it selects the station, and a reply
        // still on its way meets this read rather than a timed one.
        std::uint16_t ignored = 0;
        session_.ReadPoint(probe.parsed.record, ignored);
        // A selection alone: a point of no known kind is refused by the
        // driver after the selection and before any transaction is sent.
        PointAddress selectOnly = probe.parsed.record;
        selectOnly.kind = 0;
        const bool selects = station.station != 0;
        for (std::int64_t i = 0; i < samples && gInterrupted == 0; ++i) {
            std::uint16_t value = 0;
            double selection = 0.0;
            bool selectionFailed = false;
            std::int32_t result = ResOk;
            if (selects) {
                session_.ForgetSelection();
                const auto start = std::chrono::steady_clock::now();
                session_.ReadPoint(selectOnly, value);
                selection = MillisecondsSince(start);
                selectionFailed = session_.Channel().selectedStation != station.station;
                result = selectionFailed ? ResFail : ResOk;
            }
            double read = 0.0;
            if (result == ResOk) {
                const auto start = std::chrono::steady_clock::now();
                result = session_.ReadPoint(probe.parsed.record, value);
                read = MillisecondsSince(start);
            }
            if (result != ResOk) {
                station.failure =
                    (selectionFailed ? std::string("selection failed") : ResultText(result)) +
                    " on sample " + std::to_string(i + 1);
                break;
            }
            // An exchange that waited out the time-out was tried again: its
            // time is the time-out's, not the station's.
            if (selection > limitMs || read > limitMs) {
                ++station.retried;
                continue;
            }
            ++station.samples;
            station.replies.Add(ResOk, read);
            if (selects) {
                station.replies.Add(ResOk, selection);
            }
        }
        times.push_back(station);
    }
    CloseLine();
    return times;
}

int Tool::ExchangesFor(const PointAddress& point) const {
    const std::int32_t station = point.station;
    const bool selects =
        station != session_.Channel().selectedStation && station != 0 && station != STATION_NONE;
    return selects ? 2 : 1;
}

void Tool::ReportSlowCommands(const SlowCommands& slow, const std::vector<Point>& points,
                              const std::vector<bool>& answered) {
    if (!slow.Suspect()) {
        return;
    }
    char head[320];
    std::snprintf(head, sizeof head,
                  "%lld of %lld commands took longer than the reply time-out (%.0f ms): a station "
                  "answered late or not at all, and the driver tried again.",
                  static_cast<long long>(slow.Slow()), static_cast<long long>(slow.Commands()),
                  slow.TimeoutMs());
    Warn(std::string(head) +
         " The highway's frames carry no sequence number, so a late reply may have been taken "
         "for the answer to a later request: values shown as ok may belong to another point.");
    // One probe a station, among the stations that answered at all: a
    // silent one would only cost its time-outs.
    std::vector<Point> probes;
    std::string addresses;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const bool seen = std::any_of(probes.begin(), probes.end(), [&](const Point& p) {
            return p.parsed.record.station == points[i].parsed.record.station;
        });
        if (points[i].accepted && answered[i] && !seen) {
            probes.push_back(points[i]);
            addresses += " " + (points[i].text.find(' ') == std::string::npos
                                    ? points[i].text
                                    : "\"" + points[i].text + "\"");
        }
    }
    const std::string lineCheck = "westnet-poll --device " + o_.device + " line-check" + addresses;
    if (HasOwnControlFlags(o_)) {
        Complain(
            "with --rts or --dtr the port runs the driver's default reply time-out of 1 s, "
            "which --timeout cannot lengthen; " +
            lineCheck + " measures the stations' replies");
        return;
    }
    if (gInterrupted != 0 || probes.empty()) {
        Complain("measure the stations' replies with " + lineCheck +
                 ": it prints the --timeout to use");
        return;
    }
    const std::vector<StationTimes> times = MeasureStations(probes, 5);
    std::int32_t recommended = 0;
    std::string measured;
    for (const StationTimes& t : times) {
        char text[128];
        if (t.samples == 0) {
            std::snprintf(text, sizeof text, "station %s not measured (%s)",
                          StationText(t.station).c_str(),
                          t.failure.empty() ? "every sample was retried" : t.failure.c_str());
        } else {
            std::snprintf(text, sizeof text, "station %s within %.1f ms",
                          StationText(t.station).c_str(), t.replies.Max());
            recommended =
                std::max(recommended, RecommendedTimeoutMs(t.replies.Min(), t.replies.Max()));
        }
        measured += (measured.empty() ? "" : ", ") + std::string(text);
    }
    if (measured.empty()) {
        return;
    }
    char tail[200];
    if (recommended > slow.TimeoutMs()) {
        std::snprintf(tail, sizeof tail, "run again with --timeout %d",
                      static_cast<int>(recommended));
    } else {
        std::snprintf(tail, sizeof tail,
                      "these fit the time-out: the slow commands were replies lost or delayed "
                      "now and then; more samples (line-check --count 50) may find them");
    }
    Complain("replies measured with a " + std::to_string(MeasureTimeoutTens() * 10) +
             " ms time-out: " + measured + "; " + tail + " (" + lineCheck +
             " measures them at any time)");
}

Cell Tool::RegisterCell(const ParsedPoint& p) const {
    return Cell::Of(static_cast<std::int64_t>(p.record.reg) + 1);
}

Cell Tool::BitCell(const ParsedPoint& p) const {
    if (p.record.kind == KIND_BIT) {
        return Cell::Of(static_cast<std::int64_t>(p.record.bit) + 1);
    }
    return Cell::None();
}

std::vector<Column> Tool::PointColumns() const {
    std::vector<Column> columns = {{"address"}, {"station"}, {"register"}, {"bit"}};
    for (const Column& column : ValueColumns(o_.format, o_.view)) {
        columns.push_back(column);
    }
    columns.push_back({"result"});
    return columns;
}

// A rejected address keeps its row, with nothing decoded.
std::vector<Cell> Tool::PointRow(const Point& point, const std::uint16_t* value,
                                 const std::string& result) const {
    std::vector<Cell> row = {Cell::Of(point.text)};
    if (point.accepted) {
        row.push_back(Cell::Of(static_cast<std::int64_t>(point.parsed.record.station)));
        row.push_back(RegisterCell(point.parsed));
        row.push_back(BitCell(point.parsed));
    } else {
        row.insert(row.end(), 3, Cell::None());
    }
    AddValueCells(row, value, o_.format, o_.view);
    row.push_back(Cell::Of(result));
    return row;
}

int Tool::Info() {
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

int Tool::ParseCommand() {
    std::vector<std::vector<Cell>> rows;
    for (const PointArg& arg : o_.points) {
        ParsedPoint parsed;
        if (!ParsePoint(arg.address, o_.parseWords, parsed)) {
            rows.push_back({Cell::Of(arg.address), Cell::Of(std::string("rejected")), Cell::None(),
                            Cell::None(), Cell::None(), Cell::None(), Cell::None(), Cell::None(),
                            Cell::None()});
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

// read and write: a row for every point given, each exchange timed.
int Tool::PointsCommand(bool write) {
    const std::vector<Point> points = ParsePoints();
    WarnOfStationZero(points);
    std::vector<std::vector<Cell>> rows;
    std::vector<bool> answered(points.size(), false);
    SlowCommands slow(PortTimeoutMs());
    const bool open = AnyAccepted(points) && OpenLine(TimeoutTens());
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point& point = points[i];
        // A write's row shows the value it was to write, a read's only a
        // value that was read.
        const std::uint16_t* toWrite = write ? &point.value : nullptr;
        if (!point.accepted || !open) {
            const char* skipped = write ? "not written" : "not read";
            rows.push_back(PointRow(point, toWrite, point.accepted ? skipped : "address rejected"));
            continue;
        }
        std::uint16_t value = 0;
        const int exchanges = ExchangesFor(point.parsed.record);
        const auto start = std::chrono::steady_clock::now();
        const std::int32_t result = write ? session_.WritePoint(point.parsed.record, point.value)
                                          : session_.ReadPoint(point.parsed.record, value);
        slow.Add(point.parsed.record.station, exchanges, MillisecondsSince(start), result == ResOk);
        verdict_.Note(result);
        answered[i] = result != ResFail;
        if (result != ResOk) {
            Complain((write ? "write " : "read ") + point.text + ": " + ExchangeFailure(result));
        }
        const std::uint16_t* shown = write ? toWrite : (result == ResOk ? &value : nullptr);
        rows.push_back(PointRow(point, shown, ResultText(result)));
    }
    if (open) {
        CloseLine();
    }
    Print(RenderRows(o_.format, PointColumns(), rows));
    ReportSlowCommands(slow, points, answered);
    return verdict_.ExitStatus();
}

// A block address the driver accepts can still run past register 65535: its
// frame's register number would wrap, to registers no address names.
bool Tool::ParseBlock(ParsedPoint& parsed) {
    const PointArg& arg = o_.points.front();
    if (!ParsePoint(arg.address, o_.blockCount, parsed)) {
        return false;
    }
    const std::string past = BlockPastLastRegister(parsed.record.reg + 1, o_.blockCount);
    if (!past.empty()) {
        Complain("block " + arg.address + " x" + std::to_string(o_.blockCount) +
                 " rejected by the poller: " + past);
        verdict_.Refused();
        return false;
    }
    return true;
}

std::vector<std::vector<Cell>> Tool::BlockRows(const ParsedPoint& first,
                                               const std::vector<std::uint16_t>& values) const {
    std::vector<std::vector<Cell>> rows;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t reg =
            static_cast<std::int64_t>(first.record.reg) + 1 + static_cast<std::int64_t>(i);
        std::vector<Cell> row = {Cell::Of(AddressText(first.record.station, reg)),
                                 Cell::Of(static_cast<std::int64_t>(i)), Cell::Of(reg)};
        AddValueCells(row, &values[i], o_.format, o_.view);
        rows.push_back(row);
    }
    return rows;
}

int Tool::ReadBlockCommand() {
    ParsedPoint parsed;
    if (!ParseBlock(parsed) || !OpenLine(TimeoutTens())) {
        return verdict_.ExitStatus();
    }
    std::vector<std::uint16_t> values;
    const std::int32_t result = session_.ReadBlock(parsed.record, o_.blockCount, values);
    verdict_.Note(result);
    CloseLine();
    if (result != ResOk) {
        Complain("read-block " + o_.points.front().address + " x" + std::to_string(o_.blockCount) +
                 ": " + ExchangeFailure(result));
        return verdict_.ExitStatus();
    }
    std::vector<Column> columns = {{"address"}, {"index"}, {"register"}};
    for (const Column& column : ValueColumns(o_.format, o_.view)) {
        columns.push_back(column);
    }
    Print(RenderRows(o_.format, columns, BlockRows(parsed, values)));
    return verdict_.ExitStatus();
}

int Tool::WriteBlockCommand() {
    ParsedPoint parsed;
    if (!ParseBlock(parsed) || !OpenLine(TimeoutTens())) {
        return verdict_.ExitStatus();
    }
    const std::int32_t result = session_.WriteBlock(parsed.record, o_.blockValues);
    verdict_.Note(result);
    CloseLine();
    if (result != ResOk) {
        Complain("write-block " + o_.points.front().address + " x" + std::to_string(o_.blockCount) +
                 ": " + ExchangeFailure(result));
        return verdict_.ExitStatus();
    }
    std::vector<Column> columns = {{"address"}, {"index"}, {"register"}};
    for (const Column& column : ValueColumns(o_.format, o_.view)) {
        columns.push_back(column);
    }
    Print(RenderRows(o_.format, columns, BlockRows(parsed, o_.blockValues)));
    return verdict_.ExitStatus();
}

}  // namespace westnet::poll
