// Reads and writes through ZanMain over a real pseudo-terminal: the driver
// holds the slave side as its serial device, a scripted station on the
// master side answers each request. Both directions are checked byte for
// byte, with values that a cooked tty would mangle (CR, LF, XON, XOFF, ^C,
// DEL, 0xFF).
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "entry/zanmain.h"
#include "highway/frame.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes WithChecksum(Bytes frame) {
    frame[5] = HeaderChecksum(frame.data());
    return frame;
}

// One exchange of the station's script: it reads a request of the expected
// length and answers with what `answer` makes of it.
struct Exchange {
    std::size_t requestLength;
    std::function<Bytes(const Bytes& request)> answer;
};

// The far end of the line, in a thread of its own. It waits on the line, not
// on the clock; the long poll limit only keeps a broken driver from hanging
// the test.
class Station {
public:
    Station(int master, std::vector<Exchange> script)
        : master_(master), script_(std::move(script)), thread_([this] { Run(); }) {}
    ~Station() { Join(); }
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Valid after Join.
    const std::vector<Bytes>& Received() const { return received_; }
    const std::string& Trouble() const { return trouble_; }

private:
    void Run() {
        for (const Exchange& e : script_) {
            Bytes request(e.requestLength);
            std::size_t n = 0;
            while (n < request.size()) {
                pollfd p{master_, POLLIN, 0};
                if (poll(&p, 1, 20000) != 1) {
                    trouble_ = "no request " + std::to_string(received_.size() + 1);
                    return;
                }
                const ssize_t k = read(master_, request.data() + n, request.size() - n);
                if (k <= 0) {
                    trouble_ = "line closed";
                    return;
                }
                n += static_cast<std::size_t>(k);
            }
            received_.push_back(request);
            const Bytes reply = e.answer(request);
            if (write(master_, reply.data(), reply.size()) != static_cast<ssize_t>(reply.size())) {
                trouble_ = "reply not written";
                return;
            }
        }
    }

    int master_;
    std::vector<Exchange> script_;
    std::vector<Bytes> received_;
    std::string trouble_;
    std::thread thread_;
};

// Acknowledges a request by echoing its header.
Bytes Echo(const Bytes& request) {
    return WithChecksum(Bytes(request.begin(), request.begin() + 6));
}

std::uint8_t BlockDataByte(std::size_t k) {
    static const std::uint8_t kAwkward[] = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0xFF, 0x00, 0x1A};
    return k < sizeof kAwkward ? kAwkward[k] : static_cast<std::uint8_t>(k * 37 + 5);
}

TEST(HighwayPty, ReadsAndWritesEndToEnd) {
    int master = -1;
    int slave = -1;
    char path[128] = {};
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);

    // The channel as an open command would leave it: its port open, no
    // station selected yet.
    ChannelState channel{};
    ASSERT_EQ(SerialOpen(path, LineParams{19200, 8, kOneStopBit, kNoParity}, 0x0002, &channel.port),
              SerOk);
    close(slave);                               // the driver holds the device from here on
    SerialSetReplyTimeout(channel.port, 1000);  // ten seconds: a slow machine is no failure
    channel.selectedStation = STATION_NONE;

    // 64 words from register 0x0200; the data bytes include every awkward one.
    Bytes blockReply = WithChecksum({0x05, 0x00, 0x02, 0x3F, 0x00, 0x00});
    std::uint8_t readCheck = 0;
    for (std::size_t k = 0; k < 128; ++k) {
        blockReply.push_back(BlockDataByte(k));
        readCheck = static_cast<std::uint8_t>(readCheck + BlockDataByte(k));
    }
    blockReply.push_back(readCheck);
    ASSERT_EQ(blockReply.size(), 135U);

    // The words the block write sends, and the check the station expects.
    const std::uint16_t written[5] = {0x0A0D, 0x1311, 0xFF03, 0x007F, 0x1AFF};
    bool writeCheckRight = false;

    Station station(master,
                    {
                        {6,
                         [](const Bytes&) {
                             return WithChecksum({0x0A, 0x07, 0, 0, 0, 0});
                         }},
                        {6,
                         [](const Bytes&) {
                             return WithChecksum({0x00, 0x02, 0x01, 0x0D, 0x0A, 0});
                         }},
                        {6,
                         [](const Bytes&) {
                             return WithChecksum({0x00, 0x11, 0x00, 0x13, 0x11, 0});
                         }},
                        // The first block reply fails its data check; the driver asks again.
                        {6,
                         [&blockReply](const Bytes&) {
                             Bytes bad = blockReply;
                             bad.back() = static_cast<std::uint8_t>(bad.back() ^ 0x80);
                             return bad;
                         }},
                        {6, [&blockReply](const Bytes&) { return blockReply; }},
                        {6, Echo},
                        {2 * 5 + 7,
                         [&writeCheckRight](const Bytes& request) {
                             std::uint8_t check = 0;
                             for (std::size_t i = 6; i + 1 < request.size(); i += 2) {
                                 check = static_cast<std::uint8_t>(check + request[i]);
                             }
                             writeCheckRight = check == request.back() &&
                                               HeaderChecksum(request.data()) == request[5];
                             return writeCheckRight ? Echo(request) : Bytes{0x07, 0, 0, 0, 0, 0xEE};
                         }},
                    });

    std::uint8_t buffer[2 * BLOCK_MAX + 4];
    std::memset(buffer, 0xA5, sizeof buffer);
    PointIo point{};
    point.station = 7;
    point.values = buffer;
    DriverRequest request{};
    request.channel = &channel;
    request.params = &point;
    auto value = [&buffer](std::size_t offset) {
        std::uint16_t v = 0;
        std::memcpy(&v, buffer + offset, sizeof v);
        return v;
    };

    // Word read: the station is selected first.
    request.command = 5;
    point.kind = KIND_WORD;
    point.reg = 0x0102;
    EXPECT_EQ(ZanMain(&request), ResOk);
    EXPECT_EQ(channel.selectedStation, 7);
    EXPECT_EQ(value(2), 0x0A0D);
    EXPECT_EQ(buffer[0], 0xA5);
    EXPECT_EQ(buffer[1], 0xA5);

    // Bit read: a word read of the register, bit 4 of 0x1113.
    point.kind = KIND_BIT;
    point.reg = 0x0011;
    point.bit = 4;
    EXPECT_EQ(ZanMain(&request), ResOk);
    EXPECT_EQ(value(2), 1);

    // Block read of 64 words.
    request.command = 6;
    point.reg = 0x0200;
    point.count = BLOCK_MAX;
    EXPECT_EQ(ZanMain(&request), ResOk);
    for (std::size_t i = 0; i < 64; ++i) {
        ASSERT_EQ(value(2 * i), BlockDataByte(2 * i) | (BlockDataByte(2 * i + 1) << 8)) << i;
    }
    EXPECT_EQ(buffer[128], 0xA5);

    // Word write.
    request.command = 7;
    point.kind = KIND_WORD;
    point.reg = 0x0300;
    const std::uint16_t one = 0x7F03;
    std::memcpy(buffer + 2, &one, sizeof one);
    EXPECT_EQ(ZanMain(&request), ResOk);

    // Block write of five words.
    request.command = 10;
    point.reg = 0x0013;
    point.count = 5;
    std::memcpy(buffer, written, sizeof written);
    EXPECT_EQ(ZanMain(&request), ResOk);

    station.Join();
    EXPECT_EQ(station.Trouble(), "");
    EXPECT_TRUE(writeCheckRight);
    const std::vector<Bytes> expected = {
        {0x0A, 0x07, 0x00, 0x00, 0x00, 0x11},
        {0x00, 0x02, 0x01, 0x00, 0x00, 0x03},
        {0x00, 0x11, 0x00, 0x00, 0x00, 0x11},
        {0x05, 0x00, 0x02, 0x3F, 0x00, 0x46},
        {0x05, 0x00, 0x02, 0x3F, 0x00, 0x46},
        {0x01, 0x00, 0x03, 0x03, 0x7F, 0x86},
        {0x07, 0x13, 0x00, 0x04, 0x00, 0x1E, 0x0D, 0x0A, 0x11, 0x13, 0x03, 0xFF, 0x7F, 0x00, 0xFF,
         0x1A, 0x9F},
    };
    EXPECT_EQ(station.Received(), expected);
    EXPECT_EQ(channel.selectedStation, 7);

    EXPECT_EQ(SerialClose(channel.port), SerOk);
    close(master);
}

}  // namespace
}  // namespace westnet
