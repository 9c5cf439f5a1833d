// poll: the points read round after round, a row each, until --count rounds
// or SIGINT or SIGTERM. A round in which every read failed on the line
// closes the channel; the next rounds try to reopen it, waiting longer each
// time, until it answers again.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "measure.h"
#include "points.h"
#include "port_check.h"
#include "system.h"

namespace westnet::poll {
namespace {

extern "C" void OnInterrupt(int) {
    gInterrupted = 1;
}

std::int64_t NowUnixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Now() {
    return Iso8601Utc(NowUnixMs());
}

std::string Seconds(double milliseconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", milliseconds / 1000.0);
    return text;
}

// Sleeps in short steps, so that SIGINT and SIGTERM end a long wait at once.
void Wait(double milliseconds) {
    const auto start = std::chrono::steady_clock::now();
    while (gInterrupted == 0) {
        const double left = milliseconds - MillisecondsSince(start);
        if (left < 1.0) {
            return;
        }
        host::SleepMilliseconds(static_cast<long>(left < 50.0 ? left : 50.0));
    }
}

// A row's state for --changes: the driver's result, or one of these.
constexpr std::int32_t kRejected = -1;
constexpr std::int32_t kLineDown = -2;

// JSON Lines for a log named .json, .jsonl or .ndjson; CSV for any other.
Format LogFormat(const std::string& path) {
    for (const char* ending : {".json", ".jsonl", ".ndjson"}) {
        const std::size_t n = std::strlen(ending);
        if (path.size() >= n && path.compare(path.size() - n, n, ending) == 0) {
            return Format::Json;
        }
    }
    return Format::Csv;
}

std::vector<Column> PollColumns(Format format, const ValueView& view) {
    std::vector<Column> columns = {{"time", 24}, {"round", 5}, {"address", 9}};
    for (const Column& column : ValueColumns(format, view, 6)) {
        columns.push_back(column);
    }
    columns.push_back({"result", 16});
    columns.push_back({"ms", 8});
    return columns;
}

// The lines that a poll shows on stderr: the live statistics while stderr is
// a terminal, and the messages of the line going down and coming back, which
// must not run into the live line.
class StatusLine {
public:
    StatusLine() : live_(host::StderrIsTerminal()) {}
    void Clear() {
        if (width_ > 0) {
            std::fprintf(stderr, "\r%*s\r", static_cast<int>(width_), "");
            std::fflush(stderr);
            width_ = 0;
        }
    }
    void Show(const std::string& text) {
        if (!live_) {
            return;
        }
        Clear();
        width_ = text.size();
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
    }
    void Message(const std::string& text) {
        Clear();
        Complain(text);
    }
    void End() {
        if (width_ > 0) {
            std::fputc('\n', stderr);
            width_ = 0;
        }
    }

private:
    bool live_;
    std::size_t width_ = 0;
};

}  // namespace

int PollCommand(Context& ctx) {
    const Options& o = ctx.o;
    host::Session& session = ctx.session;
    const std::vector<Point> points = ParsePoints(ctx);
    WarnOfStationZero(points);
    std::FILE* log = nullptr;
    if (!o.logPath.empty()) {
        log = std::fopen(o.logPath.c_str(), "ab");
        if (log == nullptr) {
            Complain("cannot open the log " + o.logPath + ": " + std::strerror(errno));
            return kExitUsage;
        }
    }
    const bool anyPoint = AnyAccepted(points);
    if (anyPoint && !OpenLine(ctx, TimeoutTens(ctx))) {
        if (log != nullptr) {
            std::fclose(log);
        }
        return ctx.verdict.ExitStatus();
    }
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGTERM, OnInterrupt);

    // An endless run cannot close a JSON array: one object per line.
    Printer printer(o.format, PollColumns(o.format, o.view), true);
    const Format logFormat = LogFormat(o.logPath);
    Printer logPrinter(logFormat, PollColumns(logFormat, o.view), true);
    if (log != nullptr && std::ftell(log) == 0) {
        std::fputs(logPrinter.Begin().c_str(), log);
    }
    Print(printer.Begin());

    StatusLine status;
    PollStats stats;
    SlowCommands slow(PortTimeoutMs(ctx));
    ChangeFilter changes;
    Backoff backoff;
    std::vector<bool> answered(points.size(), false);
    std::int64_t round = 0;
    std::int64_t downs = 0;
    std::int64_t reopenAttempts = 0;
    std::int64_t roundsDown = 0;
    double downMs = 0.0;
    double waitMs = 0.0;  // the back-off before the next reopen, while down
    std::string lastReason;
    auto downSince = std::chrono::steady_clock::now();
    const auto started = std::chrono::steady_clock::now();

    // Without a point to read, one round shows the rejections, and that is all.
    const std::int64_t rounds = anyPoint ? o.rounds : 1;
    while (gInterrupted == 0 && (rounds == 0 || round < rounds)) {
        ++round;
        const auto roundStart = std::chrono::steady_clock::now();
        bool lineDown = anyPoint && !session.IsOpen();
        if (lineDown) {
            ++reopenAttempts;
            // The system is asked first, so that an absent device does not
            // make the host library report every attempt.
            const host::OpenFailure why = host::DiagnoseOpen(o.device, LineSettings(ctx));
            const std::int32_t result = why.reason == host::OpenFailureReason::None
                                            ? OpenChannel(ctx, TimeoutTens(ctx))
                                            : ResFail;
            const std::string reason = why.reason == host::OpenFailureReason::None
                                           ? "driver result " + std::to_string(result)
                                           : why.summary;
            if (result == ResOk) {
                const double ms = MillisecondsSince(downSince);
                downMs += ms;
                status.Message(Now() + " line back up: " + o.device + " reopened after " +
                               Seconds(ms) + " (" + std::to_string(reopenAttempts) +
                               " reopen attempts)");
                lineDown = false;
                lastReason.clear();
            } else if (reason != lastReason) {
                status.Message(Now() + " " + o.device + " does not reopen yet: " + reason +
                               "; trying again in " +
                               Seconds(static_cast<double>(backoff.Upcoming())));
                lastReason = reason;
            }
        }
        std::string rows;
        std::string logRows;
        auto emit = [&](std::size_t index, std::int32_t state, std::uint16_t value,
                        const std::vector<Cell>& cells, const std::vector<Cell>& logCells) {
            if (o.changes && !changes.Changed(index, state, value)) {
                return;
            }
            rows += printer.Row(cells);
            logRows += logPrinter.Row(logCells);
        };
        bool anyAnswer = false;
        bool anyRead = false;
        // A round in which the line failed ends with the channel closed: no
        // late reply of it can reach a later round's request.
        struct Timing {
            std::int32_t station;
            int exchanges;
            double ms;
            bool ok;
        };
        std::vector<Timing> timings;
        for (std::size_t i = 0; i < points.size() && gInterrupted == 0; ++i) {
            const Point& point = points[i];
            std::uint16_t value = 0;
            std::int32_t state = kRejected;
            std::string result = "address rejected";
            Cell ms = Cell::None();
            if (point.accepted && lineDown) {
                state = kLineDown;
                result = "line down";
            } else if (point.accepted) {
                const int exchanges = ExchangesFor(ctx, point.parsed.record);
                const auto start = std::chrono::steady_clock::now();
                state = session.ReadPoint(point.parsed.record, value);
                const double took = MillisecondsSince(start);
                ms = Cell::Milliseconds(took);
                stats.Add(state, took);
                timings.push_back({point.parsed.record.station, exchanges, took, state == ResOk});
                ctx.verdict.Note(state);
                result = ResultText(state);
                anyRead = true;
                anyAnswer = anyAnswer || state != ResFail;
                answered[i] = answered[i] || state != ResFail;
            }
            const std::uint16_t* shown = state == ResOk ? &value : nullptr;
            std::vector<Cell> cells = {Cell::Of(Now()), Cell::Of(round), Cell::Of(point.text)};
            std::vector<Cell> logCells = cells;
            AddValueCells(cells, shown, o.format, o.view);
            AddValueCells(logCells, shown, logFormat, o.view);
            for (std::vector<Cell>* row : {&cells, &logCells}) {
                row->push_back(Cell::Of(result));
                row->push_back(ms);
            }
            emit(i, state, value, cells, logCells);
        }
        if (lineDown) {
            ++roundsDown;
            ctx.verdict.LineFailed();
            waitMs = static_cast<double>(backoff.NextMs());
        }
        status.Clear();
        Print(rows);
        if (log != nullptr && !logRows.empty()) {
            std::fputs(logRows.c_str(), log);
            std::fflush(log);
        }
        if (!lineDown && anyRead && !anyAnswer && gInterrupted == 0) {
            // Not one station answered: the line itself failed (a device
            // unplugged, a simulator ended). A port that failed this way
            // rarely works again without being opened anew.
            CloseLine(ctx);
            ++downs;
            downSince = std::chrono::steady_clock::now();
            waitMs = static_cast<double>(backoff.NextMs());
            reopenAttempts = 0;
            status.Message(Now() + " line down after round " + std::to_string(round) +
                           ": every read failed on the line; " + o.device +
                           " closed, reopening in " + Seconds(waitMs));
        } else if (anyAnswer) {
            backoff.Reset();
        }
        if (anyAnswer) {
            for (const Timing& t : timings) {
                slow.Add(t.station, t.exchanges, t.ms, t.ok);
            }
        }
        status.Show("round " + std::to_string(round) + "  " + stats.Line());
        if (gInterrupted == 0 && (rounds == 0 || round < rounds)) {
            // While the line is down the back-off paces the reopen attempts;
            // otherwise the interval paces the rounds.
            Wait(anyPoint && !session.IsOpen() ? waitMs
                                               : o.intervalMs - MillisecondsSince(roundStart));
        }
    }
    Print(printer.End());
    if (session.IsOpen()) {
        CloseLine(ctx);
    } else if (anyPoint && downs > 0) {
        downMs += MillisecondsSince(downSince);
    }
    if (log != nullptr) {
        std::fclose(log);
    }
    status.End();
    char extra[200] = "";
    if (slow.Slow() > 0) {
        std::snprintf(extra, sizeof extra, "; slower than the reply time-out (%.0f ms) %lld",
                      slow.TimeoutMs(), static_cast<long long>(slow.Slow()));
    }
    char down[200] = "";
    if (downs > 0) {
        std::snprintf(down, sizeof down, "; line down %lld %s, %.1f s in all, %lld rounds unread",
                      static_cast<long long>(downs), downs == 1 ? "time" : "times", downMs / 1000.0,
                      static_cast<long long>(roundsDown));
    }
    std::fprintf(stderr, "%s: poll summary: %lld rounds in %.1f s%s; %s%s%s\n", kProgram,
                 static_cast<long long>(round), MillisecondsSince(started) / 1000.0,
                 gInterrupted != 0 ? " (interrupted)" : "", stats.Line().c_str(), extra, down);
    ReportSlowCommands(ctx, slow, points, answered);
    return ctx.verdict.ExitStatus();
}

}  // namespace westnet::poll
