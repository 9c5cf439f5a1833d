// Helpers for tests, soaks and benchmarks that run the project's programs
// (and a mosquitto) as separate processes: start westnet-sim and wait for
// its "device: PATH" line, a loopback port nobody listens on, a short name
// for a long device path, a broker of the test's own. Every wait is bounded
// and none sleeps: lines are read with poll(), exits waited on with a pidfd.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>
#include <vector>

namespace westnet::test_support {

// One line from `fd` (without its '\n'), read byte by byte so that nothing
// after it is taken from the pipe. False when `waitMs` pass first or the
// pipe ends before a newline; `line` then holds what came.
bool ReadLine(int fd, int waitMs, std::string& line);

// The path a simulator's "device: PATH" line names; "" for any other line.
std::string DeviceOf(const std::string& line);

// Waits up to `waitMs` for `pid` to end and reaps it: its wait status, or -1
// when it is still running (or not a child of ours).
int WaitExit(pid_t pid, int waitMs);

// A TCP port on 127.0.0.1 that nobody listened on a moment ago; 0 if none.
int FreeLoopbackPort();

// True when something accepts connections on 127.0.0.1:`port`.
bool Accepts(int port);

// A name under /tmp for `target`, short enough for the driver's 11-character
// device field: a fresh symbolic link. symlink() fails on a name already
// taken, so processes running side by side never share one. "" when none is
// free. The caller removes it.
std::string MakeShortLink(const std::string& target);

// A name under /tmp, as short, that nothing holds yet: for a program that
// makes the link itself (westnet-sim --link). "" when none is free.
std::string FreeShortName();

// Where a child's stderr goes: stays ours, appended to a file, or to a pipe
// of ours (Process::err()).
struct Stderr {
    enum class Kind { Inherit, File, Pipe };
    Kind kind = Kind::Inherit;
    std::string path;

    Stderr() = default;
    // A path appends to that file; an empty one keeps ours.
    Stderr(const std::string& file)  // NOLINT(google-explicit-constructor): a path reads best
        : kind(file.empty() ? Kind::Inherit : Kind::File), path(file) {}
    Stderr(const char* file) : Stderr(std::string(file)) {}  // NOLINT(google-explicit-constructor)
    static Stderr ToPipe() {
        Stderr s;
        s.kind = Kind::Pipe;
        return s;
    }
};

// A child process started from `args` (args[0] is the program's path).
// Its stdout comes to a pipe of ours, its stderr goes where `err` says, its
// stdin is /dev/null. Destroying it sends SIGTERM, and SIGKILL if it has not
// ended within 10 s, and reaps it.
class Process {
public:
    explicit Process(std::vector<std::string> args, const Stderr& err = {});
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    int out() const { return out_; }
    // Its stderr when that goes to a pipe; -1 otherwise.
    int err() const { return err_; }

    // Sends `signal` and waits up to `waitMs` for the exit: the wait status,
    // or -1 when it did not end (it is then killed and reaped).
    int Stop(int signal = SIGTERM, int waitMs = 30000);

private:
    pid_t pid_ = -1;
    int out_ = -1;
    int err_ = -1;
};

// westnet-sim started with `args` (args[0] is its path) until it has said
// "device: PATH" (at most `waitMs`).
class SimProcess : public Process {
public:
    explicit SimProcess(std::vector<std::string> args, const Stderr& err = {}, int waitMs = 30000);

    bool ready() const { return !device_.empty(); }
    // The pseudo-terminal it serves; "" when it did not start.
    const std::string& device() const { return device_; }
    // The first line it printed: "device: PATH", or what it said instead.
    const std::string& said() const { return said_; }

private:
    std::string device_;
    std::string said_;
};

}  // namespace westnet::test_support
