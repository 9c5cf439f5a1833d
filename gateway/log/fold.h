// Repeated log lines, folded. A flood of one event (a client refused again
// and again, garbage on a /set topic) would otherwise write tens of thousands
// of lines a second, and the journal's rate limit would then drop whatever
// else the gateway says, the warnings that matter among them.
//
// Lines come from a source: the caller names it (Log(level, source, message))
// or it is the message itself with its numbers and addresses masked, so that
// "client 10.0.0.7:40112 refused" and "client 10.0.0.9:40876 refused" are one
// source (LogLine and LogStation keep the line and the station apart). Within a window of
// kFoldWindow from a source's first line, its first kFoldFirst lines are written and the rest only
// counted; the count is told in one line,
//
//   … 3,512 more like this in the last 10 s
//
// when the window ends, or earlier when a line of another source is written
// (so that the count stays next to the lines it counts). Only counts are
// kept, never the folded lines, and at most kFoldSources sources at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "log/log.h"

namespace westnet::gateway::logfold {

constexpr std::chrono::seconds kFoldWindow{10};
constexpr int kFoldFirst = 5;
constexpr std::size_t kFoldSources = 256;
// A key longer than this is cut: what tells sources apart comes first.
constexpr std::size_t kSourceKeyMax = 160;

// The message with every run of digits, hex digits, dots and colons that
// holds a decimal digit replaced by '#' (numbers, IPv4 and IPv6 addresses,
// ports, station numbers), cut to kSourceKeyMax.
std::string SourceOf(const std::string& message);

// Control characters (a newline in a device path from the plant file) as
// \n, \r, \t or \xNN: one event is one line, and no text can forge another.
std::string EscapeControls(const std::string& text);

// "… 3,512 more like this in the last 10 s".
std::string FoldedLine(std::uint64_t count);

// Not thread-safe: the log holds it under its lock.
class Folder {
public:
    using Clock = std::chrono::steady_clock;
    struct Line {
        LogLevel level;
        std::string text;
    };

    // One event of `source` at `now`: appends what to write now, in order:
    // the counts of windows that ended, the counts that wait when this line
    // is written, then the line itself unless it is folded.
    void Offer(LogLevel level, const std::string& source, const std::string& text,
               Clock::time_point now, std::vector<Line>& out);
    // Appends the counts of the windows that ended by `now`.
    void Expire(Clock::time_point now, std::vector<Line>& out);
    // When the next window with folded lines ends; time_point::max() when
    // none has any.
    Clock::time_point NextDue() const;
    std::size_t Sources() const { return sources_.size(); }

private:
    struct Source {
        Clock::time_point start;
        int written = 0;
        std::uint64_t folded = 0;
        LogLevel level = LogLevel::Debug;  // the most severe of the folded lines
    };
    void FlushCounts(std::vector<Line>& out);

    std::map<std::string, Source> sources_;
};

}  // namespace westnet::gateway::logfold
