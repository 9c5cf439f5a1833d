// Load for a Modbus TCP server: N libmodbus clients, each on its own thread
// and connection, reading the same registers with FC 3 back to back. Prints
// one RESULT line: requests per second over all clients, and the latency of
// single requests (p50, p99) over every one made.
//
//   modbus_load --port N [--host 127.0.0.1] [--unit 1] [--address 0]
//               [--count 10] [--clients 1] [--seconds 3 | --requests K]
//               [--label NAME] [--kind NAME] [--expect V] [--warmup N]
//
// --requests K: each client makes K requests instead of running for a time.
// --expect V: the first register must read V (a check that the figures are
// of real answers); a wrong value or any failed request makes the run fail.
#include <modbus/modbus.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_util.h"

namespace {

using westnet::bench::NowUs;

struct Settings {
    std::string host = "127.0.0.1";
    int port = 502;
    int unit = 1;
    int address = 0;
    int count = 10;
    double seconds = 3;
    long requests = 0;
    long expect = -1;
    long warmup = 20;  // untimed reads per client first
};

}  // namespace

int main(int argc, char** argv) {
    using westnet::bench::Option;
    using westnet::bench::OptionDouble;
    using westnet::bench::OptionInt;
    Settings s;
    s.host = Option(argc, argv, "--host", s.host);
    s.port = static_cast<int>(OptionInt(argc, argv, "--port", s.port));
    s.unit = static_cast<int>(OptionInt(argc, argv, "--unit", s.unit));
    s.address = static_cast<int>(OptionInt(argc, argv, "--address", s.address));
    s.count = static_cast<int>(OptionInt(argc, argv, "--count", s.count));
    s.seconds = OptionDouble(argc, argv, "--seconds", s.seconds);
    s.requests = OptionInt(argc, argv, "--requests", 0);
    s.expect = OptionInt(argc, argv, "--expect", -1);
    s.warmup = OptionInt(argc, argv, "--warmup", s.warmup);
    const int clients = static_cast<int>(OptionInt(argc, argv, "--clients", 1));
    const std::string label = Option(argc, argv, "--label", "server");
    const std::string kind = Option(argc, argv, "--kind", "modbus_fc3");

    std::atomic<bool> failed{false};
    std::mutex mutex;  // guards ready, go, start and samples
    std::condition_variable started;
    int ready = 0;
    bool go = false;
    std::vector<double> samples;
    double start = 0;
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c) {
        threads.emplace_back([&] {
            modbus_t* ctx = modbus_new_tcp(s.host.c_str(), s.port);
            if (ctx == nullptr || modbus_connect(ctx) != 0) {
                std::fprintf(stderr, "modbus_load: cannot connect: %s\n", modbus_strerror(errno));
                failed = true;
                std::lock_guard<std::mutex> lock(mutex);
                ++ready;
                started.notify_all();
                return;
            }
            modbus_set_slave(ctx, s.unit);
            modbus_set_response_timeout(ctx, 10, 0);
            std::vector<std::uint16_t> regs(static_cast<std::size_t>(s.count));
            std::vector<double> mine;
            mine.reserve(1 << 16);
            auto once = [&] {
                const int n = modbus_read_registers(ctx, s.address, s.count, regs.data());
                if (n != s.count || (s.expect >= 0 && regs[0] != s.expect)) {
                    std::fprintf(stderr, "modbus_load: read failed: %s\n",
                                 n < 0 ? modbus_strerror(errno) : "unexpected value");
                    failed = true;
                    return false;
                }
                return true;
            };
            // A few untimed reads: connection set-up and first-touch costs.
            for (long i = 0; i < s.warmup && once(); ++i) {
            }
            {
                // Waiting clients sleep: spinning ones would starve the server.
                std::unique_lock<std::mutex> lock(mutex);
                ++ready;
                started.notify_all();
                started.wait(lock, [&] { return go; });
            }
            const double until = start + s.seconds * 1e6;
            for (long i = 0; !failed; ++i) {
                if (s.requests > 0 ? i >= s.requests : NowUs() >= until) {
                    break;
                }
                const double t = NowUs();
                if (!once()) {
                    break;
                }
                mine.push_back(NowUs() - t);
            }
            modbus_close(ctx);
            modbus_free(ctx);
            std::lock_guard<std::mutex> lock(mutex);
            samples.insert(samples.end(), mine.begin(), mine.end());
        });
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        started.wait(lock, [&] { return ready == clients; });
        start = NowUs();
        go = true;
    }
    started.notify_all();
    for (std::thread& t : threads) {
        t.join();
    }
    const double elapsed = (NowUs() - start) / 1e6;
    if (failed || samples.empty()) {
        return 1;
    }
    westnet::bench::Summary sum = westnet::bench::Summarise(samples);
    std::printf(
        "RESULT kind=%s impl=%s clients=%d count=%d n=%zu rate_per_s=%.1f median_us=%.1f "
        "p99_us=%.1f min_us=%.1f mean_us=%.1f\n",
        kind.c_str(), label.c_str(), clients, s.count, sum.n, static_cast<double>(sum.n) / elapsed,
        sum.median, sum.p99, sum.min, sum.mean);
    return 0;
}
