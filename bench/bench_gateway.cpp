// The gateway's scan engine against westnet-sim paced at 9600 baud 8O2: a
// plant of about 300 points on 3 stations (the example plant's kind of
// points: words, bits, a block, names with '/'), read by the line scanner
// over the driver exactly as the daemon does, without the HTTP front end.
//
//   westnet-bench-gateway --sim PATH [--seconds S] [--silent-seconds S]
//                         [--baud 9600] [--format 8O2]
//
// Two set-ups, each a RESULT line per figure (see bench_util.h):
//   mode=paced  the simulator paces its replies; requests cross the pty at
//               once, so the plan's wire time is its reply characters;
//   mode=wire   a relay between the driver and the simulator paces the
//               requests too, as a real half-duplex line does, so the plan's
//               wire time is every character it sends and receives.
// In each: the scan cycle against the plan's wire time; the same points read
// one by one (a word read each); and, with station 3 silent, the cycle of
// the two live stations once it is demoted, against all three alive and
// against a plant of the two live stations alone.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"
#include "plant/reader.h"
#include "scan/driver_channel.h"
#include "scan/plan.h"
#include "scan/scanner.h"
#include "serial_device.h"
#include "session.h"
#include "sim_line.h"

namespace westnet::bench {
namespace {

using gateway::Block;
using gateway::LineConfig;
using gateway::LineScanner;
using gateway::Plant;

constexpr int kPointsPerStation = 100;

// Station s: 99 points from register 40001 on, one register left out after
// every four (so blocks span small gaps), every fifth a bit point, then a
// 10-word block: 3 stations x 100 = 300 points, 134 registers a station.
std::string PlantToml(const std::string& device, const std::vector<int>& stations,
                      const std::string& format, long baud) {
    std::string t = "[gateway]\nhttp = \"\"\nmodbus = \"\"\n\n[[line]]\nname = \"bench\"\n";
    t += "device = \"" + device + "\"\nbaud = " + std::to_string(baud) + "\nformat = \"" + format +
         "\"\ntimeout_ms = 100\ndemote_after = 3\ndemote_ms = 10000\nmax_gap = 8\n";
    for (const int s : stations) {
        for (int i = 0; i < kPointsPerStation - 1; ++i) {
            char address[32];
            const int reg = 40001 + i + i / 4;
            if (i % 5 == 4) {
                std::snprintf(address, sizeof address, "%02d%05d %d", s, reg, i % 16 + 1);
            } else {
                std::snprintf(address, sizeof address, "%02d%05d", s, reg);
            }
            t += "[[line.point]]\naddress = \"" + std::string(address) + "\"\nname = \"s" +
                 std::to_string(s) + "/p" + std::to_string(i) + "\"\nscan_ms = 10\n";
        }
        char block[16];
        const int last = kPointsPerStation - 2;
        std::snprintf(block, sizeof block, "%02d%05d", s, 40001 + last + last / 4 + 2);
        t += "[[line.point]]\naddress = \"" + std::string(block) + "\"\ncount = 10\nname = \"s" +
             std::to_string(s) + "/block\"\nscan_ms = 10\n";
    }
    return t;
}

std::string ImageFor(const std::vector<int>& stations) {
    std::string image;
    for (const int s : stations) {
        for (int r = 0; r < 140; ++r) {
            char line[48];
            std::snprintf(line, sizeof line, "%02d%05d = %d\n", s, 40001 + r, s * 1000 + r);
            image += line;
        }
    }
    return image;
}

// Paces what the driver sends: each chunk reaches the simulator one
// character time per byte after the line was last free. Replies pass at
// once (the simulator paces them).
class RequestRelay {
public:
    RequestRelay(const std::string& simDevice, double charUs, int index) : charUs_(charUs) {
        char path[128] = {};
        if (openpty(&master_, &slave_, path, nullptr, nullptr) != 0) {
            return;
        }
        termios t{};
        tcgetattr(master_, &t);
        cfmakeraw(&t);
        tcsetattr(master_, TCSANOW, &t);
        sim_ = open(simDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (sim_ < 0) {
            return;
        }
        tcgetattr(sim_, &t);
        cfmakeraw(&t);
        tcsetattr(sim_, TCSANOW, &t);
        device_ = "/tmp/wg" + std::to_string((getpid() % 100) * 100 + index % 100);
        unlink(device_.c_str());
        if (symlink(path, device_.c_str()) != 0 || pipe(stop_) != 0) {
            return;
        }
        thread_ = std::thread([this] { Run(); });
        ready_ = true;
    }
    ~RequestRelay() {
        if (thread_.joinable()) {
            const char c = 0;
            (void)!write(stop_[1], &c, 1);
            thread_.join();
        }
        unlink(device_.c_str());
        for (const int fd : {master_, slave_, sim_, stop_[0], stop_[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    RequestRelay(const RequestRelay&) = delete;
    RequestRelay& operator=(const RequestRelay&) = delete;
    bool ready() const { return ready_; }
    const std::string& device() const { return device_; }

private:
    void Run() {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        unsigned char buffer[512];
        double freeAt = 0;
        for (;;) {
            pollfd fds[3] = {{master_, POLLIN, 0}, {sim_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (poll(fds, 3, -1) < 0) {
                continue;
            }
            if (fds[2].revents != 0) {
                return;
            }
            if ((fds[0].revents & POLLIN) != 0) {
                const ssize_t n = read(master_, buffer, sizeof buffer);
                if (n > 0) {
                    const double due = std::max(NowUs(), freeAt) + static_cast<double>(n) * charUs_;
                    while (NowUs() < due) {
                        const double left = due - NowUs();
                        if (left > 200) {
                            usleep(static_cast<useconds_t>(left - 100));
                        }
                    }
                    freeAt = due;
                    (void)!write(sim_, buffer, static_cast<std::size_t>(n));
                }
            }
            if ((fds[1].revents & POLLIN) != 0) {
                const ssize_t n = read(sim_, buffer, sizeof buffer);
                if (n > 0) {
                    (void)!write(master_, buffer, static_cast<std::size_t>(n));
                }
            }
        }
    }

    double charUs_;
    int master_ = -1;
    int slave_ = -1;
    int sim_ = -1;
    int stop_[2] = {-1, -1};
    bool ready_ = false;
    std::string device_;
    std::thread thread_;
};

class NoEvents : public gateway::LineEvents {
public:
    void PointUpdated(std::size_t, std::size_t, const gateway::PointSample&) override {}
    void StationChanged(std::size_t, int, gateway::StationState) override {}
};

struct Cycles {
    double medianMs = 0;
    double meanMs = 0;
    double maxMs = 0;
    std::size_t n = 0;
};

// Runs the scanner as the daemon's worker does and times its passes once
// the line has settled: two passes done and, with a silent station, that
// station demoted.
Cycles Scan(const LineConfig& line, double seconds, int demotedStation) {
    const gateway::SystemClock clock;
    gateway::DriverChannel channel(&ZanMain, line);
    NoEvents events;
    LineScanner scanner(0, line, false, channel, clock, events);
    std::vector<double> cycles;
    std::uint64_t passes = 0;
    double lastEnd = 0;
    double started = 0;
    const double deadline = NowUs() + 120e6;
    while (NowUs() < deadline) {
        const gateway::SteadyTime next = scanner.Step();
        std::this_thread::sleep_until(next);
        const gateway::LineStatus status = scanner.Status();
        if (status.passes == passes) {
            continue;
        }
        passes = status.passes;
        const bool settled =
            passes > 2 && (demotedStation == 0 ||
                           scanner.State(demotedStation) == gateway::StationState::Demoted);
        const double now = NowUs();
        if (settled && lastEnd > 0) {
            cycles.push_back((now - lastEnd) / 1000.0);
            if (started == 0) {
                started = now;
            }
        }
        lastEnd = now;
        if (started > 0 && now - started > seconds * 1e6) {
            break;
        }
    }
    Cycles c;
    if (cycles.empty()) {
        return c;
    }
    for (const double v : cycles) {
        c.meanMs += v;
        c.maxMs = std::max(c.maxMs, v);
    }
    c.meanMs /= static_cast<double>(cycles.size());
    c.n = cycles.size();
    c.medianMs = Summarise(cycles).median;
    return c;
}

// The same points with one word read each, station after station.
double OneByOneMs(const LineConfig& line, int rounds) {
    host::Session session(&ZanMain);
    LineParams params{};
    params.baudRate = static_cast<std::uint16_t>(line.baud);
    params.dataBits = static_cast<std::uint16_t>(line.dataBits);
    params.stopBits = static_cast<std::uint16_t>(line.stopBitsCode);
    params.parity = static_cast<std::uint16_t>(line.parityCode);
    const std::string device = host::NameForDriver(line.device).name;
    if (session.Open(device, gateway::TimeoutTens(line.timeoutMs), params) != ResOk) {
        return 0;
    }
    std::vector<double> times;
    for (int round = 0; round <= rounds; ++round) {
        const double start = NowUs();
        for (const gateway::PointConfig& p : line.points) {
            for (int w = 0; w < p.Words(); ++w) {
                PointAddress a{};
                a.station = p.station;
                a.reg = p.reg + w;
                a.bit = 255;
                a.kind = KIND_WORD;
                std::uint16_t value = 0;
                session.ReadPoint(a, value);
            }
        }
        if (round > 0) {  // the first round selects from nothing
            times.push_back((NowUs() - start) / 1000.0);
        }
    }
    session.Close();
    return Summarise(times).median;
}

// The plan's wire time for a pass that starts where the previous one ended.
struct PlanTime {
    double pacedMs = 0;  // reply characters
    double wireMs = 0;   // every character
};
PlanTime PlanOf(const LineConfig& line, int silent) {
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < line.points.size(); ++i) {
        if (line.points[i].station != silent) {
            all.push_back(i);
        }
    }
    const std::vector<Block> first = gateway::PlanBlocks(line.points, all, line.maxGap);
    const int last = first.back().station;
    const std::vector<Block> blocks = gateway::PlanBlocks(line.points, all, line.maxGap, last);
    const gateway::WireChars chars = gateway::PlanChars(blocks, last);
    const double charMs = gateway::CharacterMs(line);
    return {static_cast<double>(chars.reply) * charMs, static_cast<double>(chars.Total()) * charMs};
}

PlanTime OneByOnePlan(const LineConfig& line) {
    long words = 0;
    for (const gateway::PointConfig& p : line.points) {
        words += p.Words();
    }
    const int stations = 3;
    const double charMs = gateway::CharacterMs(line);
    return {static_cast<double>(words * 6 + stations * 6) * charMs,
            static_cast<double>(words * 12 + stations * 12) * charMs};
}

bool ReadPlant(const std::string& toml, Plant& plant) {
    host::Session parser(&ZanMain);
    std::vector<std::string> errors;
    if (!gateway::ReadPlantText(toml, "bench.toml", parser, plant, errors)) {
        for (const std::string& e : errors) {
            std::fprintf(stderr, "westnet-bench-gateway: %s\n", e.c_str());
        }
        return false;
    }
    return true;
}

int Run(int argc, char** argv) {
    const std::string sim = Option(argc, argv, "--sim", "");
    const double seconds = OptionDouble(argc, argv, "--seconds", 10);
    // With a silent station: long enough for a few of its probes.
    const double silentSeconds = OptionDouble(argc, argv, "--silent-seconds", 25);
    const long baud = OptionInt(argc, argv, "--baud", 9600);
    const std::string format = Option(argc, argv, "--format", "8O2");
    const std::string folder = "/tmp/westnet-bench-gateway-" + std::to_string(getpid());
    if (sim.empty() || (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)) {
        std::fprintf(stderr, "usage: westnet-bench-gateway --sim PATH [--seconds S]\n");
        return 2;
    }
    const std::string allImage = folder + "/three.img";
    const std::string twoImage = folder + "/two.img";
    std::ofstream(allImage) << ImageFor({1, 2, 3});
    std::ofstream(twoImage) << ImageFor({1, 2});
    const std::vector<std::string> pacing = {"--baud", std::to_string(baud), "--format", format};
    auto options = [&](const std::string& image) {
        std::vector<std::string> o = pacing;
        o.insert(o.end(), {"--image", image});
        return o;
    };
    int index = 0;
    for (const char* mode : {"paced", "wire"}) {
        const bool wire = std::string(mode) == "wire";
        struct Run {
            const char* what;
            std::string image;
            std::vector<int> stations;
            int silent;
        };
        const Run runs[] = {{"all_alive", allImage, {1, 2, 3}, 0},
                            {"one_silent", twoImage, {1, 2, 3}, 3},
                            {"two_stations", twoImage, {1, 2}, 0}};
        double aliveMs = 0;
        double silentMs = 0;
        for (const Run& r : runs) {
            SimLine line(sim, options(r.image), ++index);
            if (!line.ready()) {
                return 1;
            }
            Plant plant;
            const std::string stop = format.substr(2);
            const double charUs = gateway::CharacterBits(format[0] - '0', format[1] == 'N' ? 0 : 1,
                                                         stop == "1"     ? 0
                                                         : stop == "1.5" ? 1
                                                                         : 2) *
                                  1e6 / static_cast<double>(baud);
            std::unique_ptr<RequestRelay> relay;
            std::string device = line.device();
            if (wire) {
                relay = std::make_unique<RequestRelay>(line.device(), charUs, ++index);
                if (!relay->ready()) {
                    std::fprintf(stderr, "westnet-bench-gateway: the relay did not start\n");
                    return 1;
                }
                device = relay->device();
            }
            if (!ReadPlant(PlantToml(device, r.stations, format, baud), plant)) {
                return 1;
            }
            const LineConfig& config = plant.lines.front();
            // The silent station's run spans a few of its probes.
            const Cycles c = Scan(config, r.silent != 0 ? silentSeconds : seconds, r.silent);
            const PlanTime plan = PlanOf(config, r.silent);
            const double planMs = wire ? plan.wireMs : plan.pacedMs;
            std::printf(
                "RESULT kind=gateway mode=%s case=%s points=%zu cycles=%zu median_cycle_ms=%.1f "
                "mean_cycle_ms=%.1f max_cycle_ms=%.1f plan_ms=%.1f efficiency=%.4f\n",
                mode, r.what, config.points.size(), c.n, c.medianMs, c.meanMs, c.maxMs, planMs,
                c.medianMs > 0 ? planMs / c.medianMs : 0.0);
            if (r.silent == 0 && r.stations.size() == 3) {
                aliveMs = c.meanMs;
                const double oneMs = OneByOneMs(config, 1);
                const PlanTime onePlan = OneByOnePlan(config);
                std::printf(
                    "RESULT kind=gateway mode=%s case=one_by_one round_ms=%.1f plan_ms=%.1f "
                    "ratio=%.2f\n",
                    mode, oneMs, wire ? onePlan.wireMs : onePlan.pacedMs,
                    c.medianMs > 0 ? oneMs / c.medianMs : 0.0);
            } else if (r.silent != 0) {
                silentMs = c.meanMs;
                std::printf("RESULT kind=gateway mode=%s case=demoted_vs_alive ratio=%.3f\n", mode,
                            aliveMs > 0 ? c.meanMs / aliveMs : 0.0);
            } else {
                std::printf("RESULT kind=gateway mode=%s case=demoted_vs_two ratio=%.3f\n", mode,
                            c.meanMs > 0 ? silentMs / c.meanMs : 0.0);
            }
            std::fflush(stdout);
        }
    }
    unlink(allImage.c_str());
    unlink(twoImage.c_str());
    rmdir(folder.c_str());
    return 0;
}

}  // namespace
}  // namespace westnet::bench

int main(int argc, char** argv) {
    return westnet::bench::Run(argc, argv);
}
