// The purge in front of every frame must be free on a quiet line: one status
// query and nothing else. A read or a time-out change there would cost every
// exchange a system call or two (or, on a real port, a 50 ms drain window).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "entry/zanmain.h"
#include "fake_platform.h"
#include "highway/frame.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;

Bytes Header(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    Bytes r{op, b1, b2, b3, b4, 0};
    r[5] = HeaderChecksum(r.data());
    return r;
}

// A station that answers every request at once and in full.
void Answer(fake::FakePlatform& fake, const Bytes& frame) {
    if (frame.size() < FRAME_HEADER_SIZE) {
        return;
    }
    if (frame[0] == OP_READ_BLOCK) {
        const std::size_t words = static_cast<std::size_t>(frame[3]) + 1;
        Bytes reply = Header(OP_READ_BLOCK, frame[1], frame[2], frame[3], 0);
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < 2 * words; ++i) {
            const auto b = static_cast<std::uint8_t>(i * 7 + 1);
            reply.push_back(b);
            check = static_cast<std::uint8_t>(check + b);
        }
        reply.push_back(check);
        fake.Arrive(reply);
        return;
    }
    fake.Arrive(Header(frame[0], frame[1], frame[2], 0x34, 0x12));
}

class QuietPurge : public ::testing::Test {
protected:
    void SetUp() override {
        OpenParams open{};
        std::strcpy(open.device, "COM1");
        open.enabled = 1;
        open.replyTimeout = 100;
        open.line = LineParams{9600, 8, kTwoStopBits, kOddParity};
        ASSERT_EQ(Run(1, &open), ResOk);
        fake.SetResponder(Answer);
        fake.ClearCalls();
        point.station = 7;
        point.reg = 0x0102;
        point.bit = 3;
        point.count = 64;
        std::memset(values, 0, sizeof values);
        values[2] = 1;  // the point value at byte 2 is 1
        point.values = values;
    }

    std::int32_t Run(std::int32_t command, void* params) {
        DriverRequest request{};
        request.channel = &channel;
        request.command = command;
        request.params = params;
        return ZanMain(&request);
    }

    // Every WriteFile must follow a ClearCommError directly, and nothing but
    // reads of the reply may come between two frames.
    void ExpectQuietPurges(std::size_t frames) {
        const std::vector<fake::Record>& calls = fake.Calls();
        std::size_t writes = 0;
        for (std::size_t i = 0; i < calls.size(); ++i) {
            SCOPED_TRACE(i);
            const Call call = calls[i].call;
            EXPECT_TRUE(call == Call::ClearCommError || call == Call::WriteFile ||
                        call == Call::ReadFile)
                << fake::CallName(call);
            if (call == Call::WriteFile) {
                ++writes;
                ASSERT_GT(i, 0U);
                EXPECT_EQ(calls[i - 1].call, Call::ClearCommError);
                EXPECT_EQ(calls[i - 1].count, 0U);  // it found the queue empty
            }
        }
        EXPECT_EQ(writes, frames);
        EXPECT_EQ(fake.Count(Call::ClearCommError), frames);
        EXPECT_EQ(fake.Count(Call::GetCommTimeouts), 0U);
        EXPECT_EQ(fake.Count(Call::SetCommTimeouts), 0U);
        // Every read asked for a reply, never for a drain chunk.
        for (const fake::Record& r : calls) {
            if (r.call == Call::ReadFile) {
                EXPECT_NE(r.count, kDrainChunk);
            }
        }
    }

    fake::FakePlatform fake;
    ChannelState channel{};
    PointIo point{};
    std::uint8_t values[2 * BLOCK_MAX];
};

TEST_F(QuietPurge, EveryCommandOnAQuietLineOnlyAsksForTheQueueStatus) {
    struct Case {
        const char* what;
        std::int32_t command;
        std::int32_t kind;
    };
    const Case cases[] = {
        {"word read", 5, KIND_WORD},  {"bit read", 5, KIND_BIT},  {"block read", 6, KIND_WORD},
        {"word write", 7, KIND_WORD}, {"bit write", 7, KIND_BIT}, {"block write", 10, KIND_WORD},
    };
    bool first = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake.ClearCalls();
        point.kind = c.kind;
        ASSERT_EQ(Run(c.command, &point), ResOk);
        // The first command also selects station 7: two frames.
        ExpectQuietPurges(first ? 2 : 1);
        first = false;
    }
}

TEST_F(QuietPurge, PurgeCommandOnAQuietLineIsOneStatusQuery) {
    ASSERT_EQ(Run(2, nullptr), ResOk);
    ASSERT_EQ(fake.Calls().size(), 1U);
    EXPECT_EQ(fake.Calls()[0].call, Call::ClearCommError);
}

// The same exchange with one stale byte waiting: the drain runs, so the
// checks above do see a purge that reads or moves the time-out.
TEST_F(QuietPurge, StaleInputBeforeASendIsDrainedAndTheTimeoutRestored) {
    point.kind = KIND_WORD;
    channel.selectedStation = 7;
    fake.PutWaiting({0xEE});
    ASSERT_EQ(Run(5, &point), ResOk);
    EXPECT_EQ(fake.Writes().size(), 1U);
    EXPECT_GE(fake.Count(Call::SetCommTimeouts), 2U);  // to the drain's and back
    ASSERT_FALSE(fake.Calls().empty());
    const fake::Record& firstRead =
        *std::find_if(fake.Calls().begin(), fake.Calls().end(),
                      [](const fake::Record& r) { return r.call == Call::ReadFile; });
    EXPECT_EQ(firstRead.count, kDrainChunk);
    EXPECT_EQ(fake.TimeoutsOf(channel.port).ReadTotalTimeoutConstant, 1000U);
}

}  // namespace
}  // namespace westnet
