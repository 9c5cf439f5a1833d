// The MQTT front end's outgoing queue: the latest message per topic, in the
// order the topics first became due. A message for a topic already waiting
// replaces the waiting one in its place (the older is "superseded"), so a
// slow or absent broker costs memory for at most one message per topic and
// the subscribers get the newest state first, never a backlog of old ones.
// Not thread-safe: its owner locks around it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace westnet::gateway::mqtt {

class Outbox {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retain = true;
        std::uint8_t kind = 0;  // the owner's tag, for its statistics
    };
    enum class Put { Queued, Superseded, Dropped };

    explicit Outbox(std::size_t capacity) : capacity_(capacity) {}

    // Dropped only when `capacity` other topics are already waiting.
    Put Add(Message message);
    // Ahead of everything waiting (the gateway's status after a
    // reconnection), replacing any waiting message for its topic.
    void AddFirst(Message message);
    // A message handed back after the broker was lost under it: queued again
    // only if nothing newer for its topic has come in since.
    void Restore(Message message);
    bool Take(Message& message);
    // Whether the next message Take gives has that kind.
    bool FrontIs(std::uint8_t kind) const {
        return !order_.empty() && waiting_.at(order_.front()).kind == kind;
    }

    std::size_t Size() const { return order_.size(); }
    // The plant changed (a reload): as many topics as it has now.
    void SetCapacity(std::size_t capacity) { capacity_ = capacity; }
    bool Empty() const { return order_.empty(); }

private:
    std::size_t capacity_;
    std::deque<std::string> order_;
    std::unordered_map<std::string, Message> waiting_;
};

}  // namespace westnet::gateway::mqtt
