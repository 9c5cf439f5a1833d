// The states of a line's stations: ok; demoted after demote_after failed
// commands in a row, and then left alone but for one probe, demote_ms after
// the demotion and then ever less often (doubling up to kProbeGapMax, or
// demote_ms if longer), so that a long-dead station costs its line little;
// ok again at the first good reply; down with the whole line.
//
// Plain state: it takes no lock and knows no thread. The scanner keeps it
// under its lock, since front ends read the states.
#pragma once

#include <chrono>
#include <utility>
#include <vector>

#include "plant/plant.h"
#include "scan/point_map.h"
#include "scan/service.h"

namespace westnet::gateway {

// A demoted station is probed after demote_ms, then ever less often up to
// this (or demote_ms, if longer), so a long-dead one costs its line little.
constexpr std::chrono::milliseconds kProbeGapMax{60000};

// State changes in the order they happened, to be told once the scanner's
// lock is released.
using StationChanges = std::vector<std::pair<int, StationState>>;

class StationStates {
public:
    struct Entry {
        int number = 0;
        StationState state = StationState::Ok;
        int failuresInRow = 0;
        SteadyTime probeAt{};
        std::chrono::milliseconds probeGap{0};  // doubles with every failed probe
    };

    StationStates(const LineConfig& config, const PointMap& map);

    // By station number, in ascending order.
    const std::vector<Entry>& All() const { return stations_; }
    // Null for a station the line has no point of.
    const Entry* Find(int number) const;

    // A good reply. True when the station was not ok before it: its points
    // wait for no scan period then.
    bool Answered(int number, StationChanges& out);
    enum class Failure {
        Counted,      // one more in a row, still ok
        Demoted,      // that was one too many: demoted now
        ProbeFailed,  // a demoted station's probe failed: the next one comes later
    };
    Failure Failed(int number, SteadyTime at, StationChanges& out);
    // Whether every station has failed its latest try at `now`: demoted, with
    // no probe still to come (after a reopen every station is probed first).
    bool AllFailed(SteadyTime now) const;

    // The line opened for the first time: every station ok.
    void Opened(StationChanges& out);
    // The line opened again after it was down: every station demoted and
    // probed at once.
    void Reopened(SteadyTime now, StationChanges& out);
    // The line went down: every station with it.
    void LineDown(StationChanges& out);

private:
    Entry* FindEntry(int number);
    void Set(Entry& station, StationState state, StationChanges& out);

    int demoteAfter_;
    std::chrono::milliseconds demoteGap_;
    std::vector<Entry> stations_;
};

}  // namespace westnet::gateway
