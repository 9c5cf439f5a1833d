// Control of single stations while the simulator runs (--control): one
// command line in, one answer line out. A silenced station neither answers
// nor takes a request, as if it had died on the line; a station with faults
// of its own draws them instead of the line's --fault rates and --script.
//
// The commands are plain computations on this state, so that they can be
// checked without a socket; the line layer (line.h) carries the text.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "faults.h"
#include "station.h"

namespace westnet::sim {

// Longest command line taken; the socket refuses a longer one whole.
constexpr std::size_t kControlLineMax = 512;

class StationControls {
public:
    // `seed` and `late_ms` are the line's (--seed, --late-ms): a station's
    // own faults draw from a generator of their own, seeded from both the
    // line's seed and the station number, so that a run can be repeated.
    StationControls(std::uint64_t seed = 1, int late_ms = 1500) : seed_(seed), late_ms_(late_ms) {}

    // Carries out one command (without its line end) and returns the answer
    // line: "ok", "ok ..." for status, or "error: what is wrong". Nothing
    // changes on an error.
    std::string Execute(const std::string& command, const Plant& plant);

    bool Silenced(int station) const { return silenced_.count(station) != 0; }
    // The station's own faults, or nullptr when it takes the line's.
    FaultPlan* Faults(int station);

private:
    struct OwnFaults {
        FaultPlan plan;
        std::string shown;  // the faults as status shows them
    };
    std::string Status(const Plant& plant) const;

    std::uint64_t seed_;
    int late_ms_;
    std::set<int> silenced_;
    std::map<int, OwnFaults> faults_;
};

// Serve (faults.h) with the controls: a request for a silenced station gets
// no answer and has no effect (a select of it drops the selection, as for a
// station that is not there); one for a station with faults of its own
// draws from them.
Outcome Serve(Plant& plant, FaultPlan& faults, StationControls& controls, const std::uint8_t* frame,
              std::size_t length);
inline Outcome Serve(Plant& plant, FaultPlan& faults, StationControls& controls,
                     const Bytes& frame) {
    return Serve(plant, faults, controls, frame.data(), frame.size());
}

}  // namespace westnet::sim
