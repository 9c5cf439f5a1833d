// The serial device vanishes in the middle of a session: the far end of the
// pseudo-terminal closes, as when the station simulator or a USB adapter goes
// away. Every command must then come back with ResFail (purge: ResOk) instead
// of hanging, leave the host's values alone, close cleanly, and the channel
// must open again from its stored settings once a device is back under the
// same name.
//
// A watchdog fails the test when a command does not return within a generous
// bound; nothing here waits on the clock to let something happen.
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "entry/zanmain.h"
#include "highway/frame.h"
#include "process.h"

namespace westnet {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// Ends the test program when a command outlives its bound: a hang must fail,
// not stall the suite.
class Watchdog {
public:
    Watchdog(const char* what, std::chrono::seconds bound)
        : thread_([this, what, bound] {
              std::unique_lock<std::mutex> lock(mutex_);
              if (!done_.wait_for(lock, bound, [this] { return finished_; })) {
                  std::fprintf(stderr, "watchdog: %s did not return within %lld s\n", what,
                               static_cast<long long>(bound.count()));
                  std::abort();
              }
          }) {}
    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        done_.notify_all();
        thread_.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable done_;
    bool finished_ = false;
    std::thread thread_;
};

constexpr auto kBound = std::chrono::seconds(30);

std::uint16_t ValueOf(std::uint16_t reg) {
    return static_cast<std::uint16_t>(reg * 7U + 0x1201U);
}

Bytes Header(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3, std::uint8_t b4) {
    Bytes h{op, b1, b2, b3, b4, 0};
    h[5] = HeaderChecksum(h.data());
    return h;
}

// A pseudo-terminal with a station on its master side, in a thread of its
// own. It answers every request until told to vanish, at once or instead of
// answering the next request; then it closes the master, and the device is
// gone for whoever holds the slave.
class VanishingLine {
public:
    VanishingLine() {
        char name[64] = {};
        if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
            ADD_FAILURE() << "openpty failed";
            return;
        }
        path_ = name;
        // The test keeps a slave descriptor of its own, so that the master
        // does not see a hang-up before the driver opens the device.
        if (pipe(control_) != 0) {
            ADD_FAILURE() << "pipe failed";
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~VanishingLine() {
        Vanish();
        if (slave_ >= 0) {
            close(slave_);
        }
        close(control_[0]);
        close(control_[1]);
    }
    const std::string& Path() const { return path_; }

    // Closes the master now and waits for the station to be gone.
    void Vanish() {
        Tell('v');
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // The next request is read but not answered: the master closes instead.
    void VanishOnNextRequest() { Tell('n'); }
    void Join() {
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    int Answered() const { return answered_; }

private:
    void Tell(char c) {
        if (thread_.joinable()) {
            ssize_t put = write(control_[1], &c, 1);
            (void)put;
        }
    }
    void Run() {
        Bytes in;
        bool vanishNext = false;
        for (;;) {
            pollfd p[2] = {{master_, POLLIN, 0}, {control_[0], POLLIN, 0}};
            if (poll(p, 2, -1) < 0) {
                continue;
            }
            if ((p[1].revents & POLLIN) != 0) {
                char c = 0;
                if (read(control_[0], &c, 1) == 1) {
                    if (c == 'v') {
                        break;
                    }
                    vanishNext = true;
                }
            }
            if ((p[0].revents & (POLLIN | POLLHUP)) == 0) {
                continue;
            }
            std::uint8_t buffer[512];
            const ssize_t k = read(master_, buffer, sizeof buffer);
            if (k <= 0) {
                continue;
            }
            in.insert(in.end(), buffer, buffer + k);
            Bytes reply;
            std::size_t used = 0;
            if (!Answer(in, reply, used)) {
                continue;  // the rest of the frame is still on its way
            }
            in.erase(in.begin(), in.begin() + static_cast<long>(used));
            if (vanishNext) {
                break;
            }
            ++answered_;
            if (write(master_, reply.data(), reply.size()) < 0) {
                break;
            }
        }
        close(master_);
        master_ = -1;
    }
    // A healthy station: selects, reads and writes succeed.
    static bool Answer(const Bytes& in, Bytes& reply, std::size_t& used) {
        if (in.size() < 6) {
            return false;
        }
        const auto reg = static_cast<std::uint16_t>(in[1] | (in[2] << 8));
        used = 6;
        switch (in[0]) {
            case OP_READ_WORD: {
                const std::uint16_t v = ValueOf(reg);
                reply = Header(OP_READ_WORD, in[1], in[2], v & 0xFF, v >> 8);
                return true;
            }
            case OP_READ_BLOCK: {
                reply = Header(OP_READ_BLOCK, in[1], in[2], in[3], 0);
                std::uint8_t check = 0;
                for (int i = 0; i <= in[3]; ++i) {
                    const std::uint16_t v = ValueOf(static_cast<std::uint16_t>(reg + i));
                    reply.push_back(v & 0xFF);
                    reply.push_back(v >> 8);
                    check = static_cast<std::uint8_t>(check + (v & 0xFF) + (v >> 8));
                }
                reply.push_back(check);
                return true;
            }
            case OP_WRITE_BLOCK:
                used = 2 * (static_cast<std::size_t>(in[3]) + 1) + 7;
                if (in.size() < used) {
                    return false;
                }
                reply = Header(in[0], in[1], in[2], in[3], in[4]);
                return true;
            default:
                reply = Header(in[0], in[1], in[2], in[3], in[4]);
                return true;
        }
    }

    int master_ = -1;
    int slave_ = -1;
    int control_[2] = {-1, -1};
    std::string path_;
    std::thread thread_;
    int answered_ = 0;
};

// A short name (the device field holds 11 characters) that can be pointed
// at whichever pseudo-terminal is the device now, or at nothing.
class DeviceLink {
public:
    DeviceLink() : name_(westnet::test_support::MakeShortLink("/nonexistent")) {}
    ~DeviceLink() {
        if (!name_.empty()) {
            unlink(name_.c_str());
        }
    }
    const std::string& Name() const { return name_; }
    void PointAt(const std::string& target) {
        unlink(name_.c_str());
        ASSERT_EQ(symlink(target.c_str(), name_.c_str()), 0);
    }

private:
    std::string name_;
};

class LineFaults : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(link_.Name().size(), 11u);
        line_ = std::make_unique<VanishingLine>();
        link_.PointAt(line_->Path());
        OpenParams open{};
        std::memcpy(open.device, link_.Name().c_str(), link_.Name().size() + 1);
        open.enabled = 1;
        open.replyTimeout = kReplyTimeout;
        open.line = LineParams{9600, 8, 0, 0};
        DriverRequest request{&channel_, 1, {}, &open};
        ASSERT_EQ(ZanMain(&request), ResOk);
        ASSERT_NE(channel_.port, 0u);
    }
    void TearDown() override {
        DriverRequest close{&channel_, 12, {}, nullptr};
        ZanMain(&close);
    }

    std::int32_t Run(std::int32_t code, PointIo* point, const char* what) {
        Watchdog watchdog(what, kBound);
        DriverRequest request{&channel_, code, {}, point};
        return ZanMain(&request);
    }
    PointIo Point(std::int32_t station, std::int32_t reg, std::int32_t kind, std::int32_t count,
                  void* values) {
        PointIo p{};
        p.station = station;
        p.reg = reg;
        p.bit = 3;
        p.kind = kind;
        p.count = count;
        p.values = values;
        return p;
    }

    static constexpr std::int32_t kReplyTimeout = 10;  // 100 ms
    DeviceLink link_;
    std::unique_ptr<VanishingLine> line_;
    ChannelState channel_{};
};

TEST_F(LineFaults, EveryCommandFailsPromptlyOnceTheDeviceIsGoneAndReopensLater) {
    std::uint16_t word[2] = {0xAAAA, 0xBBBB};
    PointIo read = Point(5, 100, KIND_WORD, 1, word);
    ASSERT_EQ(Run(5, &read, "read before"), ResOk);
    EXPECT_EQ(word[1], ValueOf(100));
    EXPECT_EQ(channel_.selectedStation, 5);

    line_->Vanish();

    // Purge has nothing to report but must not hang on the dead line.
    EXPECT_EQ(Run(2, nullptr, "purge"), ResOk);

    struct Case {
        const char* what;
        std::int32_t code;
        std::int32_t station;
        std::int32_t kind;
        std::int32_t count;
    };
    const Case cases[] = {
        {"word read, station selected", 5, 5, KIND_WORD, 1},
        {"bit read, station selected", 5, 5, KIND_BIT, 1},
        {"block read", 6, 5, KIND_WORD, 64},
        {"word write", 7, 5, KIND_WORD, 1},
        {"bit write", 7, 5, KIND_BIT, 1},
        {"block write", 10, 5, KIND_WORD, 64},
        {"word read, other station", 5, 9, KIND_WORD, 1},
        {"block write, other station", 10, 17, KIND_WORD, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint16_t values[64];
        for (int i = 0; i < 64; ++i) {
            values[i] = static_cast<std::uint16_t>(0x5A00 + i);
        }
        PointIo point = Point(c.station, 200, c.kind, c.count, values);
        const std::uint8_t selected = channel_.selectedStation;
        EXPECT_EQ(Run(c.code, &point, c.what), ResFail);
        for (int i = 0; i < 64; ++i) {
            ASSERT_EQ(values[i], 0x5A00 + i);
        }
        // A selection whose request cannot be written leaves the selection.
        EXPECT_EQ(channel_.selectedStation, selected);
    }

    // The vanished device still closes, once; a second close has nothing to do.
    EXPECT_EQ(Run(12, nullptr, "close"), ResOk);
    EXPECT_EQ(channel_.port, 0u);
    EXPECT_EQ(Run(11, nullptr, "shutdown"), ResOk);

    // Nothing under the name yet: the reopen fails and changes nothing.
    link_.PointAt("/nonexistent");
    EXPECT_EQ(Run(13, nullptr, "reopen, no device"), ResFail);
    EXPECT_EQ(channel_.port, 0u);

    // A device is back under the same name: the stored settings open it.
    line_ = std::make_unique<VanishingLine>();
    link_.PointAt(line_->Path());
    ASSERT_EQ(Run(13, nullptr, "reopen"), ResOk);
    ASSERT_NE(channel_.port, 0u);
    std::uint16_t block[4] = {};
    PointIo again = Point(5, 300, KIND_WORD, 4, block);
    ASSERT_EQ(Run(6, &again, "block read after reopen"), ResOk);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(block[i], ValueOf(static_cast<std::uint16_t>(300 + i)));
    }
}

// The device goes away while the driver waits for a reply under a long
// time-out: the hang-up ends the wait, the command does not sit out its
// attempts' time-outs.
TEST_F(LineFaults, VanishingDuringAReplyEndsTheWait) {
    std::uint16_t word[2] = {0x1111, 0x2222};
    PointIo point = Point(5, 7, KIND_WORD, 1, word);
    ASSERT_EQ(Run(5, &point, "read before"), ResOk);

    // 60 s per reply: six attempts would take six minutes.
    OpenParams open{};
    std::memcpy(open.device, link_.Name().c_str(), link_.Name().size() + 1);
    DriverRequest close{&channel_, 12, {}, nullptr};
    ASSERT_EQ(ZanMain(&close), ResOk);
    open.enabled = 1;
    open.replyTimeout = 6000;
    open.line = LineParams{9600, 8, 0, 0};
    DriverRequest reopen{&channel_, 1, {}, &open};
    ASSERT_EQ(ZanMain(&reopen), ResOk);

    word[1] = 0x2222;
    line_->VanishOnNextRequest();
    const auto start = Clock::now();
    EXPECT_EQ(Run(5, &point, "read while vanishing"), ResFail);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
    EXPECT_EQ(word[1], 0x2222);
    line_->Join();

    std::uint16_t block[3] = {1, 2, 3};
    PointIo write = Point(5, 7, KIND_WORD, 3, block);
    EXPECT_EQ(Run(10, &write, "block write after"), ResFail);
    EXPECT_EQ(Run(12, nullptr, "close"), ResOk);
}

}  // namespace
}  // namespace westnet
