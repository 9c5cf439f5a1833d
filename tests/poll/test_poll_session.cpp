// The records the poller fills as the driver's host, seen from a recording
// stand-in for ZanMain: command codes, parameter blocks, the value buffer's
// layout, and what the poller reads back from it. Also the poll statistics.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "session.h"
#include "stats.h"

namespace westnet::poll {
namespace {

using host::ParsedPoint;
using host::Session;

// What the stand-in saw of one call, copied while the call was running.
struct Seen {
    std::int32_t command = 0;
    ChannelState* channel = nullptr;
    OpenParams open{};
    ReconfigureParams reconfigure{};
    PointAddress address{};
    char text[16] = {};
    PointIo io{};
    std::vector<std::uint8_t> values;
};

std::vector<Seen> gSeen;
std::function<std::int32_t(DriverRequest*)> gAnswer;

std::int32_t WESTNET_STDCALL Recorder(DriverRequest* request) {
    Seen seen;
    seen.command = request->command;
    seen.channel = request->channel;
    switch (request->command) {
        case 1:
            std::memcpy(&seen.open, request->params, sizeof seen.open);
            break;
        case 15:
            std::memcpy(&seen.reconfigure, request->params, sizeof seen.reconfigure);
            break;
        case 3:
        case 4:
            std::memcpy(&seen.address, request->params, sizeof seen.address);
            std::memcpy(seen.text, seen.address.text, 16);
            break;
        case 5:
        case 6:
        case 7:
        case 10: {
            std::memcpy(&seen.io, request->params, sizeof seen.io);
            const std::size_t bytes = request->command == 5 || request->command == 7
                                          ? 4
                                          : 2 * static_cast<std::size_t>(seen.io.count);
            const auto* v = static_cast<const std::uint8_t*>(seen.io.values);
            seen.values.assign(v, v + bytes);
            break;
        }
        default:
            break;
    }
    gSeen.push_back(seen);
    return gAnswer ? gAnswer(request) : ResOk;
}

class PollSession : public ::testing::Test {
protected:
    void SetUp() override {
        gSeen.clear();
        gAnswer = nullptr;
    }
    Session session_{&Recorder};
};

TEST_F(PollSession, OpenFillsTheOpenRecord) {
    const LineParams line{19200, 7, 0, 2};
    EXPECT_EQ(session_.Open("/dev/pts/7", 25, line), ResOk);
    ASSERT_EQ(gSeen.size(), 1u);
    const Seen& s = gSeen[0];
    EXPECT_EQ(s.command, 1);
    EXPECT_EQ(s.channel, &session_.Channel());
    EXPECT_EQ(std::memcmp(s.open.device, "/dev/pts/7\0\0", 12), 0);
    EXPECT_EQ(s.open.enabled, 1);
    EXPECT_EQ(s.open.replyTimeout, 25);
    EXPECT_EQ(s.open.line.baudRate, 19200);
    EXPECT_EQ(s.open.line.dataBits, 7);
    EXPECT_EQ(s.open.line.stopBits, 0);
    EXPECT_EQ(s.open.line.parity, 2);
}

TEST_F(PollSession, LifecycleCommandsUseTheirCodesOnTheOneChannel) {
    session_.Purge();
    session_.Close();
    session_.Shutdown();
    session_.Reopen();
    session_.Reconfigure("COM2", 0, LineParams{4800, 8, 2, 1});
    ASSERT_EQ(gSeen.size(), 5u);
    const std::int32_t codes[] = {2, 12, 11, 13, 15};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(gSeen[i].command, codes[i]);
        EXPECT_EQ(gSeen[i].channel, &session_.Channel());
    }
    EXPECT_EQ(std::memcmp(gSeen[4].reconfigure.device, "COM2\0\0\0\0\0\0\0\0", 12), 0);
    EXPECT_EQ(gSeen[4].reconfigure.replyTimeout, 0);
    EXPECT_EQ(gSeen[4].reconfigure.line.baudRate, 4800);
}

TEST_F(PollSession, ParseMarksBitPointsWithDataType6AndBlocksWithCommand4) {
    session_.Parse("0140001", false);
    session_.Parse("0140001 3", true);
    session_.Parse("0240001", false, 64);
    ASSERT_EQ(gSeen.size(), 3u);
    EXPECT_EQ(gSeen[0].command, 3);
    EXPECT_EQ(gSeen[0].address.dataType, 0);
    EXPECT_EQ(gSeen[0].address.count, 0);
    EXPECT_EQ(gSeen[1].command, 3);
    EXPECT_EQ(gSeen[1].address.dataType, 6);
    EXPECT_EQ(gSeen[2].command, 4);
    EXPECT_EQ(gSeen[2].address.count, 64);
    // The driver reads 12 bytes: the text, then NUL to the end of the field.
    EXPECT_EQ(std::memcmp(gSeen[1].text, "0140001 3\0\0\0", 12), 0);
    // Every output field starts from zero, so that kept values are known.
    EXPECT_EQ(gSeen[1].address.station, 0);
    EXPECT_EQ(gSeen[1].address.reg, 0);
    EXPECT_EQ(gSeen[1].address.bit, 0);
}

TEST_F(PollSession, ParseReturnsWhatTheDriverWrote) {
    gAnswer = [](DriverRequest* request) {
        auto* a = static_cast<PointAddress*>(request->params);
        a->station = 2;
        a->reg = 40000;
        a->bit = 8;
        a->kind = KIND_BIT;
        return ResOk;
    };
    const ParsedPoint p = session_.Parse("0240001 9", true);
    EXPECT_EQ(p.result, ResOk);
    EXPECT_EQ(p.record.station, 2);
    EXPECT_EQ(p.record.reg, 40000);
    EXPECT_EQ(p.record.bit, 8);
    EXPECT_EQ(p.record.kind, KIND_BIT);
}

PointAddress Point(std::int32_t station, std::int32_t reg, std::int32_t bit, std::int32_t kind) {
    PointAddress a{};
    a.station = station;
    a.reg = reg;
    a.bit = bit;
    a.kind = kind;
    return a;
}

TEST_F(PollSession, ReadPointTakesTheValueFromByteOffset2) {
    gAnswer = [](DriverRequest* request) {
        auto* io = static_cast<PointIo*>(request->params);
        auto* v = static_cast<std::uint8_t*>(io->values);
        v[0] = 0xEE;  // not the value
        v[1] = 0xEE;
        v[2] = 0x78;
        v[3] = 0x56;
        return ResOk;
    };
    std::uint16_t value = 0;
    EXPECT_EQ(session_.ReadPoint(Point(5, 0x1234, 3, KIND_BIT), value), ResOk);
    EXPECT_EQ(value, 0x5678);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].command, 5);
    EXPECT_EQ(gSeen[0].io.station, 5);
    EXPECT_EQ(gSeen[0].io.reg, 0x1234);
    EXPECT_EQ(gSeen[0].io.bit, 3);
    EXPECT_EQ(gSeen[0].io.kind, KIND_BIT);
}

TEST_F(PollSession, AFailedReadLeavesTheValueAlone) {
    gAnswer = [](DriverRequest*) { return ResFail; };
    std::uint16_t value = 77;
    EXPECT_EQ(session_.ReadPoint(Point(1, 0, 255, KIND_WORD), value), ResFail);
    EXPECT_EQ(value, 77);
}

TEST_F(PollSession, WritePointPutsTheValueAtByteOffset2LowByteFirst) {
    EXPECT_EQ(session_.WritePoint(Point(1, 9, 255, KIND_WORD), 0xABCD), ResOk);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].command, 7);
    EXPECT_EQ(gSeen[0].values, (std::vector<std::uint8_t>{0, 0, 0xCD, 0xAB}));
}

TEST_F(PollSession, BlocksStartAtByteOffset0) {
    EXPECT_EQ(session_.WriteBlock(Point(2, 40000, 255, KIND_WORD), {0x0102, 0x0304, 0x00FF}),
              ResOk);
    ASSERT_EQ(gSeen.size(), 1u);
    EXPECT_EQ(gSeen[0].command, 10);
    EXPECT_EQ(gSeen[0].io.count, 3);
    EXPECT_EQ(gSeen[0].values, (std::vector<std::uint8_t>{0x02, 0x01, 0x04, 0x03, 0xFF, 0x00}));

    gAnswer = [](DriverRequest* request) {
        auto* io = static_cast<PointIo*>(request->params);
        auto* v = static_cast<std::uint8_t*>(io->values);
        for (std::int32_t i = 0; i < io->count; ++i) {
            v[2 * static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i + 1);
            v[2 * static_cast<std::size_t>(i) + 1] = 0x80;
        }
        return ResOk;
    };
    std::vector<std::uint16_t> values;
    EXPECT_EQ(session_.ReadBlock(Point(2, 40000, 255, KIND_WORD), 64, values), ResOk);
    ASSERT_EQ(values.size(), 64u);
    EXPECT_EQ(values[0], 0x8001);
    EXPECT_EQ(values[63], 0x8040);
    EXPECT_EQ(gSeen.back().command, 6);
    EXPECT_EQ(gSeen.back().io.count, 64);
}

TEST(PollStats, CountsResultsAndLatencies) {
    PollStats stats;
    EXPECT_EQ(stats.Median(), 0.0);
    stats.Add(0, 4.0);
    stats.Add(0, 1.0);
    stats.Add(2, 500.0);
    EXPECT_EQ(stats.Exchanges(), 3);
    EXPECT_EQ(stats.Count(0), 2);
    EXPECT_EQ(stats.Count(1), 0);
    EXPECT_EQ(stats.Count(2), 1);
    EXPECT_EQ(stats.Min(), 1.0);
    EXPECT_EQ(stats.Median(), 4.0);
    EXPECT_EQ(stats.Max(), 500.0);
    stats.Add(1, 2.0);
    EXPECT_EQ(stats.Median(), 3.0);  // between 2 and 4
    EXPECT_EQ(stats.Count(1), 1);
    EXPECT_NE(stats.Line().find("exchanges 4  ok 2  refused 1  line failures 1"), std::string::npos)
        << stats.Line();
}

}  // namespace
}  // namespace westnet::poll
