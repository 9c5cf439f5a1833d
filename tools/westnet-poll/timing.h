// What the poller makes of time on the line: commands that outlasted the
// reply time-out, the time-out to recommend for the replies measured, the
// waits before reopening a failed line, and which rows of a poll changed.
#pragma once

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace westnet::poll {

// A command that waited out a reply time-out: one of its exchanges got no
// reply in time and the driver tried again. A late reply that arrives after
// the next request went out is taken for that request's answer: the frames
// carry no sequence number.
//
// A command is one exchange, or two when its station must be selected first,
// and without a time-out each exchange is shorter than the time-out. So a
// command waited one out when it took longer than the time-out plus its other
// exchanges, which are counted at the station's quickest exchange seen in
// the run (a command's time per exchange, at its least).
class SlowCommands {
public:
    explicit SlowCommands(double timeoutMs) : timeoutMs_(timeoutMs) {}
    void Add(std::int32_t station, int exchanges, double milliseconds, bool ok);
    std::int64_t Slow() const;
    std::int64_t Commands() const { return static_cast<std::int64_t>(commands_.size()); }
    double TimeoutMs() const { return timeoutMs_; }
    // Whether a value shown as good may be another request's: only where
    // some command waited out a time-out and some command succeeded.
    bool Suspect() const { return ok_ > 0 && Slow() > 0; }

private:
    struct Command {
        std::int32_t station;
        int exchanges;
        double milliseconds;
    };
    double timeoutMs_;
    std::vector<Command> commands_;
    std::map<std::int32_t, double> quickest_;  // per station, ms per exchange
    std::int64_t ok_ = 0;
};

// The smallest reply time-out that is safe for replies that took from
// `quickestMs` to `slowestMs`: half as much again as the slowest and at least
// 20 ms more, for the scheduling of a busy host; and at least twice the
// slowest less the quickest, so that a command of two slow exchanges stays
// below the time-out plus a quick one, which is how SlowCommands tells it
// from a command that waited a time-out out. In tens of milliseconds.
std::int32_t RecommendedTimeoutMs(double quickestMs, double slowestMs);

// The waits before each attempt to reopen a failed line: 0.5 s, doubling up
// to 10 s, and 0.5 s again once the line has worked.
class Backoff {
public:
    long NextMs();
    long Upcoming() const { return nextMs_; }
    void Reset() { nextMs_ = kFirstMs; }

private:
    static constexpr long kFirstMs = 500;
    static constexpr long kLastMs = 10000;
    long nextMs_ = kFirstMs;
};

// --changes: a point's row is shown when its result or value differs from
// the point's last row shown (and always the first time).
class ChangeFilter {
public:
    bool Changed(std::size_t point, std::int32_t result, std::uint16_t value);

private:
    std::map<std::size_t, std::pair<std::int32_t, std::uint16_t>> last_;
};

}  // namespace westnet::poll
