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
// --rate-hz 0: every point changed in turn, back to back: the offered load
// is what one thread can put in, and what is delivered is what the
// publisher and the broker sustain.
#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/gateway/mqtt/broker.h"
#include "../tests/gateway/support/fake_service.h"
#include "bench_util.h"
#include "mqtt/mqtt.h"

namespace {

using namespace westnet;
using gateway::PointSample;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kRing = 1024;  // send times kept per point, by value

double NowMs() {
    return bench::NowUs() / 1000.0;
}

// Counts and times what arrives on PREFIX/bench/pNNNN.
class Subscriber {
public:
    Subscriber(int port, std::size_t points, std::vector<std::atomic<double>>& sentAt)
        : sentAt_(sentAt), points_(points) {
        mosq_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(mosq_,
                                       [](mosquitto*, void* self, const mosquitto_message* m) {
                                           static_cast<Subscriber*>(self)->Arrived(*m);
                                       });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_subscribe(mosq_, nullptr, "westnet/bench/+", 1);
        mosquitto_loop_start(mosq_);
        gateway::testing::Eventually([&] { return subscribed_.load(); });
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, false);
        mosquitto_destroy(mosq_);
    }
    void Measure(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        measuring_ = on;
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::vector<double> Latencies() {
        std::lock_guard<std::mutex> lock(mutex_);
        return latencies_;
    }

private:
    void Arrived(const mosquitto_message& m) {
        const double now = NowMs();
        const char* topic = m.topic;
        const char* digits = std::strrchr(topic, 'p');
        const std::string payload(static_cast<const char*>(m.payload),
                                  static_cast<std::size_t>(m.payloadlen));
        const std::size_t at = payload.find("\"value\": ");
        if (digits == nullptr || at == std::string::npos) {
            return;
        }
        const std::size_t point = std::strtoul(digits + 1, nullptr, 10);
        const unsigned long value = std::strtoul(payload.c_str() + at + 9, nullptr, 10);
        if (point >= points_) {
            return;
        }
        const double sent = sentAt_[point * kRing + value % kRing].load();
        std::lock_guard<std::mutex> lock(mutex_);
        if (measuring_ && !m.retain) {
            ++count_;
            if (sent > 0) {
                latencies_.push_back(now - sent);
            }
        }
    }

    std::vector<std::atomic<double>>& sentAt_;
    std::size_t points_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::mutex mutex_;
    bool measuring_ = false;
    std::size_t count_ = 0;
    std::vector<double> latencies_;
};

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

    Subscriber subscriber(broker.Port(), points, sentAt);
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
    const std::size_t delivered = subscriber.Count();
    const double cpu = gateway::testing::FrontEndCpuSeconds() - cpu0;
    const double brokerCpu = gateway::testing::CpuSeconds(brokerStat) - brokerCpu0;
    subscriber.Measure(false);
    const double superseded =
        SeriesValue(service, "westnet_mqtt_messages_superseded_total") - superseded0;
    std::vector<double> latencies = subscriber.Latencies();
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

}  // namespace

int main(int argc, char** argv) {
    mosquitto_lib_init();
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "publisher") {
        return Publisher(argc, argv);
    }
    std::fprintf(stderr, "usage: bench_mqtt publisher [--points N] [--rate-hz R] [--seconds S]\n");
    return 2;
}
