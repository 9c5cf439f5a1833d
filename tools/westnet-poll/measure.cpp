#include "measure.h"

#include <algorithm>
#include <cstdio>

#include "system.h"

namespace westnet::poll {
namespace {

constexpr std::int32_t kMeasureTimeoutTens = 200;
// The quiet before a measurement, for replies still on their way.
constexpr long kSettleMs = 250;

}  // namespace

std::int32_t MeasureTimeoutTens(const Options& o) {
    return o.timeoutTens ? std::max(*o.timeoutTens, kMeasureTimeoutTens) : kMeasureTimeoutTens;
}

// Each sample times a selection and a read, one exchange each, so that the
// selection's reply is measured as well as the read's.
std::vector<StationTimes> MeasureStations(Context& ctx, const std::vector<Point>& probes,
                                          std::int64_t samples) {
    std::vector<StationTimes> times;
    const std::int32_t timeoutTens = MeasureTimeoutTens(ctx.o);
    if (probes.empty() || !OpenLine(ctx, timeoutTens)) {
        return times;
    }
    const double limitMs = HasOwnControlFlags(ctx.o) ? kReopenTimeoutMs : timeoutTens * 10.0;
    host::Session& session = ctx.session;
    // A station may still be answering requests that timed out before
    // (a run with too short a time-out leaves such a backlog): a pause, then
    // a purge, so that the first reply timed is an answer to its own request.
    host::SleepMilliseconds(kSettleMs);
    session.Purge();
    for (const Point& probe : probes) {
        StationTimes station;
        station.station = probe.parsed.record.station;
        station.address = probe.text;
        // One read first, not timed: it selects the station, and a reply
        // still on its way meets this read rather than a timed one.
        std::uint16_t ignored = 0;
        session.ReadPoint(probe.parsed.record, ignored);
        // A selection alone: a point of no known kind is refused by the
        // driver after the selection and before any transaction is sent.
        PointAddress selectOnly = probe.parsed.record;
        selectOnly.kind = 0;
        const bool selects = station.station != 0;
        for (std::int64_t i = 0; i < samples && gInterrupted == 0; ++i) {
            std::uint16_t value = 0;
            double selection = 0.0;
            bool selectionFailed = false;
            std::int32_t result = ResOk;
            if (selects) {
                session.ForgetSelection();
                const auto start = std::chrono::steady_clock::now();
                session.ReadPoint(selectOnly, value);
                selection = MillisecondsSince(start);
                selectionFailed = session.Channel().selectedStation != station.station;
                result = selectionFailed ? ResFail : ResOk;
            }
            double read = 0.0;
            if (result == ResOk) {
                const auto start = std::chrono::steady_clock::now();
                result = session.ReadPoint(probe.parsed.record, value);
                read = MillisecondsSince(start);
            }
            if (result != ResOk) {
                station.failure =
                    (selectionFailed ? std::string("selection failed") : ResultText(result)) +
                    " on sample " + std::to_string(i + 1);
                break;
            }
            // An exchange that waited out the time-out was tried again: its
            // time is the time-out's, not the station's.
            if (selection > limitMs || read > limitMs) {
                ++station.retried;
                continue;
            }
            ++station.samples;
            station.replies.Add(ResOk, read);
            if (selects) {
                station.replies.Add(ResOk, selection);
            }
        }
        times.push_back(station);
    }
    CloseLine(ctx);
    return times;
}

std::string MeasuredText(const StationTimes& t) {
    std::string text = t.failure.empty() ? "ok" : t.failure;
    if (t.retried > 0) {
        text += ", " + std::to_string(t.retried) + (t.retried == 1 ? " sample" : " samples") +
                " left out (a reply lost, or later than this time-out, and tried again)";
    }
    return text;
}

void ReportSlowCommands(Context& ctx, const SlowCommands& slow, const std::vector<Point>& points,
                        const std::vector<bool>& answered) {
    if (!slow.Suspect()) {
        return;
    }
    char head[320];
    std::snprintf(head, sizeof head,
                  "%lld of %lld commands took longer than the reply time-out (%.0f ms): a station "
                  "answered late or not at all, and the driver tried again.",
                  static_cast<long long>(slow.Slow()), static_cast<long long>(slow.Commands()),
                  slow.TimeoutMs());
    Warn(std::string(head) +
         " The highway's frames carry no sequence number, so a late reply may have been taken "
         "for the answer to a later request: values shown as ok may belong to another point.");
    // One probe a station, among the stations that answered at all: a
    // silent one would only cost its time-outs.
    std::vector<Point> probes;
    std::string addresses;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const bool seen = std::any_of(probes.begin(), probes.end(), [&](const Point& p) {
            return p.parsed.record.station == points[i].parsed.record.station;
        });
        if (points[i].accepted && answered[i] && !seen) {
            probes.push_back(points[i]);
            addresses += " " + (points[i].text.find(' ') == std::string::npos
                                    ? points[i].text
                                    : "\"" + points[i].text + "\"");
        }
    }
    const std::string lineCheck =
        "westnet-poll --device " + ctx.o.device + " line-check" + addresses;
    if (HasOwnControlFlags(ctx.o)) {
        Complain(
            "with --rts or --dtr the port runs the driver's default reply time-out of 1 s, "
            "which --timeout cannot lengthen; " +
            lineCheck + " measures the stations' replies");
        return;
    }
    if (gInterrupted != 0 || probes.empty()) {
        Complain("measure the stations' replies with " + lineCheck +
                 ": it prints the --timeout to use");
        return;
    }
    const std::vector<StationTimes> times = MeasureStations(ctx, probes, 5);
    std::int32_t recommended = 0;
    std::string measured;
    for (const StationTimes& t : times) {
        char text[128];
        if (t.samples == 0) {
            std::snprintf(text, sizeof text, "station %s not measured (%s)",
                          StationText(t.station).c_str(),
                          t.failure.empty() ? "every sample was retried" : t.failure.c_str());
        } else {
            std::snprintf(text, sizeof text, "station %s within %.1f ms",
                          StationText(t.station).c_str(), t.replies.Max());
            recommended =
                std::max(recommended, RecommendedTimeoutMs(t.replies.Min(), t.replies.Max()));
        }
        measured += (measured.empty() ? "" : ", ") + std::string(text);
    }
    if (measured.empty()) {
        return;
    }
    char tail[200];
    if (recommended > slow.TimeoutMs()) {
        std::snprintf(tail, sizeof tail, "run again with --timeout %d",
                      static_cast<int>(recommended));
    } else {
        std::snprintf(tail, sizeof tail,
                      "these fit the time-out: the slow commands were replies lost or delayed "
                      "now and then; more samples (line-check --count 50) may find them");
    }
    Complain("replies measured with a " + std::to_string(MeasureTimeoutTens(ctx.o) * 10) +
             " ms time-out: " + measured + "; " + tail + " (" + lineCheck +
             " measures them at any time)");
}

}  // namespace westnet::poll
