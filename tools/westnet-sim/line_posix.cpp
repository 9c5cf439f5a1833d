// The line on Linux: a pseudo-terminal of the simulator's own (the default)
// or a serial device (--device), with the stop and dump signals taken
// through a descriptor so that every wait, a reply's delay included, ends as
// soon as one arrives.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "control.h"
#include "line.h"
#include "serial/termios_rates.h"

namespace westnet::sim {
namespace {

speed_t TermiosSpeed(long baud) {
    speed_t code = B0;
    if (baud > 0 && baud <= UINT32_MAX) {
        termios_rates::SpeedCode(static_cast<std::uint32_t>(baud), &code);
    }
    return code;
}

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// Control connections served at once; one more is told so and closed.
constexpr std::size_t kControlClientsMax = 8;

// Raw line: no echo, no line editing, no translation, no flow control.
bool RawSettings(int fd, long baud, const CharFormat& format, termios& tio, std::string& what) {
    if (tcgetattr(fd, &tio) != 0) {
        what = Errno("tcgetattr");
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    tio.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[format.data_bits - 5];
    switch (format.parity) {
        case 'O':
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 'E':
            tio.c_cflag |= PARENB;
            break;
        case 'M':
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 'S':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (format.stop_halves > 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    speed_t speed = baud != 0 ? TermiosSpeed(baud) : B0;
    if (speed != B0) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    return true;
}

bool Apply(int fd, const termios& tio, std::string& what) {
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        what = Errno("tcsetattr");
        return false;
    }
    return true;
}

// Every simulator holds an abstract socket named after its pseudo-terminal
// for as long as it runs; the kernel lets it go when the process ends, even
// by SIGKILL. A link that leads to a terminal with such a name is in use.
sockaddr_un OwnerName(const std::string& pty, socklen_t& length) {
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    std::string text = "westnet-sim " + pty;
    std::size_t size = std::min(text.size(), sizeof name.sun_path - 1);
    std::memcpy(name.sun_path + 1, text.data(), size);  // sun_path[0] = 0: abstract
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + size);
    return name;
}

// The live simulator on `pty`: true, with its process id where the kernel
// tells it (else 0), when one holds it.
bool LiveOwner(const std::string& pty, long& pid) {
    socklen_t length = 0;
    sockaddr_un name = OwnerName(pty, length);
    int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (probe < 0) {
        return false;
    }
    int connected = connect(probe, reinterpret_cast<const sockaddr*>(&name), length);
    bool live = connected == 0 || errno == EAGAIN;  // EAGAIN: its queue is full
    pid = 0;
    ucred peer{};
    socklen_t size = sizeof peer;
    if (connected == 0 && getsockopt(probe, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0) {
        pid = peer.pid;
    }
    close(probe);
    return live;
}

class PosixLine : public Line {
public:
    ~PosixLine() override {
        if (!link_.empty()) {
            // Only a link that still leads here: another program may have
            // put its own in its place.
            char points[512];
            ssize_t length = readlink(link_.c_str(), points, sizeof points - 1);
            if (length >= 0 && std::string(points, static_cast<std::size_t>(length)) == path_) {
                unlink(link_.c_str());
            }
        }
        if (control_ >= 0) {
            // Only the socket made here: another program may have put its
            // own in its place.
            struct stat info;
            if (stat(control_path_.c_str(), &info) == 0 && info.st_dev == control_dev_ &&
                info.st_ino == control_ino_) {
                unlink(control_path_.c_str());
            }
        }
        for (const ControlClient& client : controllers_) {
            close(client.fd);
        }
        for (int fd : {owner_, fd_, slave_, watch_, signals_, control_}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    const std::string& Path() const override { return path_; }
    const std::string& Failure() const override { return failure_; }

    std::int64_t Now() const override {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    }

    bool TakeSignals(std::string& what) {
        // Blocked and read from a descriptor, so that the loop ends cleanly
        // between exchanges and never in the middle of a reply or a dump.
        sigset_t mask;
        sigemptyset(&mask);
        for (int number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
            sigaddset(&mask, number);
        }
        sigprocmask(SIG_BLOCK, &mask, nullptr);
        signal(SIGPIPE, SIG_IGN);
        signals_ = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
        if (signals_ < 0) {
            what = Errno("signalfd");
            return false;
        }
        return true;
    }

    // A pseudo-terminal whose far end stays open here too, so that clients
    // can open and close it as often as they like without the near end
    // seeing a hang-up.
    bool OpenPty(const Options& options, std::string& what) {
        // Made before the terminal, so that at any exit, a SIGKILL included,
        // the kernel closes it first: a simulator that gets the terminal's
        // number next must find the name free.
        owner_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0 || grantpt(fd_) != 0 || unlockpt(fd_) != 0) {
            what = Errno("cannot open a pseudo-terminal");
            return false;
        }
        char name[128];
        if (ptsname_r(fd_, name, sizeof name) != 0) {
            what = Errno("ptsname");
            return false;
        }
        path_ = name;
        slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) {
            what = Errno("cannot open " + path_);
            return false;
        }
        // The line waits for its clients in a neutral state: raw, and with
        // the break handling that no pseudo-terminal ever uses but that every
        // serial set-up clears. A terminal drops the parity bit it is given,
        // and refuses a set-up whose only change would be that bit (Wine's
        // SetCommState then fails); from this state every set-up is a change.
        if (!RawSettings(slave_, options.baud, options.format, neutral_, what)) {
            return false;
        }
        neutral_.c_iflag |= IGNBRK | BRKINT;
        if (!Apply(slave_, neutral_, what)) {
            return false;
        }
        // Clients' opens and closes, to go back to that state after the
        // last. Without inotify (all instances in use) the mark that
        // KeepMark puts back still covers every client that sends.
        watch_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (watch_ >= 0 && inotify_add_watch(watch_, name, IN_OPEN | IN_CLOSE) < 0) {
            close(watch_);
            watch_ = -1;
        }
        MarkAsOurs();
        return true;
    }

    bool OpenDevice(const Options& options, std::string& what) {
        long baud = options.baud != 0 ? options.baud : 9600;
        path_ = options.device;
        fd_ = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) {
            what = Errno("cannot open " + path_);
            return false;
        }
        termios tio;
        if (!RawSettings(fd_, baud, options.format, tio, what) || !Apply(fd_, tio, what)) {
            what = path_ + ": " + what;
            return false;
        }
        tcflush(fd_, TCIOFLUSH);
        return true;
    }

    bool MakeLink(const std::string& link, std::string& what) {
        struct stat info;
        if (lstat(link.c_str(), &info) == 0) {
            if (!S_ISLNK(info.st_mode)) {
                what = link + " exists and is not a symbolic link";
                return false;
            }
            char points[512];
            ssize_t length = readlink(link.c_str(), points, sizeof points - 1);
            std::string target(points, length > 0 ? static_cast<std::size_t>(length) : 0);
            long pid = 0;
            if (!target.empty() && LiveOwner(target, pid)) {
                what = "--link " + link + " is in use: it leads to " + target +
                       ", the line of a running westnet-sim" +
                       (pid != 0 ? " (pid " + std::to_string(pid) + ")" : std::string()) +
                       "; stop that one first or choose another --link";
                return false;
            }
            unlink(link.c_str());  // left behind by an earlier run
        }
        if (symlink(path_.c_str(), link.c_str()) != 0) {
            what = Errno("cannot link " + link);
            return false;
        }
        link_ = link;
        return true;
    }

    // The control socket: a stream socket at `path`, listening. One left
    // behind by an earlier run is replaced; one that a running program
    // still listens on is refused.
    bool OpenControl(const std::string& path, std::string& what) {
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        if (path.size() >= sizeof name.sun_path) {
            what = "--control " + path + ": a socket path holds at most " +
                   std::to_string(sizeof name.sun_path - 1) + " bytes";
            return false;
        }
        std::memcpy(name.sun_path, path.data(), path.size());
        const auto* address = reinterpret_cast<const sockaddr*>(&name);
        struct stat info;
        if (lstat(path.c_str(), &info) == 0) {
            if (!S_ISSOCK(info.st_mode)) {
                what = "--control " + path + " exists and is not a socket";
                return false;
            }
            int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            bool live = probe >= 0 && (connect(probe, address, sizeof name) == 0 ||
                                       errno == EAGAIN);  // EAGAIN: its queue is full
            if (probe >= 0) {
                close(probe);
            }
            if (live) {
                what = "--control " + path +
                       " is in use by a running program; stop it first or choose another path";
                return false;
            }
            unlink(path.c_str());
        }
        control_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (control_ < 0 || bind(control_, address, sizeof name) != 0) {
            what = Errno("cannot make --control " + path);
            return false;
        }
        control_path_ = path;
        if (listen(control_, 8) != 0 || stat(path.c_str(), &info) != 0) {
            what = Errno("cannot listen on --control " + path);
            unlink(path.c_str());
            return false;
        }
        control_dev_ = info.st_dev;
        control_ino_ = info.st_ino;
        return true;
    }

    void SetControl(const ControlHandler& handler) override { handler_ = handler; }

    Wake Wait(std::size_t want, std::int64_t deadline) override {
        if (stopped_) {
            return Wake::kStop;
        }
        if (dump_pending_) {
            dump_pending_ = false;
            return Wake::kDump;
        }
        while (true) {
            timespec left{};
            timespec* timeout = nullptr;
            if (deadline != kNever) {
                std::int64_t ns = deadline - Now();
                if (ns <= 0) {
                    return Wake::kDeadline;
                }
                left.tv_sec = static_cast<time_t>(ns / 1000000000);
                left.tv_nsec = static_cast<long>(ns % 1000000000);
                timeout = &left;
            }
            pollfd fds[4 + kControlClientsMax] = {{signals_, POLLIN, 0},
                                                  {watch_, POLLIN, 0},
                                                  {want != 0 ? fd_ : -1, POLLIN, 0},
                                                  {control_, POLLIN, 0}};
            for (std::size_t i = 0; i < controllers_.size(); ++i) {
                fds[4 + i] = {controllers_[i].fd, POLLIN, 0};
            }
            int ready = ppoll(fds, static_cast<nfds_t>(4 + controllers_.size()), timeout, nullptr);
            if (ready < 0 && errno != EINTR) {
                failure_ = Errno("poll");
                return Wake::kFailed;
            }
            if (ready <= 0) {
                continue;  // the deadline, checked at the top, or EINTR
            }
            if ((fds[0].revents & POLLIN) != 0 && TakeSignal()) {
                if (stopped_) {
                    return Wake::kStop;
                }
                dump_pending_ = false;
                return Wake::kDump;
            }
            if ((fds[1].revents & POLLIN) != 0) {
                WatchClients();
            }
            // From the last, so that a client that goes takes no other's place.
            for (std::size_t i = controllers_.size(); i-- > 0;) {
                if (fds[4 + i].revents != 0 && !ServeControl(controllers_[i])) {
                    close(controllers_[i].fd);
                    controllers_.erase(controllers_.begin() + static_cast<std::ptrdiff_t>(i));
                }
            }
            if ((fds[3].revents & POLLIN) != 0) {
                AcceptControl();
            }
            if ((fds[2].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
                return Wake::kInput;
            }
        }
    }

    long Read(std::uint8_t* buffer, std::size_t size) override {
        ssize_t got = read(fd_, buffer, size);
        if (got > 0) {
            KeepMark();
            return static_cast<long>(got);
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return 0;
        }
        failure_ = got == 0 ? "line closed" : std::strerror(errno);
        return -1;
    }

    Sent Write(const std::uint8_t* bytes, std::size_t length) override {
        while (length != 0) {
            ssize_t put = write(fd_, bytes, length);
            if (put > 0) {
                bytes += put;
                length -= static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                failure_ = std::strerror(errno);
                return Sent::kFailed;
            }
            // Full: wait for room, a signal still ending the run at once.
            std::int64_t give_up = Now() + kWriteStallMs * 1000000LL;
            while (true) {
                std::int64_t ns = give_up - Now();
                if (ns <= 0) {
                    return Sent::kStalled;
                }
                timespec left{static_cast<time_t>(ns / 1000000000),
                              static_cast<long>(ns % 1000000000)};
                pollfd fds[2] = {{fd_, POLLOUT, 0}, {signals_, POLLIN, 0}};
                if (ppoll(fds, 2, &left, nullptr) > 0) {
                    if ((fds[1].revents & POLLIN) != 0 && TakeSignal() && stopped_) {
                        return Sent::kStopped;
                    }
                    if ((fds[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
                        break;
                    }
                }
            }
        }
        return Sent::kOk;
    }

private:
    struct ControlClient {
        int fd = -1;
        std::string input;        // the command line so far
        bool discarding = false;  // the rest of a line too long to take
    };

    void AcceptControl() {
        int fd = accept4(control_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        if (controllers_.size() == kControlClientsMax) {
            Tell(fd, "error: " + std::to_string(kControlClientsMax) +
                         " control connections are open already");
            close(fd);
            return;
        }
        controllers_.push_back(ControlClient{fd, std::string(), false});
    }

    // Reads what one client has sent and answers every whole line in it:
    // false when the client is to go (it closed, or does not read its
    // answers). What it reads in one call is bounded, so that a client that
    // never stops sending cannot hold up the line.
    bool ServeControl(ControlClient& client) {
        char buffer[1024];
        ssize_t got = recv(client.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (got < 0) {
            return errno == EAGAIN || errno == EINTR;
        }
        for (ssize_t i = 0; i < got; ++i) {
            if (buffer[i] == '\n') {
                bool kept = client.discarding || Tell(client.fd, Command(client.input));
                client.input.clear();
                client.discarding = false;
                if (!kept) {
                    return false;
                }
            } else if (client.discarding) {
                continue;
            } else if (client.input.size() == kControlLineMax) {
                client.input.clear();
                client.discarding = true;
                if (!Tell(client.fd, "error: a command line holds at most " +
                                         std::to_string(kControlLineMax) + " bytes")) {
                    return false;
                }
            } else {
                client.input += buffer[i];
            }
        }
        if (got == 0 && !client.input.empty() && !client.discarding) {
            Tell(client.fd, Command(client.input));  // a last line without its end
        }
        return got != 0;
    }

    std::string Command(std::string line) const {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        return handler_ ? handler_(line) : std::string("error: no controls on this line");
    }

    // Sends one answer line without waiting: false when the client's socket
    // cannot take it whole (a client that does not read its answers).
    static bool Tell(int fd, const std::string& answer) {
        std::string line = answer + "\n";
        return send(fd, line.data(), line.size(), MSG_DONTWAIT | MSG_NOSIGNAL) ==
               static_cast<ssize_t>(line.size());
    }

    // Reads one pending signal: true if there was one; a stop sets stopped_,
    // a dump request dump_pending_.
    bool TakeSignal() {
        signalfd_siginfo info;
        if (read(signals_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) {
            return false;
        }
        if (info.ssi_signo == SIGUSR1) {
            dump_pending_ = true;
        } else {
            stopped_ = true;
        }
        return true;
    }

    // Binds the terminal's owner name. The simulator that had the terminal's
    // number before may still be letting go of the name; it is given a
    // moment. Should the name stay taken, the simulator runs without it, and
    // only a second simulator's --link to this terminal goes unrefused.
    void MarkAsOurs() {
        socklen_t length = 0;
        sockaddr_un owner = OwnerName(path_, length);
        const timespec tick{0, 1000000};
        for (int attempt = 0; owner_ >= 0 && attempt < 200; ++attempt) {
            if (bind(owner_, reinterpret_cast<const sockaddr*>(&owner), length) == 0) {
                listen(owner_, 8);
                return;
            }
            if (errno != EADDRINUSE) {
                break;
            }
            nanosleep(&tick, nullptr);
        }
        if (owner_ >= 0) {
            close(owner_);
            owner_ = -1;
        }
    }

    // A client that is sending has set the line up: the break handling of
    // the neutral state goes back into its set-up (it changes nothing on a
    // pseudo-terminal), so that its next set-up, after a close and a reopen
    // that may come before the close is seen here, is a change too.
    void KeepMark() {
        termios now;
        if (slave_ < 0 || tcgetattr(slave_, &now) != 0 ||
            (now.c_iflag & (IGNBRK | BRKINT)) == (IGNBRK | BRKINT)) {
            return;
        }
        now.c_iflag |= IGNBRK | BRKINT;
        tcsetattr(slave_, TCSANOW, &now);
    }

    // Counts the clients that have the terminal open; when the last one has
    // closed it, the line goes back to its neutral state, with nothing left
    // over in it for the next client to read.
    void WatchClients() {
        alignas(inotify_event) char events[4096];
        bool closed = false;
        ssize_t got;
        while ((got = read(watch_, events, sizeof events)) > 0) {
            for (char* at = events; at < events + got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(at);
                if ((event->mask & IN_OPEN) != 0) {
                    ++clients_;
                }
                if ((event->mask & IN_CLOSE) != 0 && clients_ > 0) {
                    --clients_;
                    closed = true;
                }
                at += sizeof *event + event->len;
            }
        }
        if (closed && clients_ == 0) {
            tcsetattr(slave_, TCSANOW, &neutral_);
            tcflush(slave_, TCIFLUSH);
        }
    }

    int fd_ = -1;       // the pseudo-terminal's near end, or the device
    int slave_ = -1;    // our own hold on the pseudo-terminal's far end
    int watch_ = -1;    // inotify: clients opening and closing the far end
    int owner_ = -1;    // the abstract socket that marks the terminal as ours
    int signals_ = -1;  // signalfd
    int control_ = -1;  // the --control socket, listening
    std::string control_path_;
    dev_t control_dev_ = 0;
    ino_t control_ino_ = 0;
    std::vector<ControlClient> controllers_;  // the control socket's clients
    ControlHandler handler_;
    std::string path_;
    std::string link_;
    std::string failure_;
    termios neutral_{};
    int clients_ = 0;
    bool stopped_ = false;
    bool dump_pending_ = false;
};

}  // namespace

std::string CheckLineOptions(const Options& options) {
    if (!options.device.empty() && options.baud != 0 && TermiosSpeed(options.baud) == B0) {
        return "--baud " + std::to_string(options.baud) +
               " is not a speed that a serial device takes";
    }
    return "";
}

std::unique_ptr<Line> OpenLine(const Options& options, std::string& what) {
    auto line = std::make_unique<PosixLine>();
    bool opened =
        line->TakeSignals(what) &&
        (options.device.empty() ? line->OpenPty(options, what) : line->OpenDevice(options, what)) &&
        (options.link.empty() || line->MakeLink(options.link, what)) &&
        (options.control.empty() || line->OpenControl(options.control, what));
    if (!opened) {
        return nullptr;
    }
    return line;
}

bool PutInPlace(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

}  // namespace westnet::sim
