// A client's queue of /api/events: changes coalesced per item in the order
// they first came, and an overflow that drops everything rather than grow.
#include <gtest/gtest.h>

#include <vector>

#include "http/event_queue.h"

namespace westnet::gateway::http {
namespace {

using Kind = StreamEvent::Kind;

std::vector<StreamEvent> Drain(EventQueue& queue) {
    std::vector<StreamEvent> out;
    StreamEvent e;
    while (queue.Pop(e)) {
        out.push_back(e);
    }
    return out;
}

TEST(EventQueue, CoalescesPerItemKeepingTheFirstPlaceAndTheLatestState) {
    EventQueue queue(8);
    // Point 3 of line 0, station 3 and line 0 itself are distinct items, as
    // are point 3 of line 0 and of line 1.
    for (const StreamEvent& e : std::vector<StreamEvent>{{Kind::Point, 0, 3, 0},
                                                         {Kind::Station, 0, 3, 0},
                                                         {Kind::Point, 1, 3, 0},
                                                         {Kind::Line, 0, 0, 0},
                                                         {Kind::Station, 0, 3, 2},
                                                         {Kind::Point, 0, 3, 0},
                                                         {Kind::Line, 0, 0, 1}}) {
        EXPECT_TRUE(queue.Push(e));
    }
    const std::vector<StreamEvent> out = Drain(queue);
    ASSERT_EQ(out.size(), 4U);
    EXPECT_EQ(out[0].kind, Kind::Point);
    EXPECT_EQ(out[1].kind, Kind::Station);
    EXPECT_EQ(out[1].state, 2);  // the latest state, in the first one's place
    EXPECT_EQ(out[2].line, 1U);
    EXPECT_EQ(out[3].kind, Kind::Line);
    EXPECT_EQ(out[3].state, 1);
    // Taken items queue again.
    EXPECT_TRUE(queue.Push({Kind::Point, 0, 3, 0}));
    EXPECT_EQ(queue.Size(), 1U);
}

TEST(EventQueue, OverflowsOnlyWhenDistinctItemsPassItsCapacityThenHoldsNothing) {
    EventQueue queue(3);
    for (int round = 0; round < 100; ++round) {  // the same three items again and again
        for (std::size_t p = 0; p < 3; ++p) {
            ASSERT_TRUE(queue.Push({Kind::Point, 0, p, 0}));
        }
    }
    EXPECT_FALSE(queue.Overflowed());
    EXPECT_EQ(queue.Size(), 3U);
    EXPECT_FALSE(queue.Push({Kind::Point, 0, 3, 0}));
    EXPECT_TRUE(queue.Overflowed());
    EXPECT_EQ(queue.Size(), 0U);
    EXPECT_FALSE(queue.Push({Kind::Point, 0, 0, 0}));  // stays overflowed
    StreamEvent e;
    EXPECT_FALSE(queue.Pop(e));
}

}  // namespace
}  // namespace westnet::gateway::http
