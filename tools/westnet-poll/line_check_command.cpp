// line-check: the channel's lifecycle on the line, one command at a time;
// then the line as it runs: its control flags, a USB adapter's latency timer,
// and each station's reply times measured with a long time-out, from which
// the smallest safe reply time-out follows.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "measure.h"
#include "points.h"
#include "port_check.h"

namespace westnet::poll {
namespace {

constexpr std::int64_t kDefaultSamples = 5;
constexpr std::int64_t kMaxSamples = 1000;

std::string Hex4(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

std::string JsonArray(const std::string& rendered) {
    std::string text = rendered;
    while (!text.empty() && text.back() == '\n') {
        text.pop_back();
    }
    return text;
}

}  // namespace

int LineCheckCommand(Context& ctx) {
    const Options& o = ctx.o;
    host::Session& session = ctx.session;
    struct Step {
        const char* name;
        std::int32_t code;
    };
    const std::string device = DeviceName(ctx);
    const Step steps[] = {
        {"open", CmdOpen},
        {"purge", CmdPurge},
        {"close", CmdClose},
        {"reopen", CmdReopen},
        {"purge", CmdPurge},
        {"shutdown", CmdShutdown},
        {"reconfigure", CmdReconfigure},
        {"close", CmdClose},
    };
    // What to measure: a point of each station named, in the order given.
    std::vector<Point> probes;
    for (const Point& point : ParsePoints(ctx)) {
        const bool seen = std::any_of(probes.begin(), probes.end(), [&](const Point& p) {
            return p.parsed.record.station == point.parsed.record.station;
        });
        if (point.accepted && !seen) {
            probes.push_back(point);
        }
    }
    for (const std::int32_t station : o.stations) {
        const bool seen = std::any_of(probes.begin(), probes.end(), [&](const Point& p) {
            return p.parsed.record.station == station;
        });
        if (!seen) {
            // A station named alone is measured on its first register.
            char text[16];
            std::snprintf(text, sizeof text, "%02d00001", static_cast<int>(station));
            Point point{text, {}, 0, false};
            point.accepted = ParsePoint(ctx, text, 0, point.parsed);
            if (point.accepted) {
                probes.push_back(point);
            }
        }
    }
    WarnOfStationZero(probes);

    std::vector<std::vector<Cell>> rows;
    bool opened = true;
    for (const Step& step : steps) {
        const auto start = std::chrono::steady_clock::now();
        std::int32_t result = ResOk;
        switch (step.code) {
            case CmdOpen:
                result = session.Open(device, TimeoutTens(ctx), LineSettings(ctx));
                break;
            case CmdPurge:
                result = session.Purge();
                break;
            case CmdClose:
                result = session.Close();
                break;
            case CmdReopen:
                result = session.Reopen();
                break;
            case CmdShutdown:
                result = session.Shutdown();
                break;
            case CmdReconfigure:
                result = session.Reconfigure(device, TimeoutTens(ctx), LineSettings(ctx));
                break;
            default:
                break;
        }
        const double ms = MillisecondsSince(start);
        ctx.verdict.Note(result);
        rows.push_back(
            {Cell::Of(std::string(step.name)), Cell::Of(static_cast<std::int64_t>(step.code)),
             Cell::Of(ResultText(result)),
             Cell::Of(std::string(session.IsOpen() ? "open" : "closed")), Cell::Milliseconds(ms)});
        if (step.code == CmdOpen && result != ResOk) {
            ExplainOpenFailure(ctx, result);
            opened = false;
            break;
        }
    }
    if (session.IsOpen()) {
        CloseLine(ctx);
    }
    const std::vector<Column> stepColumns = {{"step"}, {"command"}, {"result"}, {"port"}, {"ms"}};

    // The line as the other commands run it: the flags from --rts and --dtr
    // reach the port through the record and CmdReopen.
    const std::uint16_t flags = ControlFlagsFor(o);
    const std::string flagsText =
        Hex4(flags) + ": " + host::ControlFlagsText(flags) +
        (HasOwnControlFlags(o) ? " (from --rts and --dtr, through the channel record and "
                                 "CmdReopen: the port runs the driver's 1 s reply time-out)"
                               : " (what CmdOpen stores; --rts and --dtr choose others)");
    const host::LatencyTimer latency = host::UsbLatencyTimer(o.device);
    std::string latencyText = "none found (not a USB serial adapter that has one)";
    if (latency.found) {
        latencyText = latency.adapter + ": " + std::to_string(latency.milliseconds) + " ms";
        if (latency.milliseconds > 1) {
            latencyText +=
                "; every reply waits up to that long in the adapter: set it to 1 ms "
                "(echo 1 > " +
                latency.file + ", or a udev rule)";
        }
    }
    const std::int64_t samples = o.rounds > 0 ? std::min(o.rounds, kMaxSamples) : kDefaultSamples;
    std::vector<StationTimes> times;
    if (opened) {
        times = MeasureStations(ctx, probes, samples);
    }
    std::vector<std::vector<Cell>> stationRows;
    double worst = -1.0;
    double quickest = 0.0;
    std::int32_t recommended = 0;
    for (const StationTimes& t : times) {
        const bool measured = t.replies.Exchanges() > 0;
        const std::int32_t timeout =
            measured ? RecommendedTimeoutMs(t.replies.Min(), t.replies.Max()) : 0;
        if (measured) {
            quickest = worst < 0 ? t.replies.Min() : std::min(quickest, t.replies.Min());
            worst = std::max(worst, t.replies.Max());
            recommended = std::max(recommended, timeout);
        }
        stationRows.push_back(
            {Cell::Of(static_cast<std::int64_t>(t.station)), Cell::Of(t.address),
             Cell::Of(t.samples), Cell::Of(t.replies.Exchanges()),
             measured ? Cell::Milliseconds(t.replies.Min()) : Cell::None(),
             measured ? Cell::Milliseconds(t.replies.Median()) : Cell::None(),
             measured ? Cell::Milliseconds(t.replies.Max()) : Cell::None(),
             measured ? Cell::Of(static_cast<std::int64_t>(timeout)) : Cell::None(),
             Cell::Of(MeasuredText(t))});
        if (!t.failure.empty()) {
            ctx.verdict.LineFailed();
        }
    }
    const std::vector<Column> stationColumns = {{"station"},   {"address"},    {"samples"},
                                                {"exchanges"}, {"min_ms"},     {"median_ms"},
                                                {"max_ms"},    {"timeout_ms"}, {"measured"}};

    std::string advice;
    if (!opened) {
        advice = "the line did not open: nothing measured";
    } else if (probes.empty()) {
        advice =
            "give --station N or point addresses to measure the stations' reply times and the "
            "reply time-out they need";
    } else if (worst < 0) {
        advice = "no station answered: nothing to recommend";
    } else if (HasOwnControlFlags(o)) {
        char text[320];
        std::snprintf(text, sizeof text,
                      "the slowest reply measured took %.1f ms; with --rts or --dtr the port runs "
                      "the driver's 1 s reply time-out, which --timeout cannot change: a station "
                      "slower than that cannot be served",
                      worst);
        advice = text;
    } else {
        char text[600];
        std::snprintf(text, sizeof text,
                      "recommended: --timeout %d (the replies measured with a %d ms time-out "
                      "took %.1f to %.1f ms; the time-out is half as much again as the slowest "
                      "reply, and at least twice the slowest less the quickest, so that two slow "
                      "exchanges in one command are not taken for a retry; rounded up to tens of "
                      "ms); this run's reply time-out is %s",
                      static_cast<int>(recommended), static_cast<int>(MeasureTimeoutTens(o) * 10),
                      quickest, worst, TimeoutText(ctx).c_str());
        advice = text;
    }

    switch (o.format) {
        case Format::Table:
            Print(RenderRows(o.format, stepColumns, rows) + "\ncontrol flags  " + flagsText +
                  "\nlatency timer  " + latencyText + "\n");
            if (!stationRows.empty()) {
                Print("\n" + RenderRows(o.format, stationColumns, stationRows));
            }
            Print("\n" + advice + "\n");
            break;
        case Format::Csv:
            Print(RenderRows(o.format, stepColumns, rows) + "\n" +
                  RenderRows(o.format, stationColumns, stationRows));
            Complain("control flags " + flagsText);
            Complain("latency timer " + latencyText);
            Complain(advice);
            break;
        case Format::Json: {
            const std::string timeout = worst < 0 ? "null" : std::to_string(recommended);
            Print(
                "{\"steps\": " + JsonArray(RenderRows(o.format, stepColumns, rows)) +
                ",\n\"control_flags\": " + std::to_string(flags) + ", \"control_flags_text\": " +
                JsonString(host::ControlFlagsText(flags)) + ",\n\"latency_timer_ms\": " +
                (latency.found ? std::to_string(latency.milliseconds) : "null") +
                ",\n\"stations\": " + JsonArray(RenderRows(o.format, stationColumns, stationRows)) +
                ",\n\"recommended_timeout_ms\": " + timeout + "}\n");
            Complain(advice);
            break;
        }
    }
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
