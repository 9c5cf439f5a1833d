#include "process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace westnet::test_support {

namespace {

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    return address;
}

// The first name /tmp/wnXXXX, counting from this process's id, for which
// `take` succeeds.
template <typename Take>
std::string FirstShortName(Take take) {
    for (unsigned n = 0; n < 0x10000U; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "/tmp/wn%04x",
                      (static_cast<unsigned>(getpid()) + n) & 0xFFFFU);
        if (take(name)) {
            return name;
        }
    }
    return "";
}

}  // namespace

bool ReadLine(int fd, int waitMs, std::string& line) {
    line.clear();
    const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
    for (;;) {
        pollfd in{fd, POLLIN, 0};
        const int ready = poll(&in, 1, MsLeft(deadline));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        char c = 0;
        const ssize_t got = read(fd, &c, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return false;
        }
        if (c == '\n') {
            return true;
        }
        line.push_back(c);
    }
}

std::string DeviceOf(const std::string& line) {
    static const std::string kPrefix = "device: ";
    if (line.size() <= kPrefix.size() || line.compare(0, kPrefix.size(), kPrefix) != 0) {
        return "";
    }
    return line.substr(kPrefix.size());
}

int WaitExit(pid_t pid, int waitMs) {
    int status = 0;
    if (pid <= 0) {
        return -1;
    }
    // A pidfd turns readable when the process ends: the wait needs no polling
    // loop. Without one (an old kernel) the wait is a plain blocking one.
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd end{pidfd, POLLIN, 0};
        const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
        int ready = 0;
        while ((ready = poll(&end, 1, MsLeft(deadline))) < 0 && errno == EINTR) {
        }
        close(pidfd);
        if (ready <= 0) {
            return -1;
        }
    }
    pid_t got = 0;
    while ((got = waitpid(pid, &status, 0)) < 0 && errno == EINTR) {
    }
    return got == pid ? status : -1;
}

int FreeLoopbackPort() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return 0;
    }
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

std::string MakeShortLink(const std::string& target) {
    return FirstShortName([&](const char* name) { return symlink(target.c_str(), name) == 0; });
}

std::string FreeShortName() {
    return FirstShortName([](const char* name) {
        struct stat info {};
        return lstat(name, &info) != 0 && errno == ENOENT;
    });
}

Process::Process(std::vector<std::string> args, const Stderr& err) {
    int outPipe[2] = {-1, -1};
    int errPipe[2] = {-1, -1};
    const bool pipeErr = err.kind == Stderr::Kind::Pipe;
    if (args.empty() || pipe2(outPipe, O_CLOEXEC) != 0) {
        return;
    }
    if (pipeErr && pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return;
    }
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
        // Only async-signal-safe calls from here on: the parent may have threads.
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        if (pipeErr) {
            dup2(errPipe[1], STDERR_FILENO);
        } else if (err.kind == Stderr::Kind::File) {
            const int file = open(err.path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            if (file >= 0) {
                dup2(file, STDERR_FILENO);
            }
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    if (pipeErr) {
        close(errPipe[1]);
    }
    if (pid_ < 0) {
        close(outPipe[0]);
        if (pipeErr) {
            close(errPipe[0]);
        }
        return;
    }
    out_ = outPipe[0];
    err_ = errPipe[0];
}

Process::~Process() {
    if (pid_ > 0) {
        Stop(SIGTERM, 10000);
    }
    for (const int fd : {out_, err_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

int Process::Stop(int signal, int waitMs) {
    if (pid_ <= 0) {
        return -1;
    }
    kill(pid_, signal);
    int status = WaitExit(pid_, waitMs);
    if (status == -1) {
        kill(pid_, SIGKILL);
        WaitExit(pid_, waitMs);
    }
    pid_ = -1;
    return status;
}

SimProcess::SimProcess(std::vector<std::string> args, const Stderr& err, int waitMs)
    : Process(std::move(args), err) {
    if (started() && ReadLine(out(), waitMs, said_)) {
        device_ = DeviceOf(said_);
    }
}

}  // namespace westnet::test_support
