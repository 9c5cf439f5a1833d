// The gateway soak: westnet-gateway with every front end on, against
// westnet-sim injecting every kind of fault, under several Modbus TCP
// clients, an MQTT subscriber and publisher and an HTTP client at once, for a
// bounded time, with the line pulled and restored twice.
//
// The soak keeps a model of the stations' registers: the image it made, plus
// the writes it sent. Every writable register has one writer, so the model
// knows each register's history: while a write is in flight the old and the
// new value are both admissible, after its acknowledgement only the new one,
// after a failure either (a failed write may or may not have landed). Checked:
// - every value served as good (a Modbus normal reply, an MQTT message or an
//   HTTP point of good quality) is one the model admits for the time it was
//   read: for Modbus, between the request and its reply; for MQTT and HTTP,
//   the read that the value's time stamps, which may have started up to one
//   command's worst case before it; or one that a reply behind noise carried
//   through the checksum (the simulator's trace shows each such reply: the
//   line's byte sums cannot tell it from a good one, so it is reported and
//   not counted wrong);
// - while the line is pulled nothing is served as good that was read after
//   the pull, nor once the cache has aged;
// - the simulator's dump, at each pull and at the end, holds exactly what the
//   model admits: every acknowledged write, nothing that no one wrote;
// - every MQTT write gets its result;
// - the gateway's resident memory stays flat, it runs to the end and exits 0
//   on SIGTERM.
//
//   gateway_soak --gateway PATH --sim PATH [--seconds N] [--seed N]
//                [--pulls N] [--rss-growth-kb N] [--keep]
//
// --rss-growth-kb: how far the resident set may grow from the first quarter
// of the run to the last (at least a fifth of it; 8192 by default; -1 does
// not check it, for the sanitizers).

#include <fcntl.h>
#include <modbus/modbus.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <westnet/wire.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "http_client.h"
#include "process.h"

namespace {

namespace wire = westnet::wire;

using json = nlohmann::json;
namespace ts = westnet::test_support;
using Values = std::set<std::uint16_t>;

// ---------------------------------------------------------------------------
// Time: the wall clock in microseconds, since the gateway stamps its values
// with it (in milliseconds).

std::int64_t NowUs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// "2026-12-09T07:00:00.123Z" in microseconds; -1 if it is not such a time.
std::int64_t ParseIsoUs(const std::string& text) {
    std::tm parts{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon,
                    &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms) != 7) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<std::int64_t>(timegm(&parts)) * 1000000 + ms * 1000LL;
}

// ---------------------------------------------------------------------------
// The plant made for the soak: stations 1, 2 and 3, registers 0 to 33
// (host 40001 to 40034) of each, and who writes what.

const int kStations[] = {1, 2, 3};
constexpr int kRegisters = 34;

// Register r of the soak is host address 40001 + r, wire register (and
// Modbus holding register) 40000 + r.
constexpr int kHostFirst = 40001;
constexpr int kWireFirst = 40000;
constexpr int kTimeoutMs = 200;  // the line's reply time-out
constexpr int kLateMs = 50;      // the simulator's late replies: well inside it
// The line's rate (8O2): the simulator paces its replies at it, byte by byte
// as on a wire, and fast enough for the scans and the clients to share it.
constexpr int kBaud = 38400;
// A pass over the three stations is six commands (a selection and one
// block each), about 30 ms each on a line with these faults: scans take a
// third of the line at most, the rest is the clients'.
constexpr int kScanFastMs = 500;
constexpr int kScanSlowMs = 1000;
constexpr int kScanBlockMs = 2000;
// The longest a read command can take: the driver's six attempts at the
// selection and six at the transaction, each waiting out the reply time-out
// and a purge, and a second for a busy machine. A value stamped T was read
// from the station at some time in [T - this, T].
constexpr std::int64_t kCommandWorstUs = (12LL * (kTimeoutMs + 50) + 1000) * 1000;

int Key(int station, int reg) {
    return station * 65536 + reg;
}

std::uint16_t Initial(int station, int reg) {
    const std::uint32_t v = static_cast<std::uint32_t>(station) * 40503U +
                            static_cast<std::uint32_t>(reg) * 2654435761U;
    const auto word = static_cast<std::uint16_t>((v >> 8) & 0xFFFF);
    return word == 0 ? 1 : word;
}

struct PointDef {
    std::string name;  // without the station prefix
    int reg = 0;
    int bit = -1;  // zero-based, -1 for words
    int count = 1;
    bool writable = false;
    int coil = -1;
    int scanMs = kScanFastMs;
};

const std::vector<PointDef>& Points() {
    static const std::vector<PointDef> points = [] {
        std::vector<PointDef> p;
        p.reserve(18);
        for (int r = 0; r < 10; ++r) {
            // 0-3 Modbus FC 6, 4-5 MQTT, 6-7 HTTP, 8-9 nobody
            p.push_back(
                {"w" + std::to_string(r), r, -1, 1, r < 8, -1, r < 6 ? kScanFastMs : kScanSlowMs});
        }
        p.push_back({"blk10", 10, -1, 8, true, -1, kScanFastMs});  // Modbus FC 16
        for (int b = 0; b < 5; ++b) {
            // coils 0-3 Modbus FC 5 and 15; coil 4 nobody
            p.push_back({"c" + std::to_string(b), 20, b, 1, b < 4, b, kScanFastMs});
        }
        p.push_back({"h0", 21, 0, 1, true, 8, kScanSlowMs});       // HTTP
        p.push_back({"blk24", 24, -1, 4, true, -1, kScanSlowMs});  // MQTT
        p.push_back({"blk30", 30, -1, 4, false, -1, kScanBlockMs});
        return p;
    }();
    return points;
}

std::string PointName(int station, const PointDef& p) {
    return "s" + std::to_string(station) + "/" + p.name;
}

// ---------------------------------------------------------------------------
// The model of the registers. Each register's history is a list of (time,
// admissible values) from that time on.

class Model {
public:
    struct Step {
        int key = 0;
        int bit = -1;  // -1: the word becomes value; else that bit becomes value & 1
        std::uint16_t value = 0;
    };

    void Init(int key, std::uint16_t value) {
        std::lock_guard<std::mutex> lock(mutex_);
        history_[key] = {{0, {value}}};
    }

    // A write is about to go out; returns its ticket for End().
    std::size_t Begin(std::vector<Step> steps) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::int64_t now = NowUs();
        for (const auto& [key, values] : Reached(steps)) {
            Push(key, now, values);
        }
        pending_.push_back(std::move(steps));
        return pending_.size() - 1;
    }

    // Its answer: acknowledged, or failed (it may or may not have landed, any
    // prefix of its steps).
    void End(std::size_t ticket, bool acknowledged) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::vector<Step>& steps = pending_[ticket];
        const std::int64_t now = NowUs();
        if (!acknowledged) {
            ++failedWrites_;
            return;  // what Begin admitted stays admitted
        }
        ++ackedWrites_;
        std::map<int, Values> after;
        for (const Step& s : steps) {
            if (after.count(s.key) == 0) {
                after[s.key] = Current(s.key);
            }
            after[s.key] = Apply(after[s.key], s);
        }
        for (const auto& [key, values] : after) {
            Push(key, now, values);
        }
    }

    // What the register may have held at some time in [from, to].
    Values Admitted(int key, std::int64_t from, std::int64_t to) const {
        std::lock_guard<std::mutex> lock(mutex_);
        Values out;
        const auto found = history_.find(key);
        if (found == history_.end()) {
            return out;
        }
        const auto& h = found->second;
        auto it = std::upper_bound(h.begin(), h.end(), from,
                                   [](std::int64_t t, const auto& e) { return t < e.first; });
        if (it != h.begin()) {
            --it;
        }
        for (; it != h.end() && it->first <= to; ++it) {
            out.insert(it->second.begin(), it->second.end());
        }
        return out;
    }

    Values Now(int key) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return Current(key);
    }

    bool Written(int key) const {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto found = history_.find(key);
        return found != history_.end() && found->second.size() > 1;
    }

    long Acked() const { return ackedWrites_; }
    long Failed() const { return failedWrites_; }

private:
    static Values Apply(const Values& in, const Step& s) {
        Values out;
        for (const std::uint16_t v : in) {
            if (s.bit < 0) {
                out.insert(s.value);
            } else {
                const auto mask = static_cast<std::uint16_t>(1U << s.bit);
                out.insert(static_cast<std::uint16_t>((s.value & 1) != 0 ? v | mask : v & ~mask));
            }
        }
        return out;
    }

    // With the lock held. Every register's values after any prefix of the
    // steps: what it may hold while they are in flight, or after they failed.
    std::map<int, Values> Reached(const std::vector<Step>& steps) const {
        std::map<int, Values> now;
        std::map<int, Values> reached;
        for (const Step& s : steps) {
            if (now.count(s.key) == 0) {
                now[s.key] = Current(s.key);
                reached[s.key] = now[s.key];
            }
            now[s.key] = Apply(now[s.key], s);
            reached[s.key].insert(now[s.key].begin(), now[s.key].end());
        }
        return reached;
    }

    Values Current(int key) const {
        const auto found = history_.find(key);
        return found == history_.end() ? Values{} : found->second.back().second;
    }

    void Push(int key, std::int64_t when, Values values) {
        history_[key].emplace_back(when, std::move(values));
    }

    mutable std::mutex mutex_;
    std::map<int, std::vector<std::pair<std::int64_t, Values>>> history_;
    std::vector<std::vector<Step>> pending_;
    std::atomic<long> ackedWrites_{0};
    std::atomic<long> failedWrites_{0};
};

Model g_model;

// ---------------------------------------------------------------------------
// Counts, by front end.

struct FrontCounts {
    std::atomic<long> requests{0};
    std::atomic<long> failed{0};   // exceptions, error results
    std::atomic<long> notGood{0};  // values shown stale or bad
    std::atomic<long> valuesChecked{0};
    std::atomic<long> wrong{0};
    std::atomic<long> goodWhileDown{0};
    std::atomic<long> writes{0};
    std::atomic<long> writesAcked{0};
    std::atomic<long> transportErrors{0};
};
FrontCounts g_modbus;
FrontCounts g_mqtt;
FrontCounts g_http;
std::atomic<long> g_mqttResultsMissing{0};
std::atomic<long> g_mqttMessages{0};
std::mutex g_printMutex;
std::atomic<int> g_wrongShown{0};

// The line's pulls: while [pulledAt + grace, restoredAt) nothing read can be good.
std::mutex g_pullMutex;
std::int64_t g_pulledAt = -1;
std::int64_t g_restoredAt = -1;

bool InDownWindow(std::int64_t from, std::int64_t to, std::int64_t grace) {
    std::lock_guard<std::mutex> lock(g_pullMutex);
    return g_pulledAt >= 0 && from >= g_pulledAt + grace && (g_restoredAt < 0 || to < g_restoredAt);
}
// A value whose read ended at `read` while the line was pulled (a reply on
// its way at the pull may still be stamped a little after it).
bool ReadWhileDown(std::int64_t read) {
    std::lock_guard<std::mutex> lock(g_pullMutex);
    return g_pulledAt >= 0 && read > g_pulledAt + 200000 &&
           (g_restoredAt < 0 || read < g_restoredAt);
}

// How long after a pull a value read before it may still be good: twice the
// slowest scan_ms, and a margin for a busy machine.
constexpr std::int64_t kCacheHoldUs = 2LL * kScanBlockMs * 1000 + 200000;

void Wrong(FrontCounts& counts, const std::string& what) {
    ++counts.wrong;
    if (g_wrongShown++ < 20) {
        std::lock_guard<std::mutex> lock(g_printMutex);
        std::fprintf(stderr, "gateway_soak: WRONG: %s\n", what.c_str());
    }
}

// A member's text, "" when it is missing or no string.
std::string Text(const json& j, const char* key) {
    if (!j.is_object()) {
        return "";
    }
    const auto found = j.find(key);
    return found != j.end() && found->is_string() ? found->get<std::string>() : "";
}

std::string Show(const Values& values) {
    std::string s = "{";
    for (const std::uint16_t v : values) {
        s += (s.size() > 1 ? " " : "") + std::to_string(v);
    }
    return s + "}";
}

// A value served as good that the model does not admit. The highway's checks
// are byte sums: a reply behind noise bytes is read shifted and still passes
// its header checksum one time in 256 (a block's data check as well: one in
// 65536), and neither the driver nor the gateway can tell it from a good one.
// So such a value is held until the end, when the simulator's trace shows
// whether one of those replies carried it; if none did, it is wrong.
struct Served {
    int station = 0;
    int reg = 0;
    int bit = -1;
    std::uint16_t got = 0;
    std::int64_t from = 0;
    std::int64_t to = 0;
};
struct Held {
    FrontCounts* counts;
    Served served;
    std::string what;
};
std::mutex g_heldMutex;
std::vector<Held> g_held;

void Suspect(FrontCounts& counts, const Served& served, const std::string& what) {
    std::lock_guard<std::mutex> lock(g_heldMutex);
    if (g_held.size() >= 1000) {  // far more than noise can explain
        Wrong(counts, what);
        return;
    }
    g_held.push_back({&counts, served, what});
}

// Checks one word against the model; bit >= 0 checks that bit only.
void CheckWord(FrontCounts& counts, const char* via, int station, int reg, int bit,
               std::uint16_t got, std::int64_t from, std::int64_t to) {
    ++counts.valuesChecked;
    const Values admitted = g_model.Admitted(Key(station, reg), from, to);
    bool ok = false;
    for (const std::uint16_t v : admitted) {
        ok = ok || (bit < 0 ? v == got : ((v >> bit) & 1) == (got & 1));
    }
    if (!ok) {
        Suspect(counts, {station, reg, bit, got, from, to},
                std::string(via) + ": station " + std::to_string(station) + " register " +
                    std::to_string(reg) + (bit >= 0 ? " bit " + std::to_string(bit) : "") +
                    " served " + std::to_string(got) + ", the model admits " + Show(admitted) +
                    " over " + std::to_string((to - from) / 1000) + " ms");
    }
}

// ---------------------------------------------------------------------------
// Processes.

std::atomic<bool> g_stop{false};
std::atomic<pid_t> g_simPid{0};
std::atomic<pid_t> g_gatewayPid{0};
std::atomic<pid_t> g_brokerPid{0};
std::string g_dir;
bool g_keep = false;

void KillAll() {
    for (auto* pid : {&g_gatewayPid, &g_simPid, &g_brokerPid}) {
        if (pid->load() > 0) {
            kill(pid->load(), SIGKILL);
            waitpid(pid->load(), nullptr, 0);
            pid->store(0);
        }
    }
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "gateway_soak: FAILED: %s\n", what.c_str());
    KillAll();
    std::exit(2);
}

pid_t Spawn(std::vector<std::string> args, int out, const std::string& errPath) {
    const pid_t pid = fork();
    if (pid < 0) {
        Die("fork");
    }
    if (pid == 0) {
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (err >= 0) {
            dup2(err, 2);
        }
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out >= 0 ? out : null, 1);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

// Polls `ready` every 50 ms until it holds, at most `seconds`.
bool WaitUntil(int seconds, const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (ready()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

int FreePort() {
    const int port = ts::FreeLoopbackPort();
    if (port == 0) {
        Die("no free port");
    }
    return port;
}

bool Accepts(int port) {
    return ts::Accepts(port);
}

// Waits for the process to end, at most `seconds`; its wait status, or -1.
int WaitExit(pid_t pid, int seconds) {
    return ts::WaitExit(pid, seconds * 1000);
}

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream f(path);
    f << text;
    if (!f) {
        Die("cannot write " + path);
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The simulator: every fault kind, 20% of the answers in all.
struct Sim {
    std::string sim;
    std::string link;
    std::string dump;
    std::string errPath;
    std::uint64_t seed = 1;
    int runs = 0;
    std::vector<std::int64_t> startedUs;  // each run's start: its trace's time 0, near enough
    std::unique_ptr<ts::SimProcess> process;

    void Start(const std::string& image) {
        std::vector<std::string> args = {
            sim,         "--image",
            image,       "--link",
            link,        "--dump",
            dump,        "--stats",
            "--late-ms", std::to_string(kLateMs),
            "--baud",    std::to_string(kBaud),
            "--seed",    std::to_string(seed + static_cast<std::uint64_t>(runs)),
            "--trace"};
        for (const char* kind : {"bad-checksum", "bad-data", "silence", "short", "noise", "late"}) {
            args.emplace_back("--fault");
            args.push_back(std::string(kind) + "=" + std::to_string(0.2 / 6));
        }
        ++runs;
        process = std::make_unique<ts::SimProcess>(std::move(args), errPath);
        if (!process->ready()) {
            Die("the simulator did not start: " + ReadFile(errPath));
        }
        g_simPid = process->pid();
        startedUs.push_back(NowUs());
    }

    // SIGTERM: it writes its dump and its statistics.
    void Stop() {
        g_simPid = 0;
        const int status = process->Stop(SIGTERM, 30000);
        process.reset();
        if (status < 0 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Die("the simulator did not stop cleanly");
        }
    }
};

// The dump: "SSRRRRR = v, v, ..." (one-based registers), non-zero ones only.
std::map<int, std::uint16_t> ParseDump(const std::string& path) {
    std::map<int, std::uint16_t> regs;
    std::istringstream in(ReadFile(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string::npos || eq < 7) {
            continue;
        }
        const int station = std::stoi(line.substr(0, 2));
        int reg = std::stoi(line.substr(2, 5)) - kHostFirst;
        std::istringstream values(line.substr(eq + 1));
        std::string v;
        while (std::getline(values, v, ',')) {
            regs[Key(station, reg)] = static_cast<std::uint16_t>(std::stoul(v, nullptr, 0));
            reg = (reg + 1) & 0xFFFF;
        }
    }
    return regs;
}

// The dump against the model over [from, now]; the mismatches.
long CheckDump(const std::string& path, std::int64_t from, const char* when) {
    const auto dump = ParseDump(path);
    long bad = 0;
    const std::int64_t now = NowUs();
    for (const int s : kStations) {
        for (int r = 0; r < kRegisters + 8; ++r) {
            const auto found = dump.find(Key(s, r));
            const std::uint16_t got = found == dump.end() ? 0 : found->second;
            Values admitted = g_model.Admitted(Key(s, r), from, now);
            if (admitted.empty()) {
                admitted.insert(0);  // no point, not in the image
            }
            if (admitted.count(got) == 0) {
                ++bad;
                std::fprintf(stderr,
                             "gateway_soak: WRONG: %s: the dump has station %d register %d = %u, "
                             "the model admits %s\n",
                             when, s, r, got, Show(admitted).c_str());
            }
        }
    }
    return bad;
}

// ---------------------------------------------------------------------------
// Write values: different for every write of a register, and from what the
// image holds in the others.

std::uint16_t NextValue(int key, std::uint32_t& counter) {
    const std::uint32_t v = static_cast<std::uint32_t>(key) * 2246822519U + (++counter) * 40503U;
    return static_cast<std::uint16_t>((v >> 5) & 0xFFFF);
}

bool Running() {
    return !g_stop.load();
}

void Pace(std::mt19937& rng, int minMs, int maxMs) {
    std::uniform_int_distribution<int> ms(minMs, maxMs);
    std::this_thread::sleep_for(std::chrono::milliseconds(ms(rng)));
}

// ---------------------------------------------------------------------------
// Modbus TCP clients.

class ModbusClient {
public:
    ModbusClient(int port, int index, std::uint64_t seed)
        : port_(port), index_(index), rng_(seed) {}

    void Run() {
        while (Running()) {
            if (ctx_ == nullptr && !Connect()) {
                Pace(rng_, 50, 100);
                continue;
            }
            std::uniform_int_distribution<int> pick(0, 9);
            const int what = pick(rng_);
            if (index_ == 0 && what < 5) {
                WriteWords();
            } else if (index_ == 1 && what < 5) {
                WriteCoils();
            } else if (what % 2 == 0) {
                ReadRegisters();
            } else {
                ReadCoils();
            }
            // A refusal comes at once while the line is down: no need to
            // spin on it.
            Pace(rng_, backoff_ ? 100 : 5, backoff_ ? 200 : 30);
            backoff_ = false;
        }
        Disconnect();
    }

private:
    bool Connect() {
        ctx_ = modbus_new_tcp("127.0.0.1", port_);
        if (ctx_ == nullptr || modbus_connect(ctx_) != 0) {
            Disconnect();
            return false;
        }
        // Longer than any write's worst case behind a queue of others.
        modbus_set_response_timeout(ctx_, 30, 0);
        return true;
    }
    void Disconnect() {
        if (ctx_ != nullptr) {
            modbus_close(ctx_);
            modbus_free(ctx_);
            ctx_ = nullptr;
        }
    }
    int Station() {
        std::uniform_int_distribution<int> s(0, 2);
        return kStations[s(rng_)];
    }
    // A failed call: an exception is an answer; anything else loses the connection.
    void Failed() {
        backoff_ = true;
        if (errno > MODBUS_ENOBASE && errno <= MODBUS_ENOBASE + MODBUS_EXCEPTION_GATEWAY_TARGET) {
            ++g_modbus.failed;
            ++exceptions_[errno - MODBUS_ENOBASE];
            return;
        }
        ++g_modbus.transportErrors;
        Disconnect();
    }

    // One read of `n` values from `station` by `call` (libmodbus's count, or
    // -1); each value it got is checked by `check(i, from, to)`.
    template <typename Call, typename Check>
    void Read(int station, int n, Call call, Check check) {
        modbus_set_slave(ctx_, station);
        ++g_modbus.requests;
        const std::int64_t from = NowUs();
        const int rc = call();
        const std::int64_t to = NowUs();
        if (rc != n) {
            if (rc < 0) {
                Failed();
            }
            return;
        }
        if (InDownWindow(from, to, kCacheHoldUs)) {
            ++g_modbus.goodWhileDown;
        }
        for (int i = 0; i < n; ++i) {
            check(i, from, to);
        }
    }

    // One write of `steps` to `station` by `call`, acknowledged when it
    // counts every value written; the model learns either way.
    template <typename Call>
    void Write(int station, const std::vector<Model::Step>& steps, Call call) {
        modbus_set_slave(ctx_, station);
        ++g_modbus.requests;
        ++g_modbus.writes;
        const std::size_t ticket = g_model.Begin(steps);
        const int rc = call();
        const bool acked = rc == static_cast<int>(steps.size());
        g_model.End(ticket, acked);
        if (acked) {
            ++g_modbus.writesAcked;
        } else if (rc < 0) {
            Failed();
        }
    }

    void ReadRegisters() {
        // Mostly registers of points (0-17 are all points' words), which the
        // cache can answer; now and then anywhere, gaps included, which goes
        // to the line.
        const bool anywhere = std::uniform_int_distribution<int>(0, 3)(rng_) == 0;
        const int top = anywhere ? kRegisters : 18;
        const int station = Station();
        const int reg = std::uniform_int_distribution<int>(0, top - 1)(rng_);
        std::uniform_int_distribution<int> count(1, std::min(top - reg, 20));
        const int n = count(rng_);
        std::uint16_t words[64] = {};
        const bool input = std::uniform_int_distribution<int>(0, 1)(rng_) == 1;
        Read(
            station, n,
            [&] {
                return input ? modbus_read_input_registers(ctx_, kWireFirst + reg, n, words)
                             : modbus_read_registers(ctx_, kWireFirst + reg, n, words);
            },
            [&](int i, std::int64_t from, std::int64_t to) {
                CheckWord(g_modbus, input ? "modbus FC 4" : "modbus FC 3", station, reg + i, -1,
                          words[i], from, to);
            });
    }

    void ReadCoils() {
        const int station = Station();
        std::uniform_int_distribution<int> start(0, 4);
        const int first = start(rng_);
        std::uniform_int_distribution<int> count(1, 5 - first);
        const int n = count(rng_);
        std::uint8_t bits[8] = {};
        const bool discrete = std::uniform_int_distribution<int>(0, 1)(rng_) == 1;
        Read(
            station, n,
            [&] {
                return discrete ? modbus_read_input_bits(ctx_, first, n, bits)
                                : modbus_read_bits(ctx_, first, n, bits);
            },
            [&](int i, std::int64_t from, std::int64_t to) {
                CheckWord(g_modbus, discrete ? "modbus FC 2" : "modbus FC 1", station, 20,
                          first + i, bits[i], from, to);
            });
    }

    // FC 6 on registers 0-3, FC 16 on a stretch of 10-17.
    void WriteWords() {
        const int station = Station();
        std::vector<Model::Step> steps;
        std::uint16_t words[8] = {};
        int reg = 0;
        int n = 1;
        const bool single = std::uniform_int_distribution<int>(0, 1)(rng_) == 0;
        if (single) {
            reg = std::uniform_int_distribution<int>(0, 3)(rng_);
        } else {
            reg = std::uniform_int_distribution<int>(10, 17)(rng_);
            n = std::uniform_int_distribution<int>(1, 18 - reg)(rng_);
        }
        for (int i = 0; i < n; ++i) {
            words[i] = NextValue(Key(station, reg + i), counter_);
            steps.push_back({Key(station, reg + i), -1, words[i]});
        }
        Write(station, steps, [&] {
            return single ? modbus_write_register(ctx_, kWireFirst + reg, words[0])
                          : modbus_write_registers(ctx_, kWireFirst + reg, n, words);
        });
    }

    // FC 5 on one of coils 0-3, FC 15 on a stretch of them (all bits of
    // register 20, written one after another).
    void WriteCoils() {
        const int station = Station();
        const int first = std::uniform_int_distribution<int>(0, 3)(rng_);
        const bool single = std::uniform_int_distribution<int>(0, 1)(rng_) == 0;
        const int n = single ? 1 : std::uniform_int_distribution<int>(1, 4 - first)(rng_);
        std::uint8_t bits[4] = {};
        std::vector<Model::Step> steps;
        for (int i = 0; i < n; ++i) {
            bits[i] = static_cast<std::uint8_t>(std::uniform_int_distribution<int>(0, 1)(rng_));
            steps.push_back({Key(station, 20), first + i, bits[i]});
        }
        Write(station, steps, [&] {
            return single ? modbus_write_bit(ctx_, first, bits[0])
                          : modbus_write_bits(ctx_, first, n, bits);
        });
    }

    int port_;
    int index_;
    std::mt19937 rng_;
    modbus_t* ctx_ = nullptr;
    std::uint32_t counter_ = 0;
    bool backoff_ = false;

public:
    std::map<int, long> exceptions_;  // by exception code
};

// ---------------------------------------------------------------------------
// A point's value as the HTTP API or MQTT shows it, checked against the model.

const PointDef* FindPoint(const std::string& name, int& station) {
    if (name.size() < 4 || name[0] != 's' || name[2] != '/') {
        return nullptr;
    }
    station = name[1] - '0';
    for (const PointDef& p : Points()) {
        if (p.name == name.substr(3)) {
            return &p;
        }
    }
    return nullptr;
}

// {"value"|"values": ..., "quality": ..., "time": ...}; `seen` when it
// arrived (MQTT) or when the request went out (HTTP); `hold` how long after a
// pull a good value seen then is still admissible.
void CheckPointJson(FrontCounts& counts, const char* via, const std::string& name, const json& j,
                    std::int64_t seen, std::int64_t hold) {
    int station = 0;
    const PointDef* p = FindPoint(name, station);
    if (p == nullptr) {
        Wrong(counts, std::string(via) + ": a point the plant does not have: " + name);
        return;
    }
    if (Text(j, "quality") != "good") {
        ++counts.notGood;
        return;
    }
    const std::string time = Text(j, "time");
    const std::int64_t read = time.empty() ? -1 : ParseIsoUs(time);
    if (read < 0) {
        Wrong(counts, std::string(via) + ": " + name + " is good without a time");
        return;
    }
    if (ReadWhileDown(read) || InDownWindow(seen, seen, hold)) {
        ++counts.goodWhileDown;
    }
    std::vector<std::uint16_t> words;
    if (j.contains("values") && j["values"].is_array()) {
        for (const auto& v : j["values"]) {
            words.push_back(v.get<std::uint16_t>());
        }
    } else if (j.contains("value") && j["value"].is_number_unsigned()) {
        words.push_back(j["value"].get<std::uint16_t>());
    }
    if (words.size() != static_cast<std::size_t>(p->count)) {
        Wrong(counts, std::string(via) + ": " + name + " has " + std::to_string(words.size()) +
                          " values, not " + std::to_string(p->count));
        return;
    }
    // Time stamps are whole milliseconds.
    for (std::size_t i = 0; i < words.size(); ++i) {
        CheckWord(counts, via, station, p->reg + static_cast<int>(i), p->bit, words[i],
                  read - kCommandWorstUs, read + 1000);
    }
}

// ---------------------------------------------------------------------------
// MQTT: a subscriber to every value and a publisher of writes through /set,
// each a libmosquitto client of its own.

class Mqtt {
public:
    explicit Mqtt(int port, std::uint64_t seed) : port_(port), rng_(seed) {}
    ~Mqtt() { Stop(); }
    void Stop() {
        for (mosquitto** m : {&sub_, &pub_}) {
            if (*m != nullptr) {
                mosquitto_disconnect(*m);
                mosquitto_loop_stop(*m, true);
                mosquitto_destroy(*m);
                *m = nullptr;
            }
        }
    }
    Mqtt(const Mqtt&) = delete;
    Mqtt& operator=(const Mqtt&) = delete;

    bool Start() {
        sub_ = Client("soak-sub", &Mqtt::OnValue);
        pub_ = Client("soak-pub", &Mqtt::OnResult);
        if (sub_ == nullptr || pub_ == nullptr) {
            return false;
        }
        mosquitto_subscribe(sub_, nullptr, "soak/soak/#", 1);
        mosquitto_subscribe(pub_, nullptr, "soak/soak/+/+/result", 1);
        std::unique_lock<std::mutex> lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return subscribed_ == 2; });
    }

    // The publisher: writes to w4, w5 and blk24 of each station in turn,
    // each waiting for its result.
    void RunPublisher() {
        std::uint32_t counter = 0;
        while (Running()) {
            const int station = kStations[std::uniform_int_distribution<int>(0, 2)(rng_)];
            const int which = std::uniform_int_distribution<int>(0, 2)(rng_);
            std::vector<Model::Step> steps;
            std::string name;
            std::string payload;
            if (which < 2) {
                const int reg = 4 + which;
                const std::uint16_t v = NextValue(Key(station, reg), counter);
                steps.push_back({Key(station, reg), -1, v});
                name = "s" + std::to_string(station) + "/w" + std::to_string(reg);
                payload = std::to_string(v);
            } else {
                name = "s" + std::to_string(station) + "/blk24";
                payload = "[";
                for (int i = 0; i < 4; ++i) {
                    const std::uint16_t v = NextValue(Key(station, 24 + i), counter);
                    steps.push_back({Key(station, 24 + i), -1, v});
                    payload += (i > 0 ? ", " : "") + std::to_string(v);
                }
                payload += "]";
            }
            const std::string topic = "soak/soak/" + name + "/set";
            ++g_mqtt.requests;
            ++g_mqtt.writes;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                awaited_ = name;
                result_.clear();
            }
            const std::size_t ticket = g_model.Begin(steps);
            mosquitto_publish(pub_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                              payload.data(), 1, false);
            std::string result;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                // A write waits at most its line's queue and its own retries.
                cv_.wait_for(lock, std::chrono::seconds(30), [&] { return !result_.empty(); });
                result = result_;
                awaited_.clear();
            }
            g_model.End(ticket, result == "ok");
            if (result == "ok") {
                ++g_mqtt.writesAcked;
            } else if (result.empty()) {
                ++g_mqttResultsMissing;
            } else {
                ++g_mqtt.failed;
                ++results_[result];
            }
            Pace(rng_, result == "ok" ? 20 : 100, result == "ok" ? 60 : 200);
        }
    }

    std::map<std::string, long> results_;

private:
    using Handler = void (Mqtt::*)(const mosquitto_message*);

    mosquitto* Client(const std::string& id, Handler handler) {
        mosquitto* m = mosquitto_new((id + "-" + std::to_string(getpid())).c_str(), true, this);
        if (m == nullptr) {
            return nullptr;
        }
        handlers_[m] = handler;
        mosquitto_subscribe_callback_set(m, [](mosquitto*, void* self, int, int, const int*) {
            auto* mqtt = static_cast<Mqtt*>(self);
            std::lock_guard<std::mutex> lock(mqtt->mutex_);
            ++mqtt->subscribed_;
            mqtt->cv_.notify_all();
        });
        mosquitto_message_callback_set(
            m, [](mosquitto* client, void* self, const mosquitto_message* message) {
                auto* mqtt = static_cast<Mqtt*>(self);
                (mqtt->*(mqtt->handlers_[client]))(message);
            });
        if (mosquitto_connect(m, "127.0.0.1", port_, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_loop_start(m) != MOSQ_ERR_SUCCESS) {
            mosquitto_destroy(m);
            return nullptr;
        }
        return m;
    }

    // soak/soak/sN/NAME: a value. Results and sets are the publisher's.
    void OnValue(const mosquitto_message* message) {
        const std::int64_t seen = NowUs();
        const std::string topic = message->topic;
        const std::string prefix = "soak/soak/";
        if (topic.rfind(prefix, 0) != 0 || topic.find("/station/") != std::string::npos) {
            return;
        }
        std::string name = topic.substr(prefix.size());
        const auto slash = name.rfind('/');
        const std::string last = slash == std::string::npos ? "" : name.substr(slash + 1);
        if (last == "set" || last == "result") {
            return;
        }
        ++g_mqttMessages;
        const std::string payload(static_cast<const char*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen));
        const json j = json::parse(payload, nullptr, false);
        if (j.is_discarded()) {
            Wrong(g_mqtt, "mqtt: " + topic + " is not JSON: " + payload);
            return;
        }
        // The gateway looks at the points' ages once a second.
        CheckPointJson(g_mqtt, "mqtt", name, j, seen, kCacheHoldUs + 1500000);
    }

    void OnResult(const mosquitto_message* message) {
        const std::string topic = message->topic;
        const std::string payload(static_cast<const char*>(message->payload),
                                  static_cast<std::size_t>(message->payloadlen));
        const json j = json::parse(payload, nullptr, false);
        std::lock_guard<std::mutex> lock(mutex_);
        if (!awaited_.empty() && topic == "soak/soak/" + awaited_ + "/result" &&
            !j.is_discarded()) {
            result_ = Text(j, "result");
            cv_.notify_all();
        }
    }

    int port_;
    std::mt19937 rng_;
    mosquitto* sub_ = nullptr;
    mosquitto* pub_ = nullptr;
    std::map<mosquitto*, Handler> handlers_;
    std::mutex mutex_;
    std::condition_variable cv_;
    int subscribed_ = 0;
    std::string awaited_;
    std::string result_;
};

// ---------------------------------------------------------------------------
// HTTP: GET /api/points, checking every good point, and PUT writes to w6,
// w7 and the bit point h0.

class Http {
public:
    Http(int port, std::uint64_t seed, const std::string& token) : client_(port), rng_(seed) {
        client_.SetTimeout(std::chrono::seconds(30));
        client_.SetDefaultHeaders({{"Authorization", "Bearer " + token}});
    }

    void Run() {
        std::uint32_t counter = 0;
        while (Running()) {
            const bool ok =
                std::uniform_int_distribution<int>(0, 2)(rng_) == 0 ? GetPoints() : Put(counter);
            Pace(rng_, ok ? 30 : 100, ok ? 80 : 200);
        }
    }

    // Every point; false if the request failed.
    bool GetPoints() {
        ++g_http.requests;
        const std::int64_t from = NowUs();
        const auto res = client_.Get("/api/points");
        if (!res || res->status != 200) {
            ++g_http.transportErrors;
            return false;
        }
        const json j = json::parse(res->body, nullptr, false);
        if (j.is_discarded() || !j.contains("points")) {
            Wrong(g_http, "http: /api/points is not the JSON expected");
            return false;
        }
        for (const auto& p : j["points"]) {
            CheckPointJson(g_http, "http", Text(p, "name"), p, from, kCacheHoldUs);
        }
        return true;
    }

    std::map<int, long> statuses_;

private:
    // Whether the write was acknowledged.
    bool Put(std::uint32_t& counter) {
        const int station = kStations[std::uniform_int_distribution<int>(0, 2)(rng_)];
        const int which = std::uniform_int_distribution<int>(0, 2)(rng_);
        std::vector<Model::Step> steps;
        std::string name;
        std::string body;
        if (which < 2) {
            const int reg = 6 + which;
            const std::uint16_t v = NextValue(Key(station, reg), counter);
            steps.push_back({Key(station, reg), -1, v});
            name = "w" + std::to_string(reg);
            body = std::to_string(v);
        } else {
            const int bit = std::uniform_int_distribution<int>(0, 1)(rng_);
            steps.push_back({Key(station, 21), 0, static_cast<std::uint16_t>(bit)});
            name = "h0";
            body = std::to_string(bit);
        }
        ++g_http.requests;
        ++g_http.writes;
        const std::size_t ticket = g_model.Begin(steps);
        const auto res = client_.Put("/api/points/soak/s" + std::to_string(station) + "/" + name,
                                     body, "application/json");
        const bool acked = res && res->status == 200;
        g_model.End(ticket, acked);
        if (acked) {
            ++g_http.writesAcked;
        } else if (res) {
            ++g_http.failed;
            ++statuses_[res->status];
        } else {
            ++g_http.transportErrors;
        }
        return acked;
    }

    westnet::gateway::testing::HttpClient client_;
    std::mt19937 rng_;
};

// ---------------------------------------------------------------------------
// The gateway's resident memory.

long RssKb(pid_t pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

long Median(std::vector<long> v) {
    if (v.empty()) {
        return 0;
    }
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// ---------------------------------------------------------------------------

struct Options {
    std::string gateway;
    std::string sim;
    int seconds = 60;
    std::uint64_t seed = 1;
    int pulls = 2;
    long rssGrowthKb = 8192;
};

std::string PlantToml(int httpPort, int modbusPort, int mqttPort, const std::string& link) {
    std::string t = "[gateway]\nhttp = \"127.0.0.1:" + std::to_string(httpPort) +
                    "\"\nmodbus = \"127.0.0.1:" + std::to_string(modbusPort) +
                    "\"\nmqtt = \"mqtt://127.0.0.1:" + std::to_string(mqttPort) +
                    "\"\nmqtt_prefix = \"soak\"\nmqtt_client_id = \"soak-gateway-" +
                    std::to_string(getpid()) + "\"\nmqtt_republish_s = 5\nusers_file = \"" + g_dir +
                    "/users\"\naudit_file = \"" + g_dir + "/audit.jsonl\"\n\n";
    t += "[[line]]\nname = \"soak\"\ndevice = \"" + link + "\"\nbaud = " + std::to_string(kBaud) +
         "\nformat = \"8O2\"\ntimeout_ms = " + std::to_string(kTimeoutMs) +
         "\ndemote_after = 3\ndemote_ms = 1000\n";
    for (const int s : kStations) {
        for (const PointDef& p : Points()) {
            char address[32];
            if (p.bit >= 0) {
                std::snprintf(address, sizeof address, "%02d%05d %d", s, kHostFirst + p.reg,
                              p.bit + 1);
            } else {
                std::snprintf(address, sizeof address, "%02d%05d", s, kHostFirst + p.reg);
            }
            t += "\n[[line.point]]\naddress = \"" + std::string(address) + "\"\nname = \"" +
                 PointName(s, p) + "\"\nscan_ms = " + std::to_string(p.scanMs) + "\n";
            if (p.count > 1) {
                t += "count = " + std::to_string(p.count) + "\n";
            }
            if (p.writable) {
                t += "writable = true\n";
            }
            if (p.coil >= 0) {
                t += "coil = " + std::to_string(p.coil) + "\n";
            }
        }
    }
    return t;
}

std::string Usage() {
    return "usage: gateway_soak --gateway PATH --sim PATH [--seconds N] [--seed N] [--pulls N]\n"
           "                    [--rss-growth-kb N] [--keep]\n";
}

Options Parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fputs(Usage().c_str(), stderr);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--gateway") {
            o.gateway = value();
        } else if (a == "--sim") {
            o.sim = value();
        } else if (a == "--seconds") {
            o.seconds = std::stoi(value());
        } else if (a == "--seed") {
            o.seed = std::stoull(value());
        } else if (a == "--pulls") {
            o.pulls = std::stoi(value());
        } else if (a == "--rss-growth-kb") {
            o.rssGrowthKb = std::stol(value());
        } else if (a == "--keep") {
            g_keep = true;
        } else {
            std::fputs(Usage().c_str(), stderr);
            std::exit(2);
        }
    }
    if (o.gateway.empty() || o.sim.empty() || o.seconds < 10) {
        std::fputs(Usage().c_str(), stderr);
        std::exit(2);
    }
    return o;
}

// Whether /api/status says the line is up.
std::optional<bool> LineUp(westnet::gateway::testing::HttpClient& http) {
    const auto res = http.Get("/api/status");
    if (!res || res->status != 200) {
        return std::nullopt;
    }
    const json j = json::parse(res->body, nullptr, false);
    if (j.is_discarded() || !j.contains("lines") || j["lines"].empty()) {
        return std::nullopt;
    }
    const json& line = j["lines"][0];
    return line.contains("up") && line["up"].is_boolean() && line["up"].get<bool>();
}

// Whether some point is good with a read after `after`.
bool GoodAfter(westnet::gateway::testing::HttpClient& http, std::int64_t after) {
    const auto res = http.Get("/api/points");
    if (!res || res->status != 200) {
        return false;
    }
    const json j = json::parse(res->body, nullptr, false);
    if (j.is_discarded() || !j.contains("points")) {
        return false;
    }
    for (const auto& p : j["points"]) {
        if (Text(p, "quality") == "good" && ParseIsoUs(Text(p, "time")) >= after) {
            return true;
        }
    }
    return false;
}

// The simulator's --stats, summed over its runs: "  fault    KIND   N".
std::map<std::string, long> SimStats(const std::string& path, long& frames) {
    std::map<std::string, long> faults;
    std::ifstream in(path);  // with its trace: read line by line
    std::string line;
    frames = 0;
    while (std::getline(in, line)) {
        char kind[64] = {};
        long n = 0;
        if (std::sscanf(line.c_str(), "westnet-sim: %ld frames", &n) == 1) {
            frames += n;
        } else if (std::sscanf(line.c_str(), " fault %63s %ld", kind, &n) == 2) {
            faults[kind] += n;
        }
    }
    return faults;
}

// A reply behind noise that passed the checks, with what it carried: the
// first bytes the simulator sent, as many as the reply has, are what the
// driver read.
struct Carried {
    int station = 0;
    int reg = 0;
    std::uint16_t value = 0;
    std::int64_t at = 0;
};

std::vector<Carried> NoisePassedChecks(const std::string& path,
                                       const std::vector<std::int64_t>& startedUs) {
    std::vector<Carried> carried;
    std::ifstream in(path);  // with its trace: read line by line
    std::string line;
    std::size_t run = 0;  // each run's trace ends with its statistics
    while (std::getline(in, line)) {
        if (line.rfind("westnet-sim: ", 0) == 0 && line.find(" frames") != std::string::npos) {
            ++run;
            continue;
        }
        const auto tx = line.find(" | tx ");
        const auto read = line.find("READ_");
        if (run >= startedUs.size() || tx == std::string::npos || read == std::string::npos ||
            line.find("| fault noise") == std::string::npos) {
            continue;
        }
        unsigned reg = 0;
        int count = 1;
        int station = 0;
        const bool word = std::sscanf(line.c_str() + read, "READ_WORD reg 0x%x on station %d", &reg,
                                      &station) == 2;
        if (!word && std::sscanf(line.c_str() + read, "READ_BLOCK reg 0x%x count %d on station %d",
                                 &reg, &count, &station) != 3) {
            continue;
        }
        std::vector<std::uint8_t> bytes;
        std::istringstream hex(line.substr(tx + 6, read - tx - 6));
        for (std::string b; hex >> b && b != "|";) {
            bytes.push_back(static_cast<std::uint8_t>(std::stoul(b, nullptr, 16)));
        }
        const auto length =
            static_cast<std::size_t>(word ? wire::kHeaderChars : wire::BlockFrameChars(count));
        if (bytes.size() < length ||
            wire::HeaderChecksum(bytes.data()) != bytes[wire::kChecksumAt]) {
            continue;
        }
        // A block's check byte covers every data byte.
        std::uint8_t data = 0;
        for (auto i = static_cast<std::size_t>(wire::kHeaderChars); !word && i + 1 < length; ++i) {
            data = static_cast<std::uint8_t>(data + bytes[i]);
        }
        if (!word && data != bytes[length - 1]) {
            continue;
        }
        const std::int64_t at =
            startedUs[run] + static_cast<std::int64_t>(std::strtod(line.c_str(), nullptr) * 1e6);
        for (int i = 0; i < count; ++i) {
            const std::size_t v = word ? 3 : wire::kHeaderChars + 2 * static_cast<std::size_t>(i);
            carried.push_back({station, static_cast<int>(reg) - kWireFirst + i,
                               static_cast<std::uint16_t>(bytes[v] | (bytes[v + 1] << 8)), at});
        }
    }
    return carried;
}

// The held values: those a reply behind noise carried are reported, the rest
// are wrong. Returns how many were carried.
long Judge(const std::vector<Carried>& carried) {
    std::lock_guard<std::mutex> lock(g_heldMutex);
    long through = 0;
    for (const Held& h : g_held) {
        const Served& s = h.served;
        const bool explained = std::any_of(carried.begin(), carried.end(), [&](const Carried& c) {
            // Read within the value's window, or served from the cache up to
            // its hold after that read.
            return c.station == s.station && c.reg == s.reg &&
                   (s.bit < 0 ? c.value == s.got : ((c.value >> s.bit) & 1) == (s.got & 1)) &&
                   c.at >= s.from - kCacheHoldUs - kCommandWorstUs && c.at <= s.to + 1000000;
        });
        if (explained) {
            ++through;
            std::fprintf(stderr,
                         "gateway_soak: through the checksum: %s, carried by a reply "
                         "behind noise\n",
                         h.what.c_str());
        } else {
            Wrong(*h.counts, h.what);
        }
    }
    g_held.clear();
    return through;
}

int Run(int argc, char** argv) {
    const Options options = Parse(argc, argv);
    signal(SIGPIPE, SIG_IGN);
    char dir[] = "/tmp/westnet-gwsoak.XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        Die("mkdtemp");
    }
    g_dir = dir;
    // The whole run is bounded: a hang anywhere ends it.
    std::thread watchdog([limit = options.seconds + 300] {
        for (int i = 0; i < limit * 10 && !g_stop.load(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!g_stop.load()) {
            std::fprintf(stderr, "gateway_soak: FAILED: the run outlived its bound\n");
            KillAll();
            std::_Exit(3);
        }
    });
    watchdog.detach();

    // The image, and the model from it.
    std::string image;
    for (const int s : kStations) {
        for (int r = 0; r < kRegisters; ++r) {
            image += std::to_string(s / 10) + std::to_string(s % 10) +
                     std::to_string(kHostFirst + r) + " = " + std::to_string(Initial(s, r)) + "\n";
            g_model.Init(Key(s, r), Initial(s, r));
        }
    }
    const std::string imagePath = g_dir + "/plant.img";
    WriteFile(imagePath, image);

    // The broker.
    const int mqttPort = FreePort();
    std::string conf = "listener " + std::to_string(mqttPort) +
                       " 127.0.0.1\nallow_anonymous true\npersistence false\n";
    if (getuid() == 0) {
        conf += "user root\n";
    }
    WriteFile(g_dir + "/mosquitto.conf", conf);
    g_brokerPid = Spawn({"/usr/sbin/mosquitto", "-c", g_dir + "/mosquitto.conf"}, -1,
                        g_dir + "/mosquitto.err");
    if (!WaitUntil(30, [&] { return Accepts(mqttPort); })) {
        Die("mosquitto does not accept connections: " + ReadFile(g_dir + "/mosquitto.err"));
    }

    Sim sim;
    sim.sim = options.sim;
    sim.link = g_dir + "/hw";
    sim.dump = g_dir + "/dump.img";
    sim.errPath = g_dir + "/sim.err";
    sim.seed = options.seed;
    sim.Start(imagePath);

    const int httpPort = FreePort();
    const int modbusPort = FreePort();
    WriteFile(g_dir + "/plant.toml", PlantToml(httpPort, modbusPort, mqttPort, sim.link));
    // An operator's token for the HTTP client, made as a user would.
    std::string token;
    if (FILE* out = popen(("'" + options.gateway + "' --users '" + g_dir +
                           "/users' token add soak --role operator 2>/dev/null")
                              .c_str(),
                          "r")) {
        char line[256] = {};
        if (std::fgets(line, sizeof line, out) != nullptr) {
            token = line;
            token.erase(token.find_last_not_of("\r\n") + 1);
        }
        pclose(out);
    }
    if (token.empty()) {
        Die("westnet-gateway token add gave no token");
    }
    g_gatewayPid = Spawn({options.gateway, "--log-level", "warning", g_dir + "/plant.toml"}, -1,
                         g_dir + "/gateway.err");
    westnet::gateway::testing::HttpClient status(httpPort);
    status.SetTimeout(std::chrono::seconds(10));
    status.SetDefaultHeaders({{"Authorization", "Bearer " + token}});
    // Ready: every front end listens and the line has been read.
    if (!WaitUntil(60, [&] { return Accepts(modbusPort) && GoodAfter(status, 0); })) {
        Die("the gateway did not come up: " + ReadFile(g_dir + "/gateway.err"));
    }

    Mqtt mqtt(mqttPort, options.seed * 31 + 1);
    if (!mqtt.Start()) {
        Die("the MQTT clients did not connect and subscribe");
    }
    std::vector<std::unique_ptr<ModbusClient>> modbus;
    modbus.reserve(4);
    for (int i = 0; i < 4; ++i) {
        modbus.push_back(std::make_unique<ModbusClient>(modbusPort, i, options.seed * 97 + i));
    }
    Http http(httpPort, options.seed * 13 + 5, token);

    const std::int64_t start = NowUs();
    std::vector<std::thread> threads;
    threads.reserve(modbus.size() + 2);
    for (auto& m : modbus) {
        threads.emplace_back([&m] { m->Run(); });
    }
    threads.emplace_back([&] { mqtt.RunPublisher(); });
    threads.emplace_back([&] { http.Run(); });

    // Memory: sampled every second once warmed up (a tenth of the run, at
    // least 5 s); the pulls go on meanwhile.
    std::vector<long> rss;
    long rssMax = 0;
    std::mutex rssMutex;
    std::thread sampler([&] {
        const std::int64_t warm = start + std::max<std::int64_t>(5, options.seconds / 10) * 1000000;
        while (Running()) {
            if (NowUs() >= warm) {
                const long kb = RssKb(g_gatewayPid);
                std::lock_guard<std::mutex> lock(rssMutex);
                if (kb > 0) {
                    rss.push_back(kb);
                    rssMax = std::max(rssMax, kb);
                }
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
    });

    // The line pulled and restored, evenly over the run.
    long dumpWrong = 0;
    std::vector<double> downtimes;
    std::vector<std::string> pullFailures;
    const std::int64_t end = start + static_cast<std::int64_t>(options.seconds) * 1000000;
    for (int pull = 1; pull <= options.pulls; ++pull) {
        const std::int64_t at = start + static_cast<std::int64_t>(options.seconds) * 1000000 *
                                            pull / (options.pulls + 1);
        while (NowUs() < at) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const std::int64_t pulled = NowUs();
        {
            std::lock_guard<std::mutex> lock(g_pullMutex);
            g_pulledAt = pulled;
            g_restoredAt = -1;
        }
        sim.Stop();
        // Exactly what the stations held at the pull, writes then in flight
        // either way.
        dumpWrong += CheckDump(sim.dump, pulled, "pull");
        const bool sawDown = WaitUntil(60, [&] { return LineUp(status) == false; });
        if (!sawDown) {
            pullFailures.push_back("pull " + std::to_string(pull) + ": the line never went down");
        }
        // Down a little longer, so that every cached value ages out.
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * kScanBlockMs));
        const std::string again = g_dir + "/restore" + std::to_string(pull) + ".img";
        if (std::rename(sim.dump.c_str(), again.c_str()) != 0) {
            Die("cannot move the dump");
        }
        sim.Start(again);
        const std::int64_t restored = NowUs();
        {
            std::lock_guard<std::mutex> lock(g_pullMutex);
            g_restoredAt = restored;
        }
        std::int64_t good = -1;
        if (WaitUntil(60, [&] { return GoodAfter(status, restored); })) {
            good = NowUs();
            downtimes.push_back(static_cast<double>(good - pulled) / 1e6);
        } else {
            pullFailures.push_back("pull " + std::to_string(pull) +
                                   ": no good value after restore");
        }
        std::printf(
            "gateway_soak: pull %d at %.1f s: down seen %s, restored after %.1f s, "
            "first good value %.2f s after the pull\n",
            pull, static_cast<double>(pulled - start) / 1e6, sawDown ? "yes" : "NO",
            static_cast<double>(restored - pulled) / 1e6,
            good < 0 ? -1.0 : static_cast<double>(good - pulled) / 1e6);
        std::fflush(stdout);
    }
    while (NowUs() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    g_stop = true;
    for (auto& t : threads) {
        t.join();
    }
    sampler.join();
    // One last look at every point.
    Http last(httpPort, 0, token);
    last.GetPoints();

    const pid_t gw = g_gatewayPid;
    const bool alive = waitpid(gw, nullptr, WNOHANG) == 0;
    const long rssEnd = RssKb(gw);
    kill(gw, SIGTERM);
    const int gwStatus = WaitExit(gw, 90);
    g_gatewayPid = 0;
    const bool cleanExit = gwStatus >= 0 && WIFEXITED(gwStatus) && WEXITSTATUS(gwStatus) == 0;
    if (gwStatus < 0) {
        kill(gw, SIGKILL);
        waitpid(gw, nullptr, 0);
    }
    const std::int64_t finished = NowUs();
    sim.Stop();
    dumpWrong += CheckDump(sim.dump, finished, "end");
    mqtt.Stop();
    kill(g_brokerPid, SIGTERM);
    WaitExit(g_brokerPid, 10);
    g_brokerPid = 0;

    // Figures.
    long frames = 0;
    const auto faults = SimStats(sim.errPath, frames);
    const auto carried = NoisePassedChecks(sim.errPath, sim.startedUs);
    const long through = Judge(carried);
    long rssStart = 0;
    long rssLate = 0;
    {
        std::lock_guard<std::mutex> lock(rssMutex);
        const std::size_t q = std::max<std::size_t>(1, rss.size() / 4);
        rssStart = Median(std::vector<long>(
            rss.begin(), rss.begin() + static_cast<long>(std::min(q, rss.size()))));
        rssLate = Median(
            std::vector<long>(rss.end() - static_cast<long>(std::min(q, rss.size())), rss.end()));
    }
    const long growthBound = std::max(options.rssGrowthKb, rssStart / 5);
    // A negative bound: not checked (under the sanitizers, whose allocator's
    // quarantine and fake stacks move the resident set by tens of MB).
    const bool rssFlat =
        options.rssGrowthKb < 0 || (!rss.empty() && rssLate - rssStart <= growthBound);

    std::printf(
        "gateway_soak: %d s, seed %llu, faults 20%% of answers (every kind), reply "
        "time-out %d ms, late replies %d ms\n",
        options.seconds, static_cast<unsigned long long>(options.seed), kTimeoutMs, kLateMs);
    std::printf("  simulator: %ld frames in %d runs; faults:", frames, sim.runs);
    long faultTotal = 0;
    for (const auto& [kind, n] : faults) {
        std::printf(" %s %ld", kind.c_str(), n);
        faultTotal += n;
    }
    std::printf(" (%ld)\n", faultTotal);
    std::printf(
        "  replies behind noise that passed the checksum: %zu words; values served "
        "from them: %ld (not wrong: no one can tell them)\n",
        carried.size(), through);
    for (const auto& [name, c] : std::vector<std::pair<const char*, FrontCounts*>>{
             {"modbus", &g_modbus}, {"mqtt", &g_mqtt}, {"http", &g_http}}) {
        std::printf(
            "  %-6s requests %ld, failed %ld, transport errors %ld; values checked %ld, "
            "wrong %ld, not good %ld, good while down %ld; writes %ld, acknowledged %ld\n",
            name, c->requests.load(), c->failed.load(), c->transportErrors.load(),
            c->valuesChecked.load(), c->wrong.load(), c->notGood.load(), c->goodWhileDown.load(),
            c->writes.load(), c->writesAcked.load());
    }
    std::printf("  modbus exceptions:");
    std::map<int, long> exceptions;
    for (const auto& m : modbus) {
        for (const auto& [code, n] : m->exceptions_) {
            exceptions[code] += n;
        }
    }
    for (const auto& [code, n] : exceptions) {
        std::printf(" %02X:%ld", code, n);
    }
    std::printf("\n  mqtt: %ld value messages; write results:", g_mqttMessages.load());
    for (const auto& [r, n] : mqtt.results_) {
        std::printf(" %s:%ld", r.c_str(), n);
    }
    std::printf(" missing:%ld\n  http PUT failures by status:", g_mqttResultsMissing.load());
    for (const auto& [s, n] : http.statuses_) {
        std::printf(" %d:%ld", s, n);
    }
    std::printf("\n  writes: %ld acknowledged, %ld failed; dump mismatches %ld\n", g_model.Acked(),
                g_model.Failed(), dumpWrong);
    std::printf("  gateway RSS: start %ld kB, late %ld kB, end %ld kB, max %ld kB (%zu samples; ",
                rssStart, rssLate, rssEnd, rssMax, rss.size());
    if (options.rssGrowthKb < 0) {
        std::printf("growth not checked)\n");
    } else {
        std::printf("bound +%ld kB)\n", growthBound);
    }
    std::printf("  downtime per pull:");
    for (const double d : downtimes) {
        std::printf(" %.2f s", d);
    }
    std::printf("\n  gateway: %s at the end, SIGTERM exit %s\n", alive ? "running" : "DEAD",
                cleanExit ? "0" : "NOT 0");

    std::vector<std::string> failures = pullFailures;
    const long wrong = g_modbus.wrong + g_mqtt.wrong + g_http.wrong;
    const long down = g_modbus.goodWhileDown + g_mqtt.goodWhileDown + g_http.goodWhileDown;
    if (wrong != 0) {
        failures.push_back(std::to_string(wrong) + " wrong values served as good");
    }
    if (down != 0) {
        failures.push_back(std::to_string(down) + " values good while the line was down");
    }
    if (dumpWrong != 0) {
        failures.push_back(std::to_string(dumpWrong) + " registers of the dump not in the model");
    }
    if (g_mqttResultsMissing != 0) {
        failures.push_back(std::to_string(g_mqttResultsMissing.load()) + " MQTT writes unanswered");
    }
    if (!alive || !cleanExit) {
        failures.push_back("the gateway died or did not exit 0 on SIGTERM");
    }
    if (!rssFlat) {
        failures.push_back("the gateway's memory grew");
    }
    for (const auto& [name, c] : std::vector<std::pair<const char*, FrontCounts*>>{
             {"modbus", &g_modbus}, {"mqtt", &g_mqtt}, {"http", &g_http}}) {
        if (c->valuesChecked == 0 || c->writesAcked == 0) {
            failures.push_back(std::string(name) +
                               " checked no value or had no write acknowledged");
        }
    }
    for (const auto& f : failures) {
        std::printf("gateway_soak: FAILED: %s\n", f.c_str());
    }
    if (failures.empty()) {
        std::printf("gateway_soak: passed\n");
    }
    if (g_keep || !failures.empty()) {
        std::printf("gateway_soak: logs kept in %s\n", g_dir.c_str());
    } else {
        std::system(("rm -rf '" + g_dir + "'").c_str());
    }
    return failures.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        Die(std::string("unexpected: ") + e.what());
    }
}
