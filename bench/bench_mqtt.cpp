// The gateway's MQTT publisher against a local mosquitto, with the fake
// service in place of the scan: N points whose values change at a given rate
// (or as fast as one thread can change them), and a subscriber in this
// process counting what arrives and how long after the change.
//
//   bench_mqtt publisher --points 1000 --rate-hz 1 --seconds 5
//       RESULT kind=mqtt_publisher points=.. rate_hz=.. offered_per_s=..
//       delivered_per_s=.. superseded=.. p50_ms=.. p99_ms=..
//       publisher_cpu_pct=.. broker_cpu_pct=..
//
//   bench_mqtt latency --gateway PATH --sim PATH [--sparkplug]
//       a change on a paced line to its message (with --sparkplug: its DDATA)
//   bench_mqtt sparkplug-birth --gateway PATH --sim PATH --points 1000
//       the DBIRTH of one station with that many points: its size, and the
//       time from a rebirth request to its arrival
//
// --rate-hz 0: every point changed in turn, back to back: the offered load
// is what one thread can put in, and what is delivered is what the
// publisher and the broker sustain.
#include <mosquitto.h>
#include <unistd.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/gateway/mqtt/broker.h"
#include "../tests/gateway/support/fake_service.h"
#include "bench_util.h"
#include "mqtt/mqtt.h"
#include "process.h"
#include "sparkplug/payload.h"

namespace {

using namespace westnet;
using gateway::PointSample;
using Clock = std::chrono::steady_clock;
namespace ts = westnet::test_support;

constexpr std::size_t kRing = 1024;  // send times kept per point, by value

double NowMs() {
    return bench::NowUs() / 1000.0;
}

// A subscriber on its own libmosquitto thread: every message it gets goes
// to `arrived` with the time it came, while measuring.
class Subscriber {
public:
    using Arrived = std::function<void(const mosquitto_message&, double nowMs)>;
    Subscriber(int port, const std::string& filter, Arrived arrived)
        : arrived_(std::move(arrived)) {
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(mosq_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           auto* me = static_cast<Subscriber*>(self);
                                           const double now = NowMs();
                                           if (me->measuring_ && !m->retain) {
                                               me->arrived_(*m, now);
                                           }
                                       });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_subscribe(mosq_, nullptr, filter.c_str(), 1);
        mosquitto_loop_start(mosq_);
        gateway::testing::Eventually([&] { return subscribed_.load(); });
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;
    void Measure(bool on) { measuring_ = on; }

private:
    Arrived arrived_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::atomic<bool> measuring_{false};
};

// The word of a point's payload, {"value": N, ...}; -1 when there is none.
long PayloadValue(const mosquitto_message& m) {
    const std::string payload(static_cast<const char*>(m.payload),
                              static_cast<std::size_t>(m.payloadlen));
    const std::size_t at = payload.find("\"value\": ");
    if (at == std::string::npos || payload.compare(at + 9, 4, "null") == 0) {
        return -1;
    }
    return std::strtol(payload.c_str() + at + 9, nullptr, 10);
}

double SeriesValue(gateway::Service& service, const std::string& name) {
    double total = 0;
    for (const auto& s : service.FrontEndStats().Snapshot()) {
        if (s.name == name) {
            total += s.value;
        }
    }
    return total;
}

int Publisher(int argc, char** argv) {
    const std::size_t points =
        static_cast<std::size_t>(bench::OptionInt(argc, argv, "--points", 1000));
    const double rateHz = bench::OptionDouble(argc, argv, "--rate-hz", 1);
    const double seconds = bench::OptionDouble(argc, argv, "--seconds", 5);

    gateway::testing::TestBroker broker;
    if (!broker.Running()) {
        std::fprintf(stderr, "bench_mqtt: mosquitto did not start\n");
        return 1;
    }
    gateway::Plant plant;
    plant.path = "bench.toml";
    plant.gateway.mqtt = broker.Url();
    plant.gateway.mqttRepublishS = 0;  // only changes: what is measured
    gateway::LineConfig line;
    line.name = "bench";
    for (std::size_t i = 0; i < points; ++i) {
        gateway::PointConfig point;
        char name[32];
        std::snprintf(name, sizeof name, "p%04zu", i);
        point.name = name;
        point.station = 1 + static_cast<int>(i / 100);
        point.reg = static_cast<int>(i % 100);
        line.points.push_back(point);
    }
    plant.lines.push_back(line);
    gateway::testing::FakeService service(plant);

    std::vector<std::atomic<double>> sentAt(points * kRing);
    std::vector<std::uint16_t> values(points, 0);
    auto change = [&](std::size_t i) {
        const std::uint16_t v = ++values[i];
        sentAt[i * kRing + v % kRing].store(NowMs());
        PointSample sample;
        sample.values = {v};
        sample.quality = gateway::Quality::Good;
        sample.goodTime = std::chrono::system_clock::now();
        service.SetSample(0, i, sample);
    };
    for (std::size_t i = 0; i < points; ++i) {
        change(i);
    }

    std::mutex mutex;
    std::size_t delivered = 0;
    std::vector<double> latencies;
    Subscriber subscriber(
        broker.Port(), "westnet/bench/+", [&](const mosquitto_message& m, double now) {
            const char* digits = std::strrchr(m.topic, 'p');
            const long value = PayloadValue(m);
            const std::size_t point = digits ? std::strtoul(digits + 1, nullptr, 10) : points;
            if (point >= points || value < 0) {
                return;
            }
            const double sent =
                sentAt[point * kRing + static_cast<std::size_t>(value) % kRing].load();
            std::lock_guard<std::mutex> lock(mutex);
            ++delivered;
            latencies.push_back(now - sent);
        });
    std::unique_ptr<gateway::FrontEnd> front = gateway::MakeMqttFrontEnd(service);
    std::string error;
    if (!front->Start(error)) {
        std::fprintf(stderr, "bench_mqtt: %s\n", error.c_str());
        return 1;
    }
    // The first publication of everything, before the clock starts.
    gateway::testing::Eventually([&] {
        return SeriesValue(service, "westnet_mqtt_messages_published_total") >= double(points);
    });
    gateway::testing::Eventually(
        [&] { return SeriesValue(service, "westnet_mqtt_queue_messages") == 0; });

    const std::string brokerStat = "/proc/" + std::to_string(broker.Pid()) + "/stat";
    const double superseded0 = SeriesValue(service, "westnet_mqtt_messages_superseded_total");
    const double cpu0 = gateway::testing::FrontEndCpuSeconds();
    const double brokerCpu0 = gateway::testing::CpuSeconds(brokerStat);
    subscriber.Measure(true);
    std::size_t offered = 0;
    const double start = NowMs();
    const double end = start + seconds * 1000;
    if (rateHz <= 0) {
        for (std::size_t i = 0; NowMs() < end; i = (i + 1) % points) {
            change(i);
            ++offered;
        }
    } else {
        // Each point changes rate_hz times a second, the points spread
        // evenly over the period, in ticks of a millisecond.
        const double perMs = static_cast<double>(points) * rateHz / 1000.0;
        double owed = 0;
        std::size_t next = 0;
        for (double tick = start; tick < end; tick += 1.0) {
            while (NowMs() < tick) {
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
            for (owed += perMs; owed >= 1; owed -= 1) {
                change(next);
                next = (next + 1) % points;
                ++offered;
            }
        }
    }
    const double elapsed = (NowMs() - start) / 1000;
    subscriber.Measure(false);
    const double cpu = gateway::testing::FrontEndCpuSeconds() - cpu0;
    const double brokerCpu = gateway::testing::CpuSeconds(brokerStat) - brokerCpu0;
    const double superseded =
        SeriesValue(service, "westnet_mqtt_messages_superseded_total") - superseded0;
    std::lock_guard<std::mutex> lock(mutex);
    const bench::Summary s = bench::Summarise(latencies);
    front->Stop();
    std::printf(
        "RESULT kind=mqtt_publisher points=%zu rate_hz=%g offered_per_s=%.0f delivered_per_s=%.0f "
        "delivered=%zu superseded=%.0f p50_ms=%.2f p99_ms=%.2f publisher_cpu_pct=%.1f "
        "broker_cpu_pct=%.1f\n",
        points, rateHz, static_cast<double>(offered) / elapsed,
        static_cast<double>(delivered) / elapsed, delivered, superseded, s.median, s.p99,
        100 * cpu / elapsed, 100 * brokerCpu / elapsed);
    return 0;
}

// --- the real gateway against westnet-sim ---------------------------------

// A child process with its stdout and stderr on pipes (-1: not asked for).
struct Child {
    pid_t pid = -1;
    FILE* out = nullptr;
    FILE* err = nullptr;
};

Child Spawn(const std::vector<std::string>& args, bool wantOut, bool wantErr) {
    Child child;
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if ((wantOut && pipe(out) != 0) || (wantErr && pipe(err) != 0)) {
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (wantOut) {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_addclose(&actions, out[0]);
    }
    if (wantErr) {
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_addclose(&actions, err[0]);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    std::vector<std::string> copies = args;
    std::vector<char*> argv;
    for (std::string& a : copies) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    if (posix_spawn(&child.pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
        child.pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    if (wantOut) {
        close(out[1]);
        child.out = fdopen(out[0], "r");
    }
    if (wantErr) {
        close(err[1]);
        child.err = fdopen(err[0], "r");
    }
    return child;
}

void Stop(Child& child) {
    if (child.pid > 0) {
        kill(child.pid, SIGTERM);
        int status = 0;
        waitpid(child.pid, &status, 0);
        child.pid = -1;
    }
}

// Starts westnet-sim with `extra` options on a link (its trace, when asked
// for, on a pipe); null when it does not say that it is ready.
std::unique_ptr<ts::SimProcess> StartSim(const std::string& sim, const std::string& link,
                                         std::vector<std::string> extra, bool trace) {
    std::vector<std::string> args = {sim, "--link", link};
    args.insert(args.end(), extra.begin(), extra.end());
    auto child = std::make_unique<ts::SimProcess>(
        std::move(args), trace ? ts::Stderr::ToPipe() : ts::Stderr("/dev/null"));
    if (!child->ready()) {
        std::fprintf(stderr, "bench_mqtt: westnet-sim did not start\n");
        return nullptr;
    }
    return child;
}

// Bit times of one character of a format such as "8O2".
double CharBits(const std::string& format) {
    const double data = format[0] - '0';
    const double parity = format[1] == 'N' ? 0 : 1;
    const double stop = format.substr(2) == "1.5" ? 1.5 : std::atof(format.c_str() + 2);
    return 1 + data + parity + stop;
}

std::string LinePlant(const std::string& name, const std::string& device, long baud,
                      const std::string& format) {
    return "[[line]]\nname = \"" + name + "\"\ndevice = \"" + device +
           "\"\nbaud = " + std::to_string(baud) + "\nformat = \"" + format +
           "\"\ntimeout_ms = 200\n";
}

std::string GatewaySection(const std::string& url) {
    return "[gateway]\nhttp = \"\"\nmodbus = \"\"\nmqtt = \"" + url +
           "\"\nmqtt_republish_s = 3600\n\n";
}

// The gateway as a Sparkplug edge node only (group westnet, node gateway-1).
std::string SparkplugSection(const std::string& url) {
    return "[gateway]\nhttp = \"\"\nmodbus = \"\"\nmqtt = \"\"\nsparkplug = \"" + url + "\"\n\n";
}

// A Sparkplug message's first metric: its value (-1 when none) and its
// timestamp, the gateway's read, in ms since 1970 (-1 when none).
std::pair<long, double> SparkplugValue(const mosquitto_message& m) {
    gateway::sparkplug::Payload payload;
    std::string error;
    if (!gateway::sparkplug::Decode(m.payload, static_cast<std::size_t>(m.payloadlen), payload,
                                    error) ||
        payload.metrics.empty() || payload.metrics[0].null) {
        return {-1, -1};
    }
    const gateway::sparkplug::Metric& metric = payload.metrics[0];
    return {static_cast<long>(metric.Number()),
            metric.timestamp != 0 ? static_cast<double>(metric.timestamp) : -1};
}

// Sends a select of station 1 on the simulator's line and takes its reply;
// returns when it was sent, on our clock, or -1.
double SendSelect(const std::string& link) {
    const int fd = open(link.c_str(), O_RDWR | O_NOCTTY);
    if (fd < 0) {
        return -1;
    }
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    tcsetattr(fd, TCSANOW, &raw);
    const unsigned char select[] = {0x0A, 0x01, 0x00, 0x00, 0x00, 0x0B};  // as the trace shows it
    const double sent = NowMs();
    const bool ok = write(fd, select, sizeof select) == static_cast<ssize_t>(sizeof select);
    unsigned char reply[16];
    std::size_t got = 0;
    pollfd in{fd, POLLIN, 0};
    while (ok && got < sizeof select && poll(&in, 1, 1000) > 0) {
        const ssize_t n = read(fd, reply + got, sizeof reply - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    return ok && got >= sizeof select ? sent : -1;
}

// The payload's "time" ("2026-12-09T07:00:00.123Z") in ms since 1970; -1
// when there is none.
double PayloadTimeMs(const mosquitto_message& m) {
    const std::string payload(static_cast<const char*>(m.payload),
                              static_cast<std::size_t>(m.payloadlen));
    const std::size_t at = payload.find("\"time\": \"");
    std::tm parts{};
    int ms = 0;
    if (at == std::string::npos ||
        std::sscanf(payload.c_str() + at + 9, "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year,
                    &parts.tm_mon, &parts.tm_mday, &parts.tm_hour, &parts.tm_min, &parts.tm_sec,
                    &ms) != 7) {
        return -1;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return static_cast<double>(timegm(&parts)) * 1000.0 + ms;
}

// A counter animated by the simulator, one word point scanned every scan_ms:
// how long after the register changed, and after the first reply carrying
// the new value left the wire, the subscriber has its message.
int Latency(int argc, char** argv) {
    const std::string gatewayPath = bench::Option(argc, argv, "--gateway", "");
    const std::string simPath = bench::Option(argc, argv, "--sim", "");
    const long changes = bench::OptionInt(argc, argv, "--changes", 200);
    const long periodMs = bench::OptionInt(argc, argv, "--period-ms", 230);
    const long scanMs = bench::OptionInt(argc, argv, "--scan-ms", 100);
    const long baud = bench::OptionInt(argc, argv, "--baud", 9600);
    const std::string format = bench::Option(argc, argv, "--format", "8O2");
    const double charMs = CharBits(format) * 1000.0 / static_cast<double>(baud);
    const bool sparkplug = bench::HasFlag(argc, argv, "--sparkplug");

    gateway::testing::TestBroker broker;
    gateway::testing::ScratchDir dir;
    double origin = 0;
    std::unique_ptr<ts::SimProcess> sim;
    if (broker.Running()) {
        sim =
            StartSim(simPath, dir.Path() + "/hw",
                     {"--station", "1", "--animate", "0140001=counter:" + std::to_string(periodMs),
                      "--baud", std::to_string(baud), "--format", format, "--trace"},
                     true);
    }
    if (sim == nullptr) {
        return 1;
    }
    // The trace, read line by line (a copy of the pipe: the process keeps its own).
    FILE* simTrace = fdopen(dup(sim->err()), "r");
    if (simTrace == nullptr) {
        return 1;
    }
    // From the trace, in the simulator's milliseconds: when each value was
    // first on the wire (the end of the first reply that carried it) and when
    // its period began.
    std::mutex mutex;
    std::map<long, double> onWire;
    std::map<long, double> changed;
    double selectAt = -1;
    std::thread trace([&] {
        char line[1024];
        while (std::fgets(line, sizeof line, simTrace) != nullptr) {
            const double at = std::atof(line) * 1000.0;
            if (selectAt < 0 && std::strstr(line, "SELECT") != nullptr) {
                std::lock_guard<std::mutex> lock(mutex);
                selectAt = at;
            }
            const char* tx = std::strstr(line, "| tx ");
            const char* arrow = std::strstr(line, "-> 0x");
            if (tx == nullptr || arrow == nullptr) {
                continue;
            }
            const long value = std::strtol(arrow + 5, nullptr, 16);
            std::lock_guard<std::mutex> lock(mutex);
            if (std::strstr(line, "ANIMATE") != nullptr) {
                changed.emplace(value, at);
            } else if (std::strstr(line, "READ_WORD") != nullptr) {
                const char* bar = std::strstr(tx + 5, " |");
                const double bytes = static_cast<double>((bar - (tx + 5) + 1) / 3);
                onWire.emplace(value, at + bytes * charMs);
            }
        }
    });

    // The simulator's clock starts a little before its device line: tie it
    // to ours by a request of our own, a select of station 1, sent when we
    // say and timed in the trace when it arrived (a few µs later).
    const double sentAt = SendSelect(dir.Path() + "/hw");
    gateway::testing::Eventually([&] {
        std::lock_guard<std::mutex> lock(mutex);
        return selectAt >= 0;
    });
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (sentAt < 0 || selectAt < 0) {
            std::fprintf(stderr, "bench_mqtt: no select in the simulator's trace\n");
            sim->Stop();
            trace.join();
            std::fclose(simTrace);
            return 1;
        }
        origin = sentAt - selectAt;
    }
    const std::string plant = dir.Write(
        "plant.toml", (sparkplug ? SparkplugSection(broker.Url()) : GatewaySection(broker.Url())) +
                          LinePlant("bench", dir.Path() + "/hw", baud, format) +
                          "[[line.point]]\naddress = \"0140001\"\nname = \"counter\"\nscan_ms = " +
                          std::to_string(scanMs) + "\n");
    std::vector<std::pair<long, double>> arrivals;
    std::vector<double> fromRead;  // the payload's "time" (the gateway's read) to the subscriber
    Subscriber subscriber(
        broker.Port(),
        sparkplug ? "spBv1.0/westnet/DDATA/gateway-1/bench-s01" : "westnet/bench/counter",
        [&](const mosquitto_message& m, double now) {
            const double wall = std::chrono::duration<double, std::milli>(
                                    std::chrono::system_clock::now().time_since_epoch())
                                    .count();
            const auto [value, read] =
                sparkplug ? SparkplugValue(m) : std::make_pair(PayloadValue(m), PayloadTimeMs(m));
            if (value < 0) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            arrivals.emplace_back(value, now);
            if (read > 0) {
                fromRead.push_back(wall - read);
            }
        });
    subscriber.Measure(true);
    Child gateway = Spawn({gatewayPath, plant}, false, false);
    const bool done = gateway::testing::Eventually(
        [&] {
            std::lock_guard<std::mutex> lock(mutex);
            return static_cast<long>(arrivals.size()) >= changes + 3;
        },
        std::chrono::milliseconds(changes * periodMs * 2 + 30000));
    subscriber.Measure(false);
    Stop(gateway);
    sim->Stop();
    trace.join();
    std::fclose(simTrace);

    // The first values come while the line opens: left out.
    std::vector<double> fromChange;
    std::vector<double> fromWire;
    long missed = 0;
    long previous = -1;
    for (std::size_t i = 3; i < arrivals.size(); ++i) {
        const auto [value, at] = arrivals[i];
        if (previous >= 0 && value != previous + 1) {
            missed += value - previous - 1;
        }
        previous = value;
        if (changed.count(value) != 0) {
            fromChange.push_back(at - origin - changed[value]);
        }
        if (onWire.count(value) != 0) {
            fromWire.push_back(at - origin - onWire[value]);
        }
    }
    if (fromRead.size() > 3) {
        fromRead.erase(fromRead.begin(), fromRead.begin() + 3);
    }
    const bench::Summary r = bench::Summarise(fromRead);
    const bench::Summary c = bench::Summarise(fromChange);
    const bench::Summary w = bench::Summarise(fromWire);
    std::printf(
        "RESULT kind=%s baud=%ld format=%s scan_ms=%ld period_ms=%ld complete=%d "
        "n=%zu missed=%ld change_p50_ms=%.2f change_p99_ms=%.2f change_max_ms=%.2f "
        "wire_p50_ms=%.2f wire_p99_ms=%.2f wire_max_ms=%.2f read_p50_ms=%.1f read_p99_ms=%.1f "
        "read_max_ms=%.1f\n",
        sparkplug ? "spb_latency" : "mqtt_latency", baud, format.c_str(), scanMs, periodMs,
        done ? 1 : 0, c.n, missed, c.median, c.p99, fromChange.empty() ? 0.0 : fromChange.back(),
        w.median, w.p99, fromWire.empty() ? 0.0 : fromWire.back(), r.median, r.p99,
        fromRead.empty() ? 0.0 : fromRead.back());
    return done ? 0 : 1;
}

// The real gateway publishing LINES x PER_LINE points that each change every
// second (counters animated by one simulator per line): the messages a
// subscriber gets per second, and the CPU of the gateway and the broker.
int Throughput(int argc, char** argv) {
    const std::string gatewayPath = bench::Option(argc, argv, "--gateway", "");
    const std::string simPath = bench::Option(argc, argv, "--sim", "");
    const long lines = bench::OptionInt(argc, argv, "--lines", 4);
    const long perLine = bench::OptionInt(argc, argv, "--per-line", 250);
    const long baud = bench::OptionInt(argc, argv, "--baud", 9600);
    const std::string format = bench::Option(argc, argv, "--format", "8O2");
    const double seconds = bench::OptionDouble(argc, argv, "--seconds", 10);

    gateway::testing::TestBroker broker;
    gateway::testing::ScratchDir dir;
    if (!broker.Running()) {
        return 1;
    }
    std::string plantText = GatewaySection(broker.Url());
    std::vector<std::unique_ptr<ts::SimProcess>> sims;
    for (long l = 0; l < lines; ++l) {
        const std::string link = dir.Path() + "/hw" + std::to_string(l);
        std::vector<std::string> args = {"--station",          "1",        "--baud",
                                         std::to_string(baud), "--format", format};
        plantText += LinePlant("l" + std::to_string(l), link, baud, format);
        for (long p = 0; p < perLine; ++p) {
            char address[32];
            std::snprintf(address, sizeof address, "%07ld", 140001 + p);
            args.push_back("--animate");
            args.push_back(std::string(address) + "=counter:1000");
            plantText += "[[line.point]]\naddress = \"" + std::string(address) + "\"\nname = \"p" +
                         std::to_string(p) + "\"\n";
        }
        sims.push_back(StartSim(simPath, link, args, false));
        if (sims.back() == nullptr) {
            return 1;
        }
    }
    const std::string plant = dir.Write("plant.toml", plantText);
    std::atomic<long> delivered{0};
    Subscriber subscriber(broker.Port(), "westnet/+/+",
                          [&](const mosquitto_message&, double) { ++delivered; });
    Child gateway = Spawn({gatewayPath, plant}, false, false);
    const std::string gatewayStat = "/proc/" + std::to_string(gateway.pid) + "/stat";
    const std::string brokerStat = "/proc/" + std::to_string(broker.Pid()) + "/stat";
    // Steady state: every line read through once.
    subscriber.Measure(true);
    gateway::testing::Eventually([&] { return delivered.load() >= lines * perLine * 2; },
                                 std::chrono::seconds(60));
    const long before = delivered.load();
    const double cpu0 = gateway::testing::CpuSeconds(gatewayStat);
    const double brokerCpu0 = gateway::testing::CpuSeconds(brokerStat);
    const double start = NowMs();
    std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<long>(seconds * 1000)));
    const double elapsed = (NowMs() - start) / 1000;
    const long got = delivered.load() - before;
    const double cpu = gateway::testing::CpuSeconds(gatewayStat) - cpu0;
    const double brokerCpu = gateway::testing::CpuSeconds(brokerStat) - brokerCpu0;
    subscriber.Measure(false);
    Stop(gateway);
    for (auto& sim : sims) {
        sim->Stop();
    }
    std::printf(
        "RESULT kind=mqtt_gateway_throughput lines=%ld points=%ld baud=%ld format=%s "
        "changes_per_s=%ld delivered_per_s=%.0f gateway_cpu_pct=%.1f broker_cpu_pct=%.1f\n",
        lines, lines * perLine, baud, format.c_str(), lines * perLine,
        static_cast<double>(got) / elapsed, 100 * cpu / elapsed, 100 * brokerCpu / elapsed);
    return 0;
}

// One station with `points` word points, the gateway a Sparkplug edge node:
// the DBIRTH's size, and how long after a rebirth request (NCMD) the DBIRTH
// is at a subscriber (the NBIRTH goes first), once every point has a value.
int SparkplugBirth(int argc, char** argv) {
    const std::string gatewayPath = bench::Option(argc, argv, "--gateway", "");
    const std::string simPath = bench::Option(argc, argv, "--sim", "");
    const long points = bench::OptionInt(argc, argv, "--points", 1000);
    const long rebirths = bench::OptionInt(argc, argv, "--rebirths", 20);
    const long baud = bench::OptionInt(argc, argv, "--baud", 9600);
    const std::string format = bench::Option(argc, argv, "--format", "8O2");

    gateway::testing::TestBroker broker;
    gateway::testing::ScratchDir dir;
    if (!broker.Running()) {
        return 1;
    }
    const std::string link = dir.Path() + "/hw";
    std::string plantText = SparkplugSection(broker.Url()) + LinePlant("bench", link, baud, format);
    for (long p = 0; p < points; ++p) {
        char address[32];
        std::snprintf(address, sizeof address, "%07ld", 140001 + p);
        plantText += "[[line.point]]\naddress = \"" + std::string(address) + "\"\nname = \"p" +
                     std::to_string(p) + "\"\n";
    }
    std::unique_ptr<ts::SimProcess> sim =
        StartSim(simPath, link,
                 {"--station", "1", "--baud", std::to_string(baud), "--format", format}, false);
    if (sim == nullptr) {
        return 1;
    }
    const std::string plant = dir.Write("plant.toml", plantText);
    std::mutex mutex;
    std::condition_variable arrived;
    long valued = 0;      // metric values in DDATA: every point read once
    double birthAt = -1;  // the latest DBIRTH's arrival
    std::size_t birthBytes = 0;
    std::size_t birthMetrics = 0;
    Subscriber subscriber(
        broker.Port(), "spBv1.0/westnet/+/gateway-1/#",
        [&](const mosquitto_message& m, double now) {
            const std::string topic = m.topic;
            gateway::sparkplug::Payload payload;
            std::string error;
            if (!gateway::sparkplug::Decode(m.payload, static_cast<std::size_t>(m.payloadlen),
                                            payload, error)) {
                return;
            }
            std::lock_guard<std::mutex> lock(mutex);
            if (topic.find("/DDATA/") != std::string::npos) {
                valued += static_cast<long>(payload.metrics.size());
            } else if (topic.find("/DBIRTH/") != std::string::npos) {
                birthAt = now;
                birthBytes = static_cast<std::size_t>(m.payloadlen);
                birthMetrics = payload.metrics.size();
            }
            arrived.notify_all();
        });
    subscriber.Measure(true);
    Child gateway = Spawn({gatewayPath, plant}, false, false);
    bool ready = false;
    {
        std::unique_lock<std::mutex> lock(mutex);
        ready = arrived.wait_for(lock, std::chrono::seconds(60), [&] { return valued >= points; });
    }
    // Without Nagle: a request would otherwise wait for the broker's
    // delayed ACK of the one before (40 ms), which is not the gateway's time.
    mosquitto* client = mosquitto_new(nullptr, true, nullptr);
    mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect(client, "127.0.0.1", broker.Port(), 30);
    mosquitto_loop_start(client);
    gateway::sparkplug::Payload rebirth;
    rebirth.timestamp = 1;
    rebirth.metrics.push_back(gateway::sparkplug::NumberMetric(
        "Node Control/Rebirth", gateway::sparkplug::DataType::Boolean, 1));
    const std::string request = gateway::sparkplug::Encode(rebirth);
    std::vector<double> times;
    // The first request waits for the client's connection: not timed.
    for (long i = -1; ready && i < rebirths; ++i) {
        std::unique_lock<std::mutex> lock(mutex);
        birthAt = -1;
        const double sent = NowMs();
        mosquitto_publish(client, nullptr, "spBv1.0/westnet/NCMD/gateway-1",
                          static_cast<int>(request.size()), request.data(), 0, false);
        if (!arrived.wait_for(lock, std::chrono::seconds(10), [&] { return birthAt >= 0; })) {
            ready = false;
            break;
        }
        if (i >= 0) {
            times.push_back(birthAt - sent);
        }
    }
    mosquitto_disconnect(client);
    mosquitto_loop_stop(client, false);
    mosquitto_destroy(client);
    subscriber.Measure(false);
    Stop(gateway);
    sim->Stop();
    const bench::Summary t = bench::Summarise(times);
    std::printf(
        "RESULT kind=spb_birth points=%ld metrics=%zu dbirth_bytes=%zu rebirths=%zu "
        "complete=%d birth_p50_ms=%.2f birth_p99_ms=%.2f birth_max_ms=%.2f\n",
        points, birthMetrics, birthBytes, t.n, ready ? 1 : 0, t.median, t.p99,
        times.empty() ? 0.0 : *std::max_element(times.begin(), times.end()));
    return ready ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    mosquitto_lib_init();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "publisher") {
        return Publisher(argc, argv);
    }
    if (mode == "latency") {
        return Latency(argc, argv);
    }
    if (mode == "throughput") {
        return Throughput(argc, argv);
    }
    if (mode == "sparkplug-birth") {
        return SparkplugBirth(argc, argv);
    }
    std::fprintf(stderr,
                 "usage: bench_mqtt publisher [--points N] [--rate-hz R] [--seconds S]\n"
                 "       bench_mqtt latency --gateway PATH --sim PATH [--changes N] "
                 "[--period-ms MS] [--scan-ms MS] [--baud N] [--format DPS] [--sparkplug]\n"
                 "       bench_mqtt sparkplug-birth --gateway PATH --sim PATH [--points N] "
                 "[--rebirths N] [--baud N] [--format DPS]\n"
                 "       bench_mqtt throughput --gateway PATH --sim PATH [--lines N] "
                 "[--per-line N] [--baud N] [--format DPS] [--seconds S]\n");
    return 2;
}
