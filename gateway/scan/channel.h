// What the scan engine drives: one line's channel and a clock. The daemon
// uses the driver through host::Session and the system's clocks
// (scan/driver_channel.h); the tests a scripted channel and a clock that only
// moves when the script says so.
#pragma once

#include <westnet/westnet.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scan/service.h"

namespace westnet::gateway {

// The driver's results, as a channel returns them.
constexpr std::int32_t kResultOk = ResOk;
constexpr std::int32_t kResultRefused = ResBad;  // a reply failed its checksum on every attempt
constexpr std::int32_t kResultLineFailure = ResFail;  // no full reply on every attempt

class Clock {
public:
    virtual ~Clock() = default;
    virtual SteadyTime Now() const = 0;
    virtual WallTime WallNow() const = 0;
};

class SystemClock : public Clock {
public:
    SteadyTime Now() const override { return std::chrono::steady_clock::now(); }
    WallTime WallNow() const override { return std::chrono::system_clock::now(); }
};

// One line's channel. Calls never overlap: the line's worker is its only
// user. Results are the driver's: 0 good, 1 refused, 2 line failure.
class Channel {
public:
    virtual ~Channel() = default;
    // Opens the line (again); false, with a reason a user can act on, when
    // it cannot.
    virtual bool Open(std::string& why) = 0;
    virtual void Close() = 0;
    // The name the line is open under.
    virtual std::string Device() const = 0;
    // The station the line has selected (255 for none): a command for
    // another one costs a selection first.
    virtual int SelectedStation() const = 0;

    virtual std::int32_t ReadWord(int station, int reg, std::uint16_t& value) = 0;
    virtual std::int32_t ReadBlock(int station, int reg, int count,
                                   std::vector<std::uint16_t>& words) = 0;
    virtual std::int32_t WriteWord(int station, int reg, std::uint16_t value) = 0;
    virtual std::int32_t WriteBit(int station, int reg, int bit, bool value) = 0;
    virtual std::int32_t WriteBlock(int station, int reg,
                                    const std::vector<std::uint16_t>& words) = 0;
};

}  // namespace westnet::gateway
