// What one client of /api/events still has to be sent. A point that changes
// again before the client took its previous change is not queued twice: its
// event stays where it was and is rendered from the value cache when it is
// sent, so the client gets the latest state; a station or a line keeps its
// latest state likewise. A client that lets more distinct items wait than
// the queue holds has overflowed: it is told so and its stream ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <unordered_map>

namespace westnet::gateway::http {

struct StreamEvent {
    enum class Kind : std::uint8_t { Point, Station, Line };
    Kind kind = Kind::Point;
    std::size_t line = 0;
    std::size_t item = 0;  // the point's index, or the station's number; 0 for a line
    int state = 0;         // a station's StationState, a line's up (1) or down (0)
};

class EventQueue {
public:
    explicit EventQueue(std::size_t capacity) : capacity_(capacity) {}

    // False once the queue has overflowed (by this event or before): every
    // event after that is dropped.
    bool Push(const StreamEvent& event);
    // The oldest event waiting; false when none.
    bool Pop(StreamEvent& event);
    std::size_t Size() const { return order_.size(); }
    bool Overflowed() const { return overflowed_; }

private:
    static std::uint64_t Key(const StreamEvent& event);

    std::size_t capacity_;
    bool overflowed_ = false;
    std::deque<std::uint64_t> order_;
    std::unordered_map<std::uint64_t, StreamEvent> waiting_;
};

}  // namespace westnet::gateway::http
