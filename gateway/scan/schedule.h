// What a line does next: the front ends' requests waiting for it (writes
// ahead of reads), and the scan passes (which points are due, the blocks of
// the pass under way, the pace of each point).
//
// A pass plans its blocks from the points due when it starts, so points
// with different scan_ms share a block only when both are due. A point's
// next read comes a scan period after its due time, so points due together
// stay due together and a pass that ran late does not make the next one
// come early.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <utility>
#include <vector>

#include "plant/plant.h"
#include "scan/plan.h"
#include "scan/point_map.h"
#include "scan/service.h"
#include "scan/station_states.h"

namespace westnet::gateway {

constexpr std::size_t kLineQueueMax = 256;

// Completions to call once the scanner's lock is released.
using Completions = std::vector<std::pair<Completion, LineOpResult>>;

// The front ends' requests for one line. Plain state: the scanner keeps it
// under its lock, since any thread queues.
//
// Three queues: the writes, the other reads, and the reads of connections
// (Requester::session not 0), kept per connection, which take turns: each
// connection with reads waiting has its oldest one served in the order of
// the connections' numbers, round and round, so that a client that keeps
// many reads waiting holds up another's by one read each time at most.
class RequestQueue {
public:
    struct Request {
        LineOp op;
        Completion done;
    };

    // Takes both; false, and both left alone, when kLineQueueMax writes and
    // other reads wait already, or for a connection's read when that
    // connection has kSessionReadsMax reads waiting or kLineQueueMax reads
    // of connections wait (they have room of their own: however many
    // clients wait, writes still find theirs).
    bool Push(LineOp& op, Completion& done);
    // The oldest write, else the oldest read not of a connection; false when
    // none waits.
    bool Pop(Request& request);
    bool PopWrite(Request& request);
    // The next connection's read, in turn; false when none waits.
    bool PopTurn(Request& request);
    // Whether a write or a read not of a connection waits (what Pop takes).
    bool Waiting() const { return !writes_.empty() || !reads_.empty(); }
    // Whether a connection's read waits (what PopTurn takes).
    bool TurnsWaiting() const { return turnReads_ > 0; }
    std::size_t Size() const { return writes_.size() + reads_.size() + turnReads_; }
    bool Empty() const { return Size() == 0; }
    // Answers every waiting read, and with `writesToo` every write, with
    // `outcome`.
    void AnswerAll(Outcome outcome, bool writesToo, Completions& out);
    // Answers the reads of connection `session` still waiting with `outcome`.
    void Forget(std::uint64_t session, Outcome outcome, Completions& out);

private:
    std::deque<Request> writes_;
    std::deque<Request> reads_;
    std::map<std::uint64_t, std::deque<Request>> turns_;  // by connection; none empty
    std::size_t turnReads_ = 0;
    std::uint64_t lastTurn_ = 0;  // the connection served last
};

// One command of a pass: a block of points, or a demoted station's probe.
struct PassBlock {
    Block block;
    bool probe = false;
};

// The scan passes of one line: the worker's alone (no other thread reads
// it), so it needs no lock.
class ScanSchedule {
public:
    ScanSchedule(const LineConfig& config, const PointMap& map, SteadyTime start);

    // Every point due at `when` (the line just opened).
    void AllDueAt(SteadyTime when);
    // These points due no later than `when`.
    void DueBy(const std::vector<std::size_t>& points, SteadyTime when);
    // The earliest due time of the points of the ok stations and the probe
    // of the demoted ones, no later than `limit`.
    SteadyTime NextDue(const StationStates& stations, SteadyTime limit) const;

    // What a pass starting at `now` reads: the due points of the ok
    // stations, whose next reads it moves a scan period on, and the first
    // block of each demoted station whose probe is due.
    void Collect(const StationStates& stations, SteadyTime now, std::vector<std::size_t>& due,
                 std::vector<PassBlock>& probes);
    // Starts a pass over these (the station `selected` first); false, with
    // no pass started, when there is nothing to read.
    bool Begin(const std::vector<std::size_t>& due, const std::vector<PassBlock>& probes,
               int selected, SteadyTime now);
    // The pass's next block; false once it has none left.
    bool Next(PassBlock& block);
    // Whether a pass was begun and not finished yet.
    bool Active() const { return active_; }
    // Ends the pass under way, returning when it started.
    SteadyTime Finish();
    // Drops the pass under way (the line went down).
    void Drop();

private:
    const LineConfig& config_;
    const PointMap& map_;
    std::vector<SteadyTime> nextDue_;  // per point
    std::vector<PassBlock> pass_;
    std::size_t next_ = 0;
    bool active_ = false;
    SteadyTime start_{};
};

}  // namespace westnet::gateway
