// Commands 7 and 10 against a scripted station: the write requests byte for
// byte, the acknowledgement and its retries, and host records that a write
// never changes.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "entry/commands.h"
#include "entry/zanmain.h"
#include "fake_platform.h"
#include "highway/frame.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using fake::Call;

Bytes Header(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    Bytes r{op, b1, b2, b3, b4, 0};
    r[5] = HeaderChecksum(r.data());
    return r;
}

Bytes BadChecksum(Bytes r) {
    r[5] = static_cast<std::uint8_t>(r[5] - 1);
    return r;
}

// Every request goes out after a purge of its own.
void ExpectPurgeBeforeEveryWrite(const fake::FakePlatform& line) {
    bool purged = false;
    for (const auto& call : line.Calls()) {
        if (call.call == Call::ClearCommError) {
            purged = true;
        } else if (call.call == Call::WriteFile) {
            EXPECT_TRUE(purged);
            purged = false;
        }
    }
}

class WriteTest : public ::testing::Test {
protected:
    void SetUp() override {
        const LineParams line{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM1", line, 0x0002, &channel.port), SerOk);
        channel.selectedStation = 5;
        point.station = 5;
        std::memset(buffer, 0xC7, sizeof buffer);
        point.values = buffer + 1;  // the host promises no alignment
        request.channel = &channel;
        request.params = &point;
        fake.ClearCalls();
        AckEverything();
    }

    void AckEverything() {
        fake.SetResponder([this](fake::FakePlatform& f, const Bytes& frame) {
            if (frame[0] != OP_SELECT) {
                requests.push_back(frame);
            }
            f.Arrive(Header(frame[0], frame[1], frame[2], 0, 0));
        });
    }

    void SetValue(std::size_t offset, std::uint16_t value) {
        std::memcpy(buffer + 1 + offset, &value, sizeof value);
    }

    // Runs a command and checks that neither the PointIo nor the value
    // buffer moved, whatever the outcome.
    std::int32_t Run(std::int32_t command) {
        request.command = command;
        const PointIo pointBefore = point;
        std::uint8_t bufferBefore[sizeof buffer];
        std::memcpy(bufferBefore, buffer, sizeof buffer);
        const std::int32_t result = ZanMain(&request);
        EXPECT_EQ(std::memcmp(&point, &pointBefore, sizeof point), 0);
        EXPECT_EQ(std::memcmp(buffer, bufferBefore, sizeof buffer), 0);
        return result;
    }

    fake::FakePlatform fake;
    ChannelState channel{};
    PointIo point{};
    DriverRequest request{};
    std::uint8_t buffer[2 * BLOCK_LIMIT + 16];
    std::vector<Bytes> requests;
};

TEST_F(WriteTest, WordWrite) {
    point.kind = KIND_WORD;
    point.reg = 0x1234;
    SetValue(2, 0x5678);
    ASSERT_EQ(Run(7), ResOk);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0], (Bytes{0x01, 0x34, 0x12, 0x78, 0x56, 0x15}));
    EXPECT_EQ(fake.Calls().back().call, Call::ReadFile);
    EXPECT_EQ(fake.Calls().back().count, 6U);
    EXPECT_EQ(channel.selectedStation, 5);
}

TEST_F(WriteTest, BitWriteSendsTheBitNumberAndTheValuesLowestBit) {
    struct Case {
        std::int32_t bit;
        std::uint16_t value;
        Bytes sent;
    };
    const Case cases[] = {
        {15, 1, {0x03, 0x34, 0x12, 0x1F, 0x00, 0x68}},
        {3, 2, {0x03, 0x34, 0x12, 0x03, 0x00, 0x4C}},  // 2 clears
        {3, 3, {0x03, 0x34, 0x12, 0x13, 0x00, 0x5C}},  // 3 sets
        {0, 0xFFFF, {0x03, 0x34, 0x12, 0x10, 0x00, 0x59}},
        // Bit fields beyond 0-15 send their low four bits.
        {19, 1, {0x03, 0x34, 0x12, 0x13, 0x00, 0x5C}},
        {-1, 0, {0x03, 0x34, 0x12, 0x0F, 0x00, 0x58}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        requests.clear();
        point.kind = KIND_BIT;
        point.reg = 0x1234;
        point.bit = c.bit;
        SetValue(2, c.value);
        ASSERT_EQ(Run(7), ResOk);
        ASSERT_EQ(requests.size(), 1U);
        EXPECT_EQ(requests[0], c.sent);
    }
}

TEST_F(WriteTest, BlockWriteChecksTheLowBytesOnly) {
    point.reg = 9;
    point.count = 3;
    SetValue(0, 0x0102);
    SetValue(2, 0x0304);
    SetValue(4, 0x00FF);
    ASSERT_EQ(Run(10), ResOk);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0], (Bytes{0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02, 0x01, 0x04, 0x03, 0xFF,
                                  0x00, 0x05}));
    EXPECT_EQ(fake.Calls().back().count, 6U);  // the acknowledgement
}

TEST_F(WriteTest, BlockSizesUpToTheFrameBuffer) {
    for (std::int32_t count : {1, 2, BLOCK_MAX, 95, BLOCK_LIMIT}) {
        SCOPED_TRACE(count);
        requests.clear();
        point.reg = 0x0201;
        point.count = count;
        Bytes expected =
            Header(OP_WRITE_BLOCK, 0x01, 0x02, static_cast<std::uint8_t>(count - 1), 0);
        std::uint8_t check = 0;
        for (std::int32_t i = 0; i < count; ++i) {
            const auto value = static_cast<std::uint16_t>(0xF00F - i * 0x0203);
            SetValue(2 * static_cast<std::size_t>(i), value);
            expected.push_back(static_cast<std::uint8_t>(value & 0xFF));
            expected.push_back(static_cast<std::uint8_t>(value >> 8));
            check = static_cast<std::uint8_t>(check + (value & 0xFF));
        }
        expected.push_back(check);
        ASSERT_EQ(Run(10), ResOk);
        ASSERT_EQ(requests.size(), 1U);
        EXPECT_EQ(requests[0].size(), static_cast<std::size_t>(2 * count + 7));  // 9, 135, 199
        EXPECT_EQ(requests[0], expected);
    }
}

TEST_F(WriteTest, AnAcknowledgementIsJudgedByItsChecksumAlone) {
    point.kind = KIND_WORD;
    fake.SetResponder([this](fake::FakePlatform& f, const Bytes& frame) {
        requests.push_back(frame);
        f.Arrive(Header(0x66, 0xEE, 0xDD, 0xCC, 0xBB));
    });
    EXPECT_EQ(Run(7), ResOk);
    EXPECT_EQ(requests.size(), 1U);
}

TEST_F(WriteTest, ABadAcknowledgementSendsTheRequestAgain) {
    point.kind = KIND_WORD;
    point.reg = 0x44;
    SetValue(2, 0xBEEF);
    fake.SetResponder([this](fake::FakePlatform& f, const Bytes& frame) {
        requests.push_back(frame);
        const Bytes ack = Header(1, 0x44, 0, 0, 0);
        f.Arrive(requests.size() == 1 ? BadChecksum(ack) : ack);
    });
    EXPECT_EQ(Run(7), ResOk);
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_EQ(requests[0], Header(OP_WRITE_WORD, 0x44, 0x00, 0xEF, 0xBE));
}

TEST_F(WriteTest, SixFailuresReturnTheLastAttemptsCode) {
    enum class How { Silent, BadAck, Short, WriteFails };
    struct Case {
        const char* what;
        std::vector<How> attempts;
        std::int32_t result;
    };
    using H = How;
    const Case cases[] = {
        {"six silent", std::vector<H>(6, H::Silent), ResFail},
        {"six bad acknowledgements", std::vector<H>(6, H::BadAck), ResBad},
        {"five silent then bad",
         {H::Silent, H::Silent, H::Short, H::WriteFails, H::Silent, H::BadAck},
         ResBad},
        {"five bad then short",
         {H::BadAck, H::BadAck, H::BadAck, H::BadAck, H::BadAck, H::Short},
         ResFail},
    };
    for (std::int32_t command : {7, 10}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(command);
            fake::FakePlatform line;
            const LineParams params{9600, 8, kOneStopBit, kNoParity};
            ASSERT_EQ(SerialOpen("COM2", params, 0x0002, &channel.port), SerOk);
            channel.selectedStation = 5;
            point.kind = KIND_BIT;
            point.count = 4;
            // The station sees only the requests that were written.
            std::vector<How> answers;
            int unwritable = 0;
            for (std::size_t i = 0; i < c.attempts.size(); ++i) {
                if (c.attempts[i] == H::WriteFails) {
                    line.FailNext(Call::WriteFile, static_cast<int>(i) + 1);
                    ++unwritable;
                } else {
                    answers.push_back(c.attempts[i]);
                }
            }
            ASSERT_LE(unwritable, 1) << "the fake holds one pending failure per call";
            std::size_t next = 0;
            line.SetResponder([&](fake::FakePlatform& f, const Bytes&) {
                const Bytes ack = Header(7, 0, 0, 0, 0);
                const How how = answers[next++];
                if (how == H::BadAck) {
                    f.Arrive(BadChecksum(ack));
                } else if (how == H::Short) {
                    f.Arrive(Bytes(ack.begin(), ack.begin() + 3));
                }
            });
            EXPECT_EQ(Run(command), c.result);
            EXPECT_EQ(line.Count(Call::WriteFile), 6U);
            ExpectPurgeBeforeEveryWrite(line);
            EXPECT_EQ(channel.selectedStation, 5);
        }
    }
}

// A port that refuses every write: six requests tried, ResFail, and the
// station still recorded as selected.
TEST_F(WriteTest, SixUnwritableRequests) {
    channel.port += 0x1000;  // no device behind it
    point.kind = KIND_WORD;
    point.count = 2;
    for (std::int32_t command : {7, 10}) {
        SCOPED_TRACE(command);
        fake.ClearCalls();
        EXPECT_EQ(Run(command), ResFail);
        EXPECT_EQ(fake.Count(Call::WriteFile), 6U);
        for (const auto& call : fake.Calls()) {
            EXPECT_FALSE(call.call == Call::ReadFile && call.count == 6)
                << "no acknowledgement is awaited after a failed send";
        }
        EXPECT_EQ(channel.selectedStation, 5);
    }
}

TEST_F(WriteTest, AFailedSelectionSendsNoWriteRequest) {
    for (std::int32_t command : {7, 10}) {
        SCOPED_TRACE(command);
        fake.ClearCalls();
        channel.selectedStation = 8;
        point.kind = KIND_WORD;
        point.count = 2;
        std::vector<Bytes> frames;
        fake.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
            frames.push_back(frame);
            f.Arrive(BadChecksum(Header(OP_SELECT, 5, 0, 0, 0)));
        });
        EXPECT_EQ(Run(command), ResBad);
        ASSERT_EQ(frames.size(), 6U);
        for (const Bytes& frame : frames) {
            EXPECT_EQ(frame, Header(OP_SELECT, 5, 0, 0, 0));
        }
        EXPECT_EQ(channel.selectedStation, STATION_NONE);
    }
}

TEST_F(WriteTest, UnknownKindIsRefusedAfterTheSelection) {
    for (std::int32_t kind : {0, 2, 15, 17, 32, -1}) {
        SCOPED_TRACE(kind);
        fake.ClearCalls();
        requests.clear();
        channel.selectedStation = STATION_NONE;
        point.kind = kind;
        EXPECT_EQ(Run(7), ResBad);
        EXPECT_TRUE(requests.empty());
        ASSERT_EQ(fake.Writes().size(), 1U);
        EXPECT_EQ(fake.Writes()[0], Header(OP_SELECT, 5, 0, 0, 0));
        EXPECT_EQ(channel.selectedStation, 5);
    }
}

TEST_F(WriteTest, BlockCountsBeyondTheFrameBufferAreRefusedBeforeAnything) {
    channel.selectedStation = STATION_NONE;
    for (std::int32_t count : {0, -1, BLOCK_LIMIT + 1, 255, 256, 257, -2147483647 - 1}) {
        SCOPED_TRACE(count);
        point.count = count;
        EXPECT_EQ(Run(10), ResBad);
        EXPECT_TRUE(fake.Calls().empty());
        EXPECT_EQ(channel.selectedStation, STATION_NONE);
    }
}

TEST_F(WriteTest, MissingRecordsAreRefusedWithoutTouchingTheLine) {
    channel.selectedStation = STATION_NONE;
    point.count = 2;
    for (std::int32_t kind : {KIND_BIT, KIND_WORD}) {
        point.kind = kind;
        for (std::int32_t command : {7, 10}) {
            SCOPED_TRACE(command);
            point.values = nullptr;
            EXPECT_EQ(Run(command), ResBad);
            point.values = buffer + 1;
            request.params = nullptr;
            EXPECT_EQ(Run(command), ResBad);
            request.params = &point;
            request.channel = nullptr;
            EXPECT_EQ(Run(command), ResBad);
            request.channel = &channel;
        }
    }
    EXPECT_EQ(CmdWritePoint(nullptr), ResBad);
    EXPECT_EQ(CmdWriteBlock(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(channel.selectedStation, STATION_NONE);
}

// Every platform call of a block write with its selection fails in turn:
// whatever the outcome, every request that went out is the whole, right
// block, and the host's records stay as they were (Run checks them).
TEST_F(WriteTest, EveryFailingCallOfABlockWrite) {
    const Bytes expected{0x07, 0x09, 0x00, 0x02, 0x00, 0x12, 0x02,
                         0x01, 0x04, 0x03, 0xFF, 0x00, 0x05};
    int okRuns = 0;
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 500) << "the walk does not end";
        SCOPED_TRACE(n);
        fake::FakePlatform line;
        const LineParams params{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM4", params, 0x0002, &channel.port), SerOk);
        channel.selectedStation = STATION_NONE;
        point.station = 9;
        point.reg = 9;
        point.count = 3;
        SetValue(0, 0x0102);
        SetValue(2, 0x0304);
        SetValue(4, 0x00FF);
        std::vector<Bytes> blocks;
        line.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
            if (frame[0] != OP_SELECT) {
                blocks.push_back(frame);
            }
            f.Arrive(Header(frame[0], frame[1], 0, 0, 0));
        });
        line.FailAtCall(n);
        const std::int32_t result = Run(10);
        if (!line.FailureFired()) {
            EXPECT_EQ(result, ResOk);
            break;
        }
        okRuns += result == ResOk ? 1 : 0;
        if (result == ResOk) {
            EXPECT_FALSE(blocks.empty());
        }
        for (const Bytes& block : blocks) {
            EXPECT_EQ(block, expected);
        }
    }
    EXPECT_GT(okRuns, 0);
}

}  // namespace
}  // namespace westnet
