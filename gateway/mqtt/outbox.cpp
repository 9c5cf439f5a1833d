#include "mqtt/outbox.h"

#include <algorithm>
#include <utility>

namespace westnet::gateway::mqtt {

Outbox::Put Outbox::Add(Message message) {
    auto it = waiting_.find(message.topic);
    if (it != waiting_.end()) {
        it->second = std::move(message);
        return Put::Superseded;
    }
    if (order_.size() >= capacity_) {
        return Put::Dropped;
    }
    order_.push_back(message.topic);
    std::string topic = message.topic;
    waiting_.emplace(std::move(topic), std::move(message));
    return Put::Queued;
}

void Outbox::AddFirst(Message message) {
    auto it = waiting_.find(message.topic);
    if (it != waiting_.end()) {
        order_.erase(std::find(order_.begin(), order_.end(), message.topic));
        waiting_.erase(it);
    }
    order_.push_front(message.topic);
    std::string topic = message.topic;
    waiting_.emplace(std::move(topic), std::move(message));
}

void Outbox::Restore(Message message) {
    if (waiting_.count(message.topic) == 0) {
        Add(std::move(message));
    }
}

bool Outbox::Take(Message& message) {
    if (order_.empty()) {
        return false;
    }
    auto it = waiting_.find(order_.front());
    order_.pop_front();
    message = std::move(it->second);
    waiting_.erase(it);
    return true;
}

}  // namespace westnet::gateway::mqtt
