// Fault-injection soak: the native driver, through ZanMain over the POSIX
// serial layer, against westnet-sim on a pseudo-terminal that injects every
// kind of fault at random (a fixed seed), for N random word, bit and block
// reads and writes over several stations.
//
// Two records meet here. The simulator's trace (one line per frame it
// received, the bytes it sent back and the fault it drew) is replayed into a
// shadow of the stations' registers, so the soak knows the plant exactly. A
// tap on the driver's platform calls logs every frame the driver wrote and
// every byte it read; since the plant answers frames in the order they come,
// each byte the driver read is traced to the reply it belonged to. Checked:
// - a command that fails leaves the host's value buffer exactly as it was;
// - the driver reads only bytes the plant sent, in order;
// - a read that returns ResOk on the plant's answer to its own last request
//   gives exactly the plant's values;
// - a write acknowledged by the plant's answer to it took effect;
// - every write the plant received is one the host asked for;
// - the plant's own dump at the end equals the shadow;
// - no command hangs (a watchdog ends the run) and the sanitizers stay quiet.
//
// A reply that comes after its time-out (late, or behind noise) can be taken
// for the answer to a later request: the frames carry no request number and
// the driver looks at nothing but the checksum. Such a ResOk is counted and
// reported, with what it did to the value, but does not fail the run.
//
// --late-only injects late replies alone, to measure how often that happens
// at a given reply time-out.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "entry/records.h"
#include "entry/zanmain.h"
#include "process.h"
#include "serial/platform.h"
#include "serial/posix_calls.h"
#include "serial/serial.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
namespace wn = westnet;
namespace ts = westnet::test_support;

struct Options {
    std::string sim;
    long commands = 2000;
    std::uint64_t seed = 1;
    int replyTimeout = 10;  // tens of ms
    int lateMs = 150;
    // The driver's line and the simulator's pacing, 8N1: replies come byte
    // by byte at this rate, as on a wire. 0: unpaced, every reply at once.
    long baud = 38400;
    double faultRate = 0.2;
    bool lateOnly = false;
    bool verbose = false;  // progress every 1000 commands
    bool explain = false;  // the frames behind every wrong value
};

const int kStations[] = {1, 2, 5, 17};
constexpr int kRegisters = 1024;  // zero-based 0 to 1023 of each station are used
constexpr int kOpSelect = 0x0A;

// ---------------------------------------------------------------------------
// Watchdog: a blocking step that outlives its bound ends the run.

std::atomic<std::int64_t> g_deadline{0};  // steady-clock ns; 0 = nothing running
std::atomic<const char*> g_step{""};
std::atomic<pid_t> g_simPid{0};
std::mutex g_watchMutex;
std::condition_variable g_watchStop;
bool g_watchStopped = false;

std::int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void Arm(const char* step, int seconds) {
    g_step = step;
    g_deadline = NowNs() + static_cast<std::int64_t>(seconds) * 1000000000LL;
}
void Disarm() {
    g_deadline = 0;
}

void Watch() {
    std::unique_lock<std::mutex> lock(g_watchMutex);
    while (!g_watchStop.wait_for(lock, std::chrono::milliseconds(250),
                                 [] { return g_watchStopped; })) {
        const std::int64_t deadline = g_deadline;
        if (deadline != 0 && NowNs() > deadline) {
            std::fprintf(stderr, "soak: FAILED: hung in %s\n", g_step.load());
            if (g_simPid != 0) {
                kill(g_simPid, SIGKILL);
            }
            std::_Exit(3);
        }
    }
}

[[noreturn]] void Die(const std::string& what) {
    std::fprintf(stderr, "soak: %s\n", what.c_str());
    if (g_simPid != 0) {
        kill(g_simPid, SIGKILL);
    }
    std::exit(2);
}

// ---------------------------------------------------------------------------
// The line as the driver sees it. The soak links the POSIX stand-in without
// its ActivePlatform() and brings its own, a tap: every frame written and
// every byte read is logged before the call goes on to the stand-in. Reads of a whole drain chunk
// are the purge's; the others collect a reply.

struct TapEntry {
    bool write = false;
    bool drain = false;
    Bytes bytes;
    std::size_t writes = 0;  // frames written before this call
};
std::vector<TapEntry> g_tap;
std::size_t g_writes = 0;

const wn::Platform& Real() {
    return wn::PosixPlatform();
}

int TapRead(wn::Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got) {
    std::uint32_t n = 0;
    const int ok = Real().ReadFile(handle, buffer, count, &n);
    if (got != nullptr) {
        *got = n;
    }
    if (n != 0) {
        TapEntry e;
        e.drain = count == wn::kDrainChunk;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        e.bytes.assign(bytes, bytes + n);
        e.writes = g_writes;
        g_tap.push_back(std::move(e));
    }
    return ok;
}

int TapWrite(wn::Handle handle, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    std::uint32_t n = 0;
    const int ok = Real().WriteFile(handle, buffer, count, &n);
    if (written != nullptr) {
        *written = n;
    }
    if (ok != 0 && n != 0) {
        TapEntry e;
        e.write = true;
        const auto* bytes = static_cast<const std::uint8_t*>(buffer);
        e.bytes.assign(bytes, bytes + n);
        e.writes = g_writes++;
        g_tap.push_back(std::move(e));
    }
    return ok;
}

}  // namespace

// The platform of this program: the stand-in behind the tap.
const westnet::Platform& westnet::ActivePlatform() {
    static const wn::Platform tap = [] {
        wn::Platform t = Real();
        t.ReadFile = TapRead;
        t.WriteFile = TapWrite;
        return t;
    }();
    return tap;
}

namespace {

// ---------------------------------------------------------------------------
// The simulator and its trace.

struct Event {
    Bytes rx;
    Bytes tx;
    std::string fault;  // "" when none was drawn
    bool ignored = false;
    bool dropped = false;
};

Bytes ParseHex(const std::string& text) {
    Bytes out;
    std::size_t i = 0;
    for (;;) {
        while (i < text.size() && text[i] == ' ') {
            ++i;
        }
        if (i + 2 > text.size() || text[i] == '-') {
            return out;
        }
        out.push_back(
            static_cast<std::uint8_t>(std::strtoul(text.substr(i, 2).c_str(), nullptr, 16)));
        i += 2;
    }
}

// "SECONDS rx HEX | tx HEX | DECODING[ | fault KIND[ N ms]]"
bool ParseEvent(const std::string& line, Event& event) {
    const std::size_t rx = line.find(" rx ");
    if (rx == std::string::npos) {
        return false;
    }
    std::vector<std::string> parts;
    std::size_t from = rx + 4;
    for (;;) {
        const std::size_t bar = line.find(" | ", from);
        parts.push_back(
            line.substr(from, bar == std::string::npos ? std::string::npos : bar - from));
        if (bar == std::string::npos) {
            break;
        }
        from = bar + 3;
    }
    if (parts.size() < 3) {
        return false;
    }
    event = Event{};
    event.rx = ParseHex(parts[0]);
    event.tx = ParseHex(parts[1].size() > 3 ? parts[1].substr(3) : std::string());
    for (std::size_t i = 2; i < parts.size(); ++i) {
        if (parts[i].rfind("fault ", 0) == 0) {
            const std::string kind = parts[i].substr(6);
            event.fault = kind.substr(0, kind.find(' '));
        }
        if (parts[i].find("(ignored") != std::string::npos) {
            event.ignored = true;
        }
        if (parts[i].rfind("dropped ", 0) == 0) {
            event.dropped = true;
        }
    }
    return true;
}

class Sim {
public:
    Sim(const Options& options, const std::string& dir) : dir_(dir) {
        imagePath_ = dir + "/image.txt";
        tracePath_ = dir + "/trace.txt";
        dumpPath_ = dir + "/dump.txt";
        link_ = ts::FreeShortName();
        if (link_.empty()) {
            Die("no free short link name under /tmp");
        }
        WriteImage();
        Start(options);
    }
    ~Sim() { g_simPid = 0; }
    const std::string& Device() const { return link_; }

    // Every trace event written since the last call.
    std::vector<Event> NewEvents() {
        std::vector<Event> events;
        char buffer[65536];
        for (;;) {
            const ssize_t got = read(traceFd_, buffer, sizeof buffer);
            if (got <= 0) {
                break;
            }
            pending_.append(buffer, static_cast<std::size_t>(got));
        }
        std::size_t start = 0;
        for (;;) {
            const std::size_t end = pending_.find('\n', start);
            if (end == std::string::npos) {
                break;
            }
            Event e;
            if (ParseEvent(pending_.substr(start, end - start), e)) {
                events.push_back(std::move(e));
            }
            start = end + 1;
        }
        pending_.erase(0, start);
        return events;
    }

    // Stops the simulator, which writes its dump and statistics on the way out.
    std::map<int, std::vector<std::uint16_t>> StopAndDump() {
        const int status = process_->Stop(SIGTERM, 60000);
        g_simPid = 0;
        if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            Die("the simulator did not exit cleanly");
        }
        std::map<int, std::vector<std::uint16_t>> dump;
        for (int s : kStations) {
            dump[s].assign(65536, 0);
        }
        std::FILE* f = std::fopen(dumpPath_.c_str(), "r");
        if (f == nullptr) {
            Die("no dump written");
        }
        std::string text;
        char chunk[65536];
        for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
            text.append(chunk, n);
        }
        std::size_t from = 0;
        while (from < text.size()) {
            std::size_t end = text.find('\n', from);
            if (end == std::string::npos) {
                end = text.size();
            }
            const std::string line = text.substr(from, end - from);
            from = end + 1;
            if (line.size() < 7 || line[0] < '0' || line[0] > '9') {
                continue;
            }
            const int station = (line[0] - '0') * 10 + (line[1] - '0');
            long reg = std::strtol(line.substr(2, 5).c_str(), nullptr, 10) - 1;
            auto& regs = dump[station];
            if (regs.empty()) {
                regs.assign(65536, 0);
            }
            const char* p = std::strchr(line.c_str(), '=');
            while (p != nullptr) {
                ++p;
                char* stop = nullptr;
                const unsigned long v = std::strtoul(p, &stop, 0);
                if (stop == p) {
                    break;
                }
                regs[static_cast<std::size_t>(reg % 65536)] = static_cast<std::uint16_t>(v);
                ++reg;
                p = std::strchr(stop, ',');
            }
        }
        std::fclose(f);
        return dump;
    }

    // The value every register starts from: non-zero and different for every
    // register used, so a reply meant for another request shows.
    static std::uint16_t Initial(int station, int reg) {
        const std::uint32_t v = static_cast<std::uint32_t>(station) * 40503U +
                                static_cast<std::uint32_t>(reg) * 2654435761U;
        const auto word = static_cast<std::uint16_t>((v >> 8) & 0xFFFF);
        return word == 0 ? 1 : word;
    }

private:
    void WriteImage() {
        std::FILE* f = std::fopen(imagePath_.c_str(), "w");
        if (f == nullptr) {
            Die("cannot write " + imagePath_);
        }
        for (int s : kStations) {
            for (int reg = 0; reg < kRegisters; ++reg) {
                std::fprintf(f, "%02d%05d = %u\n", s, reg + 1, Initial(s, reg));
            }
        }
        std::fclose(f);
    }

    void Start(const Options& options) {
        std::vector<std::string> args = {options.sim,
                                         "--image",
                                         imagePath_,
                                         "--link",
                                         link_,
                                         "--trace",
                                         "--stats",
                                         "--dump",
                                         dumpPath_,
                                         "--seed",
                                         std::to_string(options.seed),
                                         "--late-ms",
                                         std::to_string(options.lateMs)};
        if (options.baud != 0) {
            args.insert(args.end(), {"--baud", std::to_string(options.baud), "--format", "8N1"});
        }
        if (options.lateOnly) {
            args.push_back("--fault");
            args.push_back("late=" + std::to_string(options.faultRate));
        } else {
            for (const char* kind :
                 {"bad-checksum", "bad-data", "silence", "short", "noise", "late"}) {
                args.push_back("--fault");
                args.push_back(std::string(kind) + "=" + std::to_string(options.faultRate / 6));
            }
        }
        const int trace = open(tracePath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        traceFd_ = open(tracePath_.c_str(), O_RDONLY | O_CLOEXEC);
        if (trace < 0 || traceFd_ < 0) {
            Die("cannot open " + tracePath_);
        }
        close(trace);
        // Its stderr is the trace; it says "device: PATH" once it answers.
        process_ = std::make_unique<ts::SimProcess>(std::move(args), tracePath_, 60000);
        g_simPid = process_->pid();
        if (!process_->ready()) {
            // Its stderr went to the trace: that is where it said why.
            char said[512] = {};
            const ssize_t n = pread(traceFd_, said, sizeof said - 1, 0);
            Die("the simulator did not start (" + process_->said() +
                "): " + std::string(said, n > 0 ? static_cast<std::size_t>(n) : 0));
        }
    }

    std::string dir_;
    std::string imagePath_;
    std::string tracePath_;
    std::string dumpPath_;
    std::string link_;
    std::string pending_;
    std::unique_ptr<ts::SimProcess> process_;
    int traceFd_ = -1;
};

// ---------------------------------------------------------------------------
// The commands and what the host expects of them.

enum class Op { ReadWord, ReadBit, ReadBlock, WriteWord, WriteBit, WriteBlock };
const char* const kOpNames[] = {"read word",  "read bit",  "read block",
                                "write word", "write bit", "write block"};
constexpr int kOps = 6;

bool IsRead(Op op) {
    return op == Op::ReadWord || op == Op::ReadBit || op == Op::ReadBlock;
}

std::uint8_t Sum(const Bytes& b, std::size_t from, std::size_t to) {
    std::uint8_t s = 0;
    for (std::size_t i = from; i < to; ++i) {
        s = static_cast<std::uint8_t>(s + b[i]);
    }
    return s;
}

// The frame a write must put on the line, built here from the protocol's
// rules and not from the driver.
Bytes WriteFrame(Op op, int reg, int bit, const std::vector<std::uint16_t>& values) {
    Bytes f(6, 0);
    f[1] = static_cast<std::uint8_t>(reg & 0xFF);
    f[2] = static_cast<std::uint8_t>((reg >> 8) & 0xFF);
    if (op == Op::WriteWord) {
        f[0] = 0x01;
        f[3] = values[0] & 0xFF;
        f[4] = values[0] >> 8;
    } else if (op == Op::WriteBit) {
        f[0] = 0x03;
        f[3] = static_cast<std::uint8_t>((bit & 15) | ((values[0] & 1) << 4));
    } else {
        f[0] = 0x07;
        f[3] = static_cast<std::uint8_t>(values.size() - 1);
        std::uint8_t check = 0;
        for (std::uint16_t v : values) {
            f.push_back(v & 0xFF);
            f.push_back(v >> 8);
            check = static_cast<std::uint8_t>(check + (v & 0xFF));
        }
        f.push_back(check);
    }
    f[5] = Sum(f, 0, 5);
    return f;
}

std::string FaultOf(const Event& e) {
    return e.fault.empty() ? "none" : e.fault;
}

struct Counts {
    long results[kOps][3] = {};
    std::map<std::string, long> faults;
    long frames = 0;
    // Failed commands: the fault of the plant's answer to the last request
    // sent, against the code returned.
    std::map<std::string, std::map<int, long>> lastFault;
    // Replies (whole or in part) the driver took as the answer to a later
    // request than the one they answered, by the fault of the reply.
    std::map<std::string, long> takenLater;
    // Late replies: taken for a later request's answer (of those: a
    // different request), discarded by a purge, never read.
    long lateTotal = 0;
    long lateTakenLater = 0;
    long lateTakenLaterOther = 0;
    long lateDrained = 0;
    long lateUnread = 0;
    // ResOk on a reply that was not the answer to the request: values right
    // or wrong, and acknowledged writes that never took effect.
    long okOnOtherReply = 0;
    long wrongValues = 0;  // ResOk, but not what the host's station holds
    long lostOnOtherAck = 0;
    long writesOnOtherStation = 0;
    long readsOnOtherStation = 0;
    long hardFailures = 0;
};

class Soak {
public:
    Soak(const Options& options, Sim& sim) : options_(options), sim_(sim), rng_(options.seed) {
        for (int s : kStations) {
            shadow_[s].assign(65536, 0);
            for (int reg = 0; reg < kRegisters; ++reg) {
                shadow_[s][static_cast<std::size_t>(reg)] = Sim::Initial(s, reg);
            }
        }
    }

    bool Run() {
        wn::OpenParams open{};
        std::memcpy(open.device, sim_.Device().c_str(), sim_.Device().size() + 1);
        open.enabled = 1;
        open.replyTimeout = options_.replyTimeout;
        // 8N1; an unpaced run still opens the line at 9600.
        open.line = wn::LineParams{
            static_cast<std::uint16_t>(options_.baud != 0 ? options_.baud : 9600), 8, 0, 0};
        wn::DriverRequest request{&channel_, 1, {}, &open};
        if (ZanMain(&request) != wn::ResOk) {
            Die("the driver could not open " + sim_.Device());
        }
        for (long i = 0; i < options_.commands; ++i) {
            One();
            if (options_.verbose && i % 1000 == 999) {
                std::fprintf(stderr, "soak: %ld commands\n", i + 1);
            }
        }
        Settle();
        wn::DriverRequest close{&channel_, 12, {}, nullptr};
        if (ZanMain(&close) != wn::ResOk) {
            Hard("close failed");
        }
        Finish();
        return counts_.hardFailures == 0;
    }

    void Report() const {
        std::printf(
            "soak: %ld commands, seed %llu, reply time-out %d0 ms, late replies %d ms, "
            "faults in %.0f%% of answers%s, %s\n",
            options_.commands, static_cast<unsigned long long>(options_.seed),
            options_.replyTimeout, options_.lateMs, options_.faultRate * 100,
            options_.lateOnly ? " (late only)" : " (every kind)",
            options_.baud != 0 ? ("paced at " + std::to_string(options_.baud) + " baud").c_str()
                               : "unpaced");
        std::printf("  %-12s %8s %8s %8s\n", "command", "ResOk", "ResBad", "ResFail");
        for (int op = 0; op < kOps; ++op) {
            std::printf("  %-12s %8ld %8ld %8ld\n", kOpNames[op], counts_.results[op][0],
                        counts_.results[op][1], counts_.results[op][2]);
        }
        std::printf("  frames the plant received: %ld; faults drawn:", counts_.frames);
        for (const auto& f : counts_.faults) {
            std::printf(" %s %ld", f.first.c_str(), f.second);
        }
        std::printf("\n  failed commands, by the fault of the answer to their last request:\n");
        for (const auto& f : counts_.lastFault) {
            auto n = [&](int code) { return f.second.count(code) ? f.second.at(code) : 0L; };
            std::printf("    %-13s ResBad %ld, ResFail %ld\n", f.first.c_str(), n(1), n(2));
        }
        std::printf("  replies taken for the answer to a later request:");
        for (const auto& f : counts_.takenLater) {
            std::printf(" %s %ld", f.first.c_str(), f.second);
        }
        std::printf(
            "\n  late replies: %ld; taken for a later request's answer %ld (to another "
            "request %ld), discarded by a purge %ld, never read %ld\n",
            counts_.lateTotal, counts_.lateTakenLater, counts_.lateTakenLaterOther,
            counts_.lateDrained, counts_.lateUnread);
        std::printf(
            "  ResOk on another request's reply: %ld; served by another station than asked: "
            "reads %ld, writes %ld\n",
            counts_.okOnOtherReply, counts_.readsOnOtherStation, counts_.writesOnOtherStation);
        std::printf("  ResOk with a wrong value: %ld reads; acknowledged writes lost: %ld\n",
                    counts_.wrongValues, counts_.lostOnOtherAck);
        std::printf("  driver faults: %ld\n", counts_.hardFailures);
    }

private:
    struct Command {
        Op op;
        int station;
        int reg;
        int bit;
        int count;
        std::vector<std::uint16_t> values;  // writes: what the host writes
        std::int32_t result = -1;
        std::size_t lastWrite = 0;  // index of the last frame the command wrote
        bool wrote = false;
        bool ownAnswer = false;  // its ResOk rests on the answer to that frame
    };

    void Hard(const std::string& what) {
        ++counts_.hardFailures;
        std::fprintf(stderr, "soak: DRIVER FAULT at command %zu: %s\n", commands_.size(),
                     what.c_str());
    }

    Command Pick() {
        Command c{};
        const int roll = static_cast<int>(rng_() % 100);
        c.op = roll < 20   ? Op::ReadWord
               : roll < 35 ? Op::ReadBit
               : roll < 50 ? Op::ReadBlock
               : roll < 70 ? Op::WriteWord
               : roll < 85 ? Op::WriteBit
                           : Op::WriteBlock;
        c.station = kStations[rng_() % 4];
        c.count = 1;
        if (c.op == Op::ReadBlock || c.op == Op::WriteBlock) {
            c.count = rng_() % 8 == 0 ? 64 : 1 + static_cast<int>(rng_() % 16);
        }
        c.reg = static_cast<int>(rng_() % static_cast<unsigned>(kRegisters - c.count + 1));
        c.bit = static_cast<int>(rng_() % 16);
        for (int i = 0; i < c.count; ++i) {
            c.values.push_back(static_cast<std::uint16_t>(rng_()));
        }
        if (c.op == Op::WriteBit) {
            c.values[0] = static_cast<std::uint16_t>(rng_() % 4);  // 2 clears, 3 sets
        }
        return c;
    }

    void One() {
        Command c = Pick();
        const bool block = c.op == Op::ReadBlock || c.op == Op::WriteBlock;
        const std::size_t size = block ? 2 * static_cast<std::size_t>(c.count) : 4;
        std::vector<std::uint8_t> buffer(size);
        if (IsRead(c.op)) {
            for (std::size_t i = 0; i < size; ++i) {
                buffer[i] = static_cast<std::uint8_t>(0xC3 ^ i);
            }
        } else if (block) {
            std::memcpy(buffer.data(), c.values.data(), size);
        } else {
            buffer[0] = 0xEE;
            buffer[1] = 0xEE;
            std::memcpy(buffer.data() + 2, c.values.data(), 2);
        }
        const std::vector<std::uint8_t> before = buffer;

        wn::PointIo point{};
        point.station = c.station;
        point.reg = c.reg;
        point.bit = c.bit;
        point.kind = (c.op == Op::ReadBit || c.op == Op::WriteBit) ? wn::KIND_BIT : wn::KIND_WORD;
        point.count = c.count;
        point.values = buffer.data();
        std::int32_t code = 5;
        if (c.op == Op::ReadBlock) {
            code = 6;
        } else if (c.op == Op::WriteWord || c.op == Op::WriteBit) {
            code = 7;
        } else if (c.op == Op::WriteBlock) {
            code = 10;
        }
        const std::size_t tapFrom = g_tap.size();
        wn::DriverRequest request{&channel_, code, {}, &point};
        // Twelve exchanges of a reply time-out each, plus the late replies
        // the simulator holds back meanwhile: far below the bound.
        Arm(kOpNames[static_cast<int>(c.op)], 120 + 12 * options_.replyTimeout / 100 * 2);
        c.result = ZanMain(&request);
        Disarm();
        const int slot = c.result >= 0 && c.result <= 2 ? c.result : 2;
        ++counts_.results[static_cast<int>(c.op)][slot];

        if (c.result != wn::ResOk && c.result != wn::ResBad && c.result != wn::ResFail) {
            Hard("result " + std::to_string(c.result));
        }
        if ((!IsRead(c.op) || c.result != wn::ResOk) && buffer != before) {
            Hard(std::string(kOpNames[static_cast<int>(c.op)]) + " with result " +
                 std::to_string(c.result) + " changed the value buffer");
        }
        if (!IsRead(c.op)) {
            intents_[WriteFrame(c.op, c.reg, c.bit, c.values)].insert(c.station);
        }
        Absorb();
        Follow(tapFrom, c);
        commands_.push_back(c);
        Check(commands_.back(), buffer);
    }

    // The simulator's new trace lines: the plant's side of every exchange.
    void Absorb() {
        for (Event& e : sim_.NewEvents()) {
            if (e.dropped) {
                continue;  // bytes thrown away by the plant: no frame, no answer
            }
            frameStation_.push_back(selected_);  // the station that serves a read or write
            Replay(e);
            frameStart_.push_back(sent_.size());
            sent_.insert(sent_.end(), e.tx.begin(), e.tx.end());
            frames_.push_back(std::move(e));
        }
    }

    // The driver's side: every byte it read is matched to the plant's reply
    // it came from. The k-th frame the driver wrote is the k-th frame the
    // plant received, and the plant sends its replies in that order.
    void Follow(std::size_t tapFrom, Command& c) {
        // Where the answer to the command's last request was read from.
        std::size_t answerFrom = 0;
        std::size_t answerLength = 0;
        bool answerOwn = true;
        for (std::size_t t = tapFrom; t < g_tap.size(); ++t) {
            const TapEntry& e = g_tap[t];
            if (e.write) {
                c.wrote = true;
                c.lastWrite = e.writes;
                answerLength = 0;
                answerOwn = true;
                continue;
            }
            for (std::uint8_t byte : e.bytes) {
                const std::size_t at = received_++;
                if (at >= sent_.size() || sent_[at] != byte) {
                    Hard("the driver read a byte the plant never sent (offset " +
                         std::to_string(at) + ")");
                    return;
                }
                const std::size_t frame = static_cast<std::size_t>(
                    std::upper_bound(frameStart_.begin(), frameStart_.end(), at) -
                    frameStart_.begin() - 1);
                Consumed(frame, e);
                if (!e.drain && c.wrote && e.writes == c.lastWrite + 1) {
                    answerFrom = answerLength == 0 ? at : answerFrom;
                    ++answerLength;
                    answerOwn = answerOwn && frame == c.lastWrite;
                }
            }
        }
        // The plant's whole, clean reply to that very request, nothing else.
        c.ownAnswer = c.wrote && answerOwn && c.lastWrite < frames_.size() &&
                      answerFrom == frameStart_[c.lastWrite] &&
                      answerLength == frames_[c.lastWrite].tx.size() &&
                      frames_[c.lastWrite].fault != "noise";
    }

    // First use of a frame's reply bytes: read as an answer, or purged.
    void Consumed(std::size_t frame, const TapEntry& e) {
        if (fate_.size() <= frame) {
            fate_.resize(frame + 1, Fate::Unread);
        }
        if (fate_[frame] != Fate::Unread) {
            return;
        }
        const Event& f = frames_[frame];
        if (e.drain) {
            fate_[frame] = Fate::Drained;
            return;
        }
        // The driver was waiting for the answer to frame e.writes - 1.
        const std::size_t awaited = e.writes - 1;
        fate_[frame] = awaited == frame ? Fate::InTime : Fate::Later;
        if (awaited > frame) {
            ++counts_.takenLater[FaultOf(f)];
            if (f.fault == "late" && frames_.size() > awaited && frames_[awaited].rx != f.rx) {
                ++counts_.lateTakenLaterOther;
            }
        }
    }

    void Settle() {
        // The late replies still held back come out, and one harmless read
        // after them makes sure the plant has served everything before it.
        Arm("letting the last late replies out", 120);
        std::uint16_t values[2] = {};
        wn::PointIo point{};
        point.station = kStations[0];
        point.kind = wn::KIND_WORD;
        point.values = values;
        for (int i = 0; i < 3; ++i) {
            const std::size_t tapFrom = g_tap.size();
            wn::DriverRequest request{&channel_, 5, {}, &point};
            ZanMain(&request);
            Absorb();
            Command ignored{};
            Follow(tapFrom, ignored);
        }
        Disarm();
    }

    void Replay(const Event& e) {
        ++counts_.frames;
        if (!e.fault.empty()) {
            ++counts_.faults[e.fault];
        }
        if (e.ignored || e.rx.size() < 6 || e.fault == "silence") {
            return;  // nothing happened on the plant
        }
        const int op = e.rx[0];
        if (op == kOpSelect) {
            selected_ = e.rx[1];
            return;
        }
        if (op != 0x01 && op != 0x03 && op != 0x07) {
            return;
        }
        // A write took effect: it must be one that the host asked for.
        const auto intent = intents_.find(e.rx);
        if (intent == intents_.end()) {
            Hard("the plant received a write no host asked for");
            return;
        }
        if (intent->second.count(selected_) == 0) {
            ++counts_.writesOnOtherStation;
        }
        auto& regs = shadow_[selected_];
        if (regs.empty()) {
            regs.assign(65536, 0);
        }
        const auto reg = static_cast<std::size_t>(e.rx[1] | (e.rx[2] << 8));
        if (op == 0x01) {
            regs[reg] = static_cast<std::uint16_t>(e.rx[3] | (e.rx[4] << 8));
        } else if (op == 0x03) {
            const unsigned bit = e.rx[3] & 15U;
            if ((e.rx[3] & 0x10) != 0) {
                regs[reg] = static_cast<std::uint16_t>(regs[reg] | (1U << bit));
            } else {
                regs[reg] = static_cast<std::uint16_t>(regs[reg] & ~(1U << bit));
            }
        } else {
            const std::size_t n = static_cast<std::size_t>(e.rx[3]) + 1;
            for (std::size_t i = 0; i < n; ++i) {
                regs[(reg + i) % 65536] =
                    static_cast<std::uint16_t>(e.rx[6 + 2 * i] | (e.rx[7 + 2 * i] << 8));
            }
        }
        applied_.insert(frames_.size());  // the index this frame is about to get
    }

    void Check(const Command& c, const std::vector<std::uint8_t>& buffer) {
        if (c.result != wn::ResOk) {
            if (c.wrote && c.lastWrite < frames_.size()) {
                ++counts_.lastFault[FaultOf(frames_[c.lastWrite])][c.result];
            }
            return;
        }
        if (!c.ownAnswer) {
            ++counts_.okOnOtherReply;
        }
        if (IsRead(c.op)) {
            // A selection acknowledged by another reply leaves the plant on
            // another station: what counts is the station that answered.
            // (Not known yet when the plant has not served the request at
            // all: then the reply was another's anyway.)
            const int served =
                c.lastWrite < frameStation_.size() ? frameStation_[c.lastWrite] : c.station;
            if (served != c.station) {
                ++counts_.readsOnOtherStation;
            }
            auto matches = [&](int station) {
                const auto& regs = shadow_[station];
                if (c.op == Op::ReadBlock) {
                    for (int i = 0; i < c.count; ++i) {
                        std::uint16_t got;
                        std::memcpy(&got, buffer.data() + 2 * static_cast<std::size_t>(i), 2);
                        if (got !=
                            regs[static_cast<std::size_t>(c.reg) + static_cast<std::size_t>(i)]) {
                            return false;
                        }
                    }
                    return true;
                }
                std::uint16_t got;
                std::memcpy(&got, buffer.data() + 2, 2);
                const std::uint16_t word = regs[static_cast<std::size_t>(c.reg)];
                const std::uint16_t want =
                    c.op == Op::ReadBit ? static_cast<std::uint16_t>((word >> c.bit) & 1U) : word;
                return got == want && buffer[0] == 0xC3 && buffer[1] == (0xC3 ^ 1);
            };
            if (c.ownAnswer && !matches(served)) {
                Hard(std::string(kOpNames[static_cast<int>(c.op)]) + " of station " +
                     std::to_string(c.station) + " register " + std::to_string(c.reg) +
                     " returned ResOk on the plant's own answer with a value it does not hold");
                Explain(c);
            } else if (!matches(c.station)) {
                ++counts_.wrongValues;
                if (options_.explain) {
                    Explain(c);
                }
            }
        } else {
            // Acknowledged: the write reached the plant, unless the
            // acknowledgement was another request's reply; then it may still
            // be on its way (checked again at the end) or lost.
            acknowledged_.push_back(commands_.size() - 1);
        }
    }

    // The frames around a command that returned ResOk on another request's
    // reply, as the plant saw them.
    void Explain(const Command& c) const {
        std::fprintf(stderr, "soak: %s of station %d register %d count %d: ResOk, the frames:\n",
                     kOpNames[static_cast<int>(c.op)], c.station, c.reg, c.count);
        const std::size_t from = c.lastWrite >= 8 ? c.lastWrite - 8 : 0;
        for (std::size_t k = from; k <= c.lastWrite && k < frames_.size(); ++k) {
            std::string rx;
            std::string tx;
            for (std::uint8_t b : frames_[k].rx) {
                char h[4];
                std::snprintf(h, sizeof h, "%02X ", b);
                rx += h;
            }
            for (std::uint8_t b : frames_[k].tx) {
                char h[4];
                std::snprintf(h, sizeof h, "%02X ", b);
                tx += h;
            }
            std::fprintf(stderr, "  frame %zu: rx %s| tx %s| %s%s\n", k, rx.c_str(), tx.c_str(),
                         FaultOf(frames_[k]).c_str(),
                         k < fate_.size() && fate_[k] == Fate::Drained ? " (purged)" : "");
        }
    }

    void Finish() {
        const auto dump = sim_.StopAndDump();
        Absorb();
        for (std::size_t index : acknowledged_) {
            const Command& c = commands_[index];
            const Bytes frame = WriteFrame(c.op, c.reg, c.bit, c.values);
            bool applied = c.ownAnswer && applied_.count(c.lastWrite) != 0;
            if (!applied) {
                // The ack was another reply: did any copy of the write land?
                for (std::size_t k = 0; k < frames_.size() && !applied; ++k) {
                    applied = applied_.count(k) != 0 && frames_[k].rx == frame;
                }
            }
            if (!applied && c.ownAnswer) {
                Hard("acknowledged " + std::string(kOpNames[static_cast<int>(c.op)]) +
                     " never took effect");
            } else if (!applied) {
                ++counts_.lostOnOtherAck;
            }
        }
        for (std::size_t k = 0; k < frames_.size(); ++k) {
            if (frames_[k].fault != "late" || frames_[k].tx.empty()) {
                continue;
            }
            ++counts_.lateTotal;
            const Fate fate = k < fate_.size() ? fate_[k] : Fate::Unread;
            counts_.lateTakenLater += fate == Fate::Later ? 1 : 0;
            counts_.lateDrained += fate == Fate::Drained ? 1 : 0;
            counts_.lateUnread += fate == Fate::Unread ? 1 : 0;
        }
        for (const auto& [station, regs] : dump) {
            auto& mine = shadow_[station];
            if (mine.empty()) {
                mine.assign(65536, 0);
            }
            if (regs != mine) {
                Hard("the plant's dump of station " + std::to_string(station) +
                     " differs from the replayed trace");
            }
        }
    }

    enum class Fate { Unread, InTime, Later, Drained };

    const Options& options_;
    Sim& sim_;
    std::mt19937_64 rng_;
    wn::ChannelState channel_{};
    std::map<int, std::vector<std::uint16_t>> shadow_;
    int selected_ = -1;
    std::vector<Event> frames_;            // the plant's frames, in order
    std::vector<std::size_t> frameStart_;  // where each frame's reply starts in sent_
    std::vector<int> frameStation_;        // the plant's selected station for each frame
    Bytes sent_;                           // every reply byte the plant sent
    std::size_t received_ = 0;             // how many of them the driver read
    std::vector<Fate> fate_;
    std::set<std::size_t> applied_;  // frames whose write took effect
    std::vector<Command> commands_;
    std::map<Bytes, std::set<int>> intents_;
    std::vector<std::size_t> acknowledged_;
    Counts counts_;
};

void Usage() {
    std::fprintf(
        stderr,
        "usage: soak --sim PATH [--commands N] [--seed N] [--reply-timeout T]\n"
        "            [--late-ms MS] [--fault-rate P] [--late-only] [--baud N] [--verbose]\n"
        "            [--explain]\n"
        "  N the line's rate, 8N1, up to 57600 (default 38400); 0 for replies\n"
        "  written at once instead of byte by byte\n"
        "  T in tens of milliseconds (default 10); P the share of answered\n"
        "  requests that get a fault, spread evenly over every kind (default 0.2)\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage();
            }
            return argv[++i];
        };
        if (a == "--sim") {
            options.sim = value();
        } else if (a == "--commands") {
            options.commands = std::strtol(value().c_str(), nullptr, 10);
        } else if (a == "--seed") {
            options.seed = std::strtoull(value().c_str(), nullptr, 10);
        } else if (a == "--reply-timeout") {
            options.replyTimeout = static_cast<int>(std::strtol(value().c_str(), nullptr, 10));
        } else if (a == "--late-ms") {
            options.lateMs = static_cast<int>(std::strtol(value().c_str(), nullptr, 10));
        } else if (a == "--baud") {
            options.baud = std::strtol(value().c_str(), nullptr, 10);
        } else if (a == "--fault-rate") {
            options.faultRate = std::strtod(value().c_str(), nullptr);
        } else if (a == "--late-only") {
            options.lateOnly = true;
        } else if (a == "--verbose") {
            options.verbose = true;
        } else if (a == "--explain") {
            options.explain = true;
        } else {
            Usage();
        }
    }
    if (options.sim.empty() || options.commands < 1 || options.replyTimeout < 1 ||
        options.baud < 0 || options.baud > 57600) {
        Usage();
    }
    signal(SIGPIPE, SIG_IGN);

    char dir[] = "/tmp/westnet-soak-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        Die("mkdtemp");
    }
    std::thread watchdog(Watch);
    bool ok = false;
    {
        Sim sim(options, dir);
        Soak soak(options, sim);
        ok = soak.Run();
        soak.Report();
    }
    {
        std::lock_guard<std::mutex> lock(g_watchMutex);
        g_watchStopped = true;
    }
    g_watchStop.notify_all();
    watchdog.join();
    for (const char* f : {"image.txt", "trace.txt", "dump.txt"}) {
        unlink((std::string(dir) + "/" + f).c_str());
    }
    rmdir(dir);
    std::printf("%s\n", ok ? "soak: passed" : "soak: FAILED");
    return ok ? 0 : 1;
}
