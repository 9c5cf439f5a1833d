// The Service of the daemon: one LineScanner and one worker thread per line
// (the only user of that line's channel), the listeners, and a dispatcher
// thread that answers the requests refused without reaching a line, so that
// no completion ever runs on a front end's own thread inside Submit.
//
// Each line owns its channel, its cache and its statistics: a reload of the
// plant file keeps the lines whose settings did not change as they are.
//
// Every channel call is timed, so that the daemon can tell a worker that is
// stuck in the driver (a serial device whose writes no longer drain, say)
// from one that is waiting for a slow station: a command has a worst case,
// its attempts' reply time-outs and frames, and a worker past it is stuck.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "audit/audit.h"
#include "scan/channel.h"
#include "scan/scanner.h"
#include "scan/service.h"

namespace westnet::gateway {

// The longest one command of the line may take: the driver's six selection
// and six transaction attempts, each its reply time-out, a purge of the
// input and the longest request and reply on the wire, and a second for
// the system. A worker in one call for longer is stuck.
SteadyTime::duration CommandLimit(const LineConfig& line);

// Where a line's worker stands, as the watchdog sees it.
struct WorkerHealth {
    std::string line;
    bool stuck = false;
    std::string why;  // what it has been doing, and for how long, when stuck
};

// What a reload did, by line name.
struct ReloadReport {
    std::vector<std::string> kept;       // same settings: channel, cache and statistics kept
    std::vector<std::string> restarted;  // changed settings: closed and opened again
    std::vector<std::string> added;
    std::vector<std::string> removed;
};

// When a line's worker last moved, and since when it is inside a channel
// call (kIdle when it is not), in nanoseconds of the service's clock.
struct LineActivity {
    static constexpr std::int64_t kIdle = INT64_MIN;
    std::atomic<std::int64_t> busySince{kIdle};
    std::atomic<std::int64_t> progress{0};
    std::atomic<const char*> call{""};  // "a block read" ...
    std::atomic<int> station{-1};       // -1 for an open or a close
};

class ScanService : public Service, private LineEvents {
public:
    using ChannelFactory = std::function<std::unique_ptr<Channel>(const LineConfig&)>;

    ScanService(Plant plant, ChannelFactory makeChannel, const Clock& clock);
    ~ScanService() override;
    ScanService(const ScanService&) = delete;
    ScanService& operator=(const ScanService&) = delete;

    // Where write attempts are recorded; set before Start, or never.
    void SetAudit(AuditLog* audit) { audit_ = audit; }

    // Starts the dispatcher and one worker per line.
    void Start();
    // Every line has tried its first open: it is open, or down.
    bool Settled() const;

    // Asks every line to finish, without waiting: the writes already queued
    // still go out and are answered, every other request is answered
    // ShuttingDown, then each line closes its channel. Requests submitted
    // from now on are answered ShuttingDown.
    void BeginStop();
    // Waits up to `most` for every line to have finished; true once they all
    // have.
    bool WaitLinesFinished(std::chrono::milliseconds most);
    // BeginStop, then waits for every line and ends the dispatcher.
    void Stop();

    // Swaps in a plant read again. Only while no front end runs: a front end
    // holds indices into the plant, which change here. A line of the same
    // name and the same settings (SameLine) is kept as it is, moved to its
    // new place; any other line of the running plant is stopped as by Stop
    // (its queued writes answered, its channel closed) before the new lines
    // open, so that a device moved from one line to another has one owner.
    // While it waits for them, it calls `whileWaiting` every half second
    // (the daemon feeds its watchdog there; Health() sees every line).
    ReloadReport Reload(Plant plant, const std::function<void()>& whileWaiting = nullptr);

    // Each line's worker, for the watchdog: stuck when one channel call has
    // lasted longer than CommandLimit, or when it has made no progress for
    // longer than that and its longest wait between two steps.
    std::vector<WorkerHealth> Health(SteadyTime now) const;

    // Both change only inside Reload, which the daemon calls while every
    // front end is paused or stopped.
    const Plant& PlantConfig() const override { return *plant_; }
    std::shared_ptr<const Plant> Snapshot() const override { return plant_; }
    PointSample Sample(std::size_t line, std::size_t point) const override;
    bool CachedRegisters(std::size_t line, int station, int reg, int count,
                         std::vector<std::uint16_t>& words) const override;
    bool RegistersWritable(std::size_t line, int station, int reg, int count) const override;
    StationState State(std::size_t line, int station) const override;
    bool LineUp(std::size_t line) const override;
    bool Submit(std::size_t line, LineOp op, Completion done) override;
    bool WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                    const Requester& by, Completion done) override;
    void Forget(std::uint64_t session) override;
    void AddListener(Listener* listener) override;
    void RemoveListener(Listener* listener) override;
    StatsRegistry& FrontEndStats() override { return stats_; }
    LineStatus Status(std::size_t line) const override;
    std::vector<std::string> RecentAudit(std::size_t most) const override;
    std::shared_ptr<HistoryReader> History() const override {
        MutexLock lock(historyMutex_);
        return history_;
    }
    void PublishHistory(const std::shared_ptr<HistoryReader>& reader) override {
        MutexLock lock(historyMutex_);
        history_ = reader;
    }
    void AuditRefused(std::size_t line, const std::size_t* point, const LineOp& op,
                      const std::string& result) override;

private:
    struct Line {
        std::string name;
        SteadyTime::duration limit{};
        LineActivity activity;
        std::unique_ptr<Channel> channel;
        std::unique_ptr<LineScanner> scanner;
        std::thread worker;
        Mutex wakeMutex;
        std::condition_variable wake;
        bool woken GUARDED_BY(wakeMutex) = false;
        std::atomic<bool> finished{false};
    };

    std::unique_ptr<Line> MakeLine(std::size_t index, const LineConfig& config);
    void StartWorker(Line& line);
    void StopAndJoin(const std::vector<Line*>& lines, const std::function<void()>& whileWaiting);
    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override;
    void StationChanged(std::size_t line, int station, StationState state) override;
    void Notify(const std::function<void(Listener&)>& call);
    void RunLine(Line& line);
    void RunDispatcher();
    bool Admit(LineScanner::Admission admission, Outcome outcome, Completion& done);
    AuditRecord RecordOf(std::size_t line, const LineOp& op) const;
    AuditRecord RecordOfPoint(std::size_t line, std::size_t point,
                              const std::vector<std::uint16_t>& values, const Requester& by) const;
    Completion Audited(AuditRecord record, Completion done) const;
    void AuditBusy(AuditRecord record) const;
    // Hands completions to the dispatcher, which calls them in order.
    void Dispatch(Completions& completions);

    const ChannelFactory makeChannel_;
    const Clock& clock_;
    std::shared_ptr<const Plant> plant_;
    std::vector<std::unique_ptr<Line>> lines_;
    StatsRegistry stats_;

    // Told when a line's worker has finished (Line::finished is atomic).
    Mutex finishedMutex_;
    std::condition_variable finishedWake_;

    Mutex listenerMutex_;
    std::condition_variable listenerIdle_;
    std::vector<Listener*> listeners_ GUARDED_BY(listenerMutex_);
    std::multiset<std::thread::id> notifying_ GUARDED_BY(listenerMutex_);

    Mutex dispatchMutex_;
    std::condition_variable dispatchWake_;
    std::deque<std::function<void()>> dispatch_ GUARDED_BY(dispatchMutex_);
    bool dispatchStop_ GUARDED_BY(dispatchMutex_) = false;
    std::thread dispatcher_;
    bool started_ = false;
    AuditLog* audit_ = nullptr;  // written before the threads start, then only read

    mutable Mutex historyMutex_;
    std::shared_ptr<HistoryReader> history_ GUARDED_BY(historyMutex_);
};

}  // namespace westnet::gateway
