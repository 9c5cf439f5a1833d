// A Service for front-end tests: a plant, a cache and station states the test
// sets, and a request queue that only records. The test finishes a request
// when it likes (Finish), on its own thread, which is how a front end must
// expect completions to arrive: later, and from elsewhere.
#pragma once

#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "scan/service.h"

namespace westnet::gateway::testing {

class FakeService : public Service {
public:
    struct Submitted {
        std::size_t line = 0;
        LineOp op;
        bool byPoint = false;
        std::size_t point = 0;
        Completion done;
    };

    explicit FakeService(Plant plant) : plant_(std::move(plant)) {}

    // --- what the test sets
    // `notify` false: the cache changes without a read, as a point's quality
    // does when it ages unread.
    void SetSample(std::size_t line, std::size_t point, const PointSample& sample,
                   bool notify = true) {
        std::vector<Listener*> listeners;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            samples_[{line, point}] = sample;
            if (notify) {
                listeners = listeners_;
            }
        }
        for (Listener* l : listeners) {
            l->PointUpdated(line, point, sample);
        }
    }
    // Good cached words of a station from `reg` on.
    void SetRegisters(std::size_t line, int station, int reg,
                      const std::vector<std::uint16_t>& words) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < words.size(); ++i) {
            registers_[{line, station}][reg + static_cast<int>(i)] = words[i];
        }
    }
    void SetWritable(std::size_t line, int station, int reg, int count) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int i = 0; i < count; ++i) {
            writable_[{line, station}][reg + i] = true;
        }
    }
    void SetState(std::size_t line, int station, StationState state) {
        std::vector<Listener*> listeners;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            states_[{line, station}] = state;
            listeners = listeners_;
        }
        for (Listener* l : listeners) {
            l->StationChanged(line, station, state);
        }
    }
    void SetLineUp(std::size_t line, bool up) {
        std::lock_guard<std::mutex> lock(mutex_);
        down_[line] = !up;
    }
    void SetQueueFull(bool full) {
        std::lock_guard<std::mutex> lock(mutex_);
        queueFull_ = full;
    }

    // --- what the test looks at and finishes
    std::size_t SubmittedCount() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return submitted_.size();
    }
    Submitted SubmittedAt(std::size_t i) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return submitted_.at(i);
    }
    // The connections the front end said were gone (Forget), in order.
    std::vector<std::uint64_t> Forgotten() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return forgotten_;
    }
    // Runs request i's completion (once) with this result.
    void Finish(std::size_t i, const LineOpResult& result) {
        Completion done;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done = std::move(submitted_.at(i).done);
            submitted_.at(i).done = nullptr;
        }
        if (done) {
            done(result);
        }
    }

    // --- Service
    const Plant& PlantConfig() const override { return plant_; }
    PointSample Sample(std::size_t line, std::size_t point) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = samples_.find({line, point});
        return it == samples_.end() ? PointSample{} : it->second;
    }
    bool CachedRegisters(std::size_t line, int station, int reg, int count,
                         std::vector<std::uint16_t>& words) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = registers_.find({line, station});
        if (it == registers_.end()) {
            return false;
        }
        std::vector<std::uint16_t> out;
        for (int r = reg; r < reg + count; ++r) {
            auto w = it->second.find(r);
            if (w == it->second.end()) {
                return false;
            }
            out.push_back(w->second);
        }
        words = std::move(out);
        return true;
    }
    bool RegistersWritable(std::size_t line, int station, int reg, int count) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = writable_.find({line, station});
        if (it == writable_.end()) {
            return false;
        }
        for (int r = reg; r < reg + count; ++r) {
            if (it->second.count(r) == 0) {
                return false;
            }
        }
        return true;
    }
    StationState State(std::size_t line, int station) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = states_.find({line, station});
        return it == states_.end() ? StationState::Ok : it->second;
    }
    bool LineUp(std::size_t line) const override {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = down_.find(line);
        return it == down_.end() || !it->second;
    }
    bool Submit(std::size_t line, LineOp op, Completion done) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (line >= plant_.lines.size() || queueFull_) {
            return false;
        }
        submitted_.push_back({line, std::move(op), false, 0, std::move(done)});
        return true;
    }
    bool WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                    const Requester& by, Completion done) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (line >= plant_.lines.size() || queueFull_) {
            return false;
        }
        LineOp op;
        op.kind = LineOp::Kind::WriteRegisters;
        op.values = std::move(values);
        op.by = by;
        submitted_.push_back({line, std::move(op), true, point, std::move(done)});
        return true;
    }
    void Forget(std::uint64_t session) override {
        std::lock_guard<std::mutex> lock(mutex_);
        forgotten_.push_back(session);
    }
    void AddListener(Listener* listener) override {
        std::lock_guard<std::mutex> lock(mutex_);
        listeners_.push_back(listener);
    }
    void RemoveListener(Listener* listener) override {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<Listener*> kept;
        for (Listener* l : listeners_) {
            if (l != listener) {
                kept.push_back(l);
            }
        }
        listeners_ = kept;
    }
    StatsRegistry& FrontEndStats() override { return stats_; }
    std::shared_ptr<HistoryReader> History() const override {
        std::lock_guard<std::mutex> lock(mutex_);
        return history_;
    }
    void PublishHistory(const std::shared_ptr<HistoryReader>& reader) override {
        std::lock_guard<std::mutex> lock(mutex_);
        history_ = reader;
    }

private:
    using Key = std::pair<std::size_t, int>;
    Plant plant_;
    mutable std::mutex mutex_;
    std::map<std::pair<std::size_t, std::size_t>, PointSample> samples_;
    std::map<Key, std::map<int, std::uint16_t>> registers_;
    std::map<Key, std::map<int, bool>> writable_;
    std::map<Key, StationState> states_;
    std::map<std::size_t, bool> down_;
    bool queueFull_ = false;
    std::vector<Submitted> submitted_;
    std::vector<std::uint64_t> forgotten_;
    std::vector<Listener*> listeners_;
    StatsRegistry stats_;
    std::shared_ptr<HistoryReader> history_;
};

}  // namespace westnet::gateway::testing
