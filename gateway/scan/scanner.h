// One line's scan engine: the request queue, the scan passes, the station
// states, the value cache and the statistics of one line. Plain code over a
// Channel and a Clock: the line's worker thread calls Step() over and over,
// and a test does the same with a scripted channel and a fake clock, with no
// thread, no sleep and no line.
//
// Each Step() does one piece of work, in this order: the queued writes, then
// the front ends' reads, then the next block of the scan pass under way, then
// a new pass over the points that are due. A pass plans its blocks from the
// points due when it starts, so points with different scan_ms share a block
// only when both are due.
//
// Stations: ok; demoted after demote_after failed commands in a row, and then
// left alone but for one probe every demote_ms; ok again at the first good
// reply. When every station of the line is demoted the line is down: the
// channel is closed and opened again after 0.5 s, doubling to 10 s, and on
// each reopen every station is probed at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "scan/channel.h"
#include "scan/plan.h"
#include "scan/service.h"

namespace westnet::gateway {

// Told of what a scanner did: after its lock is released, on the thread that
// called Step() (or Submit, for a request answered at once).
class LineEvents {
public:
    virtual ~LineEvents() = default;
    virtual void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) = 0;
    virtual void StationChanged(std::size_t line, int station, StationState state) = 0;
};

constexpr std::size_t kLineQueueMax = 256;
constexpr std::chrono::milliseconds kReopenFirst{500};
constexpr std::chrono::milliseconds kReopenMax{10000};
// How long a line that showed trouble has its changed values confirmed
// (confirm = "auto").
constexpr std::chrono::minutes kConfirmAfterTrouble{10};
// A demoted station is probed after demote_ms, then ever less often up to
// this (or demote_ms, if longer), so a long-dead one costs its line little.
constexpr std::chrono::milliseconds kProbeGapMax{60000};

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

private:
    using Duration = SteadyTime::duration;

    struct Latencies {
        std::vector<double> ms;  // a ring of the latest
        std::size_t next = 0;
        void Add(double value);
        LatencySummary Summary() const;
    };

    struct Station {
        int number = 0;
        StationState state = StationState::Ok;
        int failuresInRow = 0;
        SteadyTime probeAt{};
        std::chrono::milliseconds probeGap{0};  // doubles with every failed probe
        std::vector<std::size_t> points;
        CommandCounts counts;
        std::uint64_t demotions = 0;
        ErrorNote lastError;
        Latencies latency;
        int lateSlowestMs = 0;
        int lateSuggestMs = 0;
    };

    struct Point {
        SteadyTime nextDue{};
        PointSample sample;
        std::vector<std::uint16_t> words;  // as read: a bit point's whole register
        bool lastGood = false;
        // A write reached its registers since they were read: the cache no
        // longer tells what the station holds, so reads go to the line until
        // the point is read again.
        bool superseded = false;
    };

    struct Request {
        LineOp op;
        Completion done;
    };

    struct PassBlock {
        Block block;
        bool probe = false;
    };

    // What Step() tells once its lock is released.
    struct Outbox {
        std::vector<std::pair<std::size_t, PointSample>> points;
        std::vector<std::pair<int, StationState>> stations;
        std::vector<std::pair<Completion, LineOpResult>> completions;
    };

    Station* FindStation(int number);
    const Station* FindStation(int number) const;
    Quality QualityAt(const Point& point, std::size_t index, SteadyTime now) const;
    Outcome Check(const LineOp& op) const;

    void TryOpen(SteadyTime now, Outbox& out);
    void GoDown(SteadyTime now, const std::string& why, Outbox& out);
    void SetState(Station& station, StationState state, Outbox& out);
    void AnswerQueued(Outcome outcome, bool writesToo, Outbox& out);

    // Runs one command and books it: statistics, the station's state, the
    // line's. Returns the driver's result.
    std::int32_t Command(int station, long chars, long requestChars,
                         const std::function<std::int32_t()>& call, Outbox& out);
    void NoteLateness(Station& station, std::int32_t result, double waitedMs);
    void Execute(Request& request, Outbox& out);
    bool StartPass(SteadyTime now, Outbox& out);
    void RunBlock(const PassBlock& pass, Outbox& out);
    void FinishPass(SteadyTime now);
    // With `earlier` (a first read these words disagree with), only the
    // points on which both agree, or that keep their served value, are taken.
    void ApplyRead(int station, int reg, const std::vector<std::uint16_t>& words, Outbox& out,
                   const std::vector<std::uint16_t>* earlier = nullptr);
    // Whether changed values need a second read now, and whether these
    // words change (or give the first) value of any point they cover.
    bool Confirming(SteadyTime now) const;
    bool ChangesAPoint(int station, int reg, const std::vector<std::uint16_t>& words) const;
    void ApplyFailure(const std::vector<std::size_t>& points, std::int32_t result, Outbox& out);
    void MarkDue(int station, int reg, int count, SteadyTime when);
    void Supersede(int station, int reg, int count);
    void Sweep(SteadyTime now, Outbox& out);
    SteadyTime NextWake(SteadyTime now) const;
    void Deliver(Outbox& out);

    std::atomic<std::size_t> index_;
    const LineConfig config_;
    std::atomic<bool> readOnly_;
    Channel& channel_;
    const Clock& clock_;
    LineEvents& events_;
    const double charMs_;
    std::chrono::milliseconds passWire_{0};  // a pass with every point due, on the wire

    mutable std::mutex mutex_;
    std::function<void()> wake_;
    std::vector<Station> stations_;
    std::vector<Point> points_;
    // Register (station << 16 | reg) -> the points that cover it.
    std::map<long, std::vector<std::size_t>> cover_;
    std::deque<Request> writes_;
    std::deque<Request> reads_;
    bool open_ = false;
    bool everOpened_ = false;
    bool down_ = false;
    bool stopping_ = false;
    bool finished_ = false;
    SteadyTime reopenAt_{};
    Duration backoff_ = kReopenFirst;
    std::string downReason_;
    std::string device_;  // the name the line is open under

    // The pass under way (the worker's alone).
    std::vector<PassBlock> pass_;
    std::size_t passNext_ = 0;
    bool passActive_ = false;
    SteadyTime passStart_{};
    SteadyTime lastSweep_{};

    // Statistics.
    CommandCounts counts_;
    std::uint64_t demotions_ = 0;
    std::uint64_t reopens_ = 0;
    std::uint64_t confirmations_ = 0;
    std::uint64_t disagreements_ = 0;
    bool troubled_ = false;  // a command failed or needed more than one exchange
    SteadyTime troubleAt_{};
    ErrorNote lastError_;
    Latencies latency_;
    double wireMs_ = 0;
    std::vector<double> wireBuckets_;  // per second of the latest ten
    long wireBucketSecond_ = 0;
    SteadyTime started_{};
    std::uint64_t passes_ = 0;
    double passSeconds_ = 0;
    double cycleSeconds_ = 0;
    SteadyTime lastPassStart_{};
};

}  // namespace westnet::gateway
