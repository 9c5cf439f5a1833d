// Bad input from the host, swept: codes without a handler, zeroed and garbage
// records, missing pointers, block counts and bit numbers out of range, device
// names without a terminator, odd reply time-outs and address texts full of
// bytes above 0x7F. Nothing may crash or read past a record (the records live
// in heap blocks of exactly their size, so the sanitizer build catches any
// stray access), and every case gives its one documented result.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "address/parser.h"
#include "entry/driver_info.h"
#include "entry/zanmain.h"
#include "fake_platform.h"
#include "highway/frame.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kGarbage = 0xA5;

// A heap block of exactly `size` bytes holding `fill`: a read or write one
// byte past it is a sanitizer report.
struct Block {
    explicit Block(std::size_t size, std::uint8_t fill = 0)
        : bytes(new std::uint8_t[size]), length(size) {
        std::memset(bytes.get(), fill, size);
    }
    Bytes Snapshot() const { return Bytes(bytes.get(), bytes.get() + length); }
    template <typename T>
    T* As() {
        return reinterpret_cast<T*>(bytes.get());
    }
    std::unique_ptr<std::uint8_t[]> bytes;
    std::size_t length;
};

// Answers every request from a register image, as a healthy station would.
class Station {
public:
    void Attach(fake::FakePlatform& fake) {
        fake.SetResponder(
            [this](fake::FakePlatform& f, const Bytes& request) { f.Arrive(Answer(request)); });
    }
    std::map<std::uint16_t, std::uint16_t> regs;

private:
    static Bytes Header(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                        std::uint8_t b4) {
        Bytes h{op, b1, b2, b3, b4, 0};
        h[5] = static_cast<std::uint8_t>(op + b1 + b2 + b3 + b4);
        return h;
    }
    Bytes Answer(const Bytes& request) {
        const auto reg = static_cast<std::uint16_t>(request[1] | (request[2] << 8));
        switch (request[0]) {
            case OP_READ_WORD: {
                const std::uint16_t v = regs[reg];
                return Header(OP_READ_WORD, request[1], request[2], v & 0xFF, v >> 8);
            }
            case OP_READ_BLOCK: {
                Bytes reply = Header(OP_READ_BLOCK, request[1], request[2], request[3], 0);
                std::uint8_t check = 0;
                for (int i = 0; i <= request[3]; ++i) {
                    const std::uint16_t v = regs[static_cast<std::uint16_t>(reg + i)];
                    reply.push_back(v & 0xFF);
                    reply.push_back(v >> 8);
                    check = static_cast<std::uint8_t>(check + (v & 0xFF) + (v >> 8));
                }
                reply.push_back(check);
                return reply;
            }
            default:  // select and every write: an acknowledgement
                return Header(request[0], request[1], request[2], request[3], request[4]);
        }
    }
};

// The lines the stand-in host library reported through err() during a test.
class ErrLog {
public:
    // A file of its own: ctest runs each test in a process of its own, two at
    // a time, so a name made from a per-process counter would be shared.
    ErrLog() {
        std::string pattern = ::testing::TempDir() + "bad_input_err_XXXXXX";
        const int fd = mkstemp(pattern.data());
        EXPECT_GE(fd, 0) << pattern;
        if (fd >= 0) {
            close(fd);
        }
        path_ = pattern;
        setenv("TARVEK_ERR_LOG", path_.c_str(), 1);
    }
    ~ErrLog() {
        unsetenv("TARVEK_ERR_LOG");
        std::remove(path_.c_str());
    }
    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(path_, std::ios::binary);
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    std::string path_;
};

const std::string kOpenFailurePrefix = std::string("[32] ZAN") + DRIVER_NAME + " : Fail to open ";

// ---------------------------------------------------------------------------
// Every code from -5 to 20, over a channel and a parameter block that are all
// zero or all garbage. Pointer fields that the driver follows point at blocks
// of their own (zero or garbage as well), so the sweep tests the driver's
// decisions and not the host's pointers.

struct Records {
    explicit Records(std::uint8_t fill)
        : channel(sizeof(ChannelState), fill),
          params(sizeof(PointIo) + 64, fill),
          text(ADDRESS_TEXT_SIZE, fill),
          values(std::size_t{2} * 256, fill) {}
    // Commands that follow a pointer out of their parameter block get one.
    void PointInto(std::int32_t code) {
        if (code == 3 || code == 4) {
            params.As<PointAddress>()->text = reinterpret_cast<const char*>(text.bytes.get());
        }
        if (code == 5 || code == 6 || code == 7 || code == 10) {
            params.As<PointIo>()->values = values.bytes.get();
        }
    }
    Block channel;
    Block params;
    Block text;
    Block values;
};

struct CodeCase {
    std::int32_t code;
    std::int32_t zeroed;   // result over zeroed records
    std::int32_t garbage;  // result over garbage records
};

// Zeroed: open of a disabled channel, purge and close without a port, an
// empty address text (register 0), a point of no kind, a block of no words, an open of the
// empty name. Garbage: an unterminated device name, a port the platform does
// not know, a text that fails its first character, a station that cannot be
// selected on an unknown port, a negative block count.
const CodeCase kCodeCases[] = {
    {-5, ResBad, ResBad},   {-4, ResBad, ResBad}, {-3, ResBad, ResBad},   {-2, ResBad, ResBad},
    {-1, ResBad, ResBad},   {0, ResBad, ResBad},  {1, ResOk, ResFail},    {2, ResOk, ResOk},
    {3, ResBad, ResBad},    {4, ResBad, ResBad},  {5, ResBad, ResFail},   {6, ResBad, ResBad},
    {7, ResBad, ResFail},   {8, ResBad, ResBad},  {9, ResBad, ResBad},    {10, ResBad, ResBad},
    {11, ResOk, ResFail},   {12, ResOk, ResFail}, {13, ResFail, ResFail}, {14, ResOk, ResOk},
    {15, ResFail, ResFail}, {16, ResBad, ResBad}, {17, ResBad, ResBad},   {18, ResBad, ResBad},
    {19, ResBad, ResBad},   {20, ResBad, ResBad},
};

bool HasHandler(std::int32_t code) {
    return code >= 1 && code <= 15 && code != 8 && code != 9;
}

TEST(BadInput, EveryCodeOverZeroedRecords) {
    for (const CodeCase& c : kCodeCases) {
        SCOPED_TRACE(c.code);
        fake::FakePlatform fake;
        ErrLog log;
        Records r(0);
        r.PointInto(c.code);
        const Bytes channelBefore = r.channel.Snapshot();
        const Bytes paramsBefore = r.params.Snapshot();
        const Bytes valuesBefore = r.values.Snapshot();
        DriverRequest request{};
        request.channel = r.channel.As<ChannelState>();
        request.command = c.code;
        request.params = r.params.bytes.get();

        EXPECT_EQ(ZanMain(&request), c.zeroed);

        EXPECT_EQ(r.values.Snapshot(), valuesBefore);  // no command stores on these inputs
        EXPECT_TRUE(log.Lines().empty());
        if (!HasHandler(c.code)) {
            EXPECT_EQ(r.channel.Snapshot(), channelBefore);
            EXPECT_EQ(r.params.Snapshot(), paramsBefore);
            EXPECT_TRUE(fake.Calls().empty());
        }
        // Only the reopen and reconfigure of the empty stored name try the
        // platform, and the empty name opens nothing.
        if (c.code == 13 || c.code == 15) {
            ASSERT_EQ(fake.Count(fake::Call::CreateFileA), 1u);
            EXPECT_EQ(fake.Calls()[0].name, "");
            EXPECT_EQ(fake.Calls().size(), 1u);
        } else {
            EXPECT_TRUE(fake.Calls().empty()) << fake.Calls().size() << " calls";
        }
        if (c.code == 1) {
            EXPECT_EQ(request.channel->selectedStation, STATION_NONE);
            EXPECT_EQ(request.channel->enabled, 0);
            EXPECT_EQ(request.channel->port, 0u);
        }
    }
}

TEST(BadInput, EveryCodeOverGarbageRecords) {
    for (const CodeCase& c : kCodeCases) {
        SCOPED_TRACE(c.code);
        fake::FakePlatform fake;
        ErrLog log;
        Records r(kGarbage);
        r.PointInto(c.code);
        const Bytes channelBefore = r.channel.Snapshot();
        const Bytes paramsBefore = r.params.Snapshot();
        const Bytes valuesBefore = r.values.Snapshot();
        const Bytes textBefore = r.text.Snapshot();
        DriverRequest request{};
        request.channel = r.channel.As<ChannelState>();
        request.command = c.code;
        std::memset(request.hostReserved, kGarbage, sizeof request.hostReserved);
        request.params = r.params.bytes.get();

        EXPECT_EQ(ZanMain(&request), c.garbage);

        EXPECT_EQ(r.values.Snapshot(), valuesBefore);
        EXPECT_EQ(r.text.Snapshot(), textBefore);
        EXPECT_EQ(fake.Count(fake::Call::CreateFileA), 0u);
        const ChannelState& channel = *request.channel;
        const ChannelState& before = *reinterpret_cast<const ChannelState*>(channelBefore.data());
        switch (c.code) {
            case 1: {
                // The unterminated name is refused unopened, with the message.
                EXPECT_EQ(channel.selectedStation, STATION_NONE);
                EXPECT_EQ(channel.enabled, static_cast<std::int32_t>(0xA5A5A5A5u));
                EXPECT_EQ(channel.port, before.port);
                EXPECT_EQ(std::memcmp(&channel.settings, &before.settings, sizeof channel.settings),
                          0);
                EXPECT_EQ(channel.replyTimeout, before.replyTimeout);
                const auto lines = log.Lines();
                ASSERT_EQ(lines.size(), 1u);
                EXPECT_EQ(lines[0], kOpenFailurePrefix + std::string(11, '\xA5'));
                break;
            }
            case 14:
                EXPECT_EQ(r.params.As<DriverInfo>()->value0, 70);
                EXPECT_EQ(r.params.As<DriverInfo>()->value28, 3);
                EXPECT_EQ(r.channel.Snapshot(), channelBefore);
                EXPECT_TRUE(log.Lines().empty());
                break;
            default:
                // Everything else leaves both records exactly as they were:
                // the select on the unknown port failed in its first send.
                EXPECT_EQ(r.channel.Snapshot(), channelBefore);
                EXPECT_EQ(r.params.Snapshot(), paramsBefore);
                EXPECT_TRUE(log.Lines().empty());
                break;
        }
        if (c.code == 5 || c.code == 7) {
            EXPECT_EQ(fake.Count(fake::Call::WriteFile), 1u);  // the one select attempt
        }
        if (c.code == 6 || c.code == 10 || !HasHandler(c.code) || c.code == 3 || c.code == 4 ||
            c.code == 13 || c.code == 15 || c.code == 14) {
            EXPECT_TRUE(fake.Calls().empty());
        }
    }
}

// ---------------------------------------------------------------------------
// Missing pointers.

TEST(BadInput, NullRequest) {
    fake::FakePlatform fake;
    EXPECT_EQ(ZanMain(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
}

TEST(BadInput, NullChannelWhereTheCommandUsesIt) {
    for (std::int32_t code : {1, 2, 5, 6, 7, 10, 11, 12, 13, 15}) {
        SCOPED_TRACE(code);
        fake::FakePlatform fake;
        ErrLog log;
        Block params(sizeof(PointIo) + 64, 0);
        Block values(8, 0);
        auto* point = params.As<PointIo>();
        point->kind = KIND_WORD;
        point->count = 1;
        point->station = 3;
        point->values = values.bytes.get();
        auto* open = params.As<OpenParams>();
        if (code == 1) {
            std::memcpy(open->device, "COM1", 5);
            open->enabled = 1;
        }
        const Bytes paramsBefore = params.Snapshot();
        DriverRequest request{nullptr, code, {}, params.bytes.get()};
        EXPECT_EQ(ZanMain(&request), ResBad);
        EXPECT_EQ(params.Snapshot(), paramsBefore);
        EXPECT_TRUE(fake.Calls().empty());
        EXPECT_TRUE(log.Lines().empty());
    }
}

TEST(BadInput, NullParamsWhereTheCommandUsesThem) {
    for (std::int32_t code : {1, 3, 4, 5, 6, 7, 10, 14, 15}) {
        SCOPED_TRACE(code);
        fake::FakePlatform fake;
        ErrLog log;
        Block channel(sizeof(ChannelState), 0);
        channel.As<ChannelState>()->selectedStation = 7;
        const Bytes channelBefore = channel.Snapshot();
        DriverRequest request{channel.As<ChannelState>(), code, {}, nullptr};
        EXPECT_EQ(ZanMain(&request), ResBad);
        EXPECT_EQ(channel.Snapshot(), channelBefore);
        EXPECT_TRUE(fake.Calls().empty());
        EXPECT_TRUE(log.Lines().empty());
    }
}

// Commands that use no channel or no parameter block work without them.
TEST(BadInput, UnusedPointersMayBeNull) {
    fake::FakePlatform fake;
    Block info(sizeof(DriverInfo), kGarbage);
    DriverRequest getInfo{nullptr, 14, {}, info.bytes.get()};
    EXPECT_EQ(ZanMain(&getInfo), ResOk);
    EXPECT_EQ(info.As<DriverInfo>()->name, static_cast<const char*>(DRIVER_NAME));

    Block text(ADDRESS_TEXT_SIZE, 0);
    std::memcpy(text.bytes.get(), "0100001", 7);
    for (std::int32_t code : {3, 4}) {
        Block address(sizeof(PointAddress), 0);
        address.As<PointAddress>()->text = reinterpret_cast<const char*>(text.bytes.get());
        address.As<PointAddress>()->count = 1;
        DriverRequest parse{nullptr, code, {}, address.bytes.get()};
        EXPECT_EQ(ZanMain(&parse), ResOk) << code;
        EXPECT_EQ(address.As<PointAddress>()->kind, KIND_WORD);
    }

    Block channel(sizeof(ChannelState), 0);
    for (std::int32_t code : {2, 11, 12}) {
        DriverRequest request{channel.As<ChannelState>(), code, {}, nullptr};
        EXPECT_EQ(ZanMain(&request), ResOk) << code;
    }
    std::memcpy(channel.As<ChannelState>()->settings.device, "COM2", 5);
    DriverRequest reopen{channel.As<ChannelState>(), 13, {}, nullptr};
    EXPECT_EQ(ZanMain(&reopen), ResOk);
    EXPECT_EQ(channel.As<ChannelState>()->port, fake.HandleOf("COM2"));
}

TEST(BadInput, NullTextIsRefused) {
    for (std::int32_t code : {3, 4}) {
        fake::FakePlatform fake;
        Block address(sizeof(PointAddress), 0);
        address.As<PointAddress>()->count = 1;
        const Bytes before = address.Snapshot();
        DriverRequest request{nullptr, code, {}, address.bytes.get()};
        EXPECT_EQ(ZanMain(&request), ResBad) << code;
        EXPECT_EQ(address.Snapshot(), before);
    }
}

// A point or block with a known kind or a valid count but no value buffer is
// refused before anything goes out on the line.
TEST(BadInput, NullValueBufferIsRefusedBeforeTheLine) {
    for (std::int32_t code : {5, 6, 7, 10}) {
        for (std::int32_t kind : {KIND_BIT, KIND_WORD}) {
            SCOPED_TRACE(testing::Message() << "code " << code << " kind " << kind);
            fake::FakePlatform fake;
            Block channel(sizeof(ChannelState), 0);
            channel.As<ChannelState>()->port = 0x100;
            channel.As<ChannelState>()->selectedStation = STATION_NONE;
            Block params(sizeof(PointIo), 0);
            auto* point = params.As<PointIo>();
            point->station = 4;
            point->kind = kind;
            point->count = 2;
            const Bytes channelBefore = channel.Snapshot();
            DriverRequest request{channel.As<ChannelState>(), code, {}, params.bytes.get()};
            EXPECT_EQ(ZanMain(&request), ResBad);
            EXPECT_EQ(channel.Snapshot(), channelBefore);
            EXPECT_TRUE(fake.Calls().empty());
        }
    }
}

// ---------------------------------------------------------------------------
// A channel open on COM1 with station 3 answering from an image.

class OpenChannel : public ::testing::Test {
protected:
    void SetUp() override {
        OpenParams open{};
        std::memcpy(open.device, "COM1", 5);
        open.enabled = 1;
        open.replyTimeout = 20;
        open.line = LineParams{9600, 8, 2, 1};
        DriverRequest request{&channel, 1, {}, &open};
        ASSERT_EQ(ZanMain(&request), ResOk);
        station.Attach(fake);
        fake.ClearCalls();
    }
    std::int32_t Run(std::int32_t code, PointIo& point) {
        DriverRequest request{&channel, code, {}, &point};
        return ZanMain(&request);
    }
    Bytes LastWrite() const {
        const auto writes = fake.Writes();
        return writes.empty() ? Bytes{} : writes.back();
    }

    fake::FakePlatform fake;
    Station station;
    ChannelState channel{};
};

TEST_F(OpenChannel, BlockCountsOutsideOneToNinetySixAreRefusedBeforeTheLine) {
    for (std::int32_t count : {-1, 0, 97, 257, 1000, 65536, INT_MIN, INT_MAX}) {
        for (std::int32_t code : {6, 10}) {
            SCOPED_TRACE(testing::Message() << "code " << code << " count " << count);
            fake.ClearCalls();
            channel.selectedStation = STATION_NONE;
            Block values(std::size_t{2} * 128, 0x3C);
            const Bytes before = values.Snapshot();
            PointIo point{};
            point.station = 3;
            point.reg = 10;
            point.count = count;
            point.values = values.bytes.get();
            EXPECT_EQ(Run(code, point), ResBad);
            EXPECT_EQ(values.Snapshot(), before);
            EXPECT_TRUE(fake.Calls().empty());
            EXPECT_EQ(channel.selectedStation, STATION_NONE);  // not even the selection ran
        }
    }
}

// The edges that are accepted, each over a buffer of exactly `count` words.
TEST_F(OpenChannel, BlockCountsAtTheEdgesWork) {
    for (std::uint16_t i = 0; i < 200; ++i) {
        station.regs[static_cast<std::uint16_t>(100 + i)] = static_cast<std::uint16_t>(0x0101 * i);
    }
    for (std::int32_t count : {1, 64, 96}) {
        SCOPED_TRACE(count);
        Block values(2 * static_cast<std::size_t>(count), 0);
        PointIo point{};
        point.station = 3;
        point.reg = 100;
        point.count = count;
        point.values = values.bytes.get();
        fake.ClearCalls();
        EXPECT_EQ(Run(6, point), ResOk);
        EXPECT_EQ(LastWrite()[3], count - 1);
        for (std::int32_t i = 0; i < count; ++i) {
            std::uint16_t v;
            std::memcpy(&v, values.bytes.get() + 2 * static_cast<std::size_t>(i), 2);
            ASSERT_EQ(v, static_cast<std::uint16_t>(0x0101 * i)) << i;
        }
        fake.ClearCalls();
        EXPECT_EQ(Run(10, point), ResOk);
        EXPECT_EQ(LastWrite().size(), BlockFrameLength(count));
    }
}

// Bit numbers are carried in four bits: out-of-range numbers use their low
// four bits, for reads and writes alike.
TEST_F(OpenChannel, BitNumbersOutOfRangeUseTheirLowFourBits) {
    struct Case {
        std::int32_t bit;
        unsigned used;
    };
    const Case cases[] = {{16, 0}, {31, 15}, {32, 0}, {1000, 8}, {-1, 15}, {INT_MIN, 0}};
    station.regs[0x1234] = 0x8101;  // bits 0, 8 and 15 set
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bit);
        Block values(4, 0xEE);
        PointIo point{};
        point.station = 3;
        point.reg = 0x1234;
        point.bit = c.bit;
        point.kind = KIND_BIT;
        point.values = values.bytes.get();
        ASSERT_EQ(Run(5, point), ResOk);
        std::uint16_t got;
        std::memcpy(&got, values.bytes.get() + 2, 2);
        EXPECT_EQ(got, (0x8101u >> c.used) & 1u);
        EXPECT_EQ(values.bytes[0], 0xEE);
        EXPECT_EQ(values.bytes[1], 0xEE);

        const std::uint16_t one = 1;
        std::memcpy(values.bytes.get() + 2, &one, 2);
        ASSERT_EQ(Run(7, point), ResOk);
        const Bytes frame = LastWrite();
        ASSERT_EQ(frame.size(), 6u);
        EXPECT_EQ(frame[0], OP_WRITE_BIT);
        EXPECT_EQ(frame[3], 0x10u | c.used);
        EXPECT_EQ(frame[4], 0u);
    }
}

// Kinds other than bit and word run no transaction and do not claim success.
TEST_F(OpenChannel, UnknownKindsAreRefusedAfterTheSelection) {
    for (std::int32_t kind : {0, 2, 15, 17, -1, 255, INT_MAX}) {
        for (std::int32_t code : {5, 7}) {
            SCOPED_TRACE(testing::Message() << "code " << code << " kind " << kind);
            channel.selectedStation = STATION_NONE;
            fake.ClearCalls();
            Block values(4, 0x77);
            PointIo point{};
            point.station = 3;
            point.kind = kind;
            point.values = values.bytes.get();
            EXPECT_EQ(Run(code, point), ResBad);
            EXPECT_EQ(values.Snapshot(), Bytes(4, 0x77));
            ASSERT_EQ(fake.Writes().size(), 1u);  // the selection only
            EXPECT_EQ(fake.Writes()[0][0], OP_SELECT);
            EXPECT_EQ(channel.selectedStation, 3);
        }
    }
}

// ---------------------------------------------------------------------------
// Device names that fill their 12 bytes without a terminator.

std::array<char, DEVICE_NAME_SIZE> Unterminated() {
    std::array<char, DEVICE_NAME_SIZE> name;
    std::memcpy(name.data(), "COM1COM1COM1", DEVICE_NAME_SIZE);
    return name;
}

TEST(BadInput, OpenOfAnUnterminatedNameFailsWithItsMessage) {
    for (std::int32_t enabled : {1, 0, -1}) {
        SCOPED_TRACE(enabled);
        fake::FakePlatform fake;
        ErrLog log;
        Block channel(sizeof(ChannelState), 0);
        auto* state = channel.As<ChannelState>();
        state->selectedStation = 9;
        state->replyTimeout = 77;
        Block params(sizeof(OpenParams), 0);
        auto* open = params.As<OpenParams>();
        std::memcpy(open->device, Unterminated().data(), DEVICE_NAME_SIZE);
        open->enabled = enabled;
        open->replyTimeout = 30;
        DriverRequest request{state, 1, {}, open};
        EXPECT_EQ(ZanMain(&request), enabled == 0 ? ResOk : ResFail);
        EXPECT_EQ(state->selectedStation, STATION_NONE);
        EXPECT_EQ(state->enabled, enabled);
        EXPECT_EQ(state->port, 0u);
        EXPECT_EQ(state->replyTimeout, 77);
        EXPECT_EQ(state->settings.device[0], '\0');
        EXPECT_TRUE(fake.Calls().empty());
        const auto lines = log.Lines();
        if (enabled == 0) {
            EXPECT_TRUE(lines.empty());
        } else {
            ASSERT_EQ(lines.size(), 1u);
            EXPECT_EQ(lines[0], kOpenFailurePrefix + "COM1COM1COM");
        }
    }
}

TEST(BadInput, ReconfigureAndReopenOfAnUnterminatedNameChangeNothing) {
    fake::FakePlatform fake;
    ErrLog log;
    Block channel(sizeof(ChannelState), 0);
    auto* state = channel.As<ChannelState>();
    OpenParams open{};
    std::memcpy(open.device, "COM1", 5);
    open.enabled = 1;
    open.replyTimeout = 40;
    DriverRequest opening{state, 1, {}, &open};
    ASSERT_EQ(ZanMain(&opening), ResOk);
    fake.ClearCalls();

    Block params(sizeof(ReconfigureParams), 0);
    auto* reconfigure = params.As<ReconfigureParams>();
    std::memcpy(reconfigure->device, Unterminated().data(), DEVICE_NAME_SIZE);
    reconfigure->replyTimeout = 55;
    reconfigure->line = LineParams{1200, 7, 0, 2};
    const Bytes before = channel.Snapshot();
    DriverRequest request{state, 15, {}, reconfigure};
    EXPECT_EQ(ZanMain(&request), ResFail);
    EXPECT_EQ(channel.Snapshot(), before);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(fake.IsOpen("COM1"));

    // A stored name without a terminator (a host record never opened) is
    // refused by a reopen without touching the platform.
    Block fresh(sizeof(ChannelState), 0);
    std::memcpy(fresh.As<ChannelState>()->settings.device, Unterminated().data(), DEVICE_NAME_SIZE);
    const Bytes freshBefore = fresh.Snapshot();
    DriverRequest reopen{fresh.As<ChannelState>(), 13, {}, nullptr};
    EXPECT_EQ(ZanMain(&reopen), ResFail);
    EXPECT_EQ(fresh.Snapshot(), freshBefore);
    EXPECT_TRUE(fake.Calls().empty());
    EXPECT_TRUE(log.Lines().empty());
}

// Eleven characters and the terminator is the longest name, and it opens.
TEST(BadInput, ElevenCharacterNameOpens) {
    fake::FakePlatform fake;
    fake.AddDevice("ttyUSB12345");
    ChannelState state{};
    OpenParams open{};
    std::memcpy(open.device, "ttyUSB12345", 12);
    open.enabled = 1;
    DriverRequest request{&state, 1, {}, &open};
    EXPECT_EQ(ZanMain(&request), ResOk);
    EXPECT_EQ(state.port, fake.HandleOf("ttyUSB12345"));
    EXPECT_STREQ(state.settings.device, "ttyUSB12345");
}

// ---------------------------------------------------------------------------
// Reply time-outs.

TEST(BadInput, OpenWithOddReplyTimeouts) {
    struct Case {
        std::int32_t timeout;
        std::uint32_t portMs;  // the port's read time-out afterwards
    };
    // Below one unit the port keeps the second it was opened with; a value
    // whose milliseconds overflow 32 bits is held at the largest that fits.
    const Case cases[] = {{0, 1000},
                          {-1, 1000},
                          {INT_MIN, 1000},
                          {1, 10},
                          {INT_MAX, 2147483640u},
                          {214748365, 2147483640u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        fake::FakePlatform fake;
        ChannelState state{};
        OpenParams open{};
        std::memcpy(open.device, "COM3", 5);
        open.enabled = 1;
        open.replyTimeout = c.timeout;
        DriverRequest request{&state, 1, {}, &open};
        ASSERT_EQ(ZanMain(&request), ResOk);
        EXPECT_EQ(state.replyTimeout, c.timeout);
        EXPECT_EQ(fake.TimeoutsOf(state.port).ReadTotalTimeoutConstant, c.portMs);
    }
}

TEST(BadInput, ReconfigureWithOddReplyTimeouts) {
    for (std::int32_t timeout : {0, -1, INT_MAX, INT_MIN}) {
        SCOPED_TRACE(timeout);
        fake::FakePlatform fake;
        ChannelState state{};
        state.replyTimeout = 25;
        ReconfigureParams params{};
        std::memcpy(params.device, "COM4", 5);
        params.replyTimeout = timeout;
        DriverRequest request{&state, 15, {}, &params};
        ASSERT_EQ(ZanMain(&request), ResOk);
        EXPECT_EQ(state.replyTimeout, timeout == 0 ? 25 : timeout);
        // Stored only: the port runs with the default of an open.
        EXPECT_EQ(fake.TimeoutsOf(state.port).ReadTotalTimeoutConstant, 1000u);
    }
}

TEST(BadInput, SetReplyTimeoutWithOddValues) {
    struct Case {
        std::int32_t timeout;
        std::uint32_t portMs;
    };
    const Case cases[] = {
        {0, 1000}, {-1, 1000}, {INT_MIN, 1000}, {INT_MAX, 2147483640u}, {429496730, 2147483640u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.timeout);
        fake::FakePlatform fake;
        Handle handle = 0;
        ASSERT_EQ(SerialOpen("COM5", LineParams{9600, 8, 0, 0}, 2, &handle), SerOk);
        EXPECT_EQ(SerialSetReplyTimeout(handle, c.timeout), 100);
        EXPECT_EQ(fake.TimeoutsOf(handle).ReadTotalTimeoutConstant, c.portMs);
        // What was set reads back as the value in force, whole tens of ms.
        EXPECT_EQ(SerialSetReplyTimeout(handle, 100), static_cast<std::int32_t>(c.portMs / 10));
    }
}

// ---------------------------------------------------------------------------
// Address texts with bytes from 0x80 to 0xFF at every position.

struct ParseOutcome {
    std::int32_t result;
    PointAddress fields;
};

ParseOutcome Parse(std::int32_t code, const std::uint8_t (&text)[ADDRESS_TEXT_SIZE],
                   std::int32_t dataType, std::int32_t bitOnEntry) {
    Block copy(ADDRESS_TEXT_SIZE);
    std::memcpy(copy.bytes.get(), text, ADDRESS_TEXT_SIZE);
    Block address(sizeof(PointAddress), 0);
    auto* a = address.As<PointAddress>();
    a->text = reinterpret_cast<const char*>(copy.bytes.get());
    a->dataType = dataType;
    a->count = 8;
    a->bit = bitOnEntry;
    DriverRequest request{nullptr, code, {}, a};
    ParseOutcome out{ZanMain(&request), *a};
    EXPECT_EQ(std::memcmp(copy.bytes.get(), text, ADDRESS_TEXT_SIZE), 0);
    return out;
}

void Fill(std::uint8_t (&text)[ADDRESS_TEXT_SIZE], const char* s) {
    std::memset(text, 0, sizeof text);
    std::memcpy(text, s, std::strlen(s));
}

TEST(BadInput, HighBytesInTheCheckedPositionsAreRefusedUntouched) {
    for (std::int32_t code : {3, 4}) {
        for (int b = 0x80; b <= 0xFF; ++b) {
            for (std::size_t pos = 0; pos < 9; ++pos) {
                for (const char* base : {"0100001", "0100001 5"}) {
                    std::uint8_t text[ADDRESS_TEXT_SIZE];
                    Fill(text, base);
                    text[pos] = static_cast<std::uint8_t>(b);
                    const std::int32_t dataType = base[7] == ' ' ? 6 : 0;
                    const ParseOutcome out = Parse(code, text, dataType, 0);
                    ASSERT_EQ(out.result, ResBad) << code << " " << b << " at " << pos;
                    // Refused by the character check: nothing written.
                    ASSERT_EQ(out.fields.station, 0);
                    ASSERT_EQ(out.fields.reg, 0);
                    ASSERT_EQ(out.fields.bit, 0);
                    ASSERT_EQ(out.fields.kind, 0);
                    ASSERT_EQ(out.fields.parsed, 0);
                }
            }
        }
    }
}

// Positions 9 to 11 have no class: a high byte there ends a bit number like
// any other non-digit, is never white space, and does not touch a word point.
TEST(BadInput, HighBytesInTheUncheckedPositions) {
    for (int b = 0x80; b <= 0xFF; ++b) {
        for (std::size_t pos = 9; pos < ADDRESS_TEXT_SIZE; ++pos) {
            SCOPED_TRACE(testing::Message() << b << " at " << pos);
            std::uint8_t text[ADDRESS_TEXT_SIZE];

            Fill(text, "0100001");
            text[pos] = static_cast<std::uint8_t>(b);
            ParseOutcome out = Parse(3, text, 0, 0);
            ASSERT_EQ(out.result, ResOk);
            EXPECT_EQ(out.fields.reg, 0);
            EXPECT_EQ(out.fields.bit, 255);

            Fill(text, "0100001 5");
            text[pos] = static_cast<std::uint8_t>(b);
            out = Parse(3, text, 6, 0);
            ASSERT_EQ(out.result, ResOk);
            EXPECT_EQ(out.fields.bit, 4);
            EXPECT_EQ(out.fields.kind, KIND_BIT);
        }
        // Before the number: no digit is found, the bit keeps its entry value.
        std::uint8_t text[ADDRESS_TEXT_SIZE];
        Fill(text, "0100001   7");
        text[9] = static_cast<std::uint8_t>(b);
        ParseOutcome out = Parse(3, text, 6, 0);
        EXPECT_EQ(out.result, ResBad) << b;
        EXPECT_EQ(out.fields.bit, 0) << b;
        out = Parse(3, text, 6, 12);
        EXPECT_EQ(out.result, ResOk) << b;
        EXPECT_EQ(out.fields.bit, 11) << b;
    }
}

// Every byte value once at each position of a full twelve-byte text: the parse
// never runs past the twelve bytes (checked by the sanitizer build) and an
// accepted text always leaves every field in range.
TEST(BadInput, EveryByteAtEveryPositionStaysInRange) {
    int accepted = 0;
    for (int b = 0; b <= 0xFF; ++b) {
        for (std::size_t pos = 0; pos < ADDRESS_TEXT_SIZE; ++pos) {
            for (const char* base : {"0100001", "9965535 16  ", "0240001 9999"}) {
                std::uint8_t text[ADDRESS_TEXT_SIZE];
                Fill(text, base);
                text[pos] = static_cast<std::uint8_t>(b);
                for (std::int32_t dataType : {0, 6}) {
                    const ParseOutcome out = Parse(4, text, dataType, 3);
                    if (out.result == ResBad) {
                        continue;
                    }
                    ASSERT_EQ(out.result, ResOk);
                    ++accepted;
                    ASSERT_GE(out.fields.station, 0);
                    ASSERT_LE(out.fields.station, 99);
                    ASSERT_GE(out.fields.reg, 0);
                    ASSERT_LE(out.fields.reg, 65534);
                    ASSERT_EQ(out.fields.parsed, 1);
                    if (dataType == 6) {
                        ASSERT_EQ(out.fields.kind, KIND_BIT);
                        ASSERT_GE(out.fields.bit, 0);
                        ASSERT_LE(out.fields.bit, 15);
                    } else {
                        ASSERT_EQ(out.fields.kind, KIND_WORD);
                        ASSERT_EQ(out.fields.bit, 255);
                    }
                }
            }
        }
    }
    EXPECT_GT(accepted, 0);
}

}  // namespace
}  // namespace westnet
