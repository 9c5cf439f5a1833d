// What the poller makes of time on the line: the time-out it recommends, the
// waits before reopening a failed line, the rows --changes keeps, and when
// slow commands make good values suspect.
#include <gtest/gtest.h>

#include <vector>

#include "timing.h"

namespace westnet::poll {
namespace {

TEST(PollTiming, RecommendedTimeoutKeepsAMarginInTensOfMilliseconds) {
    const struct {
        double quickest, slowest;
        std::int32_t timeout;
    } cases[] = {
        {0.1, 0.2, 30},       // 20 ms over a reply at once: a host's scheduling
        {10.0, 10.0, 30},     // 20 ms more beats half as much again
        {40.0, 40.0, 60},     // the two margins meet
        {52.0, 54.8, 90},     // 82.2 rounded up
        {52.6, 112.7, 180},   // replies that vary: 2 x 112.7 - 52.6 = 172.8
        {50.5, 116.0, 190},   // 181.5
        {1.0, 1000.0, 2000},  // 1999
    };
    for (const auto& c : cases) {
        EXPECT_EQ(RecommendedTimeoutMs(c.quickest, c.slowest), c.timeout) << c.slowest;
    }
    // At the recommended time-out, a command of two of the slowest exchanges
    // is not counted as one that waited a time-out out.
    SlowCommands slow(RecommendedTimeoutMs(52.6, 112.7));
    slow.Add(1, 1, 52.6, true);
    slow.Add(1, 2, 2 * 112.7, true);
    EXPECT_EQ(slow.Slow(), 0);
}

TEST(PollTiming, BackoffDoublesToTenSecondsAndStartsOverOnceTheLineWorks) {
    Backoff backoff;
    std::vector<long> waits;
    for (int i = 0; i < 8; ++i) {
        waits.push_back(backoff.NextMs());
    }
    EXPECT_EQ(waits, (std::vector<long>{500, 1000, 2000, 4000, 8000, 10000, 10000, 10000}));
    backoff.Reset();
    EXPECT_EQ(backoff.Upcoming(), 500);
    EXPECT_EQ(backoff.NextMs(), 500);
}

TEST(PollTiming, ChangesAreTheResultOrTheValueOfEachPoint) {
    ChangeFilter filter;
    EXPECT_TRUE(filter.Changed(0, 0, 1234));  // the first row of a point
    EXPECT_TRUE(filter.Changed(1, 0, 1234));  // another point, the same value
    EXPECT_FALSE(filter.Changed(0, 0, 1234));
    EXPECT_TRUE(filter.Changed(0, 0, 1235));
    EXPECT_TRUE(filter.Changed(0, 2, 0));    // failed: no value
    EXPECT_FALSE(filter.Changed(0, 2, 77));  // whatever the buffer held
    EXPECT_TRUE(filter.Changed(0, 0, 1235));
    EXPECT_FALSE(filter.Changed(1, 0, 1234));
}

TEST(PollTiming, ACommandWaitedOutATimeOutBeyondItsExchanges) {
    // Station 1 answers in 30 ms, station 5 in 60 ms; the time-out is 100 ms.
    SlowCommands slow(100.0);
    slow.Add(1, 2, 60.5, true);   // selection and read
    slow.Add(1, 1, 30.1, true);   // read, already selected
    slow.Add(5, 2, 121.0, true);  // two exchanges of 60: no time-out
    slow.Add(5, 1, 60.4, true);
    EXPECT_EQ(slow.Slow(), 0);
    EXPECT_FALSE(slow.Suspect());
    slow.Add(1, 1, 100.5, true);  // one exchange beyond the time-out
    slow.Add(5, 2, 220.5, true);  // a time-out, then two exchanges of 60
    EXPECT_EQ(slow.Slow(), 2);
    EXPECT_EQ(slow.Commands(), 6);
    EXPECT_TRUE(slow.Suspect());

    // Slow failures alone show no value as good.
    SlowCommands failing(40.0);
    failing.Add(1, 2, 480.0, false);
    EXPECT_EQ(failing.Slow(), 1);
    EXPECT_FALSE(failing.Suspect());
}

}  // namespace
}  // namespace westnet::poll
