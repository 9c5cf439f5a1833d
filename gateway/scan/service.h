// What a front end of westnet-gateway (HTTP, Modbus TCP, MQTT) sees of the
// daemon: the plant as read, the value cache, the station states, a request
// queue per line and a registry for its own statistics. Front ends never see
// the driver, the line workers or each other; they see only this.
//
// Threads. Every method may be called from any thread. Completions and
// listener calls run on a thread of the service (a line worker's; for a
// request refused without reaching the line, the service's dispatcher), never
// inside the call that submitted it and without any lock of the service
// held: they must be quick and must not block (a front end hands the result
// to its own thread), but they may call any method of the service.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "history/reader.h"
#include "plant/plant.h"
#include "sync/mutex.h"

namespace westnet::gateway {

using SteadyTime = std::chrono::steady_clock::time_point;
using WallTime = std::chrono::system_clock::time_point;

// good: read within 2 x scan_ms; stale: the last good read is older; bad:
// never read, or the last read failed and no good value is younger than
// 2 x scan_ms.
enum class Quality { Good, Stale, Bad };
const char* QualityName(Quality quality);  // "good", "stale", "bad"

// A station is ok, demoted after demote_after consecutive failed commands
// (skipped but for one probe every demote_ms), or down with its whole line.
enum class StationState { Ok, Demoted, Down };
const char* StationStateName(StationState state);  // "ok", "demoted", "down"

// How a request to a line ended.
enum class Outcome {
    Ok,
    Refused,       // the driver's result 1 after its retries (bad checksum)
    LineFailure,   // the driver's result 2 after its retries (no full reply)
    NotWritable,   // a write to a point not marked writable
    ReadOnly,      // any write while [gateway] read_only is set
    Demoted,       // the station is demoted: not tried
    LineDown,      // the line is down: not tried
    BadRequest,    // outside the registers, a count of 0, values that do not fit
    ShuttingDown,  // the daemon stopped, or its client left (Forget), before it reached the line
};
const char* OutcomeName(Outcome outcome);

// One point's entry in the value cache.
struct PointSample {
    // A word point: one word. A bit point: one value, 0 or 1. A block: its
    // words in order. Empty until the first good read.
    std::vector<std::uint16_t> values;
    Quality quality = Quality::Bad;
    std::int32_t lastResult = -1;  // the driver's result of the latest read; -1 never read
    WallTime goodTime{};           // wall-clock time of the latest good read
    SteadyTime goodAt{};           // the same on the steady clock
    std::uint64_t reads = 0;       // reads completed, good or not
    std::uint64_t changes = 0;     // times values or quality changed
};

// The most reads one connection (Requester::session) may have waiting for a
// line; one more is refused as the line's queue being full.
constexpr std::size_t kSessionReadsMax = 8;

// Who asked for a request: what the audit record of a write names, and what
// shares a line's time fairly between clients.
struct Requester {
    std::string frontEnd;  // "http", "modbus", "mqtt"; "" for the daemon's own
    std::string who;       // the user or token name, or the MQTT client's; "" when anonymous
    std::string client;    // the peer's address, e.g. "127.0.0.1:40122"
    // One connection of a front end (a Modbus TCP client), 0 for none: its
    // queued reads are dropped when it goes (Service::Forget). A line shares
    // its time fairly between the reads of connections: they take turns,
    // each with a few waiting at most, and all of them together have at most
    // a share of the line's time, so that the scan keeps its pace.
    std::uint64_t session = 0;
};

// A number for a new connection, never given before in this process, by any
// front end: what its requests carry as Requester::session.
std::uint64_t NewSessionId();

// A request for the line, by register. Reads and writes of any length
// within registers 0 to 65535 are accepted; the line worker splits them into
// block transfers of at most 64 words, in ascending order, and stops at the
// first one that fails.
struct LineOp {
    enum class Kind {
        ReadRegisters,   // `count` words from `reg`
        WriteRegisters,  // values.size() words from `reg` (one word: a word write)
        WriteBit,        // bit `bit` (0-15) of `reg` to values[0] & 1
    };
    Kind kind = Kind::ReadRegisters;
    int station = 0;
    int reg = 0;  // zero-based
    int count = 0;
    int bit = 0;
    std::vector<std::uint16_t> values;
    Requester by;
};

struct LineOpResult {
    Outcome outcome = Outcome::Ok;
    std::int32_t driverResult = 0;      // of the last transfer made; 0 when none was made
    std::vector<std::uint16_t> values;  // ReadRegisters: the words read (all of them on Ok)
};

// Called exactly once per accepted request.
using Completion = std::function<void(const LineOpResult&)>;

// Told of every cache update and station state change, on the thread of the
// line worker that made it.
class Listener {
public:
    virtual ~Listener() = default;
    // After every read of a point, changed or not, and when its quality
    // changes with time alone (a good value grown stale).
    virtual void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) = 0;
    virtual void StationChanged(std::size_t line, int station, StationState state) = 0;
};

// Counters and gauges that front ends keep about themselves (clients,
// function codes, messages), shown by the HTTP front end in /api/status and
// /metrics without it knowing who wrote them.
class StatsRegistry {
public:
    using Labels = std::map<std::string, std::string>;
    struct Series {
        std::string name;  // a Prometheus name, e.g. "westnet_modbus_requests_total"
        std::string help;
        bool counter = true;  // false: a gauge
        Labels labels;
        double value = 0;
    };
    void Add(const std::string& name, const std::string& help, const Labels& labels, double delta);
    void Set(const std::string& name, const std::string& help, const Labels& labels, double value);
    // Removes every series of that name with exactly these labels (a client gone).
    void Remove(const std::string& name, const Labels& labels);
    std::vector<Series> Snapshot() const;

private:
    mutable Mutex mutex_;
    std::vector<Series> series_ GUARDED_BY(mutex_);
};

// Counts of the commands a line or a station made (every transfer of the
// driver, scans and front-end requests alike).
struct CommandCounts {
    std::uint64_t commands = 0;
    std::uint64_t good = 0;
    std::uint64_t refused = 0;       // the driver's result 1
    std::uint64_t lineFailures = 0;  // the driver's result 2
};

// Time per command over the latest commands (up to 1024), in milliseconds.
struct LatencySummary {
    std::size_t samples = 0;
    double minMs = 0;
    double medianMs = 0;
    double p99Ms = 0;
};

struct ErrorNote {
    std::string text;  // empty until the first error
    WallTime when{};
};

struct StationStatus {
    int station = 0;
    StationState state = StationState::Ok;
    CommandCounts counts;
    std::uint64_t demotions = 0;
    int failuresInRow = 0;
    ErrorNote lastError;
    LatencySummary latency;
    // Set once its replies came close to the reply time-out, or a command
    // failed by time-out and the next one succeeded: a reply later still may
    // be taken for another request's answer. 0 while all is well.
    int lateSlowestMs = 0;  // the slowest good command seen then
    int lateSuggestMs = 0;  // the timeout_ms that would serve
};

// What the status page and /metrics show of a line.
struct LineStatus {
    bool up = false;
    std::string device;  // the name the driver opened the line under
    CommandCounts counts;
    std::uint64_t demotions = 0;
    std::uint64_t reopens = 0;  // times the channel was opened again after the line went down
    // Changed values read a second time before they were served: the second
    // read agreed, or it did not (then the value was not served).
    bool confirming = false;  // whether changes are confirmed now
    std::uint64_t confirmations = 0;
    std::uint64_t disagreements = 0;
    std::size_t queued = 0;     // front-end requests waiting for the line (writes and reads)
    double commandSeconds = 0;  // how long the call to the driver under way has run; 0 between
    ErrorNote lastError;
    LatencySummary latency;
    // The wire time of the frames the commands sent and received (each
    // command's frames once: retries and time-outs are not in it) ...
    double wireSeconds = 0;
    // ... and as a share of the time, over the latest 10 s.
    double busLoad = 0;
    std::uint64_t passes = 0;             // scan passes completed
    double passSeconds = 0;               // how long the latest pass took
    double cycleSeconds = 0;              // from the start of the pass before it to its start
    std::vector<StationStatus> stations;  // by station number
};

// The core implements this; front ends and their tests (with a fake) use it.
// The core may add what its own HTTP front end needs (line and station
// statistics); what stands here is what every front end relies on.
class Service {
public:
    virtual ~Service() = default;

    // The plant as read; a reload replaces it between a front end's Pause
    // and Resume (see FrontEnd), so a reference is good until the next Pause.
    virtual const Plant& PlantConfig() const = 0;
    // The same plant, kept alive for as long as the caller holds it, past
    // reloads: what a front end derives its tables from.
    virtual std::shared_ptr<const Plant> Snapshot() const {
        return {std::shared_ptr<const Plant>{}, &PlantConfig()};  // not owned: for fakes
    }

    virtual PointSample Sample(std::size_t line, std::size_t point) const = 0;
    // The words of registers reg .. reg + count - 1 of a station from the
    // cache, only when every one of them belongs to a point whose value is
    // good (bit points cover their register's word); false otherwise.
    virtual bool CachedRegisters(std::size_t line, int station, int reg, int count,
                                 std::vector<std::uint16_t>& words) const = 0;
    // Whether every one of these registers belongs to a word or block point
    // marked writable (a writable bit point makes its bit writable, not its
    // register's word).
    virtual bool RegistersWritable(std::size_t line, int station, int reg, int count) const = 0;

    virtual StationState State(std::size_t line, int station) const = 0;
    virtual bool LineUp(std::size_t line) const = 0;

    // Queues a request for the line: writes ahead of reads from front ends,
    // both ahead of the scans; but the reads of a connection (by.session not
    // 0) take turns with the other connections' and, all together, at most
    // [gateway] modbus_readthrough_share of the line's time. Returns false,
    // and never calls `done`, when the line does not exist or its queue is
    // full, or, for a connection's read, when that connection has
    // kSessionReadsMax reads waiting already. Writes are refused
    // (through `done`) while read_only is set; a station that is demoted or a
    // line that is down answers at once with Demoted or LineDown; a station
    // the line has no point of, or registers past 65535, with BadRequest.
    virtual bool Submit(std::size_t line, LineOp op, Completion done) = 0;
    // A write by point, as HTTP and MQTT name them: a word point takes one
    // value, a bit point 0 or 1, a block exactly its count. NotWritable
    // unless the point is marked writable.
    virtual bool WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                            const Requester& by, Completion done) = 0;

    // A connection (Requester::session) has gone: its reads still waiting
    // for a line are answered ShuttingDown at once, on a thread of the
    // service, and never reach the line. Its writes still go out: they were
    // asked for, and the line makes them first.
    virtual void Forget(std::uint64_t session) { (void)session; }

    virtual void AddListener(Listener* listener) = 0;
    virtual void RemoveListener(Listener* listener) = 0;

    virtual StatsRegistry& FrontEndStats() = 0;

    // The line's statistics and its stations' (the HTTP front end shows them).
    virtual LineStatus Status(std::size_t line) const {
        (void)line;
        return {};
    }

    // A write a front end refused before it reached the service (the
    // client's role or address may not write): recorded as any other
    // attempt, with `result` naming why. By point when `point` is set (HTTP),
    // else by register (`op`'s station, reg, bit and values).
    virtual void AuditRefused(std::size_t line, const std::size_t* point, const LineOp& op,
                              const std::string& result) {
        (void)line;
        (void)point;
        (void)op;
        (void)result;
    }

    // The latest audit records of write attempts, oldest first, each one
    // JSON object (for admins: /api/audit).
    virtual std::vector<std::string> RecentAudit(std::size_t most) const {
        (void)most;
        return {};
    }

    // The history's reader while [gateway] history is on and its recorder
    // runs (it publishes itself here); null otherwise. Kept alive by the
    // caller for as long as it holds it.
    virtual std::shared_ptr<HistoryReader> History() const { return nullptr; }
    virtual void PublishHistory(const std::shared_ptr<HistoryReader>& reader) { (void)reader; }
};

// A front end as main starts and stops it. Each one is built from the plant's
// [gateway] settings and the service, and runs on threads of its own.
class FrontEnd {
public:
    virtual ~FrontEnd() = default;
    virtual std::string Name() const = 0;  // "http", "modbus", "mqtt"
    // Starts serving; false, with a reason a user can act on, when it cannot
    // (an address that does not parse, a port in use, a file it cannot read).
    virtual bool Start(std::string& error) = 0;
    // Stops serving and joins its threads; once it returns the front end
    // calls nothing of the service any more.
    virtual void Stop() = 0;

    // A reload (SIGHUP). Keeps: whether it can go on under the new [gateway]
    // settings (its own are unchanged) and keep its clients connected; if
    // not, it is stopped and started again. Pause: the plant is about to
    // change; until Resume it calls nothing of the service (its clients'
    // requests wait, their connections stay). Resume: the new plant is in
    // place; it rebuilds what it derived from the plant and serves again, or
    // returns false, with the reason logged, and is stopped.
    virtual bool Keeps(const GatewayConfig& next) const {
        (void)next;
        return false;
    }
    virtual void Pause() {}
    virtual bool Resume() { return true; }
};

}  // namespace westnet::gateway
