// The line scanner against a scripted channel and a clock that moves only
// with the commands: what goes on the line and when, station states, the
// line going down and coming back, the queue's order, the cache.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "support/scripted_line.h"

namespace westnet::gateway {
namespace {

using testing::FakeClock;
using testing::RecordedEvents;
using testing::RunUntil;
using testing::ScriptedChannel;

PointConfig Point(int station, int reg, int count = 0, int bit = -1, int scanMs = 1000) {
    PointConfig p;
    p.station = station;
    p.reg = reg;
    p.count = count;
    p.bit = bit;
    p.scanMs = scanMs;
    p.name = std::to_string(station) + "/" + std::to_string(reg) + "/" + std::to_string(bit);
    return p;
}

struct Line {
    explicit Line(std::vector<PointConfig> points, bool readOnly = false, int demoteAfter = 3)
        : channel(clock) {
        config.name = "test";
        config.points = std::move(points);
        config.demoteAfter = demoteAfter;
        config.demoteMs = 10000;
        scanner = std::make_unique<LineScanner>(0, config, readOnly, channel, clock, events);
    }
    FakeClock clock;
    ScriptedChannel channel;
    RecordedEvents events;
    LineConfig config;
    std::unique_ptr<LineScanner> scanner;

    // Submits a line request, or with `point` a point write, and runs the
    // line until it is answered.
    LineOpResult Do(LineOp op) {
        return Await(
            [&](Completion& done, Outcome& outcome) { return scanner->Submit(op, done, outcome); });
    }
    LineOpResult WritePoint(std::size_t point, std::vector<std::uint16_t> values) {
        return Await([&](Completion& done, Outcome& outcome) {
            return scanner->SubmitPointWrite(point, values, done, outcome);
        });
    }
    template <class Submit>
    LineOpResult Await(const Submit& submit) {
        LineOpResult got;
        bool answered = false;
        Completion done = [&](const LineOpResult& r) {
            got = r;
            answered = true;
        };
        Outcome outcome = Outcome::Ok;
        if (submit(done, outcome) == LineScanner::Admission::Answered) {
            got.outcome = outcome;
            return got;
        }
        // Step() runs `done`, which sets `answered`: not a loop without end.
        while (!answered) {  // NOLINT(bugprone-infinite-loop)
            scanner->Step();
        }
        return got;
    }
};

TEST(GatewayScanner, ReadsBlocksAndCachesValuesBitsAndWords) {
    Line line({Point(1, 10), Point(1, 12, 0, 3), Point(1, 14, 3), Point(2, 0)});
    line.channel.registers[1] = {{10, 111}, {12, 0x0008}, {14, 7}, {15, 8}, {16, 9}};
    line.channel.registers[2] = {{0, 222}};
    RunUntil(*line.scanner, line.clock, 1500);
    // One pass each second: a 7-word block on station 1, a word read on 2.
    ASSERT_GE(line.channel.log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(line.channel.log.begin(), line.channel.log.begin() + 3),
              (std::vector<std::string>{"open", "read 1 10 7", "word 2 0"}));
    EXPECT_EQ(line.scanner->Sample(0).values, std::vector<std::uint16_t>{111});
    EXPECT_EQ(line.scanner->Sample(1).values, std::vector<std::uint16_t>{1});
    EXPECT_EQ(line.scanner->Sample(2).values, (std::vector<std::uint16_t>{7, 8, 9}));
    EXPECT_EQ(line.scanner->Sample(3).quality, Quality::Good);
    std::vector<std::uint16_t> words;
    ASSERT_TRUE(line.scanner->CachedRegisters(1, 14, 3, words));
    EXPECT_EQ(words, (std::vector<std::uint16_t>{7, 8, 9}));
    ASSERT_TRUE(line.scanner->CachedRegisters(1, 12, 1, words));  // the bit point's whole word
    EXPECT_EQ(words, std::vector<std::uint16_t>{8});
    EXPECT_FALSE(line.scanner->CachedRegisters(1, 12, 3, words));  // 13 belongs to no point
    RunUntil(*line.scanner, line.clock, 3500);
    EXPECT_EQ(line.channel.Commands(1).size(), 3u);  // at 1.0, 2.0 and 3.0 s
}

TEST(GatewayScanner, PointsOfDifferentRatesShareABlockOnlyWhenBothAreDue) {
    Line line({Point(1, 0, 0, -1, 500), Point(1, 1, 0, -1, 1000)});
    RunUntil(*line.scanner, line.clock, 3100);  // passes at 1, 1.5, 2, 2.5 and 3 s
    EXPECT_EQ(line.channel.Commands(1),
              (std::vector<std::string>{"read 1 0 2", "word 1 0", "read 1 0 2", "word 1 0",
                                        "read 1 0 2"}));
}

TEST(GatewayScanner, DemotesAFailingStationProbesItAndTakesItBack) {
    Line line({Point(1, 0), Point(2, 0), Point(2, 100)});
    line.channel.silent = {2};
    RunUntil(*line.scanner, line.clock, 9000);
    // Three failed commands demote station 2: two in the first pass, one in
    // the second; then nothing for it until its probe 10 s later.
    ASSERT_EQ(line.channel.Commands(2).size(), 3u);
    EXPECT_EQ(line.scanner->State(2), StationState::Demoted);
    EXPECT_EQ(line.scanner->State(1), StationState::Ok);
    EXPECT_TRUE(line.scanner->Up());
    EXPECT_EQ(line.scanner->Sample(1).quality, Quality::Bad);
    EXPECT_EQ(line.scanner->Sample(1).lastResult, kResultLineFailure);
    // Station 1 keeps its pace meanwhile: one command a second.
    EXPECT_GE(line.channel.Commands(1).size(), 8u);
    Outcome outcome = Outcome::Ok;
    LineOp read{LineOp::Kind::ReadRegisters, 2, 0, 1, 0, {}, {}};
    Completion done = [](const LineOpResult&) {};
    EXPECT_EQ(line.scanner->Submit(read, done, outcome), LineScanner::Admission::Answered);
    EXPECT_EQ(outcome, Outcome::Demoted);

    RunUntil(*line.scanner, line.clock, 13000);
    ASSERT_EQ(line.channel.Commands(2).size(), 4u);  // one probe, still silent
    line.channel.silent.clear();
    RunUntil(*line.scanner, line.clock, 35000);  // the second probe comes 20 s after the first
    EXPECT_EQ(line.scanner->State(2), StationState::Ok);
    EXPECT_EQ(line.scanner->Sample(2).quality, Quality::Good);
    const LineStatus status = line.scanner->Status();
    EXPECT_EQ(status.stations[1].demotions, 1u);
    EXPECT_EQ(status.stations[1].counts.lineFailures, 4u);
    const std::vector<std::pair<int, StationState>> expected = {{2, StationState::Demoted},
                                                                {2, StationState::Ok}};
    EXPECT_EQ(line.events.stations, expected);
}

TEST(GatewayScanner, ADeadStationIsProbedEverLessOftenUpToAMinute) {
    Line line({Point(1, 0), Point(2, 0)});
    line.channel.silent = {2};
    RunUntil(*line.scanner, line.clock, 300000);
    std::vector<long> starts;
    for (std::size_t i = 0; i < line.channel.log.size(); ++i) {
        if (line.channel.log[i] == "word 2 0") {
            starts.push_back(line.channel.at[i]);
        }
    }
    // Three commands demote it; then probes after 10, 20, 40 and 60 s (each
    // counted from the end of the 600 ms failure before it).
    ASSERT_GE(starts.size(), 8u);
    const long gaps[] = {10000, 20000, 40000, 60000, 60000};
    for (std::size_t k = 0; k < 5; ++k) {
        SCOPED_TRACE(k);
        const long gap = starts[k + 3] - starts[k + 2] - line.channel.failureMs;
        EXPECT_GE(gap, gaps[k]);
        EXPECT_LE(gap, gaps[k] + 1000);
    }
    // Station 1 kept its pace throughout: about one read a second.
    EXPECT_GE(line.channel.Commands(1).size(), 290u);
}

TEST(GatewayScanner, ALineWhoseStationsAllFailGoesDownAndReopensWithABackOff) {
    Line line({Point(1, 0), Point(2, 0)});
    RunUntil(*line.scanner, line.clock, 1100);
    line.channel.silent = {1, 2};
    line.channel.openFails = true;
    RunUntil(*line.scanner, line.clock, 14000);
    EXPECT_FALSE(line.scanner->Up());
    EXPECT_EQ(line.scanner->State(1), StationState::Down);
    // A down line shows no pace of its own, not the last one it had.
    const LineStatus down = line.scanner->Status();
    EXPECT_EQ(down.busLoad, 0.0);
    EXPECT_EQ(down.cycleSeconds, 0.0);
    EXPECT_EQ(down.passSeconds, 0.0);
    const std::size_t close = std::find(line.channel.log.begin(), line.channel.log.end(), "close") -
                              line.channel.log.begin();
    ASSERT_LT(close, line.channel.log.size());
    // Reopened after 0.5 s, then 1, 2, 4 s ...
    std::vector<long> opens;
    for (std::size_t i = close; i < line.channel.log.size(); ++i) {
        if (line.channel.log[i] == "open") {
            opens.push_back(line.channel.at[i] - line.channel.at[close]);
        }
    }
    EXPECT_EQ(opens, (std::vector<long>{500, 1500, 3500, 7500}));
    Outcome outcome = Outcome::Ok;
    LineOp write{LineOp::Kind::WriteRegisters, 1, 0, 1, 0, {5}, {}};
    Completion done = [](const LineOpResult&) {};
    EXPECT_EQ(line.scanner->Submit(write, done, outcome), LineScanner::Admission::Answered);
    EXPECT_EQ(outcome, Outcome::LineDown);

    // Back: the next reopen probes both stations at once and they answer.
    line.channel.openFails = false;
    line.channel.silent.clear();
    RunUntil(*line.scanner, line.clock, 30000);
    EXPECT_TRUE(line.scanner->Up());
    EXPECT_EQ(line.scanner->State(1), StationState::Ok);
    EXPECT_EQ(line.scanner->State(2), StationState::Ok);
    EXPECT_EQ(line.scanner->Status().reopens, 1u);
    EXPECT_EQ(line.scanner->Sample(1).quality, Quality::Good);
}

TEST(GatewayScanner, AfterAReopenEveryStationIsProbedBeforeTheLineGoesDownAgain) {
    Line line({Point(1, 0), Point(2, 0), Point(3, 0)});
    RunUntil(*line.scanner, line.clock, 1100);
    line.channel.silent = {1, 2, 3};
    RunUntil(*line.scanner, line.clock, 20000);
    // Every reopen tries all three stations before it closes again.
    const std::vector<std::string>& log = line.channel.log;
    for (std::size_t i = 1; i < log.size(); ++i) {
        if (log[i] == "close" && log[i - 1] != "open") {
            std::set<std::string> probed;
            for (std::size_t j = i; j-- > 0 && log[j] != "open";) {
                probed.insert(log[j]);
            }
            EXPECT_EQ(probed.size(), 3u) << "before the close at entry " << i;
        }
    }
    EXPECT_GE(std::count(log.begin(), log.end(), "close"), 3);
}

TEST(GatewayScanner, WritesGoBeforeReadsAndReadsBeforeScans) {
    Line line({Point(1, 0, 0, -1, 100), Point(1, 200, 0, -1, 100)});
    RunUntil(*line.scanner, line.clock, 1001);  // the open, then a pass with two word reads
    std::vector<std::string> order;
    Outcome outcome = Outcome::Ok;
    LineOp read{LineOp::Kind::ReadRegisters, 1, 300, 2, 0, {}, {}};
    Completion r = [&](const LineOpResult&) { order.push_back("read"); };
    LineOp write{LineOp::Kind::WriteRegisters, 1, 0, 1, 0, {7}, {}};
    Completion w = [&](const LineOpResult& x) {
        order.push_back(std::string("write ") + OutcomeName(x.outcome));
    };
    ASSERT_EQ(line.scanner->Submit(read, r, outcome), LineScanner::Admission::Queued);
    ASSERT_EQ(line.scanner->Submit(write, w, outcome), LineScanner::Admission::Queued);
    const std::size_t before = line.channel.log.size();
    line.scanner->Step();
    line.scanner->Step();
    EXPECT_EQ(order, (std::vector<std::string>{"write ok", "read"}));
    EXPECT_EQ(std::vector<std::string>(line.channel.log.begin() + before, line.channel.log.end()),
              (std::vector<std::string>{"write 1 0 1", "read 1 300 2"}));
}

TEST(GatewayScanner, RequestsSplitIntoBlocksAndStopAtTheFirstFailure) {
    Line line({Point(1, 0, 64), Point(2, 0)});
    RunUntil(*line.scanner, line.clock, 1100);
    for (int i = 0; i < 100; ++i) {
        line.channel.registers[1][i] = static_cast<std::uint16_t>(i);
    }
    const LineOpResult read = line.Do({LineOp::Kind::ReadRegisters, 1, 0, 100, 0, {}, {}});
    EXPECT_EQ(read.outcome, Outcome::Ok);
    ASSERT_EQ(read.values.size(), 100u);
    EXPECT_EQ(read.values[99], 99);
    EXPECT_EQ(line.channel.Commands(1).back(), "read 1 64 36");

    const LineOpResult write = line.Do(
        {LineOp::Kind::WriteRegisters, 1, 65530, 0, 0, std::vector<std::uint16_t>(6, 1), {}});
    EXPECT_EQ(write.outcome, Outcome::Ok);
    EXPECT_EQ(line.channel.Commands(1).back(), "write 1 65530 6");

    line.channel.silent = {2};
    const LineOpResult failed = line.Do({LineOp::Kind::ReadRegisters, 2, 0, 130, 0, {}, {}});
    EXPECT_EQ(failed.outcome, Outcome::LineFailure);
    EXPECT_EQ(failed.driverResult, kResultLineFailure);
    EXPECT_TRUE(failed.values.empty());
    EXPECT_EQ(line.channel.Commands(2).back(), "read 2 0 64");  // not tried further

    struct Refusal {
        LineOp op;
        Outcome outcome;
    };
    const Refusal refusals[] = {
        {{LineOp::Kind::ReadRegisters, 9, 0, 1, 0, {}, {}}, Outcome::BadRequest},
        {{LineOp::Kind::ReadRegisters, 1, 65535, 2, 0, {}, {}}, Outcome::BadRequest},
        {{LineOp::Kind::ReadRegisters, 1, 0, 0, 0, {}, {}}, Outcome::BadRequest},
        {{LineOp::Kind::WriteBit, 1, 0, 1, 16, {1}, {}}, Outcome::BadRequest},
        {{LineOp::Kind::WriteRegisters, 1, 0, 0, 0, {}, {}}, Outcome::BadRequest},
    };
    for (const Refusal& r : refusals) {
        EXPECT_EQ(line.Do(r.op).outcome, r.outcome);
    }
}

TEST(GatewayScanner, PointWritesCheckThePointAndAreReadBack) {
    std::vector<PointConfig> points = {Point(1, 0), Point(1, 1, 0, 4), Point(1, 10, 3),
                                       Point(1, 20)};
    for (int i = 0; i < 3; ++i) {
        points[static_cast<std::size_t>(i)].writable = true;
    }
    Line line(points);
    RunUntil(*line.scanner, line.clock, 1100);
    struct Case {
        std::size_t point;
        std::vector<std::uint16_t> values;
        Outcome outcome;
        const char* onTheLine;
    };
    const Case cases[] = {
        {0, {42}, Outcome::Ok, "write 1 0 1"},       {1, {1}, Outcome::Ok, "bit 1 1 4=1"},
        {2, {1, 2, 3}, Outcome::Ok, "write 1 10 3"}, {2, {1, 2}, Outcome::BadRequest, nullptr},
        {1, {2}, Outcome::BadRequest, nullptr},      {0, {1, 2}, Outcome::BadRequest, nullptr},
        {3, {1}, Outcome::NotWritable, nullptr},     {9, {1}, Outcome::BadRequest, nullptr},
    };
    for (const Case& c : cases) {
        const std::size_t before = line.channel.log.size();
        const LineOpResult got = line.WritePoint(c.point, c.values);
        EXPECT_EQ(got.outcome, c.outcome) << "point " << c.point;
        if (c.onTheLine != nullptr) {
            ASSERT_GT(line.channel.log.size(), before);
            EXPECT_EQ(line.channel.log[before], c.onTheLine);
        } else {
            EXPECT_EQ(line.channel.log.size(), before) << "point " << c.point;
        }
    }
    // The written point is read back at once, not a scan period later.
    const long now = line.clock.Ms();
    RunUntil(*line.scanner, line.clock, now + 50);
    EXPECT_EQ(line.scanner->Sample(0).values, std::vector<std::uint16_t>{42});
    EXPECT_EQ(line.scanner->Sample(1).values, std::vector<std::uint16_t>{1});

    Line readOnly(points, true);
    EXPECT_EQ(readOnly.WritePoint(0, {1}).outcome, Outcome::ReadOnly);
    EXPECT_TRUE(readOnly.channel.Commands(1).empty());
}

TEST(GatewayScanner, AWrittenRegisterIsNotAnsweredFromTheCacheUntilReadAgain) {
    // The cache holds what the pass read; once a write reached a register
    // those words may be the ones it replaced, acknowledged or not.
    std::vector<PointConfig> points = {Point(1, 0), Point(1, 1, 0, 4), Point(1, 10, 3),
                                       Point(1, 20)};
    for (auto& p : points) {
        p.writable = true;
    }
    struct Case {
        const char* what;
        LineOp op;
        bool silent;  // the station does not answer: the write fails
        int reg;      // a register the write went to
        std::uint16_t after;
    };
    auto write = [](int reg, std::vector<std::uint16_t> values) {
        LineOp op;
        op.kind = LineOp::Kind::WriteRegisters;
        op.station = 1;
        op.reg = reg;
        op.count = static_cast<int>(values.size());
        op.values = std::move(values);
        return op;
    };
    LineOp bit;
    bit.kind = LineOp::Kind::WriteBit;
    bit.station = 1;
    bit.reg = 1;
    bit.bit = 4;
    bit.values = {1};
    const Case cases[] = {
        {"a word", write(0, {42}), false, 0, 42},
        {"a bit", bit, false, 1, 0x0010},
        {"part of a block", write(11, {7}), false, 11, 7},
        {"a failed word write", write(0, {43}), true, 0, 43},
    };
    for (const Case& c : cases) {
        Line line(points);
        RunUntil(*line.scanner, line.clock, 1100);
        std::vector<std::uint16_t> words;
        ASSERT_TRUE(line.scanner->CachedRegisters(1, c.reg, 1, words)) << c.what;
        line.channel.silent = c.silent ? std::set<int>{1} : std::set<int>{};
        EXPECT_EQ(line.Do(c.op).outcome, c.silent ? Outcome::LineFailure : Outcome::Ok) << c.what;
        EXPECT_FALSE(line.scanner->CachedRegisters(1, c.reg, 1, words)) << c.what;
        EXPECT_TRUE(line.scanner->CachedRegisters(1, 20, 1, words)) << c.what << ": not written";
        line.channel.silent.clear();
        line.channel.registers[1][c.reg] = c.after;  // the failed write landed after all
        RunUntil(*line.scanner, line.clock, line.clock.Ms() + 1000);
        ASSERT_TRUE(line.scanner->CachedRegisters(1, c.reg, 1, words)) << c.what;
        EXPECT_EQ(words, std::vector<std::uint16_t>{c.after}) << c.what;
    }
}

TEST(GatewayScanner, QualityIsStaleOrBadOnceTwoScanPeriodsPassWithoutAGoodRead) {
    // Demoted at its first failure, station 1 fails its block at 0 and is
    // not read at 100 any more; station 2 keeps the line up.
    Line line({Point(1, 0), Point(1, 100), Point(2, 0)}, false, 1);
    RunUntil(*line.scanner, line.clock, 1100);  // one good pass at 1 s
    line.channel.silent = {1};
    RunUntil(*line.scanner, line.clock, 2900);
    EXPECT_EQ(line.scanner->State(1), StationState::Demoted);
    EXPECT_EQ(line.scanner->Sample(0).quality, Quality::Good);  // still within 2 s
    RunUntil(*line.scanner, line.clock, 3200);
    EXPECT_EQ(line.scanner->Sample(0).quality, Quality::Bad);    // its last read failed
    EXPECT_EQ(line.scanner->Sample(1).quality, Quality::Stale);  // its last read was good
    EXPECT_EQ(line.scanner->Sample(1).values.size(), 1u);        // and stays readable
    EXPECT_EQ(line.scanner->Sample(2).quality, Quality::Good);
    std::vector<std::uint16_t> words;
    EXPECT_FALSE(line.scanner->CachedRegisters(1, 100, 1, words));
    // Listeners heard of the stale value without a read.
    bool told = false;
    for (const auto& e : line.events.points) {
        told = told || (e.first == 1 && e.second.quality == Quality::Stale);
    }
    EXPECT_TRUE(told);
}

// A forged reply (one that passed the checksum with another register's words)
// is served only where the line does not confirm changes.
TEST(GatewayScanner, ChangedValuesAreServedOnlyOnceASecondReadAgrees) {
    struct Case {
        ConfirmPolicy policy;
        bool troubleFirst;  // a failed command before the forged reply
        bool forgedServed;
    };
    const Case cases[] = {
        {ConfirmPolicy::Always, false, false},
        {ConfirmPolicy::Never, true, true},
        {ConfirmPolicy::Auto, false, true},  // a clean line: nothing to suspect
        {ConfirmPolicy::Auto, true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.policy) * 10 + (c.troubleFirst ? 1 : 0));
        FakeClock clock;
        ScriptedChannel channel(clock);
        RecordedEvents events;
        LineConfig config;
        config.name = "test";
        config.points = {Point(1, 0)};
        config.confirm = c.policy;
        LineScanner scanner(0, config, false, channel, clock, events);
        channel.registers[1][0] = 5;
        RunUntil(scanner, clock, 1500);
        if (c.troubleFirst) {
            channel.silent = {1};
            RunUntil(scanner, clock, 2500);
            channel.silent.clear();
            RunUntil(scanner, clock, 3500);
        }
        ASSERT_EQ(scanner.Sample(0).values, std::vector<std::uint16_t>{5});
        channel.forged = {999};
        RunUntil(scanner, clock, 4500);
        bool served = false;
        for (const auto& [point, sample] : events.points) {
            served = served || sample.values == std::vector<std::uint16_t>{999};
        }
        EXPECT_EQ(served, c.forgedServed);
        const LineStatus status = scanner.Status();
        EXPECT_EQ(status.disagreements, c.forgedServed ? 0u : 1u);
        // A real change is served, after its second read where changes are confirmed.
        channel.registers[1][0] = 7;
        RunUntil(scanner, clock, 5500);
        EXPECT_EQ(scanner.Sample(0).values, std::vector<std::uint16_t>{7});
        EXPECT_EQ(scanner.Status().confirmations > status.confirmations, !c.forgedServed);
    }
}

TEST(GatewayScanner, LateRepliesAreToldOnceWithTheTimeOutThatWouldServe) {
    // timeout_ms 100; a word read is 15 ms on the wire at 9600 8O2, a 64-word
    // block 176 ms, which is no lateness of the station's.
    struct Case {
        std::vector<PointConfig> points;
        long commandMs;
        bool silentOnce;  // one command fails by time-out, the next succeeds
        int suggest;      // 0: nothing to say
    };
    const Case cases[] = {
        {{Point(1, 0)}, 10, false, 0},
        {{Point(1, 0)}, 94, false, 0},
        {{Point(1, 0)}, 110, false, 150},  // waited 95 ms: 1.5 x 95, in tens
        {{Point(1, 0, 64)}, 200, false, 0},
        {{Point(1, 0)}, 10, true, 0},  // a station that was off is not late
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.commandMs);
        Line line(c.points);
        line.channel.commandMs = c.commandMs;
        if (c.silentOnce) {
            RunUntil(*line.scanner, line.clock, 1500);
            line.channel.silent = {1};
            RunUntil(*line.scanner, line.clock, 2500);
            line.channel.silent.clear();
        }
        RunUntil(*line.scanner, line.clock, 5500);
        EXPECT_EQ(line.scanner->Status().stations[0].lateSuggestMs, c.suggest);
    }
}

// One value that changes at every read holds up none of its neighbours.
TEST(GatewayScanner, ADisagreementKeepsOnlyThePointsTheReadsDisagreeOn) {
    Line line({Point(1, 0), Point(1, 1)});
    LineConfig config = line.config;
    config.confirm = ConfirmPolicy::Always;
    LineScanner scanner(0, config, false, line.channel, line.clock, line.events);
    line.channel.registers[1] = {{0, 5}, {1, 6}};
    RunUntil(scanner, line.clock, 1500);
    line.channel.registers[1][1] = 60;
    line.channel.forged = {9, 5};  // the first read forged, the second true
    RunUntil(scanner, line.clock, 2500);
    EXPECT_EQ(scanner.Sample(0).values, std::vector<std::uint16_t>{5});
    EXPECT_EQ(scanner.Sample(1).values, std::vector<std::uint16_t>{60});
    EXPECT_EQ(scanner.Status().disagreements, 1u);
}

TEST(GatewayScanner, AutoConfirmsForTenMinutesAfterTheLastTrouble) {
    Line line({Point(1, 0)});
    line.channel.silent = {1};
    RunUntil(*line.scanner, line.clock, 1500);
    line.channel.silent.clear();
    RunUntil(*line.scanner, line.clock, 2500);
    EXPECT_TRUE(line.scanner->Status().confirming);
    RunUntil(*line.scanner, line.clock, 2500 + 10 * 60 * 1000);
    EXPECT_FALSE(line.scanner->Status().confirming);
}

TEST(GatewayScanner, StopAnswersEveryRequestAndClosesTheChannel) {
    Line line({Point(1, 0)});
    RunUntil(*line.scanner, line.clock, 1100);
    std::vector<std::string> answers;
    Outcome outcome = Outcome::Ok;
    LineOp write{LineOp::Kind::WriteRegisters, 1, 0, 1, 0, {3}, {}};
    LineOp read{LineOp::Kind::ReadRegisters, 1, 0, 1, 0, {}, {}};
    Completion w = [&](const LineOpResult& r) { answers.push_back(OutcomeName(r.outcome)); };
    Completion r = [&](const LineOpResult& x) { answers.push_back(OutcomeName(x.outcome)); };
    line.scanner->Submit(read, r, outcome);
    line.scanner->Submit(write, w, outcome);
    line.scanner->Stop();
    while (!line.scanner->Finished()) {
        line.scanner->Step();
    }
    EXPECT_EQ(answers, (std::vector<std::string>{"shutting-down", "ok"}));
    EXPECT_EQ(line.channel.log.back(), "close");
    EXPECT_EQ(line.channel.registers[1][0], 3);
}

// Two clients keep a line busy with reads of registers no point covers, as
// many waiting as they may: they take turns, they have the configured share
// of the line's time and no more, and the scan keeps its pace.
TEST(GatewayScanner, ConnectionsReadInTurnWithinTheirShareAndTheScanKeepsItsPace) {
    for (const double share : {0.25, 0.5}) {
        SCOPED_TRACE(share);
        Line line({Point(1, 0, 0, -1, 200), Point(2, 0, 0, -1, 200)});
        line.scanner->SetReadThroughShare(share);
        RunUntil(*line.scanner, line.clock, 1100);
        const std::uint64_t sessions[] = {7, 9};
        std::map<std::uint64_t, int> waiting;
        std::vector<std::uint64_t> served;
        auto topUp = [&] {
            for (const std::uint64_t s : sessions) {
                while (waiting[s] < static_cast<int>(kSessionReadsMax)) {
                    LineOp read{LineOp::Kind::ReadRegisters,
                                1,
                                static_cast<int>(s) * 100,
                                2,
                                0,
                                {},
                                Requester{"modbus", "", "127.0.0.1:1", s}};
                    Completion done = [&, s](const LineOpResult& r) {
                        EXPECT_EQ(r.outcome, Outcome::Ok);
                        --waiting[s];
                        served.push_back(s);
                    };
                    Outcome outcome = Outcome::Ok;
                    ASSERT_EQ(line.scanner->Submit(read, done, outcome),
                              LineScanner::Admission::Queued);
                    ++waiting[s];
                }
            }
        };
        const std::size_t before = line.channel.log.size();
        const long start = line.clock.Ms();
        while (line.clock.Ms() < start + 60000) {
            topUp();
            const SteadyTime next = line.scanner->Step();
            if (next > line.clock.Now()) {
                line.clock.Set(next);
            }
        }
        // Each read took one 10 ms command: their time against the whole.
        const double readMs = 10.0 * static_cast<double>(served.size());
        const double elapsed = static_cast<double>(line.clock.Ms() - start);
        EXPECT_LE(readMs / elapsed, share + 0.01);
        EXPECT_GE(readMs / elapsed, share - 0.05);
        // In turn: never the same client twice in a row while both wait.
        for (std::size_t i = 1; i < served.size(); ++i) {
            ASSERT_NE(served[i], served[i - 1]) << i;
        }
        // The scan kept its pace: each station read every 200 ms, and good.
        const auto scans = std::count_if(
            line.channel.log.begin() + static_cast<std::ptrdiff_t>(before), line.channel.log.end(),
            [](const std::string& c) { return c == "word 2 0"; });
        EXPECT_GE(scans, 299);
        EXPECT_EQ(line.scanner->Sample(0).quality, Quality::Good);
        EXPECT_EQ(line.scanner->Sample(1).quality, Quality::Good);
    }
}

// A connection has a few reads waiting at most; its next is refused as the
// queue being full (the client is told "busy") while other clients and
// writes are still taken. When it goes, its waiting reads are answered at
// once, each exactly once, and never reach the line; its write still goes.
TEST(GatewayScanner, AConnectionsWaitingReadsAreBoundedAndForgottenWhenItGoes) {
    Line line({Point(1, 0)});
    RunUntil(*line.scanner, line.clock, 1100);
    std::map<std::string, int> answers;
    auto submit = [&](LineOp::Kind kind, int reg, std::uint64_t session) {
        LineOp op{kind, 1, reg, 1, 0, {5}, Requester{"modbus", "", "127.0.0.1:1", session}};
        Completion done = [&answers, reg](const LineOpResult& r) {
            ++answers[std::to_string(reg) + " " + OutcomeName(r.outcome)];
        };
        Outcome outcome = Outcome::Ok;
        return line.scanner->Submit(op, done, outcome);
    };
    for (std::size_t i = 0; i < kSessionReadsMax; ++i) {
        ASSERT_EQ(submit(LineOp::Kind::ReadRegisters, 100, 3), LineScanner::Admission::Queued);
    }
    EXPECT_EQ(submit(LineOp::Kind::ReadRegisters, 100, 3), LineScanner::Admission::Full);
    EXPECT_EQ(submit(LineOp::Kind::ReadRegisters, 200, 4), LineScanner::Admission::Queued);
    EXPECT_EQ(submit(LineOp::Kind::WriteRegisters, 300, 3), LineScanner::Admission::Queued);
    EXPECT_EQ(line.scanner->Status().queued, kSessionReadsMax + 2);

    Completions forgotten;
    line.scanner->Forget(3, forgotten);
    EXPECT_EQ(forgotten.size(), kSessionReadsMax);
    EXPECT_EQ(line.scanner->Status().queued, 2u);
    for (auto& [done, result] : forgotten) {
        done(result);
    }
    RunUntil(*line.scanner, line.clock, 5000);
    const std::map<std::string, int> expected = {
        {"100 shutting-down", static_cast<int>(kSessionReadsMax)}, {"200 ok", 1}, {"300 ok", 1}};
    EXPECT_EQ(answers, expected);
    EXPECT_EQ(std::count(line.channel.log.begin(), line.channel.log.end(), "word 1 100"), 0);
    EXPECT_EQ(std::count(line.channel.log.begin(), line.channel.log.end(), "word 1 200"), 1);
    EXPECT_EQ(std::count(line.channel.log.begin(), line.channel.log.end(), "write 1 300 1"), 1);
}

}  // namespace
}  // namespace westnet::gateway
