// The statistics of a line and of its stations: commands and their results,
// time per command, the wire time and the bus load, the scan passes, the
// latest errors, demotions, reopens, confirmations, and replies that come
// close to the reply time-out.
//
// Plain state: it takes no lock and knows no thread. The scanner keeps it
// under its lock, since the status page reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plant/plant.h"
#include "scan/point_map.h"
#include "scan/service.h"

namespace westnet::gateway {

// Time per command over the latest kLatencyRing commands.
class LatencyRing {
public:
    static constexpr std::size_t kSize = 1024;
    void Add(double ms);
    LatencySummary Summary() const;

private:
    std::vector<double> ms_;
    std::size_t next_ = 0;
};

// The wire time of a line's frames per second over the latest
// kSeconds, as a share of the time: the bus load.
class BusWindow {
public:
    static constexpr int kSeconds = 10;
    explicit BusWindow(SteadyTime start);
    // `wireMs` of frames that ended at `end`.
    void Add(double wireMs, SteadyTime end);
    // The share of the window that ends at `now` (of the time since the
    // start while that is shorter), 0 to 1.
    double Load(SteadyTime now) const;

private:
    std::vector<double> buckets_;  // per second: second s in buckets_[s % kSeconds]
    long second_ = 0;              // the latest second with a bucket
    SteadyTime start_;
};

class LineStats {
public:
    LineStats(const LineConfig& config, const PointMap& map, SteadyTime start);

    // One command to `station` that ended at `end` with `result` after `ms`;
    // its frames take `wireMs` on the line. A station the line has no point
    // of is not counted.
    void BookCommand(int station, std::int32_t result, double ms, double wireMs, SteadyTime end);
    // `waitedMs` is what a good command took beyond its frames' wire time.
    // When it comes close to the reply time-out a reply later still may be
    // taken for the next request's answer: said once, in the log and in the
    // station's status, with the time-out that would serve.
    void NoteLateness(int station, std::int32_t result, double waitedMs);
    // A failed command: the station's latest error, and the line's.
    void BookFailure(int station, const std::string& text, WallTime when);
    // The line's latest error (it went down).
    void BookLineError(const std::string& text, WallTime when);
    void BookDemotion(int station);
    void BookReopen() { ++reopens_; }
    void BookConfirmation() { ++confirmations_; }
    void BookDisagreement() { ++disagreements_; }
    void BookPass(SteadyTime start, SteadyTime end);

    // The line's figures and its stations' (number, counts, latency, errors,
    // lateness; their states are not the statistics' to tell). A line that
    // is down keeps no pace: it shows no bus load, pass or cycle.
    LineStatus Report(SteadyTime now, bool down) const;

private:
    struct Station {
        int number = 0;
        CommandCounts counts;
        std::uint64_t demotions = 0;
        ErrorNote lastError;
        LatencyRing latency;
        int lateSlowestMs = 0;
        int lateSuggestMs = 0;
    };

    Station* Find(int number);

    const LineConfig& config_;
    std::vector<Station> stations_;
    CommandCounts counts_;
    std::uint64_t demotions_ = 0;
    std::uint64_t reopens_ = 0;
    std::uint64_t confirmations_ = 0;
    std::uint64_t disagreements_ = 0;
    ErrorNote lastError_;
    LatencyRing latency_;
    double wireMs_ = 0;
    BusWindow bus_;
    std::uint64_t passes_ = 0;
    double passSeconds_ = 0;
    double cycleSeconds_ = 0;
    SteadyTime lastPassStart_{};
};

}  // namespace westnet::gateway
