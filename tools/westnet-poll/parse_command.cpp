// parse: what the driver makes of each address, without a line.
#include "commands.h"
#include "points.h"

namespace westnet::poll {

int ParseCommand(Context& ctx) {
    const Options& o = ctx.o;
    std::vector<std::vector<Cell>> rows;
    for (const PointArg& arg : o.points) {
        host::ParsedPoint parsed;
        if (!ParsePoint(ctx, arg.address, o.parseWords, parsed)) {
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
    Print(RenderRows(o.format,
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
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
