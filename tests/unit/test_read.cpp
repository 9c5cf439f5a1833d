// Commands 5 and 6 against a scripted station: the requests byte for byte,
// where the reply's values land, the retries, and a value buffer that only a
// fully checked reply may change.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
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

constexpr std::uint8_t kGuard = 0xA5;

Bytes Header(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    Bytes r{op, b1, b2, b3, b4, 0};
    r[5] = HeaderChecksum(r.data());
    return r;
}

// A block reply carrying `words`, its check byte over every data byte.
Bytes BlockReply(const std::vector<std::uint16_t>& words) {
    Bytes r = Header(OP_READ_BLOCK, 0, 0, static_cast<std::uint8_t>(words.size() - 1), 0);
    std::uint8_t check = 0;
    for (std::uint16_t w : words) {
        r.push_back(static_cast<std::uint8_t>(w & 0xFF));
        r.push_back(static_cast<std::uint8_t>(w >> 8));
        check = static_cast<std::uint8_t>(check + (w & 0xFF) + (w >> 8));
    }
    r.push_back(check);
    return r;
}

Bytes BadChecksum(Bytes r) {
    r[5] = static_cast<std::uint8_t>(r[5] ^ 0x40);
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

// A station on the scripted line: `answer` gets every request but the select
// frames (which it acknowledges) and returns the reply, or nothing for silence.
using Station = std::function<Bytes(const Bytes& request, int attempt)>;

class ReadTest : public ::testing::Test {
protected:
    void SetUp() override {
        const LineParams line{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM1", line, 0x0002, &channel.port), SerOk);
        channel.selectedStation = 5;
        point.station = 5;
        std::memset(buffer, kGuard, sizeof buffer);
        point.values = buffer + 1;  // the host promises no alignment
        request.channel = &channel;
        request.params = &point;
        fake.ClearCalls();
    }

    void Play(const Station& station) {
        fake.SetResponder([this, station](fake::FakePlatform& f, const Bytes& frame) {
            if (frame.size() == 6 && frame[0] == OP_SELECT) {
                f.Arrive(Header(OP_SELECT, frame[1], 0, 0, 0));
                return;
            }
            requests.push_back(frame);
            const Bytes reply = station(frame, static_cast<int>(requests.size()));
            if (!reply.empty()) {
                f.Arrive(reply);
            }
        });
    }

    std::int32_t Run(std::int32_t command) {
        request.command = command;
        return ZanMain(&request);
    }

    std::uint16_t ValueAt(std::size_t offset) const {
        std::uint16_t v = 0;
        std::memcpy(&v, buffer + 1 + offset, sizeof v);
        return v;
    }

    bool BufferUntouched() const {
        for (std::uint8_t b : buffer) {
            if (b != kGuard) {
                return false;
            }
        }
        return true;
    }

    fake::FakePlatform fake;
    ChannelState channel{};
    PointIo point{};
    DriverRequest request{};
    std::uint8_t buffer[2 * BLOCK_LIMIT + 16];
    std::vector<Bytes> requests;
};

TEST_F(ReadTest, WordReadStoresAtOffsetTwoAndKeepsBytesZeroAndOne) {
    point.kind = KIND_WORD;
    point.reg = 0x1234;
    Play([](const Bytes&, int) { return Header(OP_READ_WORD, 0x34, 0x12, 0x78, 0x56); });
    ASSERT_EQ(Run(5), ResOk);
    ASSERT_EQ(requests.size(), 1U);
    EXPECT_EQ(requests[0], (Bytes{0x00, 0x34, 0x12, 0x00, 0x00, 0x46}));
    EXPECT_EQ(fake.Calls().back().count, 6U);  // a six-byte reply was read
    EXPECT_EQ(ValueAt(2), 0x5678);
    EXPECT_EQ(buffer[1], kGuard);
    EXPECT_EQ(buffer[2], kGuard);
    for (std::size_t i = 5; i < sizeof buffer; ++i) {
        ASSERT_EQ(buffer[i], kGuard);
    }
    EXPECT_EQ(channel.selectedStation, 5);
}

TEST_F(ReadTest, RegisterTravelsAsItsLowSixteenBits) {
    point.kind = KIND_WORD;
    point.reg = 0x7ABCD;
    Play([](const Bytes&, int) { return Header(0, 0, 0, 1, 0); });
    ASSERT_EQ(Run(5), ResOk);
    EXPECT_EQ(requests[0], Header(OP_READ_WORD, 0xCD, 0xAB, 0, 0));
}

TEST_F(ReadTest, BitReadTakesOneBitOfTheWord) {
    struct Case {
        std::int32_t bit;
        std::uint16_t word;
        std::uint16_t stored;
    };
    const Case cases[] = {
        {3, 0x0008, 1},
        {3, 0x0007, 0},
        {15, 0x8000, 1},
        {15, 0x7FFF, 0},
        {0, 0xFFFF, 1},
        // Bit fields beyond 0-15 use their low four bits, never a wild shift.
        {19, 0x0008, 1},
        {16, 0x0001, 1},
        {-1, 0x8000, 1},
        {0x7FFFFFF0, 0x0001, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        std::memset(buffer, kGuard, sizeof buffer);
        requests.clear();
        point.kind = KIND_BIT;
        point.reg = 0x1234;
        point.bit = c.bit;
        const std::uint16_t word = c.word;
        Play([word](const Bytes&, int) {
            return Header(OP_READ_WORD, 0, 0, static_cast<std::uint8_t>(word & 0xFF),
                          static_cast<std::uint8_t>(word >> 8));
        });
        ASSERT_EQ(Run(5), ResOk);
        ASSERT_EQ(requests.size(), 1U);
        EXPECT_EQ(requests[0], (Bytes{0x00, 0x34, 0x12, 0x00, 0x00, 0x46}));
        EXPECT_EQ(ValueAt(2), c.stored);
        EXPECT_EQ(buffer[1], kGuard);
        EXPECT_EQ(buffer[2], kGuard);
    }
}

TEST_F(ReadTest, BlockOfTwoWords) {
    point.reg = 0x0010;
    point.count = 2;
    Play([](const Bytes&, int) {
        return Bytes{0x05, 0x10, 0x00, 0x01, 0x00, 0x16, 0x02, 0x01, 0x04, 0x03, 0x0A};
    });
    ASSERT_EQ(Run(6), ResOk);
    EXPECT_EQ(requests[0], (Bytes{0x05, 0x10, 0x00, 0x01, 0x00, 0x16}));
    EXPECT_EQ(fake.Calls().back().count, 11U);
    EXPECT_EQ(ValueAt(0), 0x0102);
    EXPECT_EQ(ValueAt(2), 0x0304);
    for (std::size_t i = 5; i < sizeof buffer; ++i) {
        ASSERT_EQ(buffer[i], kGuard) << "byte " << i;
    }
    EXPECT_EQ(buffer[0], kGuard);
}

TEST_F(ReadTest, BlockSizesUpToTheFrameBuffer) {
    for (std::int32_t count : {1, 2, 63, BLOCK_MAX, 95, BLOCK_LIMIT}) {
        SCOPED_TRACE(count);
        std::memset(buffer, kGuard, sizeof buffer);
        requests.clear();
        fake.ClearCalls();
        point.reg = 0x0100 + count;
        point.count = count;
        std::vector<std::uint16_t> words;
        for (std::int32_t i = 0; i < count; ++i) {
            words.push_back(static_cast<std::uint16_t>(0x8000 + i * 0x0101 + 3));
        }
        Play([&words](const Bytes&, int) { return BlockReply(words); });
        ASSERT_EQ(Run(6), ResOk);
        ASSERT_EQ(requests.size(), 1U);
        EXPECT_EQ(requests[0], Header(OP_READ_BLOCK, static_cast<std::uint8_t>(point.reg & 0xFF),
                                      0x01, static_cast<std::uint8_t>(count - 1), 0));
        // The reply read is 2N + 7 bytes: 9 for one word, 135 for 64.
        std::uint32_t asked = 0;
        for (const auto& call : fake.Calls()) {
            if (call.call == Call::ReadFile) {
                asked = call.count;
            }
        }
        EXPECT_EQ(asked, static_cast<std::uint32_t>(2 * count + 7));
        for (std::int32_t i = 0; i < count; ++i) {
            ASSERT_EQ(ValueAt(2 * static_cast<std::size_t>(i)), words[static_cast<std::size_t>(i)]);
        }
        for (std::size_t i = 1 + 2 * static_cast<std::size_t>(count); i < sizeof buffer; ++i) {
            ASSERT_EQ(buffer[i], kGuard) << "byte " << i;
        }
        EXPECT_EQ(buffer[0], kGuard);
    }
}

TEST_F(ReadTest, AWrongDataCheckFailsTheAttemptAndTheRequestIsSentAgain) {
    point.reg = 0x0010;
    point.count = 2;
    Play([](const Bytes&, int attempt) {
        Bytes r = BlockReply({0x0102, 0x0304});
        if (attempt == 1) {
            r.back() = 0x04;  // the low bytes only: not what the station sums
        }
        return r;
    });
    ASSERT_EQ(Run(6), ResOk);
    ASSERT_EQ(requests.size(), 2U);
    EXPECT_EQ(requests[0], requests[1]);
    EXPECT_EQ(ValueAt(0), 0x0102);
    EXPECT_EQ(ValueAt(2), 0x0304);
}

// Six failed attempts: the last one's code, the station still selected, the
// buffer as it was.
TEST_F(ReadTest, SixFailuresReturnTheLastAttemptsCode) {
    enum class How { Silent, BadHeader, BadData, Short, WriteFails };
    struct Case {
        const char* what;
        std::vector<How> attempts;
        std::int32_t result;
    };
    using H = How;
    const Case cases[] = {
        {"six silent", std::vector<H>(6, H::Silent), ResFail},
        {"six bad headers", std::vector<H>(6, H::BadHeader), ResBad},
        {"six bad data checks", std::vector<H>(6, H::BadData), ResBad},
        {"five bad then short",
         {H::BadHeader, H::BadData, H::BadHeader, H::BadData, H::BadHeader, H::Short},
         ResFail},
        {"five silent then bad data",
         {H::Silent, H::Silent, H::Silent, H::Silent, H::Silent, H::BadData},
         ResBad},
        {"bad then the sixth unwritable",
         {H::BadData, H::BadData, H::BadData, H::BadData, H::BadData, H::WriteFails},
         ResFail},
    };
    for (std::int32_t command : {5, 6}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(c.what);
            SCOPED_TRACE(command);
            fake::FakePlatform line;
            const LineParams params{9600, 8, kOneStopBit, kNoParity};
            ASSERT_EQ(SerialOpen("COM2", params, 0x0002, &channel.port), SerOk);
            channel.selectedStation = 5;
            std::memset(buffer, kGuard, sizeof buffer);
            point.kind = KIND_WORD;
            point.reg = 0x20;
            point.count = 3;
            int attempt = 0;
            for (std::size_t i = 0; i < c.attempts.size(); ++i) {
                if (c.attempts[i] == H::WriteFails) {
                    line.FailNext(Call::WriteFile, static_cast<int>(i) + 1);
                }
            }
            line.SetResponder([&](fake::FakePlatform& f, const Bytes&) {
                const How how = c.attempts[static_cast<std::size_t>(attempt++)];
                Bytes good = command == 5 ? Header(0, 0, 0, 0x11, 0x22)
                                          : BlockReply({0x1111, 0x2222, 0x3333});
                if (how == H::BadHeader) {
                    f.Arrive(BadChecksum(good));
                } else if (how == H::BadData) {
                    good.back() = static_cast<std::uint8_t>(good.back() + 1);
                    f.Arrive(good);
                } else if (how == H::Short) {
                    f.Arrive(Bytes(good.begin(), good.end() - 1));
                }
            });
            EXPECT_EQ(Run(command), c.result);
            EXPECT_EQ(line.Count(Call::WriteFile), 6U);
            ExpectPurgeBeforeEveryWrite(line);
            EXPECT_EQ(channel.selectedStation, 5);
            EXPECT_TRUE(BufferUntouched());
        }
    }
}

TEST_F(ReadTest, AFailedSelectionEndsTheCommandBeforeAnyRead) {
    for (std::int32_t command : {5, 6}) {
        for (bool badChecksums : {false, true}) {
            SCOPED_TRACE(command);
            fake::FakePlatform line;
            const LineParams params{9600, 8, kOneStopBit, kNoParity};
            ASSERT_EQ(SerialOpen("COM2", params, 0x0002, &channel.port), SerOk);
            channel.selectedStation = 4;
            point.kind = KIND_WORD;
            point.count = 2;
            std::vector<Bytes> frames;
            line.SetResponder([&](fake::FakePlatform& f, const Bytes& frame) {
                frames.push_back(frame);
                if (badChecksums) {
                    f.Arrive(BadChecksum(Header(OP_SELECT, 5, 0, 0, 0)));
                }
            });
            EXPECT_EQ(Run(command), badChecksums ? ResBad : ResFail);
            ASSERT_EQ(frames.size(), 6U);
            for (const Bytes& frame : frames) {
                EXPECT_EQ(frame[0], OP_SELECT);
            }
            EXPECT_EQ(channel.selectedStation, STATION_NONE);
            EXPECT_TRUE(BufferUntouched());
        }
    }
}

TEST_F(ReadTest, TheTransactionFollowsTheSelection) {
    channel.selectedStation = STATION_NONE;
    point.kind = KIND_WORD;
    point.reg = 1;
    Play([](const Bytes&, int) { return Header(0, 0, 0, 0x34, 0x12); });
    ASSERT_EQ(Run(5), ResOk);
    const auto writes = fake.Writes();
    ASSERT_EQ(writes.size(), 2U);
    EXPECT_EQ(writes[0], Header(OP_SELECT, 5, 0, 0, 0));
    EXPECT_EQ(writes[1], Header(OP_READ_WORD, 1, 0, 0, 0));
    EXPECT_EQ(ValueAt(2), 0x1234);
    EXPECT_EQ(channel.selectedStation, 5);
}

// A kind the driver does not know cannot be read: ResBad once the station is
// selected, no read request, the buffer untouched.
TEST_F(ReadTest, UnknownKindIsRefusedAfterTheSelection) {
    for (std::int32_t kind : {0, 2, 8, 15, 17, -1, -16}) {
        SCOPED_TRACE(kind);
        fake.ClearCalls();
        requests.clear();
        channel.selectedStation = STATION_NONE;
        point.kind = kind;
        Play([](const Bytes&, int) { return Header(0, 0, 0, 1, 1); });
        EXPECT_EQ(Run(5), ResBad);
        EXPECT_TRUE(requests.empty());
        ASSERT_EQ(fake.Writes().size(), 1U);
        EXPECT_EQ(fake.Writes()[0][0], OP_SELECT);
        EXPECT_EQ(channel.selectedStation, 5);
        EXPECT_TRUE(BufferUntouched());
    }
}

TEST_F(ReadTest, BlockCountsBeyondTheFrameBufferAreRefusedBeforeAnything) {
    for (std::int32_t count : {0, -1, -64, BLOCK_LIMIT + 1, 128, 256, 257, 0x7FFFFFFF}) {
        SCOPED_TRACE(count);
        channel.selectedStation = STATION_NONE;
        point.count = count;
        const PointIo before = point;
        EXPECT_EQ(Run(6), ResBad);
        EXPECT_TRUE(fake.Calls().empty());
        EXPECT_EQ(channel.selectedStation, STATION_NONE);
        EXPECT_EQ(std::memcmp(&point, &before, sizeof point), 0);
        EXPECT_TRUE(BufferUntouched());
    }
}

TEST_F(ReadTest, MissingRecordsAreRefusedWithoutTouchingTheLine) {
    channel.selectedStation = STATION_NONE;
    point.kind = KIND_WORD;
    point.count = 2;
    for (std::int32_t command : {5, 6}) {
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
    EXPECT_EQ(CmdReadPoint(nullptr), ResBad);
    EXPECT_EQ(CmdReadBlock(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_EQ(channel.selectedStation, STATION_NONE);
    EXPECT_TRUE(BufferUntouched());
}

// Every platform call of a word read with its selection fails in turn: the
// command may still succeed on a later attempt, but only then is the value
// stored, and then it is the right one.
TEST_F(ReadTest, EveryFailingCallLeavesTheBufferOrTheRightValue) {
    int okRuns = 0;
    for (int n = 1;; ++n) {
        ASSERT_LT(n, 500) << "the walk does not end";
        SCOPED_TRACE(n);
        fake::FakePlatform line;
        ChannelState ch{};
        const LineParams params{9600, 8, kOneStopBit, kNoParity};
        ASSERT_EQ(SerialOpen("COM4", params, 0x0002, &ch.port), SerOk);
        ch.selectedStation = STATION_NONE;
        std::uint8_t values[6];
        std::memset(values, kGuard, sizeof values);
        PointIo io{};
        io.station = 9;
        io.kind = KIND_WORD;
        io.reg = 0x1234;
        io.values = values;
        DriverRequest req{};
        req.channel = &ch;
        req.command = 5;
        req.params = &io;
        // Every reply carries the same value, so a reply left over from a
        // failed read and taken by a later one cannot change what is stored.
        line.SetResponder([](fake::FakePlatform& f, const Bytes& frame) {
            f.Arrive(Header(frame[0], frame[1], frame[2], 0xCD, 0xAB));
        });
        line.FailAtCall(n);
        const std::int32_t result = ZanMain(&req);
        if (!line.FailureFired()) {
            EXPECT_EQ(result, ResOk);
            break;
        }
        EXPECT_EQ(values[0], kGuard);
        EXPECT_EQ(values[1], kGuard);
        EXPECT_EQ(values[4], kGuard);
        EXPECT_EQ(values[5], kGuard);
        if (result == ResOk) {
            ++okRuns;
            std::uint16_t v = 0;
            std::memcpy(&v, values + 2, sizeof v);
            EXPECT_EQ(v, 0xABCD);
        } else {
            EXPECT_EQ(values[2], kGuard);
            EXPECT_EQ(values[3], kGuard);
        }
    }
    EXPECT_GT(okRuns, 0);
}

}  // namespace
}  // namespace westnet
