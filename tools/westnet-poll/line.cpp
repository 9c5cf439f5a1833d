#include "line.h"

#include <cstdio>

#include "port_check.h"
#include "serial_device.h"

namespace westnet::poll {
namespace {

// The time-out the poller falls back on without the driver's suggestion.
constexpr std::int32_t kFallbackTimeoutTens = 100;

}  // namespace

LineParams LineSettings(const Context& ctx) {
    const Options& o = ctx.o;
    LineParams line = ctx.info.record.line;
    if (o.baud) {
        line.baudRate = *o.baud;
    }
    if (o.dataBits) {
        line.dataBits = *o.dataBits;
    }
    if (o.stopBitsCode) {
        line.stopBits = *o.stopBitsCode;
    }
    if (o.parityCode) {
        line.parity = *o.parityCode;
    }
    return line;
}

std::int32_t TimeoutTens(const Context& ctx) {
    if (ctx.o.timeoutTens) {
        return *ctx.o.timeoutTens;
    }
    // The driver's suggestion sits where an open's reply time-out does.
    return ctx.info.record.value16 > 0 ? ctx.info.record.value16 : kFallbackTimeoutTens;
}

double PortTimeoutMs(const Context& ctx) {
    return HasOwnControlFlags(ctx.o) ? kReopenTimeoutMs : TimeoutTens(ctx) * 10.0;
}

std::string TimeoutText(const Context& ctx) {
    char text[160];
    if (HasOwnControlFlags(ctx.o)) {
        std::snprintf(text, sizeof text,
                      "%.0f ms, the driver's default after CmdReopen (with --rts or --dtr)",
                      PortTimeoutMs(ctx));
    } else if (ctx.o.timeoutTens) {
        std::snprintf(text, sizeof text, "%.0f ms, from --timeout", PortTimeoutMs(ctx));
    } else {
        std::snprintf(text, sizeof text, "%.0f ms, the driver's suggestion", PortTimeoutMs(ctx));
    }
    return text;
}

// Found again at every call: after a device went away, the path given may
// lead to another name (a simulator on a new pseudo-terminal, an adapter
// plugged in again). Messages name the path as the user gave it.
std::string DeviceName(const Context& ctx) {
    const host::DriverDeviceName named = host::NameForDriver(ctx.o.device);
    return named.error.empty() ? named.name : ctx.o.device;
}

std::int32_t OpenChannel(Context& ctx, std::int32_t timeoutTens) {
    if (!HasOwnControlFlags(ctx.o)) {
        return ctx.session.Open(DeviceName(ctx), timeoutTens, LineSettings(ctx));
    }
    // CmdOpen always stores RTS on and DTR off: other flags reach the port
    // only through the record and CmdReopen, without a first open that would
    // raise RTS on the line.
    ctx.session.StoreSettings(DeviceName(ctx), LineSettings(ctx), ControlFlagsFor(ctx.o));
    return ctx.session.Reopen();
}

bool OpenLine(Context& ctx, std::int32_t timeoutTens) {
    const std::int32_t result = OpenChannel(ctx, timeoutTens);
    if (result != ResOk) {
        ctx.verdict.Note(result);
        ExplainOpenFailure(ctx, result);
        return false;
    }
    return true;
}

void ExplainOpenFailure(const Context& ctx, std::int32_t result) {
    const host::OpenFailure why = host::DiagnoseOpen(ctx.o.device, LineSettings(ctx));
    std::string message =
        "cannot open " + ctx.o.device + " (driver result " + std::to_string(result) + "): ";
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

void CloseLine(Context& ctx) {
    const std::int32_t result = ctx.session.Close();
    if (result != ResOk) {
        ctx.verdict.Note(result);
        Complain("closing " + ctx.o.device + " failed (driver result " + std::to_string(result) +
                 ")");
    }
}

int ExchangesFor(const Context& ctx, const PointAddress& point) {
    const std::int32_t station = point.station;
    const bool selects =
        station != ctx.session.Channel().selectedStation && station != 0 && station != STATION_NONE;
    return selects ? 2 : 1;
}

}  // namespace westnet::poll
