// The parts of a line scanner on their own, with no channel and no worker:
// the station-state machine, the request queue and the pace of the scan
// passes, the cache's quality ageing and register answers, and the line's
// statistics over time.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "scan/cache_writer.h"
#include "scan/channel.h"
#include "scan/line_stats.h"
#include "scan/point_map.h"
#include "scan/schedule.h"
#include "scan/station_states.h"

namespace westnet::gateway {
namespace {

SteadyTime At(long ms) {
    return SteadyTime(std::chrono::milliseconds(ms));
}

long MsOf(SteadyTime t) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count());
}

PointConfig WordPoint(int station, int reg, int scanMs = 1000, bool writable = false) {
    PointConfig p;
    p.station = station;
    p.reg = reg;
    p.scanMs = scanMs;
    p.writable = writable;
    p.name = std::to_string(station) + "/" + std::to_string(reg);
    return p;
}

LineConfig Config(std::vector<PointConfig> points, int demoteAfter = 3, int demoteMs = 10000) {
    LineConfig config;
    config.name = "test";
    config.points = std::move(points);
    config.demoteAfter = demoteAfter;
    config.demoteMs = demoteMs;
    config.timeoutMs = 100;
    return config;
}

// --- the station states --------------------------------------------------------

TEST(GatewayStationStates, FailuresInARowDemoteAndProbesBackOffUntilAGoodOne) {
    // One station; each step is a command's result at a time, and what the
    // station is after it.
    struct Event {
        long atMs;
        bool good;
        StationState state;
        int failuresInRow;
        long probeAtMs;  // -1: not checked
    };
    struct Case {
        const char* name;
        int demoteAfter;
        int demoteMs;
        std::vector<Event> events;
        StationChanges changes;
    };
    const Case cases[] = {
        {"a good reply breaks the row",
         3,
         10000,
         {{0, false, StationState::Ok, 1, -1},
          {100, false, StationState::Ok, 2, -1},
          {200, true, StationState::Ok, 0, -1},
          {300, false, StationState::Ok, 1, -1},
          {400, false, StationState::Ok, 2, -1}},
         {}},
        {"demoted after three, probes doubling up to a minute, back at a good one",
         3,
         10000,
         {{0, false, StationState::Ok, 1, -1},
          {100, false, StationState::Ok, 2, -1},
          {200, false, StationState::Demoted, 3, 10200},
          {10200, false, StationState::Demoted, 4, 30200},
          {30200, false, StationState::Demoted, 5, 70200},
          {70200, false, StationState::Demoted, 6, 130200},
          {130200, false, StationState::Demoted, 7, 190200},
          {190200, true, StationState::Ok, 0, -1}},
         {{1, StationState::Demoted}, {1, StationState::Ok}}},
        {"a demote_ms longer than a minute is the longest gap",
         1,
         90000,
         {{0, false, StationState::Demoted, 1, 90000},
          {90000, false, StationState::Demoted, 2, 180000},
          {180000, false, StationState::Demoted, 3, 270000}},
         {{1, StationState::Demoted}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LineConfig config = Config({WordPoint(1, 0)}, c.demoteAfter, c.demoteMs);
        const PointMap map(config.points);
        StationStates states(config, map);
        StationChanges changes;
        for (const Event& e : c.events) {
            SCOPED_TRACE(e.atMs);
            if (e.good) {
                states.Answered(1, changes);
            } else {
                states.Failed(1, At(e.atMs), changes);
            }
            const StationStates::Entry* s = states.Find(1);
            ASSERT_NE(s, nullptr);
            EXPECT_EQ(s->state, e.state);
            EXPECT_EQ(s->failuresInRow, e.failuresInRow);
            if (e.probeAtMs >= 0) {
                EXPECT_EQ(MsOf(s->probeAt), e.probeAtMs);
            }
        }
        EXPECT_EQ(changes, c.changes);
    }
}

TEST(GatewayStationStates, TheLineFailsOnlyOnceEveryStationFailedItsLatestTry) {
    const LineConfig config = Config({WordPoint(1, 0), WordPoint(2, 0)}, 1);
    const PointMap map(config.points);
    StationStates states(config, map);
    StationChanges changes;
    EXPECT_EQ(states.Failed(1, At(0), changes), StationStates::Failure::Demoted);
    EXPECT_FALSE(states.AllFailed(At(0)));  // station 2 still answers
    states.Failed(2, At(100), changes);
    EXPECT_TRUE(states.AllFailed(At(100)));

    // Opened again: every station is to be probed now, so none has failed yet.
    changes.clear();
    states.LineDown(changes);
    states.Reopened(At(5000), changes);
    EXPECT_FALSE(states.AllFailed(At(5000)));
    EXPECT_EQ(states.Failed(1, At(5100), changes), StationStates::Failure::ProbeFailed);
    EXPECT_FALSE(states.AllFailed(At(5100)));
    EXPECT_TRUE(states.Answered(2, changes));  // back: its points are read at once
    EXPECT_FALSE(states.Answered(2, changes));
    const StationChanges expected = {{1, StationState::Down},
                                     {2, StationState::Down},
                                     {1, StationState::Demoted},
                                     {2, StationState::Demoted},
                                     {2, StationState::Ok}};
    EXPECT_EQ(changes, expected);
}

// --- the request queue and the pace of the passes -------------------------------

TEST(GatewayScanSchedule, AFullQueueLeavesTheRequestWithTheCaller) {
    RequestQueue queue;
    for (std::size_t i = 0; i < kLineQueueMax; ++i) {
        LineOp op{LineOp::Kind::ReadRegisters, 1, static_cast<int>(i), 1, 0, {}, {}};
        Completion done = [](const LineOpResult&) {};
        ASSERT_TRUE(queue.Push(op, done));
    }
    LineOp write{LineOp::Kind::WriteRegisters, 1, 7, 1, 0, {42}, {}};
    Completion done = [](const LineOpResult&) {};
    EXPECT_FALSE(queue.Push(write, done));
    ASSERT_TRUE(done);  // still the caller's to answer
    EXPECT_EQ(write.values, std::vector<std::uint16_t>{42});

    RequestQueue::Request first;
    ASSERT_TRUE(queue.Pop(first));
    EXPECT_EQ(first.op.reg, 0);
    LineOp late{LineOp::Kind::WriteRegisters, 1, 9, 1, 0, {1}, {}};
    Completion lateDone = [](const LineOpResult&) {};
    ASSERT_TRUE(queue.Push(late, lateDone));
    ASSERT_TRUE(queue.Pop(first));
    EXPECT_EQ(first.op.reg, 9);  // the write goes ahead of the reads waiting
    Completions out;
    queue.AnswerAll(Outcome::ShuttingDown, false, out);
    EXPECT_EQ(out.size(), kLineQueueMax - 1);
    EXPECT_TRUE(queue.Empty());
}

// However many clients keep reads waiting, a write still finds room, and so
// does a client with none waiting while others have room to spare.
TEST(GatewayScanSchedule, ConnectionsReadsLeaveRoomForWrites) {
    RequestQueue queue;
    auto push = [&](LineOp::Kind kind, std::uint64_t session) {
        LineOp op{kind, 1, 0, 1, 0, {1}, Requester{"modbus", "", "", session}};
        Completion done = [](const LineOpResult&) {};
        return queue.Push(op, done);
    };
    const std::uint64_t clients = kLineQueueMax / kSessionReadsMax;
    for (std::uint64_t s = 1; s <= clients; ++s) {
        for (std::size_t i = 0; i < kSessionReadsMax; ++i) {
            ASSERT_TRUE(push(LineOp::Kind::ReadRegisters, s));
        }
    }
    EXPECT_FALSE(push(LineOp::Kind::ReadRegisters, clients + 1));
    EXPECT_TRUE(push(LineOp::Kind::WriteRegisters, 1));
    EXPECT_TRUE(push(LineOp::Kind::ReadRegisters, 0));
    RequestQueue::Request first;
    ASSERT_TRUE(queue.Pop(first));
    EXPECT_EQ(first.op.kind, LineOp::Kind::WriteRegisters);
    ASSERT_TRUE(queue.PopTurn(first));
    EXPECT_EQ(first.op.by.session, 1u);
    EXPECT_TRUE(push(LineOp::Kind::ReadRegisters, clients + 1));
    EXPECT_EQ(queue.Size(), kLineQueueMax + 1);
}

TEST(GatewayScanSchedule, APointIsDueAScanPeriodAfterItsDueTimeNotAfterALatePass) {
    const LineConfig config = Config({WordPoint(1, 0, 1000), WordPoint(1, 5, 300)});
    const PointMap map(config.points);
    const StationStates states(config, map);
    ScanSchedule schedule(config, map, At(0));
    struct Pass {
        long atMs;
        std::vector<std::size_t> due;
        long nextMs;  // when the schedule wants to run again, looking no later than 10 s
    };
    const Pass passes[] = {
        {0, {0, 1}, 300},     {300, {1}, 600},
        {650, {1}, 900},       // 50 ms late: the next one keeps to its period
        {2000, {0, 1}, 2300},  // far behind: a period from now, not several at once
        {2100, {}, 2300},
    };
    for (const Pass& p : passes) {
        SCOPED_TRACE(p.atMs);
        std::vector<std::size_t> due;
        std::vector<PassBlock> probes;
        schedule.Collect(states, At(p.atMs), due, probes);
        EXPECT_EQ(due, p.due);
        EXPECT_TRUE(probes.empty());
        EXPECT_EQ(MsOf(schedule.NextDue(states, At(10000))), p.nextMs);
    }
}

// --- the cache ---------------------------------------------------------------------

TEST(GatewayCacheWriter, ValuesAgeFromGoodToStaleOrBadAndTheSweepTellsOnce) {
    const LineConfig config = Config({WordPoint(1, 0, 1000)});
    const PointMap map(config.points);
    CacheWriter cache(config, map, 0.01, At(0));
    PointUpdates out;
    EXPECT_EQ(cache.Sample(0, At(0)).quality, Quality::Bad);  // never read
    cache.ApplyRead(1, 0, {77}, At(1000), WallTime{}, out);
    struct Check {
        long atMs;
        Quality quality;
    };
    for (const Check& c :
         {Check{1000, Quality::Good}, Check{3000, Quality::Good}, Check{3001, Quality::Stale}}) {
        SCOPED_TRACE(c.atMs);
        EXPECT_EQ(cache.Sample(0, At(c.atMs)).quality, c.quality);
    }
    out.clear();
    cache.Sweep(At(3050), out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].second.quality, Quality::Stale);
    cache.Sweep(At(3200), out);  // no change since: nothing more to tell
    EXPECT_EQ(out.size(), 1u);
    // A failed read turns an old value bad; a young one stays good.
    cache.ApplyFailure({0}, kResultLineFailure, At(3300), out);
    EXPECT_EQ(cache.Sample(0, At(3300)).quality, Quality::Bad);
    EXPECT_EQ(cache.Sample(0, At(3300)).values, std::vector<std::uint16_t>{77});
}

// A two-register value is served only from one read that holds both its
// halves: halves of different reads would make a value the plant never had.
TEST(GatewayCacheWriter, TwoRegisterValuesComeFromOneRead) {
    PointConfig wide = WordPoint(1, 10);
    wide.format.type = values::Type::Float32;
    const LineConfig config = Config({wide});
    const PointMap map(config.points);
    CacheWriter cache(config, map, 0.01, At(0));
    PointUpdates out;
    cache.ApplyRead(1, 10, {0x8000}, At(0), WallTime{}, out);  // the low half alone
    cache.ApplyRead(1, 11, {0x4292}, At(0), WallTime{}, out);  // the high half alone
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(cache.Sample(0, At(0)).quality, Quality::Bad);
    std::vector<std::uint16_t> words;
    EXPECT_FALSE(cache.CachedRegisters(1, 10, 2, At(0), words));
    cache.ApplyRead(1, 9, {7, 0x8000, 0x4292}, At(10), WallTime{}, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(cache.Sample(0, At(10)).values, (std::vector<std::uint16_t>{0x8000, 0x4292}));
    // A later read of one half leaves the served value whole.
    cache.ApplyRead(1, 11, {0x0000}, At(20), WallTime{}, out);
    EXPECT_EQ(cache.Sample(0, At(20)).values, (std::vector<std::uint16_t>{0x8000, 0x4292}));
}

TEST(GatewayCacheWriter, APassLongerThanTheScanPeriodKeepsValuesGoodOnASlowLine) {
    // At 20 ms a character a pass of this one point takes longer on the wire
    // than its 100 ms scan period: the value is read once a pass at best.
    const LineConfig config = Config({WordPoint(1, 0, 100)});
    const PointMap map(config.points);
    CacheWriter cache(config, map, 20.0, At(0));
    PointUpdates out;
    cache.ApplyRead(1, 0, {5}, At(0), WallTime{}, out);
    EXPECT_EQ(cache.Sample(0, At(201)).quality, Quality::Good);
    EXPECT_EQ(cache.Sample(0, At(60000)).quality, Quality::Stale);
}

TEST(GatewayCacheWriter, RegisterAnswersRefuseWrittenAndOutOfRangeRegisters) {
    const LineConfig config = Config({WordPoint(1, 10, 1000, true), WordPoint(1, 11)});
    const PointMap map(config.points);
    CacheWriter cache(config, map, 0.01, At(0));
    PointUpdates out;
    cache.ApplyRead(1, 10, {1, 2}, At(0), WallTime{}, out);
    struct Case {
        int reg;
        int count;
        bool cached;
        bool writable;
    };
    const Case cases[] = {
        {10, 2, true, false},         // 11 is not writable
        {10, 1, true, true},          //
        {9, 2, false, false},         // 9 belongs to no point
        {10, INT_MAX, false, false},  // past 65535, without overflow
        {-1, 2, false, false},        //
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.reg) + " " + std::to_string(c.count));
        std::vector<std::uint16_t> words;
        EXPECT_EQ(cache.CachedRegisters(1, c.reg, c.count, At(100), words), c.cached);
        EXPECT_EQ(map.WordsWritable(1, c.reg, c.count), c.writable);
    }
    cache.Supersede(1, 11, 1);
    std::vector<std::uint16_t> words;
    EXPECT_FALSE(cache.CachedRegisters(1, 10, 2, At(100), words));
    ASSERT_TRUE(cache.CachedRegisters(1, 10, 1, At(100), words));
    EXPECT_EQ(words, std::vector<std::uint16_t>{1});
}

// --- the statistics ------------------------------------------------------------------

TEST(GatewayLineStats, LatencyKeepsTheLatestCommandsOnly) {
    LatencyRing ring;
    for (int ms = 1; ms <= static_cast<int>(LatencyRing::kSize) + 6; ++ms) {
        ring.Add(ms);
    }
    const LatencySummary s = ring.Summary();
    EXPECT_EQ(s.samples, LatencyRing::kSize);
    EXPECT_EQ(s.minMs, 7.0);  // the first six were overwritten
    EXPECT_EQ(s.medianMs, 7.0 + static_cast<double>(LatencyRing::kSize) / 2);
}

TEST(GatewayLineStats, BusLoadCoversTheLatestTenSecondsOnly) {
    const LineConfig config = Config({WordPoint(1, 0)});
    const PointMap map(config.points);
    LineStats stats(config, map, At(0));
    stats.BookCommand(1, kResultOk, 600, 500, At(500));
    struct Check {
        long atMs;
        double load;
    };
    // Shares of the time since the start, then of the latest ten seconds;
    // nothing once the command is more than ten seconds old.
    for (const Check& c :
         {Check{1000, 0.5}, Check{5000, 0.1}, Check{9500, 500.0 / 9500}, Check{12000, 0.0}}) {
        SCOPED_TRACE(c.atMs);
        EXPECT_DOUBLE_EQ(stats.Report(At(c.atMs), false).busLoad, c.load);
    }
    stats.BookCommand(1, kResultOk, 600, 1000, At(30500));
    EXPECT_DOUBLE_EQ(stats.Report(At(31000), false).busLoad, 0.1);
    EXPECT_EQ(stats.Report(At(31000), false).counts.commands, 2u);
    EXPECT_EQ(stats.Report(At(31000), true).busLoad, 0.0);  // down: no pace
}

}  // namespace
}  // namespace westnet::gateway
