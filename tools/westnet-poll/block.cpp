#include "block.h"

#include "address_rules.h"
#include "points.h"

namespace westnet::poll {

// A block address the driver accepts can still run past register 65535: its
// frame's register number would wrap, to registers no address names.
bool ParseBlock(Context& ctx, host::ParsedPoint& parsed) {
    const PointArg& arg = ctx.o.points.front();
    const std::int32_t count = ctx.o.blockCount;
    if (!ParsePoint(ctx, arg.address, count, parsed)) {
        return false;
    }
    const std::string past = BlockPastLastRegister(parsed.record.reg + 1, count);
    if (!past.empty()) {
        Complain("block " + arg.address + " x" + std::to_string(count) +
                 " rejected by the poller: " + past);
        ctx.verdict.Refused();
        return false;
    }
    return true;
}

std::vector<Column> BlockColumns(const Options& o) {
    std::vector<Column> columns = {{"address"}, {"index"}, {"register"}};
    for (const Column& column : ValueColumns(o.format, o.view)) {
        columns.push_back(column);
    }
    return columns;
}

std::vector<std::vector<Cell>> BlockRows(const Options& o, const host::ParsedPoint& first,
                                         const std::vector<std::uint16_t>& values) {
    std::vector<std::vector<Cell>> rows;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t reg =
            static_cast<std::int64_t>(first.record.reg) + 1 + static_cast<std::int64_t>(i);
        std::vector<Cell> row = {Cell::Of(AddressText(first.record.station, reg)),
                                 Cell::Of(static_cast<std::int64_t>(i)), Cell::Of(reg)};
        AddValueCells(row, &values[i], o.format, o.view);
        rows.push_back(row);
    }
    return rows;
}

}  // namespace westnet::poll
