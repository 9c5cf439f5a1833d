// write-block: the values given, from one address on, in one exchange; a row
// per word written.
#include "block.h"
#include "commands.h"

namespace westnet::poll {

int WriteBlockCommand(Context& ctx) {
    const Options& o = ctx.o;
    host::ParsedPoint parsed;
    if (!ParseBlock(ctx, parsed) || !OpenLine(ctx, TimeoutTens(ctx))) {
        return ctx.verdict.ExitStatus();
    }
    const std::int32_t result = ctx.session.WriteBlock(parsed.record, o.blockValues);
    ctx.verdict.Note(result);
    CloseLine(ctx);
    if (result != ResOk) {
        Complain("write-block " + o.points.front().address + " x" + std::to_string(o.blockCount) +
                 ": " + ExchangeFailure(result));
        return ctx.verdict.ExitStatus();
    }
    Print(RenderRows(o.format, BlockColumns(o), BlockRows(o, parsed, o.blockValues)));
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
