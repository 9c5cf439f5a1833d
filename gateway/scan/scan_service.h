// The Service of the daemon: one LineScanner and one worker thread per line
// (the only user of that line's channel), the listeners, and a dispatcher
// thread that answers the requests refused without reaching a line, so that
// no completion ever runs on a front end's own thread inside Submit.
//
// Each line owns its channel and its cache: a reload of the plant file can
// keep the lines whose settings did not change.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "scan/channel.h"
#include "scan/scanner.h"
#include "scan/service.h"

namespace westnet::gateway {

class ScanService : public Service, private LineEvents {
public:
    using ChannelFactory = std::function<std::unique_ptr<Channel>(const LineConfig&)>;

    ScanService(Plant plant, const ChannelFactory& makeChannel, const Clock& clock);
    ~ScanService() override;
    ScanService(const ScanService&) = delete;
    ScanService& operator=(const ScanService&) = delete;

    // Starts the dispatcher and one worker per line.
    void Start();
    // The writes already queued still go out; every other request is
    // answered ShuttingDown; every channel is closed; the threads joined.
    void Stop();

    const Plant& PlantConfig() const override { return plant_; }
    PointSample Sample(std::size_t line, std::size_t point) const override;
    bool CachedRegisters(std::size_t line, int station, int reg, int count,
                         std::vector<std::uint16_t>& words) const override;
    bool RegistersWritable(std::size_t line, int station, int reg, int count) const override;
    StationState State(std::size_t line, int station) const override;
    bool LineUp(std::size_t line) const override;
    bool Submit(std::size_t line, LineOp op, Completion done) override;
    bool WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                    Completion done) override;
    void AddListener(Listener* listener) override;
    void RemoveListener(Listener* listener) override;
    StatsRegistry& FrontEndStats() override { return stats_; }
    LineStatus Status(std::size_t line) const override;

private:
    struct Line {
        std::unique_ptr<Channel> channel;
        std::unique_ptr<LineScanner> scanner;
        std::thread worker;
        std::mutex wakeMutex;
        std::condition_variable wake;
        bool woken = false;
    };

    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override;
    void StationChanged(std::size_t line, int station, StationState state) override;
    void Notify(const std::function<void(Listener&)>& call);
    void RunLine(Line& line);
    void RunDispatcher();
    bool Admit(LineScanner::Admission admission, Outcome outcome, Completion& done);

    const Plant plant_;
    std::vector<std::unique_ptr<Line>> lines_;
    StatsRegistry stats_;

    std::mutex listenerMutex_;
    std::condition_variable listenerIdle_;
    std::vector<Listener*> listeners_;
    std::multiset<std::thread::id> notifying_;

    std::mutex dispatchMutex_;
    std::condition_variable dispatchWake_;
    std::deque<std::function<void()>> dispatch_;
    bool dispatchStop_ = false;
    std::thread dispatcher_;
    bool started_ = false;
};

}  // namespace westnet::gateway
