// No command may allocate: the host calls the driver on its own threads, at
// its own pace, and a driver that allocates can fail or stall where the host
// cannot see why. Every command goes through ZanMain here, with the POSIX
// serial layer on a pseudo-terminal and a station thread on the other side,
// while this binary's own malloc family counts what the calling thread asks
// for. The station thread's allocations do not count: the counter is
// per thread.
#include <errno.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <thread>

#include "entry/records.h"
#include "entry/zanmain.h"

// ---------------------------------------------------------------------------
// The counting allocator. It replaces the C library's entry points for this
// program (and every library it loads) and forwards to the C library's own
// implementation; operator new and delete are routed through it too. Under
// AddressSanitizer the sanitizer owns the allocator, and the test stands down.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WESTNET_COUNTING_ALLOCATOR 0
#else
#define WESTNET_COUNTING_ALLOCATOR 1
#endif

namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;

inline void Note() {
    if (t_counting) {
        ++t_allocations;
    }
}
}  // namespace

#if WESTNET_COUNTING_ALLOCATOR
extern "C" {
// glibc's own allocator, under the names it exports for an interposer.
// NOLINTBEGIN(bugprone-reserved-identifier)
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* block);
// NOLINTEND(bugprone-reserved-identifier)

void* malloc(std::size_t size) noexcept {
    Note();
    return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
    Note();
    return __libc_calloc(count, size);
}
void* realloc(void* block, std::size_t size) noexcept {
    Note();
    return __libc_realloc(block, size);
}
void free(void* block) noexcept {
    if (block != nullptr) {
        Note();
    }
    __libc_free(block);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
    Note();
    return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
    Note();
    return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
    Note();
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) {
        return ENOMEM;
    }
    *out = block;
    return 0;
}
}  // extern "C"

void* operator new(std::size_t size) {
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void operator delete(void* block) noexcept {
    std::free(block);
}
void operator delete[](void* block) noexcept {
    std::free(block);
}
void operator delete(void* block, std::size_t) noexcept {
    std::free(block);
}
void operator delete[](void* block, std::size_t) noexcept {
    std::free(block);
}
#endif

namespace westnet {
namespace {

// Counts what one ZanMain call allocates or frees on this thread.
struct Counted {
    std::int32_t result;
    long allocations;
};

Counted CountedZanMain(DriverRequest* request) {
    t_allocations = 0;
    t_counting = true;
    const std::int32_t result = ZanMain(request);
    t_counting = false;
    return Counted{result, t_allocations};
}

std::uint8_t Sum(const std::uint8_t* header) {
    return static_cast<std::uint8_t>(header[0] + header[1] + header[2] + header[3] + header[4]);
}

// Stations on the far side of the line: 1 and 2 answer everything, 97
// answers with bad header checksums, 99 never answers.
constexpr std::int32_t kBadStation = 97;
constexpr std::int32_t kSilentStation = 99;

class StationThread {
public:
    explicit StationThread(int master) : master_(master) {
        if (pipe(stop_) != 0) {
            std::abort();
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~StationThread() {
        const char c = 0;
        (void)!write(stop_[1], &c, 1);
        thread_.join();
        close(stop_[0]);
        close(stop_[1]);
    }

private:
    // Reads exactly n bytes; false when stopped or the line is gone.
    bool ReadExact(std::uint8_t* into, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            pollfd fds[2] = {{master_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            const ssize_t k = read(master_, into + got, n - got);
            if (k > 0) {
                got += static_cast<std::size_t>(k);
            } else if (k < 0 && (errno == EINTR || errno == EAGAIN)) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    void Send(std::uint8_t* reply, std::size_t length, bool badChecksum) {
        reply[5] = static_cast<std::uint8_t>(Sum(reply) ^ (badChecksum ? 0x5A : 0));
        (void)!write(master_, reply, length);
    }

    void Run() {
        int selected = -1;
        std::uint8_t frame[256];
        std::uint8_t reply[256];
        while (ReadExact(frame, 6)) {
            const std::uint8_t op = frame[0];
            if (op == 0x07 && !ReadExact(frame + 6, 2U * frame[3] + 3U)) {
                return;
            }
            std::memcpy(reply, frame, 6);
            if (op == 0x0A) {
                if (frame[1] == kSilentStation) {
                    continue;
                }
                selected = frame[1];
                Send(reply, 6, false);
                continue;
            }
            const bool bad = selected == kBadStation;
            if (op == 0x05) {
                const std::size_t data = 2 * (static_cast<std::size_t>(frame[3]) + 1);
                std::uint8_t check = 0;
                for (std::size_t i = 0; i < data; ++i) {
                    reply[6 + i] = static_cast<std::uint8_t>(i);
                    check = static_cast<std::uint8_t>(check + i);
                }
                reply[6 + data] = check;
                Send(reply, data + 7, bad);
            } else {
                reply[3] = 0x78;
                reply[4] = 0x56;
                Send(reply, 6, bad);
            }
        }
    }

    int master_;
    int stop_[2] = {-1, -1};
    std::thread thread_;
};

struct Pty {
    Pty() {
        char path[128] = {};
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            return;
        }
        name = path;
        // Device names are at most 11 characters: a longer path is reached
        // through a short link.
        if (name.size() >= DEVICE_NAME_SIZE) {
            link = "/tmp/wa" + std::to_string(getpid() % 10000 * 10 + ++links % 10);
            unlink(link.c_str());
            if (symlink(path, link.c_str()) == 0) {
                name = link;
            }
        }
    }
    ~Pty() {
        if (!link.empty()) {
            unlink(link.c_str());
        }
        close(master);
        close(slave);  // held open all along, so the master never sees a hang-up
    }
    bool ok() const { return master >= 0 && name.size() < DEVICE_NAME_SIZE; }

    static inline int links = 0;
    int master = -1;
    int slave = -1;
    std::string name;
    std::string link;
};

class NoAllocation : public ::testing::Test {
protected:
    void SetUp() override {
        if (!WESTNET_COUNTING_ALLOCATOR) {
            GTEST_SKIP() << "the sanitizer's allocator cannot be counted";
        }
        ASSERT_TRUE(a.ok());
        ASSERT_TRUE(b.ok());
        // The stand-in host library would open its log file on a failed open.
        unsetenv("TARVEK_ERR_LOG");
    }

    // One step of a channel's life: the command must allocate nothing and
    // give the expected result.
    void Step(const char* what, std::int32_t command, ChannelState* channel, void* params,
              std::int32_t expected) {
        SCOPED_TRACE(what);
        DriverRequest request{};
        request.channel = channel;
        request.command = command;
        request.params = params;
        const Counted c = CountedZanMain(&request);
        EXPECT_EQ(c.result, expected);
        EXPECT_EQ(c.allocations, 0);
    }

    Pty a;
    Pty b;
};

TEST_F(NoAllocation, CounterSeesAnAllocationOnThisThreadOnly) {
    void* (*volatile allocate)(std::size_t) = std::malloc;
    t_allocations = 0;
    t_counting = true;
    void* block = allocate(16);
    t_counting = false;
    std::free(block);
    EXPECT_EQ(t_allocations, 1);

    long seenThere = -1;
    std::thread other([&] {
        void* there = allocate(16);
        std::free(there);
        seenThere = t_allocations;
    });
    t_counting = true;
    other.join();
    t_counting = false;
    EXPECT_EQ(seenThere, 0);
}

TEST_F(NoAllocation, EveryCommandOfAChannelsLife) {
    StationThread station(a.master);

    DriverInfo info{};
    Step("get info", 14, nullptr, &info, ResOk);

    char wordText[16] = "0140001";
    char bitText[16] = "024000116";
    char badText[16] = "0170000";
    PointAddress word{};
    word.text = wordText;
    Step("parse word point", 3, nullptr, &word, ResOk);
    PointAddress bit{};
    bit.text = bitText;
    bit.dataType = 6;
    Step("parse bit point", 3, nullptr, &bit, ResOk);
    PointAddress block{};
    block.text = wordText;
    block.count = 64;
    Step("parse block", 4, nullptr, &block, ResOk);
    PointAddress rejected{};
    rejected.text = badText;
    Step("parse rejected", 3, nullptr, &rejected, ResBad);

    ChannelState channel{};
    OpenParams open{};
    std::strncpy(open.device, a.name.c_str(), sizeof open.device - 1);
    open.enabled = 1;
    open.replyTimeout = 100;
    // No parity: a pseudo-terminal has none to give.
    open.line = LineParams{9600, 8, 0, 0};
    Step("open", 1, &channel, &open, ResOk);
    ASSERT_NE(channel.port, 0U);

    Step("purge, quiet line", 2, &channel, nullptr, ResOk);
    const std::uint8_t stale[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    ASSERT_EQ(write(a.master, stale, sizeof stale), static_cast<ssize_t>(sizeof stale));
    pollfd arrived = {a.slave, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 10000), 1);  // the bytes wait on the driver's side
    Step("purge, input waiting", 2, &channel, nullptr, ResOk);
    int left = -1;
    ASSERT_EQ(ioctl(a.slave, FIONREAD, &left), 0);
    EXPECT_EQ(left, 0);

    std::uint8_t values[2 * BLOCK_MAX] = {};
    PointIo point{};
    point.station = 1;
    point.reg = word.reg;
    point.kind = KIND_WORD;
    point.count = 64;
    point.values = values;
    Step("read word, selecting", 5, &channel, &point, ResOk);
    EXPECT_EQ(values[2] | values[3] << 8, 0x5678);
    point.kind = KIND_BIT;
    point.bit = 3;
    Step("read bit", 5, &channel, &point, ResOk);
    Step("read block", 6, &channel, &point, ResOk);
    EXPECT_EQ(values[127], 127);
    point.kind = KIND_WORD;
    Step("write word", 7, &channel, &point, ResOk);
    point.kind = KIND_BIT;
    Step("write bit", 7, &channel, &point, ResOk);
    Step("write block", 10, &channel, &point, ResOk);
    point.station = 2;
    point.kind = KIND_WORD;
    Step("read word, station change", 5, &channel, &point, ResOk);
    point.station = kBadStation;
    Step("read word, six bad checksums", 5, &channel, &point, ResBad);
    Step("read block, six bad checksums", 6, &channel, &point, ResBad);

    Step("close", 12, &channel, nullptr, ResOk);
    Step("close, no port", 12, &channel, nullptr, ResOk);
    Step("purge, no port", 2, &channel, nullptr, ResOk);
    Step("reopen", 13, &channel, nullptr, ResOk);
    Step("shutdown", 11, &channel, nullptr, ResOk);
    Step("reopen again", 13, &channel, nullptr, ResOk);

    ReconfigureParams same{};
    std::strncpy(same.device, a.name.c_str(), sizeof same.device - 1);
    same.line = LineParams{19200, 8, 0, 0};
    Step("reconfigure, same device still open", 15, &channel, &same, ResFail);
    ReconfigureParams other{};
    std::strncpy(other.device, b.name.c_str(), sizeof other.device - 1);
    other.replyTimeout = 30;
    other.line = LineParams{19200, 8, 0, 0};
    Step("reconfigure to another device", 15, &channel, &other, ResOk);
    Step("reconfigure back", 15, &channel, &same, ResOk);
    point.station = 1;
    Step("read word after reconfigure", 5, &channel, &point, ResOk);
    Step("close at the end", 12, &channel, nullptr, ResOk);

    // Nobody answers on the other line: every select attempt waits out the
    // reply time-out (20 ms here).
    ChannelState quiet{};
    OpenParams quietOpen = open;
    std::strncpy(quietOpen.device, b.name.c_str(), sizeof quietOpen.device - 1);
    quietOpen.replyTimeout = 2;
    Step("open, short time-out", 1, &quiet, &quietOpen, ResOk);
    point.station = kSilentStation;
    Step("read word, silent line", 5, &quiet, &point, ResFail);
    Step("close the quiet channel", 12, &quiet, nullptr, ResOk);

    ChannelState missing{};
    OpenParams nowhere = open;
    std::strcpy(nowhere.device, "/nonexist");
    Step("open of a missing device", 1, &missing, &nowhere, ResFail);
}

}  // namespace
}  // namespace westnet
