// The portable simulator: the loop that reads requests off the line, frames
// them, has the plant and the fault plan answer them and sends the replies
// at their time, with the trace, the statistics and the dump. The line and
// the clock come from line.h.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "animate.h"
#include "control.h"
#include "faults.h"
#include "line.h"
#include "options.h"
#include "station.h"

namespace westnet::sim {

// Writes the plant as an image to `path` through a temporary file beside it,
// so that a reader never sees half a dump; false (with a message on stderr)
// when it cannot.
bool WriteDump(const std::string& path, const Plant& plant);

// Checks at the start that WriteDump will be able to write `path`: false
// with `what` when it is a directory or its folder takes no new file.
bool CheckDumpPath(const std::string& path, std::string& what);

class Simulator {
public:
    // The clock of the trace and of the animations starts here.
    // The commands of the line's control socket go to `controls`.
    Simulator(const Options& options, Plant& plant, FaultPlan& faults, StationControls& controls,
              Animator& animator, Line& line);

    // Serves the line until the run is to end; returns the exit status.
    int Run();
    // Writes the --dump file, the animated registers brought up to date.
    bool Dump();
    void PrintStats() const;

private:
    enum class Step { kGoOn, kStop, kFail };

    Step Answer(const Bytes& frame, std::int64_t arrival);
    Step Send(const Bytes& reply, std::int64_t deadline);
    Step Put(const std::uint8_t* bytes, std::size_t length);
    // Waits for the monotonic time `deadline`, serving dump requests; kStop
    // when the run is to end meanwhile, kFail when the wait failed.
    Step Delay(std::int64_t deadline);
    Step LineFailed(const char* doing);
    void Animate(std::int64_t at);
    void Trace(std::int64_t at, const Bytes& rx, const Bytes& tx, const std::string& text) const;

    struct Stats {
        unsigned long frames = 0;
        unsigned long replies = 0;
        unsigned long writes_applied = 0;
        unsigned long partial = 0;
        unsigned long partial_bytes = 0;
        unsigned long send_stalls = 0;
        std::map<std::string, unsigned long> answered;  // by request name
        std::map<std::string, unsigned long> ignored;   // by verdict
        std::map<std::string, unsigned long> faults;    // by fault kind
    };

    const Options& options_;
    Plant& plant_;
    FaultPlan& faults_;
    StationControls& controls_;
    Animator& animator_;
    Line& line_;
    Framer framer_;
    Stats stats_;
    std::int64_t start_ = 0;
    std::int64_t char_ns_ = 0;
    std::int64_t gap_ns_ = 0;
};

}  // namespace westnet::sim
