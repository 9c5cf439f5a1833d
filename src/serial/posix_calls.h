// The few system calls of the POSIX stand-in that drive a port's modem lines
// and its turn-round, as one table of functions: the system's own by default,
// a scripted table in tests. A pseudo-terminal refuses the modem and RS-485
// ioctls, so without this seam the levels of DTR and RTS, and when RTS moves
// around a frame, could not be observed at all.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace westnet {

struct PosixCalls {
    // ioctl(2) with one pointer argument: TIOCMBIS, TIOCMBIC, TIOCMGET,
    // TIOCGRS485, TIOCSRS485 and FIONREAD.
    int (*Ioctl)(int fd, unsigned long request, void* argument);
    // tcdrain(3): waits until the output queue has gone out.
    int (*Drain)(int fd);
    // write(2).
    ssize_t (*Write)(int fd, const void* bytes, std::size_t count);
    // Sleeps this many nanoseconds (one character time at a turn-round).
    void (*Pause)(std::int64_t nanoseconds);
};

// The system's calls.
const PosixCalls& SystemPosixCalls();

// Makes every later call of the stand-in go through `calls` (null: the
// system's again). For tests: swap only while no device is open; the table
// must outlive its use.
void UsePosixCalls(const PosixCalls* calls);

struct Platform;

// The POSIX stand-in's own platform table, whatever ActivePlatform() answers.
const Platform& PosixPlatform();

// Makes ActivePlatform() answer `platform` (null: the POSIX table again), so
// that a test can watch every call on a real line and pass it on to
// PosixPlatform(). The same rules as for UsePosixCalls. Only the POSIX
// stand-in has this: the Windows platform stays fixed.
void UsePlatform(const Platform* platform);

}  // namespace westnet
