// read: each point read once, a row each (points.cpp has the exchanges,
// which write shares). With --type each address is the first register of a
// typed value, read whole in one exchange and decoded as the gateway does.
#include "commands.h"
#include "points.h"
#include "typed_value.h"

namespace westnet::poll {
namespace {

Cell Number(double value) {
    Cell cell;
    cell.kind = Cell::Kind::Number;
    cell.text = values::FormatValue(value);
    return cell;
}

int TypedRead(Context& ctx) {
    const Options& o = ctx.o;
    values::Format format;
    format.type = *o.valueType;
    format.order = o.wordOrder;
    const int width = format.Width();
    const std::vector<Column> columns = {{"address"}, {"station"}, {"register"}, {"type"},
                                         {"value"},   {"raw"},     {"result"}};
    std::vector<Point> points;
    for (const PointArg& arg : o.points) {
        Point point{arg.address, {}, 0, false};
        if (IsBitPoint(arg.address, o.kind)) {
            Complain("address \"" + arg.address + "\" is a bit point: --type reads words");
            ctx.verdict.Refused();
        } else {
            // Both halves of a two-register value come from one block read.
            point.accepted = ParsePoint(ctx, arg.address, width == 1 ? 0 : width, point.parsed);
        }
        points.push_back(point);
    }
    WarnOfStationZero(points);
    const bool open = AnyAccepted(points) && OpenLine(ctx, TimeoutTens(ctx));
    std::vector<std::vector<Cell>> rows;
    for (const Point& point : points) {
        std::vector<Cell> row = {Cell::Of(point.text)};
        if (point.accepted) {
            row.push_back(Cell::Of(static_cast<std::int64_t>(point.parsed.record.station)));
            row.push_back(RegisterCell(point.parsed));
        } else {
            row.insert(row.end(), 2, Cell::None());
        }
        row.push_back(Cell::Of(values::TypeName(format.type)));
        if (!point.accepted || !open) {
            row.insert(row.end(), {Cell::None(), Cell::None(),
                                   Cell::Of(point.accepted ? "not read" : "address rejected")});
            rows.push_back(row);
            continue;
        }
        std::vector<std::uint16_t> words(1);
        const std::int32_t result = width == 1
                                        ? ctx.session.ReadPoint(point.parsed.record, words[0])
                                        : ctx.session.ReadBlock(point.parsed.record, width, words);
        ctx.verdict.Note(result);
        if (result != ResOk || words.size() != static_cast<std::size_t>(width)) {
            Complain("read " + point.text + ": " + ExchangeFailure(result));
            row.insert(row.end(), {Cell::None(), Cell::None(), Cell::Of(ResultText(result))});
            rows.push_back(row);
            continue;
        }
        double value = 0;
        const values::Decoded decoded = values::Decode(format, words.data(), value);
        row.push_back(decoded == values::Decoded::NotAValue ? Cell::None() : Number(value));
        std::string raw;
        for (const std::uint16_t w : words) {
            raw += (raw.empty() ? "" : " ") + std::to_string(w);
        }
        row.push_back(Cell::Of(raw));
        row.push_back(Cell::Of(decoded == values::Decoded::NotAValue
                                   ? std::string("no ") + values::TypeName(format.type) + " value"
                                   : ResultText(result)));
        rows.push_back(row);
    }
    if (open) {
        CloseLine(ctx);
    }
    Print(RenderRows(o.format, columns, rows));
    return ctx.verdict.ExitStatus();
}

}  // namespace

int ReadCommand(Context& ctx) {
    if (ctx.o.valueType) {
        return TypedRead(ctx);
    }
    return ExchangePoints(ctx, false);
}

}  // namespace westnet::poll
