// The driver's timings against westnet-sim, through the shipped native
// library (libwestnet.so) and its one entry point, ZanMain, exactly as a host
// calls it. One program, four modes:
//
//   westnet-bench roundtrip --sim PATH [--count N] [--warmup N]
//       µs per exchange with immediate replies: word read, bit write and
//       64-word block read, through the driver and through a bare client.
//   westnet-bench wire --sim PATH [--baud 9600] [--format 8O2] [--seconds S]
//       exchanges per second on a paced line, against the limit that the
//       paced reply bytes set: word reads, 64-word block reads, and word
//       reads alternating between two stations (each one selects first).
//   westnet-bench channels [--responder thread|sim] [--baud 115200] [--max 16]
//       1, 2, 4 ... max channels side by side, each on its own thread and its
//       own paced line (an in-process responder thread, or a westnet-sim
//       process per line), word reads: aggregate rate ÷ (N × one channel).
//   westnet-bench cpu --sim PATH [--count N] [--baud B]
//       N word reads through MeasuredCommand, for callgrind's
//       --toggle-collect=MeasuredCommand; with --baud the simulator paces its
//       replies byte by byte, so every byte is a wake-up of its own.
//
// Every figure is printed as a RESULT line (see bench_util.h).
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "entry/records.h"
#include "entry/zanmain.h"
#include "sim_line.h"

// The one function whose instructions callgrind counts in cpu mode.
extern "C" __attribute__((noinline)) std::int32_t MeasuredCommand(westnet::DriverRequest* r) {
    return ZanMain(r);
}

namespace westnet::bench {
namespace {

constexpr std::int32_t kOpen = 1;
constexpr std::int32_t kReadPoint = 5;
constexpr std::int32_t kReadBlock = 6;
constexpr std::int32_t kWritePoint = 7;
constexpr std::int32_t kClose = 12;
constexpr std::int32_t kBlock = 64;
constexpr std::size_t kHeader = 6;
constexpr std::size_t kBlockReply = 2 * kBlock + 7;  // 135

struct Format {
    int dataBits = 8;
    char parity = 'N';
    int stopBits = 1;
    int BitsPerChar() const { return 1 + dataBits + (parity == 'N' ? 0 : 1) + stopBits; }
};

Format ParseFormat(const std::string& text) {
    Format f;
    if (text.size() == 3) {
        f.dataBits = text[0] - '0';
        f.parity = text[1];
        f.stopBits = text[2] - '0';
    }
    return f;
}

// The host's line parameters carry the rate in 16 bits, so 115200 cannot be
// asked for. A pseudo-terminal has no speed of its own (the simulator does
// the pacing), so a faster line is opened at 57600.
std::uint16_t LineBaud(long baud) {
    return static_cast<std::uint16_t>(baud > 65535 ? 57600 : baud);
}

// A channel of the driver, opened through ZanMain on one simulated line.
class Channel {
public:
    Channel(const std::string& device, long baud, const Format& format) {
        OpenParams open{};
        std::snprintf(open.device, sizeof open.device, "%s", device.c_str());
        open.enabled = 1;
        open.replyTimeout = 100;  // one second: nothing here should ever wait it out
        const std::uint16_t parity = format.parity == 'O' ? 1 : format.parity == 'E' ? 2 : 0;
        const std::uint16_t stop = format.stopBits == 2 ? 2 : 0;
        open.line =
            LineParams{LineBaud(baud), static_cast<std::uint16_t>(format.dataBits), stop, parity};
        opened_ = Run(kOpen, &open) == ResOk;
        if (!opened_ && parity != 0) {
            // A pseudo-terminal keeps no parity. Where the C library reports
            // a line state that the terminal could not fully take as a
            // failure, the open is refused once the simulator's side has set
            // the same format; the benchmark then opens without parity (the
            // simulator paces by its own --format either way) and says so.
            open.line.parity = 0;
            opened_ = Run(kOpen, &open) == ResOk;
            parityDropped_ = opened_;
        }
        point_.values = values_;
        point_.count = kBlock;
        point_.reg = 40000;
    }
    ~Channel() {
        if (opened_) {
            Run(kClose, nullptr);
        }
    }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;
    bool opened() const { return opened_; }
    bool parityDropped() const { return parityDropped_; }

    bool ReadWord(std::int32_t station) {
        point_.station = station;
        point_.kind = KIND_WORD;
        return Run(kReadPoint, &point_) == ResOk;
    }
    bool WriteBit(std::int32_t station, bool value) {
        point_.station = station;
        point_.kind = KIND_BIT;
        point_.bit = 5;
        values_[2] = value ? 1 : 0;
        return Run(kWritePoint, &point_) == ResOk;
    }
    bool ReadBlock(std::int32_t station) {
        point_.station = station;
        return Run(kReadBlock, &point_) == ResOk;
    }
    // The word read as cpu mode counts it: through MeasuredCommand.
    bool MeasuredReadWord(std::int32_t station) {
        point_.station = station;
        point_.kind = KIND_WORD;
        DriverRequest request{};
        request.channel = &state_;
        request.command = kReadPoint;
        request.params = &point_;
        return MeasuredCommand(&request) == ResOk;
    }

private:
    std::int32_t Run(std::int32_t command, void* params) {
        DriverRequest request{};
        request.channel = &state_;
        request.command = command;
        request.params = params;
        return ZanMain(&request);
    }

    ChannelState state_{};
    PointIo point_{};
    std::uint8_t values_[2 * kBlock + 8] = {};
    bool opened_ = false;
    bool parityDropped_ = false;
};

bool Timed(const char* impl, const char* peer, const char* exchange, long warmup, long count,
           const std::function<bool()>& once) {
    for (long i = 0; i < warmup; ++i) {
        if (!once()) {
            std::fprintf(stderr, "westnet-bench: %s %s failed during warm-up\n", impl, exchange);
            return false;
        }
    }
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(count));
    for (long i = 0; i < count; ++i) {
        const double start = NowUs();
        if (!once()) {
            std::fprintf(stderr, "westnet-bench: %s %s failed\n", impl, exchange);
            return false;
        }
        samples.push_back(NowUs() - start);
    }
    Summary s = Summarise(samples);
    PrintTiming("roundtrip", impl, peer, exchange, s);
    return true;
}

// The three exchanges through the driver, then through the bare client, on
// one line whose far end answers at once.
bool RoundTripOn(const std::string& device, const char* peer, long count, long warmup) {
    {
        Channel ch(device, 9600, ParseFormat("8N1"));
        if (!ch.opened() || !ch.ReadWord(1)) {
            std::fprintf(stderr, "westnet-bench: cannot open %s\n", device.c_str());
            return false;
        }
        bool bit = false;
        if (!Timed("westnet", peer, "word_read", warmup, count, [&] { return ch.ReadWord(1); }) ||
            !Timed("westnet", peer, "bit_write", warmup, count,
                   [&] { return ch.WriteBit(1, bit = !bit); }) ||
            !Timed("westnet", peer, "block_read", warmup, count, [&] { return ch.ReadBlock(1); })) {
            return false;
        }
    }
    RawClient raw(device);
    if (!raw.ok() || !raw.Exchange(0x0A, 1, 0, 0, kHeader)) {
        std::fprintf(stderr, "westnet-bench: bare client cannot reach %s\n", device.c_str());
        return false;
    }
    std::uint8_t bit = 0;
    return Timed("bare", peer, "word_read", warmup, count,
                 [&] { return raw.Exchange(0x00, 0x40, 0x9C, 0, kHeader); }) &&
           Timed("bare", peer, "bit_write", warmup, count,
                 [&] {
                     bit ^= 0x10;
                     return raw.Exchange(0x03, 0x40, 0x9C, static_cast<std::uint8_t>(5 | bit),
                                         kHeader);
                 }) &&
           Timed("bare", peer, "block_read", warmup, count,
                 [&] { return raw.Exchange(0x05, 0x40, 0x9C, kBlock - 1, kBlockReply); });
}

int RoundTrip(const std::string& sim, long count, long warmup) {
    {
        // Unpaced on purpose: the round trip measures the software's own
        // latency, which a paced reply's wire time would hide.
        SimLine line(sim, {}, 0);
        if (!line.ready() || !RoundTripOn(line.device(), "westnet-sim", count, warmup)) {
            return 1;
        }
    }
    MiniStation mini;
    if (!mini.ready() || !RoundTripOn(mini.device(), "mini", count, warmup)) {
        return 1;
    }
    return 0;
}

// Runs `once` for `seconds` (at least `minimum` times); exchanges per second,
// and the median time of one.
double Rate(double seconds, long minimum, const std::function<bool()>& once, long* done,
            double* medianUs) {
    std::vector<double> times;
    const double start = NowUs();
    const double end = start + seconds * 1e6;
    double now = start;
    while (now < end || static_cast<long>(times.size()) < minimum) {
        if (!once()) {
            return -1;
        }
        const double after = NowUs();
        times.push_back(after - now);
        now = after;
    }
    *done = static_cast<long>(times.size());
    *medianUs = Summarise(times).median;
    return static_cast<double>(times.size()) / ((now - start) / 1e6);
}

void PrintRate(const char* impl, const char* exchange, long n, double rate, double limit,
               long pacedBytes, double medianUs) {
    // The median's efficiency: the paced time over the typical command's time,
    // which a few late wake-ups on a busy machine do not move.
    const double medianEfficiency = (1e6 / limit) / medianUs;
    std::printf(
        "RESULT kind=wire impl=%s exchange=%s n=%ld rate_per_s=%.3f limit_per_s=%.3f "
        "efficiency=%.4f paced_bytes=%ld median_us=%.1f median_efficiency=%.4f\n",
        impl, exchange, n, rate, limit, rate / limit, pacedBytes, medianUs, medianEfficiency);
    std::fflush(stdout);
}

int Wire(const std::string& sim, long baud, const std::string& formatText, double seconds) {
    const Format format = ParseFormat(formatText);
    SimLine line(sim, {"--baud", std::to_string(baud), "--format", formatText}, 0);
    if (!line.ready()) {
        return 1;
    }
    // The simulator paces its replies, one character time per byte; requests
    // pass the pseudo-terminal at once. The limit is what the paced bytes
    // allow: baud / (bits per character × reply bytes per command).
    const double charsPerSecond = static_cast<double>(baud) / format.BitsPerChar();
    const long wordBytes = kHeader;
    const long blockBytes = kBlockReply;
    const long alternateBytes = 2 * kHeader;  // select reply + read reply
    struct Scenario {
        const char* exchange;
        long pacedBytes;
        long minimum;
    };
    const Scenario scenarios[] = {
        {"word_read", wordBytes, 50},
        {"block_read", blockBytes, 8},
        {"word_read_alternating", alternateBytes, 50},
    };
    {
        Channel ch(line.device(), baud, format);
        if (!ch.opened() || !ch.ReadWord(1)) {
            std::fprintf(stderr, "westnet-bench: cannot open %s\n", line.device().c_str());
            return 1;
        }
        if (ch.parityDropped()) {
            std::printf("RESULT kind=note text=driver_opened_the_pty_without_parity\n");
        }
        std::int32_t station = 1;
        const std::function<bool()> runs[] = {
            [&] { return ch.ReadWord(1); },
            [&] { return ch.ReadBlock(1); },
            [&] {
                station = 3 - station;
                return ch.ReadWord(station);
            },
        };
        for (std::size_t i = 0; i < 3; ++i) {
            const Scenario& s = scenarios[i];
            runs[i]();  // the first one settles the selection
            long n = 0;
            double median = 0;
            const double rate = Rate(seconds, s.minimum, runs[i], &n, &median);
            if (rate < 0) {
                std::fprintf(stderr, "westnet-bench: %s failed on the paced line\n", s.exchange);
                return 1;
            }
            PrintRate("westnet", s.exchange, n, rate,
                      charsPerSecond / static_cast<double>(s.pacedBytes), s.pacedBytes, median);
        }
    }
    RawClient raw(line.device());
    if (!raw.ok() || !raw.Exchange(0x0A, 1, 0, 0, kHeader)) {
        return 1;
    }
    std::uint8_t station = 1;
    const std::function<bool()> bare[] = {
        [&] { return raw.Exchange(0x00, 0x40, 0x9C, 0, kHeader); },
        [&] { return raw.Exchange(0x05, 0x40, 0x9C, kBlock - 1, kBlockReply); },
        [&] {
            station = static_cast<std::uint8_t>(3 - station);
            return raw.Exchange(0x0A, station, 0, 0, kHeader) &&
                   raw.Exchange(0x00, 0x40, 0x9C, 0, kHeader);
        },
    };
    for (std::size_t i = 0; i < 3; ++i) {
        const Scenario& s = scenarios[i];
        long n = 0;
        double median = 0;
        const double rate = Rate(seconds, s.minimum, bare[i], &n, &median);
        if (rate < 0) {
            return 1;
        }
        PrintRate("bare", s.exchange, n, rate, charsPerSecond / static_cast<double>(s.pacedBytes),
                  s.pacedBytes, median);
    }
    return 0;
}

// N channels at once, each on its own thread and line; every thread counts
// the word reads it completes inside one common window.
double ChannelsRate(const std::vector<std::string>& devices, std::size_t n, long baud,
                    const Format& format, double seconds, bool* failed) {
    std::atomic<std::size_t> ready{0};
    std::atomic<bool> go{false};
    std::atomic<bool> stop{false};
    std::atomic<bool> failure{false};
    std::vector<long> counts(n, 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < n; ++i) {
        threads.emplace_back([&, i] {
            Channel ch(devices[i], baud, format);
            if (!ch.opened() || !ch.ReadWord(1)) {
                failure = true;
            }
            ++ready;
            while (!go.load()) {
                std::this_thread::yield();
            }
            long c = 0;
            while (!stop.load(std::memory_order_relaxed) && !failure.load()) {
                if (!ch.ReadWord(1)) {
                    failure = true;
                    break;
                }
                ++c;
            }
            counts[i] = c;
        });
    }
    while (ready.load() < n) {
        std::this_thread::yield();
    }
    const double start = NowUs();
    go = true;
    std::this_thread::sleep_for(std::chrono::microseconds(static_cast<long>(seconds * 1e6)));
    stop = true;
    const double elapsed = (NowUs() - start) / 1e6;
    for (std::thread& t : threads) {
        t.join();
    }
    long total = 0;
    for (long c : counts) {
        total += c;
    }
    *failed = failure.load();
    return static_cast<double>(total) / elapsed;
}

// Lines from in-process paced responders (`responder` "thread"), or one
// westnet-sim process per line ("sim"), which paces byte by byte.
int Channels(const std::string& sim, const std::string& responder, long baud,
             const std::string& formatText, long max, double seconds) {
    const Format format = ParseFormat(formatText);
    const std::int64_t charNs = 1000000000LL * format.BitsPerChar() / baud;
    std::vector<std::unique_ptr<SimLine>> sims;
    std::vector<std::unique_ptr<PacedResponder>> threads;
    std::vector<std::string> devices;
    for (long i = 0; i < max; ++i) {
        if (responder == "sim") {
            sims.push_back(std::make_unique<SimLine>(
                sim,
                std::vector<std::string>{"--baud", std::to_string(baud), "--format", formatText},
                static_cast<int>(i)));
            if (!sims.back()->ready()) {
                return 1;
            }
            devices.push_back(sims.back()->device());
        } else {
            threads.push_back(std::make_unique<PacedResponder>(charNs, static_cast<int>(i)));
            if (!threads.back()->ready()) {
                return 1;
            }
            devices.push_back(threads.back()->device());
        }
    }
    // One word read paces 6 reply bytes; requests pass at once.
    const double limit = 1e9 / (6.0 * static_cast<double>(charNs));
    double single = 0;
    for (long n = 1; n <= max; n *= 2) {
        bool failed = false;
        const double rate =
            ChannelsRate(devices, static_cast<std::size_t>(n), baud, format, seconds, &failed);
        if (failed) {
            std::fprintf(stderr, "westnet-bench: a channel failed with %ld channels\n", n);
            return 1;
        }
        if (n == 1) {
            single = rate;
        }
        std::printf(
            "RESULT kind=channels impl=westnet responder=%s channels=%ld rate_per_s=%.1f "
            "per_channel_per_s=%.1f line_limit_per_s=%.1f scaling=%.4f\n",
            responder.c_str(), n, rate, rate / static_cast<double>(n), limit,
            rate / (static_cast<double>(n) * single));
        std::fflush(stdout);
    }
    return 0;
}

// Without --baud the simulator answers unpaced: the count of instructions
// per command is the point, not the line.
int Cpu(const std::string& sim, long count, long baud) {
    std::vector<std::string> options;
    if (baud != 0) {
        options = {"--baud", std::to_string(baud)};
    }
    SimLine line(sim, options, 0);
    if (!line.ready()) {
        return 1;
    }
    Channel ch(line.device(), 9600, ParseFormat("8N1"));
    if (!ch.opened() || !ch.ReadWord(1)) {
        return 1;
    }
    for (long i = 0; i < count; ++i) {
        if (!ch.MeasuredReadWord(1)) {
            std::fprintf(stderr, "westnet-bench: word read %ld failed\n", i);
            return 1;
        }
    }
    std::printf("RESULT kind=cpu impl=westnet exchange=word_read n=%ld baud=%ld\n", count, baud);
    return 0;
}

}  // namespace
}  // namespace westnet::bench

int main(int argc, char** argv) {
    using namespace westnet::bench;
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: westnet-bench roundtrip|wire|channels|cpu --sim PATH [options]\n");
        return 2;
    }
    const std::string mode = argv[1];
    const std::string sim = Option(argc, argv, "--sim", "westnet-sim");
    if (mode == "roundtrip") {
        return RoundTrip(sim, OptionInt(argc, argv, "--count", 2000),
                         OptionInt(argc, argv, "--warmup", 100));
    }
    if (mode == "wire") {
        return Wire(sim, OptionInt(argc, argv, "--baud", 9600),
                    Option(argc, argv, "--format", "8O2"),
                    OptionDouble(argc, argv, "--seconds", 3));
    }
    if (mode == "channels") {
        return Channels(sim, Option(argc, argv, "--responder", "thread"),
                        OptionInt(argc, argv, "--baud", 115200),
                        Option(argc, argv, "--format", "8O2"), OptionInt(argc, argv, "--max", 16),
                        OptionDouble(argc, argv, "--seconds", 2));
    }
    if (mode == "cpu") {
        return Cpu(sim, OptionInt(argc, argv, "--count", 2000), OptionInt(argc, argv, "--baud", 0));
    }
    std::fprintf(stderr, "westnet-bench: unknown mode %s\n", mode.c_str());
    return 2;
}
