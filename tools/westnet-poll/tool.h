// The poller's commands, as a host of the driver runs them: one channel
// session, the driver's information record, and the verdict that becomes the
// exit status. tool.cpp has what the commands share and the one-shot
// commands; poll_command.cpp the poll; line_check.cpp the line check.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"
#include "output.h"
#include "session.h"
#include "stats.h"
#include "timing.h"

namespace westnet::poll {

constexpr char kProgram[] = "westnet-poll";

// Set by SIGINT and SIGTERM: a poll ends after the command under way.
extern volatile std::sig_atomic_t gInterrupted;

void Print(const std::string& text);
void Complain(const std::string& text);
void Warn(const std::string& text);
double MillisecondsSince(std::chrono::steady_clock::time_point start);
std::string ResultText(std::int32_t result);

// The worst driver result of a run decides the exit status.
class Verdict {
public:
    void Note(std::int32_t result);
    void Refused() { refused_ = true; }
    void LineFailed() { lineFailure_ = true; }
    int ExitStatus() const;

private:
    bool refused_ = false;
    bool lineFailure_ = false;
};

class Tool {
public:
    Tool(const Options& options, host::ZanMainFn zanMain) : o_(options), session_(zanMain) {}

    int Run();

private:
    struct Point {
        std::string text;
        host::ParsedPoint parsed;
        std::uint16_t value = 0;  // write: what to write
        bool accepted = false;
    };

    // One station's reply times, measured with a long time-out.
    struct StationTimes {
        std::int32_t station = 0;
        std::string address;  // the point read to measure it
        PollStats replies;    // one entry per exchange
        std::int64_t samples = 0;
        std::int64_t retried = 0;  // samples left out: a reply missed even the long time-out
        std::string failure;       // why measuring stopped early, or empty
    };

    // Parses through the driver; a rejection is explained on stderr.
    bool ParsePoint(const std::string& text, std::int32_t words, host::ParsedPoint& parsed);
    // Every point, rejected ones marked, in the order given.
    std::vector<Point> ParsePoints();
    static bool AnyAccepted(const std::vector<Point>& points);
    // Station 00 is never selected: it talks to whatever station the line
    // selected last, so it must not share a run with addressed stations.
    void WarnOfStationZero(const std::vector<Point>& points) const;

    LineParams Line() const;
    std::int32_t TimeoutTens() const;  // what CmdOpen is given
    double PortTimeoutMs() const;      // what the port runs with
    std::string Device() const;
    std::string TimeoutText() const;

    // CmdOpen with `timeoutTens`, or with --rts/--dtr the host's record
    // filled and CmdReopen. The driver's result; nothing is said.
    std::int32_t OpenChannel(std::int32_t timeoutTens);
    // OpenChannel, and on failure the reason, found out from the system.
    bool OpenLine(std::int32_t timeoutTens);
    void ExplainOpenFailure(std::int32_t result) const;
    void CloseLine();

    // The warning after a run with commands slower than the reply time-out,
    // and the time-out that would have avoided them, measured on the
    // stations that answered.
    // The exchanges of a read or write when nothing fails: the transaction,
    // after a selection unless the station is selected already (or is 00).
    int ExchangesFor(const PointAddress& point) const;
    void ReportSlowCommands(const SlowCommands& slow, const std::vector<Point>& points,
                            const std::vector<bool>& answered);
    std::vector<StationTimes> MeasureStations(const std::vector<Point>& probes,
                                              std::int64_t samples);
    std::int32_t MeasureTimeoutTens() const;
    static std::string MeasuredText(const StationTimes& t);

    Cell RegisterCell(const host::ParsedPoint& p) const;
    Cell BitCell(const host::ParsedPoint& p) const;
    std::vector<Column> PointColumns() const;
    std::vector<Cell> PointRow(const Point& point, const std::uint16_t* value,
                               const std::string& result) const;

    int Info();
    int ParseCommand();
    int PointsCommand(bool write);
    bool ParseBlock(host::ParsedPoint& parsed);
    std::vector<std::vector<Cell>> BlockRows(const host::ParsedPoint& first,
                                             const std::vector<std::uint16_t>& values) const;
    int ReadBlockCommand();
    int WriteBlockCommand();
    int PollCommand();
    int LineCheckCommand();

    const Options& o_;
    host::Session session_;
    host::InfoView info_;
    Verdict verdict_;
};

}  // namespace westnet::poll
