#include "http/event_queue.h"

namespace westnet::gateway::http {

std::uint64_t EventQueue::Key(const StreamEvent& event) {
    // 2 bits of kind, 22 of line, 40 of item: far beyond any plant.
    return (static_cast<std::uint64_t>(event.kind) << 62) |
           ((static_cast<std::uint64_t>(event.line) & 0x3fffff) << 40) |
           (static_cast<std::uint64_t>(event.item) & 0xffffffffff);
}

bool EventQueue::Push(const StreamEvent& event) {
    if (overflowed_) {
        return false;
    }
    const std::uint64_t key = Key(event);
    const auto found = waiting_.find(key);
    if (found != waiting_.end()) {
        found->second = event;
        return true;
    }
    if (order_.size() >= capacity_) {
        overflowed_ = true;
        order_.clear();
        waiting_.clear();
        return false;
    }
    order_.push_back(key);
    waiting_.emplace(key, event);
    return true;
}

bool EventQueue::Pop(StreamEvent& event) {
    if (order_.empty()) {
        return false;
    }
    const auto found = waiting_.find(order_.front());
    event = found->second;
    waiting_.erase(found);
    order_.pop_front();
    return true;
}

}  // namespace westnet::gateway::http
