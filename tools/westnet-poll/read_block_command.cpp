// read-block: COUNT words from one address in one exchange, a row each.
#include "block.h"
#include "commands.h"

namespace westnet::poll {

int ReadBlockCommand(Context& ctx) {
    const Options& o = ctx.o;
    host::ParsedPoint parsed;
    if (!ParseBlock(ctx, parsed) || !OpenLine(ctx, TimeoutTens(ctx))) {
        return ctx.verdict.ExitStatus();
    }
    std::vector<std::uint16_t> values;
    const std::int32_t result = ctx.session.ReadBlock(parsed.record, o.blockCount, values);
    ctx.verdict.Note(result);
    CloseLine(ctx);
    if (result != ResOk) {
        Complain("read-block " + o.points.front().address + " x" + std::to_string(o.blockCount) +
                 ": " + ExchangeFailure(result));
        return ctx.verdict.ExitStatus();
    }
    Print(RenderRows(o.format, BlockColumns(o), BlockRows(o, parsed, values)));
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
