// The stations' reply times, measured with a long time-out: what line-check
// shows, and what a run with commands slower than its reply time-out
// measures to say which time-out would have served.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "points.h"
#include "stats.h"
#include "timing.h"

namespace westnet::poll {

// One station's reply times.
struct StationTimes {
    std::int32_t station = 0;
    std::string address;  // the point read to measure it
    PollStats replies;    // one entry per exchange
    std::int64_t samples = 0;
    std::int64_t retried = 0;  // samples left out: a reply missed even the long time-out
    std::string failure;       // why measuring stopped early, or empty
};

// The time-out a measurement runs with: long enough for any station that
// answers, and never shorter than --timeout.
std::int32_t MeasureTimeoutTens(const Options& o);

// Opens the line, times `samples` selections and reads of each probe's
// station, and closes it again.
std::vector<StationTimes> MeasureStations(Context& ctx, const std::vector<Point>& probes,
                                          std::int64_t samples);
// How the measuring went, for a row.
std::string MeasuredText(const StationTimes& t);

// The warning after a run with commands slower than the reply time-out,
// and the time-out that would have avoided them, measured on the stations
// that answered.
void ReportSlowCommands(Context& ctx, const SlowCommands& slow, const std::vector<Point>& points,
                        const std::vector<bool>& answered);

}  // namespace westnet::poll
