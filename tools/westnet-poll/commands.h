// The poller's commands, as a host of the driver runs them: one file each,
// over the run they share (line.h). Each returns the exit status.
#pragma once

#include "line.h"

namespace westnet::poll {

// Fetches the driver's information record, then runs the command chosen.
int RunCommand(const Options& options, host::ZanMainFn zanMain);

int InfoCommand(Context& ctx);
int ParseCommand(Context& ctx);
int ReadCommand(Context& ctx);
int WriteCommand(Context& ctx);
int ReadBlockCommand(Context& ctx);
int WriteBlockCommand(Context& ctx);
int PollCommand(Context& ctx);
int LineCheckCommand(Context& ctx);

}  // namespace westnet::poll
