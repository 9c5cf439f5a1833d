// The history's figures for scripts/bench (section 10), in one process: the
// recorder (the listener, its queue and writer thread, the store) behind a
// fake service whose cache the bench changes at a paced rate, as line
// workers would; then the query of /api/history (parse, SQL, JSON) over a
// day and a month of one point at 1 s.
//
//   westnet-bench-history rate  --history TARGET [--spool PATH] --points N --rate R --seconds S
//   westnet-bench-history query --history TARGET [--spool PATH] --days D
//
// Prints RESULT lines: rate: changes/s offered and written, CPU % of one
// core of the whole process, bytes of store per million rows (--size-command
// gives the store's size in bytes for a server); query: ms per answer.
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "history/recorder.h"
#include "history/store.h"
#include "history/target.h"
#include "http/history_api.h"
#include "iso_time.h"
#include "support/fake_service.h"

namespace westnet::gateway {
namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

std::uint64_t FileBytes(const std::string& path) {
    std::uint64_t total = 0;
    for (const char* suffix : {"", "-wal"}) {
        struct stat st {};
        if (stat((path + suffix).c_str(), &st) == 0) {
            total += static_cast<std::uint64_t>(st.st_size);
        }
    }
    return total;
}

std::uint64_t CommandNumber(const std::string& command) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return 0;
    }
    unsigned long long n = 0;
    if (std::fscanf(p, "%llu", &n) != 1) {
        n = 0;
    }
    pclose(p);
    return n;
}

Plant MakePlant(const std::string& target, const std::string& spool, int points) {
    Plant plant;
    LineConfig line;
    line.name = "bench";
    for (int i = 0; i < points; ++i) {
        PointConfig p;
        p.name = "p" + std::to_string(i);
        p.unit = "m";
        line.points.push_back(p);
    }
    plant.lines.push_back(line);
    plant.gateway.history = target;
    plant.gateway.historySpool = spool;
    plant.gateway.historyKeepDays = 36500;
    return plant;
}

std::unique_ptr<FrontEnd> MakeFor(const Plant& plant, Service& service) {
    return history::MakeHistoryFrontEnd(plant.gateway, service);
}

double Stat(testing::FakeService& service, const std::string& name) {
    for (const StatsRegistry::Series& s : service.FrontEndStats().Snapshot()) {
        if (s.name == name) {
            return s.value;
        }
    }
    return 0;
}

int Rate(const std::string& target, const std::string& spool, int points, int rate, int seconds,
         const std::string& sizeCommand) {
    testing::FakeService service(MakePlant(target, spool, points));
    auto recorder = MakeFor(service.PlantConfig(), service);
    std::string error;
    if (!recorder || !recorder->Start(error)) {
        std::fprintf(stderr, "cannot start the recorder: %s\n", error.c_str());
        return 1;
    }
    // Ticks of 10 ms, each changing rate / 100 points in turn.
    const int perTick = std::max(1, rate / 100);
    const auto begin = Clock::now();
    const double cpuBefore = CpuSeconds();
    std::uint64_t offered = 0;
    std::uint16_t value = 0;
    int next = 0;
    for (int tick = 0; tick < seconds * 100; ++tick) {
        std::this_thread::sleep_until(begin + std::chrono::milliseconds{10 * tick});
        const auto now = std::chrono::system_clock::now();
        for (int i = 0; i < perTick; ++i) {
            PointSample s;
            s.values = {value++};
            s.quality = Quality::Good;
            s.goodTime = now;
            service.SetSample(0, static_cast<std::size_t>(next), s);
            next = (next + 1) % points;
            ++offered;
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - begin).count();
    const double cpu = CpuSeconds() - cpuBefore;
    recorder->Stop();  // what waits is written
    const double drain = std::chrono::duration<double>(Clock::now() - begin).count() - wall;
    recorder.reset();  // the store closed: SQLite folds its WAL into the file
    const auto written = static_cast<std::uint64_t>(Stat(service, "westnet_history_rows_total"));
    const auto dropped = static_cast<std::uint64_t>(Stat(service, "westnet_history_dropped_total"));
    // A server's rows still in the spool when it stopped.
    const auto waiting = static_cast<std::uint64_t>(Stat(service, "westnet_history_waiting"));
    HistoryTarget t;
    ParseHistoryTarget(target, t, error);
    const std::uint64_t bytes =
        sizeCommand.empty() ? FileBytes(t.path) : CommandNumber(sizeCommand);
    std::printf(
        "RESULT kind=history store=%s points=%d offered_per_s=%.0f written=%llu dropped=%llu "
        "cpu_pct=%.1f drain_s=%.2f waiting=%llu bytes_per_million=%.0f\n",
        t.kind == HistoryTarget::Kind::Sqlite ? "sqlite" : "postgresql", points,
        static_cast<double>(offered) / wall, static_cast<unsigned long long>(written),
        static_cast<unsigned long long>(dropped), 100.0 * cpu / wall, drain,
        static_cast<unsigned long long>(waiting),
        written > 0 ? static_cast<double>(bytes) * 1e6 / static_cast<double>(written) : 0.0);
    return 0;
}

int Query(const std::string& target, const std::string& spool, int days) {
    HistoryTarget t;
    std::string error;
    if (!ParseHistoryTarget(target, t, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    auto store = t.kind == HistoryTarget::Kind::Sqlite
                     ? history::MakeSqliteStore(t.path)
                     : history::MakePostgresStore(t.conninfo, spool);
    if (!store->Open(error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    const std::string name = "trend/d" + std::to_string(days);
    const auto series = std::make_shared<const history::Series>(history::Series{name, "m"});
    const std::int64_t end = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::system_clock::now().time_since_epoch())
                                 .count() /
                             1000 * 1000;
    const std::int64_t rows = std::int64_t{days} * 86400;
    const std::int64_t begin = end - rows * 1000;
    const auto loadStart = Clock::now();
    std::vector<history::Row> batch;
    for (std::int64_t i = 0; i < rows; ++i) {
        batch.push_back({series, begin + i * 1000, 100.0 + static_cast<double>(i % 3600) / 36.0,
                         HistoryQuality::Good});
        if (batch.size() == 50000 || i + 1 == rows) {
            if (!store->Append(batch, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
            batch.clear();
            // A server's store: the spool goes out as the writer would send it.
            while (store->Health().waiting > 0) {
                if (!store->Forward(error)) {
                    std::fprintf(stderr, "%s\n", error.c_str());
                    return 1;
                }
            }
        }
    }
    const double load = std::chrono::duration<double>(Clock::now() - loadStart).count();

    // As /api/history answers it: arguments, the query, the JSON.
    Plant plant;
    LineConfig line;
    line.name = "trend";
    PointConfig p;
    p.name = "d" + std::to_string(days);
    line.points.push_back(p);
    plant.lines.push_back(line);
    testing::FakeService service(plant);
    struct Reader final : HistoryReader {
        history::Store* store = nullptr;
        bool Query(const HistoryQuery& q, HistoryResult& r, std::string& why) override {
            return store->Query(q, r, why);
        }
    };
    auto reader = std::make_shared<Reader>();
    reader->store = store.get();
    service.PublishHistory(reader);
    const std::string from = host::IsoTimeUtc(begin);
    const std::string to = host::IsoTimeUtc(end);
    const std::string step = std::to_string(rows / 300);
    const std::string pointName = p.name;
    auto argument = [&](const char* key) -> const char* {
        const std::string k = key;
        return k == "line"    ? "trend"
               : k == "point" ? pointName.c_str()
               : k == "from"  ? from.c_str()
               : k == "to"    ? to.c_str()
               : k == "step"  ? step.c_str()
                              : nullptr;
    };
    std::vector<double> ms;
    std::vector<double> cpuMs;
    std::size_t answered = 0;
    for (int i = 0; i < 15; ++i) {
        const auto t0 = Clock::now();
        const double c0 = ThreadCpuMs();
        const http::HistoryReply reply =
            http::AnswerHistory(service, argument, std::chrono::system_clock::now());
        cpuMs.push_back(ThreadCpuMs() - c0);
        ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
        if (reply.status != 200) {
            std::fprintf(stderr, "%d %s\n", reply.status, reply.body.c_str());
            return 1;
        }
        answered =
            static_cast<std::size_t>(std::count(reply.body.begin(), reply.body.end(), '{')) - 1;
    }
    std::sort(ms.begin(), ms.end());
    std::sort(cpuMs.begin(), cpuMs.end());
    // The gateway's own CPU per answer (a server's work is not in it), and
    // the time to the answer, which a busy machine stretches.
    std::printf(
        "RESULT kind=history-query store=%s days=%d rows=%lld steps=%zu load_s=%.2f "
        "median_ms=%.2f min_ms=%.2f max_ms=%.2f cpu_ms=%.2f\n",
        t.kind == HistoryTarget::Kind::Sqlite ? "sqlite" : "postgresql", days,
        static_cast<long long>(rows), answered, load, ms[ms.size() / 2], ms.front(), ms.back(),
        cpuMs[cpuMs.size() / 2]);
    return 0;
}

}  // namespace
}  // namespace westnet::gateway

int main(int argc, char** argv) {
    std::string mode = argc > 1 ? argv[1] : "";
    std::string target;
    std::string spool = "/tmp/westnet-bench-history-spool.db";
    std::string sizeCommand;
    int points = 1000;
    int rate = 10000;
    int seconds = 10;
    int days = 1;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--history") {
            target = value;
        } else if (key == "--spool") {
            spool = value;
        } else if (key == "--size-command") {
            sizeCommand = value;
        } else if (key == "--points") {
            points = std::atoi(value.c_str());
        } else if (key == "--rate") {
            rate = std::atoi(value.c_str());
        } else if (key == "--seconds") {
            seconds = std::atoi(value.c_str());
        } else if (key == "--days") {
            days = std::atoi(value.c_str());
        }
    }
    if (mode == "rate" && !target.empty() && points > 0) {
        return westnet::gateway::Rate(target, spool, points, rate, seconds, sizeCommand);
    }
    if (mode == "query" && !target.empty() && days > 0) {
        return westnet::gateway::Query(target, spool, days);
    }
    std::fprintf(stderr,
                 "usage: westnet-bench-history rate|query --history TARGET [--spool PATH] "
                 "[--points N --rate R --seconds S --size-command CMD] [--days D]\n");
    return 2;
}
