// A westnet-sim process serving one pseudo-terminal for a benchmark, and a
// bare client of that line that moves frames with nothing but write() and
// poll()/read(): the floor that the driver's own round trip is set against.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "process.h"

namespace westnet::bench {

inline std::uint8_t HeaderSum(const std::uint8_t* h) {
    return static_cast<std::uint8_t>(h[0] + h[1] + h[2] + h[3] + h[4]);
}

// Starts `sim` with the given options plus two stations and a short link to
// its pseudo-terminal (device names are at most 11 characters), and waits
// for its "device: PATH" line. Stopped with SIGTERM when destroyed.
class SimLine {
public:
    SimLine(const std::string& sim, const std::vector<std::string>& options, int /*index*/)
        : link_(test_support::FreeShortName()) {
        std::vector<std::string> args = {sim, "--station", "1", "--station", "2", "--link", link_};
        args.insert(args.end(), options.begin(), options.end());
        process_ = std::make_unique<test_support::SimProcess>(std::move(args));
        if (!process_->ready()) {
            std::fprintf(stderr, "westnet-bench: %s did not start (said \"%s\")\n", sim.c_str(),
                         process_->said().c_str());
        }
    }

    bool ready() const { return process_->ready(); }
    // The name the driver opens: the link, 11 characters at most.
    const std::string& device() const { return link_; }

private:
    std::string link_;
    std::unique_ptr<test_support::SimProcess> process_;
};

// The bare client: a raw tty, one write per request, reads until the reply
// is complete. No purge, no retry, no time-out bookkeeping beyond poll's.
class RawClient {
public:
    explicit RawClient(const std::string& device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0) {
            return;
        }
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 1;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~RawClient() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;
    bool ok() const { return fd_ >= 0; }

    // One request of six bytes (checksum filled in), one reply of `reply` bytes.
    bool Exchange(std::uint8_t op, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3,
                  std::size_t reply) {
        std::uint8_t request[6] = {op, b1, b2, b3, 0, 0};
        request[5] = HeaderSum(request);
        if (write(fd_, request, sizeof request) != static_cast<ssize_t>(sizeof request)) {
            return false;
        }
        std::size_t got = 0;
        while (got < reply) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0) {
                return false;
            }
            const ssize_t k = read(fd_, buffer_ + got, reply - got);
            if (k <= 0) {
                if (k < 0 && errno == EINTR) {
                    continue;
                }
                return false;
            }
            got += static_cast<std::size_t>(k);
        }
        return HeaderSum(buffer_) == buffer_[5];
    }

private:
    int fd_ = -1;
    std::uint8_t buffer_[256] = {};
};

// A pseudo-terminal in raw mode whose device the driver can name: its own
// path, or a short link to it when that is longer than 11 characters.
struct RawPty {
    RawPty() {
        char path[128] = {};
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            return;
        }
        termios t{};
        tcgetattr(slave, &t);
        cfmakeraw(&t);
        tcsetattr(slave, TCSANOW, &t);
        device = path;
        if (device.size() > 11) {
            link = test_support::MakeShortLink(path);
            device = link;
        }
    }
    ~RawPty() {
        if (!link.empty()) {
            unlink(link.c_str());
        }
        for (int fd : {master, slave}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    RawPty(const RawPty&) = delete;
    RawPty& operator=(const RawPty&) = delete;
    bool ok() const { return master >= 0 && !device.empty(); }

    int master = -1;
    int slave = -1;
    std::string device;  // "" when no short name was free
    std::string link;
};

// The fixed answer to a request (its header in `frame`): a word read gets
// 0x1234, a block read words 0, 1, 2... as bytes, anything else its own
// header back. Returns the reply's length.
inline std::size_t PatternReply(const std::uint8_t* frame, std::uint8_t* reply) {
    std::memcpy(reply, frame, 6);
    std::size_t length = 6;
    if (frame[0] == 0x00) {
        reply[3] = 0x34;
        reply[4] = 0x12;
    } else if (frame[0] == 0x05) {
        const std::size_t data = 2 * (static_cast<std::size_t>(frame[3]) + 1);
        std::uint8_t check = 0;
        for (std::size_t i = 0; i < data; ++i) {
            reply[6 + i] = static_cast<std::uint8_t>(i);
            check = static_cast<std::uint8_t>(check + i);
        }
        reply[6 + data] = check;
        length = data + 7;
    }
    reply[5] = HeaderSum(reply);
    return length;
}

// The smallest station there can be, as a separate process on its own
// pseudo-terminal: it answers every request at once from a fixed pattern,
// with no framing state, image, faults or trace. It plays for the driver the
// part that the libmodbus slave plays in modbus_peer, so that the two round
// trips compare the masters and not the peers.
class MiniStation {
public:
    MiniStation() {
        if (!pty_.ok()) {
            return;
        }
        pid_ = fork();
        if (pid_ == 0) {
            close(pty_.slave);
            Serve(pty_.master);
        }
    }
    ~MiniStation() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    MiniStation(const MiniStation&) = delete;
    MiniStation& operator=(const MiniStation&) = delete;
    bool ready() const { return pid_ > 0; }
    const std::string& device() const { return pty_.device; }

private:
    static bool ReadExact(int fd, std::uint8_t* into, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            const ssize_t k = read(fd, into + got, n - got);
            if (k > 0) {
                got += static_cast<std::size_t>(k);
            } else if (k < 0 && errno == EINTR) {
                continue;
            } else {
                return false;
            }
        }
        return true;
    }

    [[noreturn]] static void Serve(int fd) {
        std::uint8_t frame[256];
        std::uint8_t reply[256];
        while (ReadExact(fd, frame, 6)) {
            if (frame[0] == 0x07 && !ReadExact(fd, frame + 6, 2U * frame[3] + 3U)) {
                break;
            }
            const std::size_t length = PatternReply(frame, reply);
            if (write(fd, reply, length) != static_cast<ssize_t>(length)) {
                break;
            }
        }
        _exit(0);
    }

    RawPty pty_;
    pid_t pid_ = -1;
};

// A responder thread on a pseudo-terminal of its own, paced like a line of
// `charNs` nanoseconds per character: each reply is written whole at the
// moment its last byte would have arrived on that line (request arrival plus
// reply length times the character time), as a receiver with a FIFO hands
// over a burst. One write and one wake-up per reply keeps the responders'
// own cost low enough that many lines can run side by side on few cores.
class PacedResponder {
public:
    PacedResponder(std::int64_t charNs, int /*index*/) : charNs_(charNs) {
        if (!pty_.ok() || pipe(stop_) != 0) {
            return;
        }
        thread_ = std::thread([this] { Serve(); });
        ready_ = true;
    }
    ~PacedResponder() {
        if (thread_.joinable()) {
            const char c = 0;
            (void)!write(stop_[1], &c, 1);
            thread_.join();
        }
        for (int fd : {stop_[0], stop_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    PacedResponder(const PacedResponder&) = delete;
    PacedResponder& operator=(const PacedResponder&) = delete;
    bool ready() const { return ready_; }
    const std::string& device() const { return pty_.device; }

private:
    static std::int64_t Now() {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    }

    bool ReadExact(std::uint8_t* into, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            pollfd fds[2] = {{pty_.master, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) {
                    continue;
                }
                return false;
            }
            if (fds[1].revents != 0) {
                return false;
            }
            const ssize_t k = read(pty_.master, into + got, n - got);
            if (k > 0) {
                got += static_cast<std::size_t>(k);
            } else if (!(k < 0 && errno == EINTR)) {
                return false;
            }
        }
        return true;
    }

    void Serve() {
        // The pacing is the test equipment's: no timer slack on its sleeps.
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        std::uint8_t frame[256];
        std::uint8_t reply[256];
        while (ReadExact(frame, 6)) {
            const std::int64_t arrival = Now();
            if (frame[0] == 0x07 && !ReadExact(frame + 6, 2U * frame[3] + 3U)) {
                return;
            }
            const std::size_t length = PatternReply(frame, reply);
            const std::int64_t due = arrival + static_cast<std::int64_t>(length) * charNs_;
            const timespec at{static_cast<time_t>(due / 1000000000LL),
                              static_cast<long>(due % 1000000000LL)};
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
            }
            if (write(pty_.master, reply, length) != static_cast<ssize_t>(length)) {
                return;
            }
        }
    }

    std::int64_t charNs_;
    RawPty pty_;
    int stop_[2] = {-1, -1};
    bool ready_ = false;
    std::thread thread_;
};

}  // namespace westnet::bench
