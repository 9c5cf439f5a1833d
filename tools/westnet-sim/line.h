// The simulator's line and the process around it, one implementation per
// platform: line_posix.cpp (a pseudo-terminal of its own or a serial device,
// signals through a descriptor) and line_win32.cpp (a COM port, console
// control events). The simulator (simulator.h) sees only this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "options.h"

namespace westnet::sim {

constexpr std::int64_t kNever = -1;
// A reply that the line takes nothing of for this long is dropped.
constexpr int kWriteStallMs = 2000;

// Why Wait returned.
enum class Wake {
    kInput,     // bytes have arrived
    kDeadline,  // the deadline has come
    kDump,      // the user asked for a dump (SIGUSR1)
    kStop,      // the run is to end (SIGINT, SIGTERM, SIGHUP; Ctrl+C, closing the console)
    kFailed,    // the line or the wait failed: Failure() says how
};

enum class Sent { kOk, kStalled, kStopped, kFailed };

// Answers one command line of the control socket (--control), without its
// line end; the answer goes back as one line.
using ControlHandler = std::function<std::string(const std::string& command)>;

class Line {
public:
    virtual ~Line() = default;
    // What a client opens: the pseudo-terminal or the device.
    virtual const std::string& Path() const = 0;
    // Monotonic time in nanoseconds.
    virtual std::int64_t Now() const = 0;
    // Waits for input (unless `want` is 0), for the monotonic time `deadline`
    // (kNever: none), for a dump request or for the end of the run. `want`
    // is the number of bytes that would complete the request under way: a
    // line that reads in counts (a COM port) returns as soon as those are
    // there. Once the run is to end, every later call returns kStop at once.
    virtual Wake Wait(std::size_t want, std::int64_t deadline) = 0;
    // Reads what has arrived, without waiting: the number of bytes, 0 when
    // there are none, -1 when the line failed (Failure() says how).
    virtual long Read(std::uint8_t* buffer, std::size_t size) = 0;
    // Writes every byte. kStalled: the line took nothing for kWriteStallMs;
    // kStopped: the run is to end; kFailed: see Failure(). A dump asked for
    // meanwhile is returned by the next Wait.
    virtual Sent Write(const std::uint8_t* bytes, std::size_t length) = 0;
    virtual const std::string& Failure() const = 0;
    // Where the commands of the control socket go. They are read and
    // answered inside Wait, on the line's own thread, so that a command
    // takes effect between two exchanges' steps and never races with them;
    // a line without a control socket has nothing to give it.
    virtual void SetControl(const ControlHandler& /*handler*/) {}
};

// Options that this platform's line cannot serve: "" when all is well, else
// what is wrong (a usage error).
std::string CheckLineOptions(const Options& options);

// Takes over the process's stop signals and opens the line that the options
// name (making --link and the --control socket); nullptr with `what` when it
// cannot.
std::unique_ptr<Line> OpenLine(const Options& options, std::string& what);

// Puts `from` in the place of `to`, replacing it (the dump's last step).
bool PutInPlace(const std::string& from, const std::string& to);

}  // namespace westnet::sim
