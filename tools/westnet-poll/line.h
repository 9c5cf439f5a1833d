// The run every command shares: the options, the driver's channel session
// and information record, and the verdict; and the line as the commands open
// and close it.
#pragma once

#include <cstdint>
#include <string>

#include "options.h"
#include "report.h"
#include "session.h"

namespace westnet::poll {

struct Context {
    Context(const Options& options, host::ZanMainFn zanMain) : o(options), session(zanMain) {}

    const Options& o;
    host::Session session;
    host::InfoView info;  // filled before any command runs
    Verdict verdict;
};

// The line settings: the driver's, overridden by the options given.
LineParams LineSettings(const Context& ctx);
std::int32_t TimeoutTens(const Context& ctx);  // what CmdOpen is given
double PortTimeoutMs(const Context& ctx);      // what the port runs with
std::string TimeoutText(const Context& ctx);
// The name the driver is given for --device, found again at every call.
std::string DeviceName(const Context& ctx);

// CmdOpen with `timeoutTens`, or with --rts/--dtr the host's record filled
// and CmdReopen. The driver's result; nothing is said.
std::int32_t OpenChannel(Context& ctx, std::int32_t timeoutTens);
// OpenChannel, and on failure the reason, found out from the system.
bool OpenLine(Context& ctx, std::int32_t timeoutTens);
void ExplainOpenFailure(const Context& ctx, std::int32_t result);
void CloseLine(Context& ctx);

// The exchanges of a read or write when nothing fails: the transaction,
// after a selection unless the station is selected already (or is 00).
int ExchangesFor(const Context& ctx, const PointAddress& point);

// What CmdReopen leaves the port on.
constexpr double kReopenTimeoutMs = 1000.0;

}  // namespace westnet::poll
