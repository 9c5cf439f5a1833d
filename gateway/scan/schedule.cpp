#include "scan/schedule.h"

#include <algorithm>

namespace westnet::gateway {

// --- the request queue ---------------------------------------------------------

namespace {

bool IsTurn(const LineOp& op) {
    return op.kind == LineOp::Kind::ReadRegisters && op.by.session != 0;
}

void Answer(std::deque<RequestQueue::Request>& queue, Outcome outcome, Completions& out) {
    for (RequestQueue::Request& r : queue) {
        LineOpResult result;
        result.outcome = outcome;
        out.emplace_back(std::move(r.done), result);
    }
    queue.clear();
}

}  // namespace

bool RequestQueue::Push(LineOp& op, Completion& done) {
    if (IsTurn(op)) {
        auto it = turns_.find(op.by.session);
        if (turnReads_ >= kLineQueueMax ||
            (it != turns_.end() && it->second.size() >= kSessionReadsMax)) {
            return false;
        }
        const std::uint64_t session = op.by.session;
        turns_[session].push_back({std::move(op), std::move(done)});
        ++turnReads_;
        return true;
    }
    if (writes_.size() + reads_.size() >= kLineQueueMax) {
        return false;
    }
    auto& queue = op.kind == LineOp::Kind::ReadRegisters ? reads_ : writes_;
    queue.push_back({std::move(op), std::move(done)});
    return true;
}

bool RequestQueue::Pop(Request& request) {
    for (std::deque<Request>* queue : {&writes_, &reads_}) {
        if (!queue->empty()) {
            request = std::move(queue->front());
            queue->pop_front();
            return true;
        }
    }
    return false;
}

bool RequestQueue::PopWrite(Request& request) {
    if (writes_.empty()) {
        return false;
    }
    request = std::move(writes_.front());
    writes_.pop_front();
    return true;
}

bool RequestQueue::PopTurn(Request& request) {
    if (turns_.empty()) {
        return false;
    }
    auto it = turns_.upper_bound(lastTurn_);
    if (it == turns_.end()) {
        it = turns_.begin();
    }
    lastTurn_ = it->first;
    request = std::move(it->second.front());
    it->second.pop_front();
    --turnReads_;
    if (it->second.empty()) {
        turns_.erase(it);
    }
    return true;
}

void RequestQueue::AnswerAll(Outcome outcome, bool writesToo, Completions& out) {
    Answer(reads_, outcome, out);
    for (auto& [session, queue] : turns_) {
        Answer(queue, outcome, out);
    }
    turns_.clear();
    turnReads_ = 0;
    if (writesToo) {
        Answer(writes_, outcome, out);
    }
}

void RequestQueue::Forget(std::uint64_t session, Outcome outcome, Completions& out) {
    auto it = turns_.find(session);
    if (it == turns_.end()) {
        return;
    }
    turnReads_ -= it->second.size();
    Answer(it->second, outcome, out);
    turns_.erase(it);
}

// --- the scan passes -------------------------------------------------------------

ScanSchedule::ScanSchedule(const LineConfig& config, const PointMap& map, SteadyTime start)
    : config_(config), map_(map), nextDue_(config.points.size(), start) {}

void ScanSchedule::AllDueAt(SteadyTime when) {
    std::fill(nextDue_.begin(), nextDue_.end(), when);
}

void ScanSchedule::DueBy(const std::vector<std::size_t>& points, SteadyTime when) {
    for (const std::size_t i : points) {
        nextDue_[i] = std::min(nextDue_[i], when);
    }
}

SteadyTime ScanSchedule::NextDue(const StationStates& stations, SteadyTime limit) const {
    SteadyTime next = limit;
    for (const StationStates::Entry& s : stations.All()) {
        if (s.state == StationState::Ok) {
            for (const std::size_t i : map_.OfStation(s.number)) {
                next = std::min(next, nextDue_[i]);
            }
        } else if (s.state == StationState::Demoted) {
            next = std::min(next, s.probeAt);
        }
    }
    return next;
}

void ScanSchedule::Collect(const StationStates& stations, SteadyTime now,
                           std::vector<std::size_t>& due, std::vector<PassBlock>& probes) {
    for (const StationStates::Entry& s : stations.All()) {
        const std::vector<std::size_t>& points = map_.OfStation(s.number);
        if (s.state == StationState::Ok) {
            for (const std::size_t i : points) {
                if (nextDue_[i] <= now) {
                    due.push_back(i);
                }
            }
        } else if (s.state == StationState::Demoted && s.probeAt <= now) {
            // One command tells whether the station is back: the first block
            // of its plan.
            const std::vector<Block> plan = PlanBlocks(config_.points, points, config_.maxGap);
            if (!plan.empty()) {
                probes.push_back({plan.front(), true});
            }
        }
    }
    for (const std::size_t i : due) {
        const auto period = std::chrono::milliseconds(config_.points[i].scanMs);
        nextDue_[i] += period;
        if (nextDue_[i] <= now) {
            nextDue_[i] = now + period;
        }
    }
}

bool ScanSchedule::Begin(const std::vector<std::size_t>& due, const std::vector<PassBlock>& probes,
                         int selected, SteadyTime now) {
    if (due.empty() && probes.empty()) {
        return false;
    }
    pass_.clear();
    next_ = 0;
    for (const Block& b : PlanBlocks(config_.points, due, config_.maxGap, selected)) {
        pass_.push_back({b, false});
    }
    pass_.insert(pass_.end(), probes.begin(), probes.end());
    active_ = true;
    start_ = now;
    return true;
}

bool ScanSchedule::Next(PassBlock& block) {
    if (next_ >= pass_.size()) {
        return false;
    }
    block = pass_[next_++];
    return true;
}

SteadyTime ScanSchedule::Finish() {
    active_ = false;
    return start_;
}

void ScanSchedule::Drop() {
    pass_.clear();
    next_ = 0;
    active_ = false;
}

}  // namespace westnet::gateway
