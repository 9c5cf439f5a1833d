#include "points.h"

#include <algorithm>

#include "address_rules.h"
#include "measure.h"
#include "timing.h"

namespace westnet::poll {

using host::ParsedPoint;

bool ParsePoint(Context& ctx, const std::string& text, std::int32_t words, ParsedPoint& parsed) {
    const bool bit = IsBitPoint(text, ctx.o.kind);
    const AddressVerdict model = CheckAddress(text, bit, words);
    if (text.size() > kAddressField) {
        // The driver would cut the text at 12 and maybe address another point.
        std::string message =
            "address \"" + text + "\" rejected by the poller:\n" + ExplainRejection(text, model);
        message.pop_back();
        Complain(message);
        ctx.verdict.Refused();
        return false;
    }
    parsed = ctx.session.Parse(text, bit, words);
    if (parsed.result == ResOk) {
        if (model.accepted && model.ignoredFrom >= 0) {
            const auto from = static_cast<std::size_t>(model.ignoredFrom);
            Warn("address \"" + text + "\": the driver reads bit " + std::to_string(model.bit) +
                 " and ignores the rest, \"" + text.substr(from) + "\"; write it as \"" +
                 text.substr(0, from) + "\"");
        }
        return true;
    }
    ctx.verdict.Note(parsed.result);
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

std::vector<Point> ParsePoints(Context& ctx) {
    std::vector<Point> points;
    for (const PointArg& arg : ctx.o.points) {
        Point point{arg.address, {}, arg.value, false};
        point.accepted = ParsePoint(ctx, arg.address, 0, point.parsed);
        points.push_back(point);
    }
    return points;
}

bool AnyAccepted(const std::vector<Point>& points) {
    return std::any_of(points.begin(), points.end(),
                       [](const Point& point) { return point.accepted; });
}

void WarnOfStationZero(const std::vector<Point>& points) {
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

Cell RegisterCell(const ParsedPoint& p) {
    return Cell::Of(static_cast<std::int64_t>(p.record.reg) + 1);
}

Cell BitCell(const ParsedPoint& p) {
    if (p.record.kind == KIND_BIT) {
        return Cell::Of(static_cast<std::int64_t>(p.record.bit) + 1);
    }
    return Cell::None();
}

std::vector<Column> PointColumns(const Options& o) {
    std::vector<Column> columns = {{"address"}, {"station"}, {"register"}, {"bit"}};
    for (const Column& column : ValueColumns(o.format, o.view)) {
        columns.push_back(column);
    }
    columns.push_back({"result"});
    return columns;
}

// A rejected address keeps its row, with nothing decoded.
std::vector<Cell> PointRow(const Options& o, const Point& point, const std::uint16_t* value,
                           const std::string& result) {
    std::vector<Cell> row = {Cell::Of(point.text)};
    if (point.accepted) {
        row.push_back(Cell::Of(static_cast<std::int64_t>(point.parsed.record.station)));
        row.push_back(RegisterCell(point.parsed));
        row.push_back(BitCell(point.parsed));
    } else {
        row.insert(row.end(), 3, Cell::None());
    }
    AddValueCells(row, value, o.format, o.view);
    row.push_back(Cell::Of(result));
    return row;
}

int ExchangePoints(Context& ctx, bool write) {
    const std::vector<Point> points = ParsePoints(ctx);
    WarnOfStationZero(points);
    std::vector<std::vector<Cell>> rows;
    std::vector<bool> answered(points.size(), false);
    SlowCommands slow(PortTimeoutMs(ctx));
    const bool open = AnyAccepted(points) && OpenLine(ctx, TimeoutTens(ctx));
    for (std::size_t i = 0; i < points.size(); ++i) {
        const Point& point = points[i];
        // A write's row shows the value it was to write, a read's only a
        // value that was read.
        const std::uint16_t* toWrite = write ? &point.value : nullptr;
        if (!point.accepted || !open) {
            const char* skipped = write ? "not written" : "not read";
            rows.push_back(
                PointRow(ctx.o, point, toWrite, point.accepted ? skipped : "address rejected"));
            continue;
        }
        std::uint16_t value = 0;
        const int exchanges = ExchangesFor(ctx, point.parsed.record);
        const auto start = std::chrono::steady_clock::now();
        const std::int32_t result = write ? ctx.session.WritePoint(point.parsed.record, point.value)
                                          : ctx.session.ReadPoint(point.parsed.record, value);
        slow.Add(point.parsed.record.station, exchanges, MillisecondsSince(start), result == ResOk);
        ctx.verdict.Note(result);
        answered[i] = result != ResFail;
        if (result != ResOk) {
            Complain((write ? "write " : "read ") + point.text + ": " + ExchangeFailure(result));
        }
        const std::uint16_t* shown = write ? toWrite : (result == ResOk ? &value : nullptr);
        rows.push_back(PointRow(ctx.o, point, shown, ResultText(result)));
    }
    if (open) {
        CloseLine(ctx);
    }
    Print(RenderRows(ctx.o.format, PointColumns(ctx.o), rows));
    ReportSlowCommands(ctx, slow, points, answered);
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
