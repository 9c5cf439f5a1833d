// A reply that is still arriving must never be read as the answer to the next
// request. On a paced line a reply read out of step (behind a noise byte), cut
// short or timed out has bytes still on their way when the next attempt goes
// out; each case below scripts those bytes window by window.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "entry/zanmain.h"
#include "fake_platform.h"
#include "highway/frame.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;

// The reply a station gives to a word read of `reg`: the value 0x1100 + reg.
Bytes WordReply(std::uint8_t reg) {
    Bytes r{OP_READ_WORD, reg, 0, reg, 0x11, 0};
    r[5] = HeaderChecksum(r.data());
    return r;
}

Bytes Part(const Bytes& b, std::size_t from, std::size_t to) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(to));
}

class LateReply : public ::testing::Test {
protected:
    void SetUp() override {
        OpenParams open{};
        std::strcpy(open.device, "COM1");
        open.enabled = 1;
        open.replyTimeout = 100;  // 1000 ms: 100 quiet windows of 10 ms at most
        open.line = LineParams{9600, 8, kTwoStopBits, kOddParity};
        ASSERT_EQ(Run(1, &open), ResOk);
        channel.selectedStation = 7;  // no select exchanges in the way
        point.station = 7;
        point.kind = KIND_WORD;
        point.values = values;
        fake.ClearCalls();
    }

    std::int32_t Run(std::int32_t command, void* params) {
        DriverRequest request{};
        request.channel = &channel;
        request.command = command;
        request.params = params;
        return ZanMain(&request);
    }

    std::uint16_t ReadWordAt(std::uint8_t reg) {
        point.reg = reg;
        std::memset(values, 0, sizeof values);
        EXPECT_EQ(Run(5, &point), ResOk) << "register " << int{reg};
        std::uint16_t value = 0;
        std::memcpy(&value, values + 2, sizeof value);
        return value;
    }

    fake::FakePlatform fake;
    ChannelState channel{};
    PointIo point{};
    std::uint8_t values[4];
};

TEST_F(LateReply, TheNextAttemptWaitsUntilTheEarlierReplyHasPassed) {
    struct Case {
        const char* what;
        // How the station's first reply to register 1 reaches the line.
        std::function<void(fake::FakePlatform&, const Bytes&)> firstReply;
    };
    const Case cases[] = {
        {"behind a noise byte, its tail still arriving",
         [](fake::FakePlatform& f, const Bytes& r) {
             f.Arrive({0x5A, r[0], r[1], r[2], r[3],
                       r[4]});         // six bytes read out of step: a bad checksum
             f.Arrive(Part(r, 5, 6));  // the last byte arrives in the next window
         }},
        {"cut short: half of it, a silent window, then the rest",
         [](fake::FakePlatform& f, const Bytes& r) {
             f.Arrive(Part(r, 0, 3));
             f.EndWindow();
             f.EndWindow();
             f.Arrive(Part(r, 3, 6));
         }},
        {"late: after the whole time-out",
         [](fake::FakePlatform& f, const Bytes& r) {
             f.EndWindow();
             f.Arrive(r);
         }},
        {"late, and the paced line brings it byte by byte",
         [](fake::FakePlatform& f, const Bytes& r) {
             f.EndWindow();
             for (std::uint8_t b : r) {
                 f.Arrive({b});
                 f.EndWindow();  // each byte in a window of its own, never a silent one
             }
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        int writes = 0;
        fake.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
            const Bytes reply = WordReply(frame[1]);
            if (writes++ == 0) {
                c.firstReply(f, reply);
            } else {
                f.Arrive(reply);
            }
        });
        // Without the wait, the second attempt would read the first reply and
        // the next command would take the second attempt's reply (register 1)
        // for the answer to register 2: one frame behind, every checksum good.
        EXPECT_EQ(ReadWordAt(1), 0x1101);
        EXPECT_EQ(writes, 2) << "the second attempt got its own reply whole";
        EXPECT_EQ(ReadWordAt(2), 0x1102);
        EXPECT_EQ(ReadWordAt(3), 0x1103);
        EXPECT_EQ(fake.TimeoutsOf(channel.port).ReadTotalTimeoutConstant, 1000U);
        fake.ClearCalls();
    }
}

TEST_F(LateReply, InputStillArrivingBeforeARequestIsWaitedOutNotCutOff) {
    // A purge that stopped after its first window would leave 0xBB to be read
    // as the first byte of the reply.
    fake.PutWaiting({0xEE});
    fake.Arrive({0xAA});
    fake.EndWindow();
    fake.Arrive({0xBB});
    int writes = 0;
    fake.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
        ++writes;
        f.Arrive(WordReply(frame[1]));
    });
    EXPECT_EQ(ReadWordAt(4), 0x1104);
    EXPECT_EQ(writes, 1);
}

TEST_F(LateReply, ALineThatNeverFallsQuietHoldsTheCommandOneTimeOutAtMost) {
    // A bad header, then a byte in every 10 ms window for longer than the
    // 1000 ms reply time-out.
    fake.Arrive({1, 2, 3, 4, 5, 0});
    for (int i = 0; i < 150; ++i) {
        fake.Arrive({0x55});
        fake.EndWindow();
    }
    std::uint8_t reply[FRAME_HEADER_SIZE] = {};
    ASSERT_EQ(ReceiveFrame(channel, reply, FRAME_HEADER_SIZE), ResBad);
    std::size_t windows = 0;
    for (const fake::Record& r : fake.Calls()) {
        if (r.call == Call::ReadFile && r.readTimeoutMs == kQuietFloorMs) {
            ++windows;
        }
    }
    EXPECT_EQ(windows, 100U);
    EXPECT_EQ(fake.TimeoutsOf(channel.port).ReadTotalTimeoutConstant, 1000U);
}

// Every platform call of a failed receive and its wait, failed in turn: the
// receive never reports a good reply, and the reply time-out is back as it
// was unless the call that failed was the one that puts it back.
TEST_F(LateReply, EachFailingCallOfTheWaitLeavesTheTimeoutAsItWas) {
    for (int nth = 1; nth < 20; ++nth) {
        SCOPED_TRACE(nth);
        ASSERT_NE(SerialSetReplyTimeout(channel.port, 100), 0);
        fake.ClearCalls();
        fake.Arrive({1, 2, 3, 4, 5, 0});
        fake.Arrive({9, 9});
        fake.FailAtCall(nth);
        std::uint8_t reply[FRAME_HEADER_SIZE] = {};
        EXPECT_NE(ReceiveFrame(channel, reply, FRAME_HEADER_SIZE), ResOk);
        if (!fake.FailureFired()) {
            return;  // every call has failed once
        }
        fake.FailAtCall(0);
        const fake::Record& failed = fake.Calls().back();
        const bool restoreFailed =
            failed.call == Call::SetCommTimeouts && fake.Count(Call::SetCommTimeouts) == 2;
        if (!restoreFailed) {
            EXPECT_EQ(fake.TimeoutsOf(channel.port).ReadTotalTimeoutConstant, 1000U);
        }
        // Whatever a failure left unread does not reach the next case.
        std::uint8_t drop[kDrainChunk];
        std::uint32_t got = 1;
        while (got != 0) {
            ActivePlatform().ReadFile(channel.port, drop, sizeof drop, &got);
        }
    }
    ADD_FAILURE() << "the receive and its wait make more platform calls than expected";
}

}  // namespace
}  // namespace westnet
