#include "scan/scan_service.h"

#include <algorithm>

namespace westnet::gateway {

ScanService::ScanService(Plant plant, const ChannelFactory& makeChannel, const Clock& clock)
    : plant_(std::move(plant)) {
    for (std::size_t i = 0; i < plant_.lines.size(); ++i) {
        auto line = std::make_unique<Line>();
        line->channel = makeChannel(plant_.lines[i]);
        line->scanner =
            std::make_unique<LineScanner>(i, plant_.lines[i], plant_.gateway.readOnly,
                                          *line->channel, clock, static_cast<LineEvents&>(*this));
        Line* raw = line.get();
        line->scanner->SetWake([raw] {
            {
                std::lock_guard<std::mutex> lock(raw->wakeMutex);
                raw->woken = true;
            }
            raw->wake.notify_one();
        });
        lines_.push_back(std::move(line));
    }
}

ScanService::~ScanService() {
    Stop();
}

void ScanService::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    dispatcher_ = std::thread([this] { RunDispatcher(); });
    for (auto& line : lines_) {
        Line* raw = line.get();
        line->worker = std::thread([this, raw] { RunLine(*raw); });
    }
}

void ScanService::Stop() {
    for (auto& line : lines_) {
        line->scanner->Stop();
        if (!line->worker.joinable()) {
            // Never started: the scanner answers what it holds, here.
            while (!line->scanner->Finished()) {
                line->scanner->Step();
            }
        }
    }
    for (auto& line : lines_) {
        if (line->worker.joinable()) {
            line->worker.join();
        }
    }
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        dispatchStop_ = true;
    }
    dispatchWake_.notify_all();
    if (dispatcher_.joinable()) {
        dispatcher_.join();
    }
    // Answers queued before Start() or after the dispatcher ended.
    std::deque<std::function<void()>> left;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        left.swap(dispatch_);
    }
    for (auto& call : left) {
        call();
    }
}

void ScanService::RunLine(Line& line) {
    for (;;) {
        const SteadyTime next = line.scanner->Step();
        if (line.scanner->Finished()) {
            return;
        }
        std::unique_lock<std::mutex> lock(line.wakeMutex);
        // The scanner's clock is the steady clock in the daemon.
        line.wake.wait_until(lock, next, [&] { return line.woken; });
        line.woken = false;
    }
}

void ScanService::RunDispatcher() {
    std::unique_lock<std::mutex> lock(dispatchMutex_);
    for (;;) {
        dispatchWake_.wait(lock, [&] { return dispatchStop_ || !dispatch_.empty(); });
        if (dispatch_.empty()) {
            return;
        }
        std::function<void()> call = std::move(dispatch_.front());
        dispatch_.pop_front();
        lock.unlock();
        call();
        lock.lock();
    }
}

bool ScanService::Admit(LineScanner::Admission admission, Outcome outcome, Completion& done) {
    switch (admission) {
        case LineScanner::Admission::Queued:
            return true;
        case LineScanner::Admission::Full:
            return false;
        case LineScanner::Admission::Answered:
            break;
    }
    LineOpResult result;
    result.outcome = outcome;
    {
        std::lock_guard<std::mutex> lock(dispatchMutex_);
        dispatch_.push_back([done = std::move(done), result] {
            if (done) {
                done(result);
            }
        });
    }
    dispatchWake_.notify_one();
    return true;
}

bool ScanService::Submit(std::size_t line, LineOp op, Completion done) {
    if (line >= lines_.size()) {
        return false;
    }
    Outcome outcome = Outcome::Ok;
    const auto admission = lines_[line]->scanner->Submit(op, done, outcome);
    return Admit(admission, outcome, done);
}

bool ScanService::WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                             Completion done) {
    if (line >= lines_.size()) {
        return false;
    }
    Outcome outcome = Outcome::Ok;
    const auto admission = lines_[line]->scanner->SubmitPointWrite(point, values, done, outcome);
    return Admit(admission, outcome, done);
}

PointSample ScanService::Sample(std::size_t line, std::size_t point) const {
    return line < lines_.size() ? lines_[line]->scanner->Sample(point) : PointSample{};
}

bool ScanService::CachedRegisters(std::size_t line, int station, int reg, int count,
                                  std::vector<std::uint16_t>& words) const {
    return line < lines_.size() &&
           lines_[line]->scanner->CachedRegisters(station, reg, count, words);
}

bool ScanService::RegistersWritable(std::size_t line, int station, int reg, int count) const {
    return line < lines_.size() && lines_[line]->scanner->RegistersWritable(station, reg, count);
}

StationState ScanService::State(std::size_t line, int station) const {
    return line < lines_.size() ? lines_[line]->scanner->State(station) : StationState::Down;
}

bool ScanService::LineUp(std::size_t line) const {
    return line < lines_.size() && lines_[line]->scanner->Up();
}

LineStatus ScanService::Status(std::size_t line) const {
    return line < lines_.size() ? lines_[line]->scanner->Status() : LineStatus{};
}

void ScanService::AddListener(Listener* listener) {
    std::lock_guard<std::mutex> lock(listenerMutex_);
    listeners_.push_back(listener);
}

// Once it returns, the listener is called no more: a call under way on
// another thread is waited for (one on this thread, from inside a
// notification, cannot be).
void ScanService::RemoveListener(Listener* listener) {
    std::unique_lock<std::mutex> lock(listenerMutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
    const std::thread::id self = std::this_thread::get_id();
    listenerIdle_.wait(lock, [&] { return notifying_.size() == notifying_.count(self); });
}

void ScanService::Notify(const std::function<void(Listener&)>& call) {
    std::vector<Listener*> listeners;
    const std::thread::id self = std::this_thread::get_id();
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        if (listeners_.empty()) {
            return;
        }
        listeners = listeners_;
        notifying_.insert(self);
    }
    for (Listener* l : listeners) {
        // A listener removed by an earlier one in this round is skipped.
        bool present = false;
        {
            std::lock_guard<std::mutex> lock(listenerMutex_);
            present = std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end();
        }
        if (present) {
            call(*l);
        }
    }
    {
        std::lock_guard<std::mutex> lock(listenerMutex_);
        notifying_.erase(notifying_.find(self));
    }
    listenerIdle_.notify_all();
}

void ScanService::PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) {
    Notify([&](Listener& l) { l.PointUpdated(line, point, sample); });
}

void ScanService::StationChanged(std::size_t line, int station, StationState state) {
    Notify([&](Listener& l) { l.StationChanged(line, station, state); });
}

}  // namespace westnet::gateway
