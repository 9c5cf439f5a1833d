#include "commands.h"

namespace westnet::poll {

int RunCommand(const Options& options, host::ZanMainFn zanMain) {
    Context ctx(options, zanMain);
    ctx.info = ctx.session.GetInfo();
    if (ctx.info.result != ResOk) {
        Complain("the driver refused its information record: " + ResultText(ctx.info.result));
        ctx.verdict.Note(ctx.info.result);
        return ctx.verdict.ExitStatus();
    }
    switch (options.command) {
        case Command::Info:
            return InfoCommand(ctx);
        case Command::Parse:
            return ParseCommand(ctx);
        case Command::Read:
            return ReadCommand(ctx);
        case Command::Write:
            return WriteCommand(ctx);
        case Command::ReadBlock:
            return ReadBlockCommand(ctx);
        case Command::WriteBlock:
            return WriteBlockCommand(ctx);
        case Command::Poll:
            return PollCommand(ctx);
        case Command::LineCheck:
            return LineCheckCommand(ctx);
        case Command::None:
            break;
    }
    return kExitUsage;
}

}  // namespace westnet::poll
