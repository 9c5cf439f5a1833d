// One line's worker: it owns the line (opening it, closing it when every
// station fails, opening it again after 0.5 s, doubling to 10 s) and runs
// every command through the Channel, and it wires together the units that
// keep the rest: the request queue and the scan passes (schedule.h), the
// station states (station_states.h), the value cache (cache_writer.h) and
// the statistics (line_stats.h). Plain code over a Channel and a Clock: the
// line's worker thread calls Step() over and over, and a test does the same
// with a scripted channel and a fake clock, with no thread, no sleep and no
// line.
//
// Each Step() does one piece of work, in this order: the queued writes, then
// the front ends' reads, then a connection's read in turn when their share of
// the line allows one, then the next block of the scan pass under way, then
// a new pass over the points that are due.
//
// The reads of connections (a Modbus client's registers that no point
// covers) have at most a share of the line's time: each one that took d
// leaves the line to the rest for d x (1 - share) / share before the next
// one, whatever else is waiting (the line's idle time is not lent to them).
// So over any stretch of a few of them they take that share at most, and the
// scan is held up by one of them at a time, never by a run of them: it keeps
// its pace whatever the clients ask.
//
// Threads: only the worker steps the scanner and uses the channel. What
// other threads read (the queue, the station states, the cache, the
// statistics, the line's state) is guarded by the scanner's one mutex; the
// schedule of the passes is the worker's alone. Methods named ...Locked()
// need that mutex held.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "scan/cache_writer.h"
#include "scan/channel.h"
#include "scan/line_stats.h"
#include "scan/plan.h"
#include "scan/point_map.h"
#include "scan/schedule.h"
#include "scan/service.h"
#include "scan/station_states.h"
#include "sync/mutex.h"

namespace westnet::gateway {

// Told of what a scanner did: after its lock is released, on the thread that
// called Step() (or Submit, for a request answered at once).
class LineEvents {
public:
    virtual ~LineEvents() = default;
    virtual void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) = 0;
    virtual void StationChanged(std::size_t line, int station, StationState state) = 0;
};

constexpr std::chrono::milliseconds kReopenFirst{500};
constexpr std::chrono::milliseconds kReopenMax{10000};

class LineScanner {
public:
    LineScanner(std::size_t index, const LineConfig& config, bool readOnly, Channel& channel,
                const Clock& clock, LineEvents& events);

    // --- the worker's side
    // Does one piece of work and returns when it wants to run again: at once
    // (a time not after Clock::Now()) while work is waiting.
    SteadyTime Step();
    // Asks the worker to finish: the writes already queued still go out, the
    // reads are answered ShuttingDown, then the channel closes.
    void Stop();
    bool Finished() const;
    // Called (from any thread) whenever a request is queued or Stop() asked.
    void SetWake(std::function<void()> wake);

    // --- any thread
    enum class Admission {
        Queued,    // `done` was taken and will be called once by Step()
        Answered,  // refused without reaching the line: `outcome` says why; `done` left alone
        Full,      // the queue is full; `done` left alone
    };
    Admission Submit(LineOp& op, Completion& done, Outcome& outcome);
    Admission SubmitPointWrite(std::size_t point, std::vector<std::uint16_t>& values,
                               Completion& done, Outcome& outcome);

    PointSample Sample(std::size_t point) const;
    bool CachedRegisters(int station, int reg, int count, std::vector<std::uint16_t>& words) const;
    bool RegistersWritable(int station, int reg, int count) const;
    StationState State(int station) const;
    bool Up() const;
    LineStatus Status() const;
    const LineConfig& Config() const { return config_; }
    // Whether the line has tried its first open: it is open, or down.
    bool Settled() const;

    // A reload of the plant file that keeps this line may move it to another
    // place in the plant, or turn read_only on or off; nothing else of its
    // settings changes while it lives.
    void SetIndex(std::size_t index) { index_.store(index); }
    void SetReadOnly(bool readOnly) { readOnly_.store(readOnly); }
    // The share of the line's time the reads of connections may take, above
    // 0 and at most 1 ([gateway] modbus_readthrough_share).
    void SetReadThroughShare(double share) { share_.store(share); }
    // A connection has gone: its reads still waiting go into `out`, answered
    // ShuttingDown, for the caller to deliver once no lock is held.
    void Forget(std::uint64_t session, Completions& out);

private:
    using Duration = SteadyTime::duration;
    using Request = RequestQueue::Request;

    // What Step() tells once its lock is released.
    struct Outbox {
        PointUpdates points;
        StationChanges stations;
        Completions completions;
    };

    Outcome CheckLocked(const LineOp& op) const REQUIRES(mutex_);
    void TryOpen(SteadyTime now, Outbox& out) EXCLUDES(mutex_);
    void GoDownLocked(SteadyTime now, const std::string& why, Outbox& out) REQUIRES(mutex_);

    // Runs one command and books it: statistics, the station's state, the
    // line's. Returns the driver's result.
    std::int32_t Command(int station, long chars, long requestChars,
                         const std::function<std::int32_t()>& call, Outbox& out);
    void BookLocked(int station, long chars, long requestChars, std::int32_t result,
                    SteadyTime start, SteadyTime end, Outbox& out) REQUIRES(mutex_);
    void Execute(Request& request, Outbox& out);
    bool StartPass(SteadyTime now);
    void RunBlock(const PassBlock& pass, Outbox& out);
    SteadyTime NextWakeLocked(SteadyTime now) const REQUIRES(mutex_);
    void Deliver(Outbox& out);

    // Fixed at construction, or atomic: they need no lock.
    std::atomic<std::size_t> index_;
    const LineConfig config_;
    std::atomic<bool> readOnly_;
    std::atomic<double> share_{GatewayConfig{}.modbusReadthroughShare};
    const PointMap map_;
    Channel& channel_;  // the worker's alone
    const Clock& clock_;
    LineEvents& events_;
    const double charMs_;

    // The scan passes, and when the next read of a connection may go: the
    // worker's alone.
    ScanSchedule schedule_;
    SteadyTime turnAt_{};

    // What front ends and the worker share.
    mutable Mutex mutex_;
    std::function<void()> wake_ GUARDED_BY(mutex_);
    RequestQueue queue_ GUARDED_BY(mutex_);
    StationStates stations_ GUARDED_BY(mutex_);
    CacheWriter cache_ GUARDED_BY(mutex_);
    LineStats stats_ GUARDED_BY(mutex_);
    // The line itself.
    bool open_ GUARDED_BY(mutex_) = false;
    bool everOpened_ GUARDED_BY(mutex_) = false;
    bool down_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool finished_ GUARDED_BY(mutex_) = false;
    SteadyTime reopenAt_ GUARDED_BY(mutex_){};
    Duration backoff_ GUARDED_BY(mutex_) = kReopenFirst;
    std::string downReason_ GUARDED_BY(mutex_);
    std::string device_ GUARDED_BY(mutex_);  // the name the line is open under
};

}  // namespace westnet::gateway
