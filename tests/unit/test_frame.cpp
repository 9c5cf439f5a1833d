// Frame send and receive on the scripted line, and station selection with its
// retries: what goes out byte for byte, what comes back into the caller's
// buffer, and what the channel remembers as selected.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "fake_platform.h"
#include "highway/frame.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;

Bytes Reply(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    Bytes r{op, b1, b2, b3, b4, 0};
    r[5] = HeaderChecksum(r.data());
    return r;
}

Bytes BadChecksum(Bytes r) {
    r[5] = static_cast<std::uint8_t>(r[5] + 1);
    return r;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        const LineParams line{9600, 8, kOneStopBit, kNoParity};
        Handle handle = 0;
        ASSERT_EQ(SerialOpen("COM1", line, 0x0002, &handle), SerOk);
        std::memset(&channel, 0, sizeof channel);
        channel.port = handle;
        channel.selectedStation = STATION_NONE;
        point = PointIo{};
        request = DriverRequest{};
        request.channel = &channel;
        request.command = 5;
        request.params = &point;
        fake.ClearCalls();
    }

    fake::FakePlatform fake;
    ChannelState channel{};
    PointIo point{};
    DriverRequest request{};
};

// Every WriteFile must follow a purge (its ClearCommError) made since the
// previous WriteFile.
void ExpectPurgeBeforeEveryWrite(const fake::FakePlatform& line) {
    bool purged = false;
    const auto& calls = line.Calls();
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].call == Call::ClearCommError) {
            purged = true;
        } else if (calls[i].call == Call::WriteFile) {
            EXPECT_TRUE(purged) << "write at call " << i;
            purged = false;
        }
    }
}

TEST_F(FrameTest, SendPutsTheHeaderChecksumInByteFive) {
    struct Case {
        Bytes given;
        Bytes sent;
    };
    const Case cases[] = {
        {{0x0A, 0x05, 0x00, 0x00, 0x00, 0x00}, {0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}},
        // The sum wraps at 8 bits.
        {{0xFF, 0xFF, 0x00, 0x00, 0x00, 0x00}, {0xFF, 0xFF, 0x00, 0x00, 0x00, 0xFE}},
        // Whatever the caller left in byte 5 is replaced.
        {{0x00, 0x34, 0x12, 0x00, 0x00, 0x99}, {0x00, 0x34, 0x12, 0x00, 0x00, 0x46}},
        {{0x00, 0x34, 0x12, 0x00, 0x00, 0x46}, {0x00, 0x34, 0x12, 0x00, 0x00, 0x46}},
    };
    for (const Case& c : cases) {
        fake.ClearCalls();
        EXPECT_EQ(SendFrame(channel, c.given.data(), c.given.size()), ResOk);
        ASSERT_EQ(fake.Writes().size(), 1U);
        EXPECT_EQ(fake.Writes()[0], c.sent);
    }
}

TEST_F(FrameTest, SendCopiesTheDataBlockUnchangedAndNothingBeyondTheLength) {
    std::uint8_t frame[FRAME_BUFFER_SIZE + 8];
    std::memset(frame, 0xEE, sizeof frame);
    const std::uint8_t head[] = {0x07, 0x09, 0x00, 0x00, 0x00};
    std::memcpy(frame, head, sizeof head);
    frame[6] = 0x34;
    frame[7] = 0x12;
    frame[8] = 0x77;  // the caller's check byte, not recomputed
    ASSERT_EQ(SendFrame(channel, frame, 9), ResOk);
    EXPECT_EQ(fake.Writes()[0], (Bytes{0x07, 0x09, 0x00, 0x00, 0x00, 0x10, 0x34, 0x12, 0x77}));

    // The largest frame goes out whole.
    fake.ClearCalls();
    ASSERT_EQ(SendFrame(channel, frame, FRAME_BUFFER_SIZE), ResOk);
    ASSERT_EQ(fake.Writes()[0].size(), FRAME_BUFFER_SIZE);
    EXPECT_EQ(fake.Writes()[0][FRAME_BUFFER_SIZE - 1], 0xEE);
}

TEST_F(FrameTest, SendPurgesStaleInputBeforeEveryFrame) {
    const std::uint8_t frame[6] = {0x0A, 0x05, 0, 0, 0, 0};
    fake.PutWaiting({0x11, 0x22, 0x33});  // a late reply to an earlier request
    ASSERT_EQ(SendFrame(channel, frame, 6), ResOk);
    ASSERT_EQ(SendFrame(channel, frame, 6), ResOk);
    EXPECT_EQ(fake.Count(Call::WriteFile), 2U);
    ExpectPurgeBeforeEveryWrite(fake);
    EXPECT_EQ(fake.Waiting(), 0U);

    // So the stale bytes are not taken for the reply.
    fake.PutWaiting({0x11, 0x22, 0x33});
    fake.SetResponder([](fake::FakePlatform& f, const Bytes&) { f.Arrive(Reply(0, 0, 0, 1, 2)); });
    ASSERT_EQ(SendFrame(channel, frame, 6), ResOk);
    std::uint8_t reply[6] = {};
    ASSERT_EQ(ReceiveFrame(channel, reply, 6), ResOk);
    EXPECT_EQ(reply[3], 1);
    EXPECT_EQ(reply[4], 2);
}

TEST_F(FrameTest, SendFailures) {
    const std::uint8_t frame[6] = {0x0A, 0x05, 0, 0, 0, 0};
    fake.FailNext(Call::WriteFile);
    EXPECT_EQ(SendFrame(channel, frame, 6), ResFail);
    fake.ShortWrite(5);
    EXPECT_EQ(SendFrame(channel, frame, 6), ResFail);
    // A purge whose status query fails still lets the frame go.
    fake.FailNext(Call::ClearCommError);
    EXPECT_EQ(SendFrame(channel, frame, 6), ResOk);
    EXPECT_EQ(fake.Writes().back(), (Bytes{0x0A, 0x05, 0, 0, 0, 0x0F}));
}

TEST_F(FrameTest, LengthsOutsideTheFrameBufferAreRefusedWithoutTouchingTheLine) {
    std::uint8_t frame[FRAME_BUFFER_SIZE + 8] = {0x0A, 0x05};
    std::uint8_t guard[sizeof frame];
    std::memset(guard, 0x5A, sizeof guard);
    for (std::size_t length :
         {std::size_t{0}, std::size_t{5}, FRAME_BUFFER_SIZE + 1, std::size_t{100000}}) {
        SCOPED_TRACE(length);
        fake.Arrive(Bytes(FRAME_BUFFER_SIZE + 8, 0));
        std::uint8_t destination[sizeof frame];
        std::memcpy(destination, guard, sizeof guard);
        EXPECT_EQ(SendFrame(channel, frame, length), ResFail);
        EXPECT_EQ(ReceiveFrame(channel, destination, length), ResFail);
        EXPECT_TRUE(fake.Calls().empty());
        EXPECT_EQ(std::memcmp(destination, guard, sizeof guard), 0);
    }
}

TEST_F(FrameTest, ReceiveCopiesFromPositionThreeOn) {
    fake.Arrive({0x0A, 0x05, 0x00, 0x78, 0x56, 0xDD});
    std::uint8_t destination[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(ReceiveFrame(channel, destination, 6), ResOk);
    EXPECT_EQ(fake.Calls().back().call, Call::ReadFile);
    EXPECT_EQ(fake.Calls().back().count, 6U);
    const std::uint8_t expected[8] = {1, 2, 3, 0x78, 0x56, 0xDD, 7, 8};
    EXPECT_EQ(std::memcmp(destination, expected, sizeof expected), 0);
}

TEST_F(FrameTest, ReceiveOfABlockFrameCopiesItWhole) {
    Bytes reply(135);
    for (std::size_t i = 0; i < reply.size(); ++i) {
        reply[i] = static_cast<std::uint8_t>(i * 7 + 1);
    }
    reply[5] = HeaderChecksum(reply.data());
    // In two pieces: the exact read collects across them.
    fake.Arrive(Bytes(reply.begin(), reply.begin() + 40));
    fake.EndWindow();
    fake.Arrive(Bytes(reply.begin() + 40, reply.end()));
    std::uint8_t destination[140];
    std::memset(destination, 0xC3, sizeof destination);
    ASSERT_EQ(ReceiveFrame(channel, destination, 135), ResOk);
    for (std::size_t i = 0; i < sizeof destination; ++i) {
        const std::uint8_t expected = i >= 3 && i < 135 ? reply[i] : 0xC3;
        ASSERT_EQ(destination[i], expected) << "position " << i;
    }
}

TEST_F(FrameTest, AFailedReceiveLeavesTheCallersBufferAlone) {
    struct Case {
        const char* what;
        std::int32_t result;
        void (*script)(fake::FakePlatform&);
    };
    const Case cases[] = {
        {"silence", ResFail, [](fake::FakePlatform&) {}},
        {"short reply", ResFail,
         [](fake::FakePlatform& f) {
             f.Arrive({0x0A, 5, 0, 1, 2});
         }},
        {"read fails", ResFail, [](fake::FakePlatform& f) { f.FailRead(); }},
        {"bad checksum", ResBad,
         [](fake::FakePlatform& f) { f.Arrive(BadChecksum(Reply(0x0A, 5, 0, 1, 2))); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::FakePlatform line;
        ChannelState ch{};
        const LineParams params{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM2", params, 0x0002, &ch.port), SerOk);
        c.script(line);
        std::uint8_t destination[8];
        std::memset(destination, 0x5A, sizeof destination);
        EXPECT_EQ(ReceiveFrame(ch, destination, 6), c.result);
        for (std::uint8_t b : destination) {
            ASSERT_EQ(b, 0x5A);
        }
    }
}

TEST_F(FrameTest, SelectSendsTheSelectFrameAndStoresTheStation) {
    Bytes seen;
    fake.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
        seen = frame;
        f.Arrive(Reply(0x0A, 5, 0, 0, 0));
    });
    point.station = 5;
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_EQ(seen, (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}));
    EXPECT_EQ(channel.selectedStation, 5);
    ASSERT_EQ(fake.Count(Call::ReadFile), 1U);
    EXPECT_EQ(fake.Calls().back().count, 6U);

    // Selected already: nothing goes out.
    fake.ClearCalls();
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(channel.selectedStation, 5);
}

TEST_F(FrameTest, StationsZeroAndNoneAreRecordedWithoutAFrame) {
    channel.selectedStation = 7;
    point.station = 0;
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_EQ(channel.selectedStation, 0);
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_EQ(channel.selectedStation, 0);
    point.station = 255;
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_EQ(channel.selectedStation, STATION_NONE);
    EXPECT_TRUE(fake.Calls().empty());
}

// Programs that plan around the driver (the gateway's wire-time estimates)
// count selections with the rule of the public wire header: it must be the
// rule the driver follows, for every pair of stations.
TEST_F(FrameTest, SelectionsGoOutExactlyAsTheWireHeaderSays) {
    fake.SetResponder([](fake::FakePlatform& f, const Bytes& frame) {
        f.Arrive(Reply(0x0A, frame[1], 0, 0, 0));
    });
    for (const int selected : {0, 1, 5, 99, 255}) {
        for (const int station : {0, 1, 5, 99, 255}) {
            SCOPED_TRACE(testing::Message() << "station " << station << " after " << selected);
            channel.selectedStation = static_cast<std::uint8_t>(selected);
            point.station = station;
            fake.ClearCalls();
            EXPECT_EQ(SelectStation(&request), ResOk);
            EXPECT_EQ(fake.Count(Call::WriteFile),
                      westnet::wire::SendsSelection(station, selected) ? 1U : 0U);
            EXPECT_EQ(channel.selectedStation, station);
        }
    }
}

TEST_F(FrameTest, ASelectReplyIsJudgedByItsChecksumAlone) {
    fake.SetResponder(
        [](fake::FakePlatform& f, const Bytes&) { f.Arrive(Reply(0x42, 0x99, 0x98, 7, 8)); });
    point.station = 12;
    EXPECT_EQ(SelectStation(&request), ResOk);
    EXPECT_EQ(channel.selectedStation, 12);
    EXPECT_EQ(fake.Count(Call::WriteFile), 1U);
}

// How the station answers each select frame, attempt by attempt.
enum class Answer { Good, Bad, Silent, Short, WriteFails };

TEST_F(FrameTest, SelectRetriesAndItsOutcome) {
    struct Case {
        const char* what;
        std::vector<Answer> answers;
        std::int32_t result;
        std::uint8_t selectedAfter;
        std::size_t framesTried;
    };
    using A = Answer;
    const std::vector<A> sixBad(6, A::Bad);
    const std::vector<A> sixSilent(6, A::Silent);
    const Case cases[] = {
        {"six bad checksums", sixBad, ResBad, STATION_NONE, 6},
        {"six silent", sixSilent, ResFail, STATION_NONE, 6},
        {"five bad then good", {A::Bad, A::Bad, A::Bad, A::Bad, A::Bad, A::Good}, ResOk, 5, 6},
        {"five bad then silent",
         {A::Bad, A::Bad, A::Bad, A::Bad, A::Bad, A::Silent},
         ResFail,
         STATION_NONE,
         6},
        {"five silent then bad",
         {A::Silent, A::Silent, A::Silent, A::Silent, A::Silent, A::Bad},
         ResBad,
         STATION_NONE,
         6},
        {"short then good", {A::Short, A::Good}, ResOk, 5, 2},
        {"write fails at once", {A::WriteFails}, ResFail, 9, 1},
        {"write fails on the third", {A::Bad, A::Silent, A::WriteFails}, ResFail, 9, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake::FakePlatform line;
        ChannelState ch{};
        const LineParams params{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM3", params, 0x0002, &ch.port), SerOk);
        ch.selectedStation = 9;
        PointIo io{};
        io.station = 5;
        DriverRequest req{};
        req.channel = &ch;
        req.params = &io;
        line.ClearCalls();

        for (std::size_t i = 0; i < c.answers.size(); ++i) {
            if (c.answers[i] == A::WriteFails) {
                line.FailNext(Call::WriteFile, static_cast<int>(i) + 1);
            }
        }
        std::size_t attempt = 0;
        std::vector<Bytes> frames;
        line.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
            frames.push_back(frame);
            const A answer = attempt < c.answers.size() ? c.answers[attempt] : A::Silent;
            ++attempt;
            if (answer == A::Good) {
                f.Arrive(Reply(0x0A, 5, 0, 0, 0));
            } else if (answer == A::Bad) {
                f.Arrive(BadChecksum(Reply(0x0A, 5, 0, 0, 0)));
            } else if (answer == A::Short) {
                f.Arrive({0x0A, 5, 0});
            }
        });

        EXPECT_EQ(SelectStation(&req), c.result);
        EXPECT_EQ(ch.selectedStation, c.selectedAfter);
        EXPECT_EQ(line.Count(Call::WriteFile), c.framesTried);
        for (const Bytes& frame : frames) {
            EXPECT_EQ(frame, (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}));
        }
        ExpectPurgeBeforeEveryWrite(line);
    }
}

TEST_F(FrameTest, SelectWithoutChannelOrPointIsRefused) {
    point.station = 5;
    DriverRequest noChannel = request;
    noChannel.channel = nullptr;
    DriverRequest noPoint = request;
    noPoint.params = nullptr;
    EXPECT_EQ(SelectStation(&noChannel), ResBad);
    EXPECT_EQ(SelectStation(&noPoint), ResBad);
    EXPECT_EQ(SelectStation(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(channel.selectedStation, STATION_NONE);
}

}  // namespace
}  // namespace westnet
