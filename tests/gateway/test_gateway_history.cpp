// The history: which readings become rows (deadband, keep-alive, quality),
// that the recorder never holds a line worker up and stops alone when its
// store fails, the stepped query over a day of rows, retention, and the one
// parser of ISO times the API reads.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "history/recorder.h"
#include "history/store.h"
#include "iso_time.h"
#include "support/fake_service.h"

namespace westnet::gateway::history {
namespace {

using testing::FakeService;

constexpr std::int64_t kBase = 1767225600000;  // 2026-01-01T00:00:00Z

// A database file of the test's own, gone with it.
struct ScratchFile {
    explicit ScratchFile(const std::string& name)
        : path("/tmp/westnet-history-" + std::to_string(getpid()) + "-" + name) {
        Remove();
    }
    ~ScratchFile() { Remove(); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;
    void Remove() const {
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::remove((path + suffix).c_str());
        }
    }
    const std::string path;
};

TEST(HistoryRows, WhichReadingsAreWorthARow) {
    const auto q = HistoryQuality::Good;
    LastRecorded last{true, 100.0, q, kBase};
    struct Case {
        const char* what;
        std::optional<double> value;
        HistoryQuality quality;
        std::int64_t afterMs;
        double deadband;
        int keepaliveS;
        bool worth;
    };
    const Case cases[] = {
        {"unchanged", 100.0, q, 1000, 0, 600, false},
        {"any move with deadband 0", 100.001, q, 1000, 0, 600, true},
        {"a move within the deadband", 101.5, q, 1000, 2, 600, false},
        {"a move of exactly the deadband", 98.0, q, 1000, 2, 600, false},
        {"a move past the deadband, downwards", 97.9, q, 1000, 2, 600, true},
        {"quality stale", 100.0, HistoryQuality::Stale, 1000, 0, 600, true},
        {"its value lost", std::nullopt, q, 1000, 0, 600, true},
        {"keep-alive due", 100.0, q, 600000, 0, 600, true},
        {"keep-alive not yet due", 100.0, q, 599999, 0, 600, false},
        {"keep-alive 0: never for time alone", 100.0, q, 86400000, 0, 0, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(last.Worth(c.value, c.quality, kBase + c.afterMs, c.deadband, c.keepaliveS),
                  c.worth)
            << c.what;
    }
    EXPECT_TRUE(LastRecorded{}.Worth(std::nullopt, HistoryQuality::Bad, kBase, 0, 0))
        << "the first reading of a series is always a row";
    LastRecorded none{true, std::nullopt, HistoryQuality::Bad, kBase};
    EXPECT_FALSE(none.Worth(std::nullopt, HistoryQuality::Bad, kBase + 1000, 0, 600));
    EXPECT_TRUE(none.Worth(5.0, HistoryQuality::Bad, kBase + 1000, 0, 600));
}

Plant HistoryPlant() {
    Plant plant;
    LineConfig line;
    line.name = "l1";
    PointConfig word;
    word.name = "level";
    word.unit = "m";
    word.historyDeadband = 2;
    word.historyKeepaliveS = 10;
    PointConfig block;
    block.name = "pair";
    block.count = 2;
    PointConfig off;
    off.name = "quiet";
    off.history = false;
    line.points = {word, block, off};
    plant.lines.push_back(line);
    plant.gateway.history = "sqlite:unused";
    return plant;
}

PointSample Good(std::vector<std::uint16_t> words, std::int64_t ms) {
    PointSample s;
    s.values = std::move(words);
    s.quality = Quality::Good;
    s.goodTime = WallTime{std::chrono::milliseconds{ms}};
    return s;
}

std::vector<HistoryRow> Raw(Store& store, const std::string& series) {
    HistoryResult result;
    std::string why;
    EXPECT_TRUE(store.Query({series, kBase - 1, INT64_MAX / 2, 0, 1000}, result, why)) << why;
    return result.rows;
}

TEST(HistoryRecorder, RecordsChangesPerValueAndKeepsThemPastARestart) {
    const ScratchFile file("recorder.db");
    const std::string& path = file.path;
    FakeService service(HistoryPlant());
    // Within the days kept: the recorder cuts older rows as it starts.
    const std::int64_t base = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  std::chrono::system_clock::now().time_since_epoch())
                                      .count() /
                                  1000 * 1000 -
                              3600000;
    {
        auto recorder = MakeRecorder(service.PlantConfig().gateway, service, MakeSqliteStore(path),
                                     "sqlite", {});
        std::string error;
        ASSERT_TRUE(recorder->Start(error));
        ASSERT_NE(service.History(), nullptr);
        const std::pair<std::uint16_t, int> readings[] = {
            {100, 0}, {101, 1}, {103, 2}, {104, 3}, {104, 13}};
        for (const auto& [value, second] : readings) {
            service.SetSample(0, 0, Good({value}, base + std::int64_t{second} * 1000));
        }
        PointSample stale = Good({104}, base + 13000);
        stale.quality = Quality::Stale;
        service.SetSample(0, 0, stale);
        service.SetSample(0, 1, Good({5, 6}, base));
        service.SetSample(0, 1, Good({5, 7}, base + 1000));
        service.SetSample(0, 2, Good({9}, base));
        recorder->Stop();
        EXPECT_EQ(service.History(), nullptr);
    }
    // What a gateway started again finds.
    auto store = MakeSqliteStore(path);
    std::string why;
    ASSERT_TRUE(store->Open(why)) << why;
    const std::vector<HistoryRow> level = Raw(*store, "l1/level");
    ASSERT_EQ(level.size(), 4U);
    const std::int64_t times[] = {0, 2000, 13000};
    const double values[] = {100, 103, 104};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(level[i].timeMs, base + times[i]) << i;
        EXPECT_EQ(level[i].last, values[i]) << i;
        EXPECT_EQ(level[i].quality, HistoryQuality::Good) << i;
    }
    EXPECT_EQ(level[3].quality, HistoryQuality::Stale);
    EXPECT_EQ(level[3].last, 104.0);
    EXPECT_EQ(Raw(*store, "l1/pair[0]").size(), 1U);
    ASSERT_EQ(Raw(*store, "l1/pair[1]").size(), 2U);
    EXPECT_EQ(Raw(*store, "l1/pair[1]")[1].last, 7.0);
    EXPECT_TRUE(Raw(*store, "l1/quiet").empty()) << "history = false records nothing";
}

// A store whose writes wait until the test lets them go, then fail.
class StuckStore final : public Store {
public:
    bool Open(std::string&) override { return true; }
    bool Append(const std::vector<Row>&, std::string& why) override {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!released_) {
            wake_.wait(lock);
        }
        why = "disk full";
        return false;
    }
    bool Retain(std::int64_t, std::int64_t, std::uint64_t, std::string&) override { return true; }
    bool Query(const HistoryQuery&, HistoryResult&, std::string&) override { return true; }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        wake_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool released_ = false;
};

double Stat(FakeService& service, const std::string& name) {
    for (const StatsRegistry::Series& s : service.FrontEndStats().Snapshot()) {
        if (s.name == name) {
            return s.value;
        }
    }
    return -1;
}

TEST(HistoryRecorder, AStuckStoreDropsRowsNotTheScanAndAFailedOneStopsTheHistory) {
    FakeService service(HistoryPlant());
    auto stuck = std::make_unique<StuckStore>();
    StuckStore* store = stuck.get();
    RecorderSettings settings;
    settings.queueMax = 8;
    settings.flushEvery = std::chrono::milliseconds{5};
    auto recorder =
        MakeRecorder(service.PlantConfig().gateway, service, std::move(stuck), "sqlite", settings);
    std::string error;
    ASSERT_TRUE(recorder->Start(error));
    // Every reading a change: with the writer stuck, these return only
    // because the queue drops what it cannot hold.
    for (int i = 0; i < 2000; ++i) {
        service.SetSample(0, 0, Good({static_cast<std::uint16_t>(i * 3)}, kBase + i));
    }
    store->Release();
    HistoryResult result;
    std::string why;
    for (int i = 0; i < 1000 && Stat(service, "westnet_history_up") != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
    EXPECT_EQ(Stat(service, "westnet_history_up"), 0);
    EXPECT_FALSE(service.History()->Query({"l1/level", kBase, kBase + 1, 0, 10}, result, why));
    EXPECT_NE(why.find("stopped"), std::string::npos) << why;
    EXPECT_NE(why.find("disk full"), std::string::npos) << why;
    service.SetSample(0, 0, Good({1}, kBase + 5000));  // still returns
    recorder->Stop();
    EXPECT_GE(Stat(service, "westnet_history_dropped_total"), 2000 - 2 * 8);
}

TEST(HistoryStore, ADayInStepsGivesEachStepsFigures) {
    const ScratchFile file("day.db");
    const std::string& path = file.path;
    auto store = MakeSqliteStore(path);
    std::string why;
    ASSERT_TRUE(store->Open(why)) << why;
    auto series = std::make_shared<const Series>(Series{"l1/saw", "m"});
    std::vector<Row> rows;
    for (int i = 0; i < 86400; ++i) {
        const bool bad = i >= 1000 && i < 1100;
        rows.push_back({series, kBase + i * 1000LL,
                        bad ? std::nullopt : std::optional<double>(i % 1000),
                        bad ? HistoryQuality::Bad : HistoryQuality::Good});
    }
    ASSERT_TRUE(store->Append(rows, why)) << why;

    HistoryResult result;
    ASSERT_TRUE(store->Query({"l1/saw", kBase, kBase + 86400000LL, 288000, 100000}, result, why))
        << why;
    ASSERT_EQ(result.rows.size(), 300U);
    EXPECT_FALSE(result.more);
    for (const std::size_t step : {std::size_t{0}, std::size_t{3}, std::size_t{299}}) {
        double lo = 1e9, hi = -1, sum = 0, last = 0;
        int n = 0;
        HistoryQuality worst = HistoryQuality::Good;
        for (std::size_t i = step * 288; i < (step + 1) * 288; ++i) {
            if (i >= 1000 && i < 1100) {
                worst = HistoryQuality::Bad;
                continue;
            }
            const double v = static_cast<double>(i % 1000);
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            sum += v;
            last = v;
            ++n;
        }
        const HistoryRow& r = result.rows[step];
        EXPECT_EQ(r.timeMs, kBase + static_cast<std::int64_t>(step) * 288000) << step;
        EXPECT_EQ(r.min, lo) << step;
        EXPECT_EQ(r.max, hi) << step;
        ASSERT_TRUE(r.avg.has_value());
        EXPECT_NEAR(*r.avg, sum / n, 1e-9) << step;
        EXPECT_EQ(r.last, last) << step;
        EXPECT_EQ(r.quality, worst) << step;
    }

    ASSERT_TRUE(store->Query({"l1/saw", kBase, kBase + 86400000LL, 0, 500}, result, why));
    EXPECT_EQ(result.rows.size(), 500U);
    EXPECT_TRUE(result.more) << "a raw answer cut at its limit says so";
    EXPECT_EQ(result.rows.back().timeMs, kBase + 499000);
    ASSERT_TRUE(store->Query({"l1/none", kBase, kBase + 1000, 0, 500}, result, why));
    EXPECT_TRUE(result.rows.empty());
}

TEST(HistoryStore, RetentionCutsByAgeThenBySize) {
    const ScratchFile file("retain.db");
    const std::string& path = file.path;
    auto store = MakeSqliteStore(path);
    std::string why;
    ASSERT_TRUE(store->Open(why)) << why;
    auto series = std::make_shared<const Series>(Series{"l1/x", ""});
    const std::int64_t day = 86400000;
    const std::int64_t now = kBase + 100 * day;
    std::vector<Row> rows;
    for (int d = 0; d < 100; ++d) {
        for (int i = 0; i < 200; ++i) {
            rows.push_back(
                {series, kBase + d * day + std::int64_t{i} * 1000, 1.0 * i, HistoryQuality::Good});
        }
    }
    ASSERT_TRUE(store->Append(rows, why)) << why;
    ASSERT_TRUE(store->Retain(now, 30 * day, UINT64_MAX, why)) << why;
    EXPECT_EQ(Raw(*store, "l1/x").front().timeMs, kBase + 70 * day) << "30 days kept";
    ASSERT_TRUE(store->Retain(now, 30 * day, 1, why)) << why;
    const std::vector<HistoryRow> left = Raw(*store, "l1/x");
    ASSERT_FALSE(left.empty());
    EXPECT_GT(left.front().timeMs, kBase + 71 * day) << "past the size, the oldest go first";
    EXPECT_EQ(left.back().timeMs, kBase + 99 * day + 199000);
}

TEST(IsoTime, ParsesWhatItWritesAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        std::int64_t ms;
    };
    const Case cases[] = {
        {"2026-01-01T00:00:00Z", true, kBase},
        {"2026-01-01T00:00:00.5Z", true, kBase + 500},
        {"2026-01-01 01:30:00.1239+01:30", true, kBase + 123},
        {"2025-12-31T23:00:00-01:00", true, kBase},
        {"2024-02-29T00:00:00Z", true, 1709164800000},
        {"1969-12-31T23:59:59.000Z", true, -1000},
        {"2026-02-29T00:00:00Z", false, 0},
        {"2026-13-01T00:00:00Z", false, 0},
        {"2026-01-01T24:00:00Z", false, 0},
        {"2026-01-01T00:00:00", false, 0},
        {"2026-01-01T00:00:00Z junk", false, 0},
        {"2026-01-01", false, 0},
        {"", false, 0},
    };
    for (const Case& c : cases) {
        std::int64_t ms = 0;
        EXPECT_EQ(host::ParseIsoTimeUtc(c.text, ms), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(ms, c.ms) << c.text;
            EXPECT_TRUE(host::ParseIsoTimeUtc(host::IsoTimeUtc(ms), ms)) << c.text;
            EXPECT_EQ(ms, c.ms) << "round trip of " << c.text;
        }
    }
}

}  // namespace
}  // namespace westnet::gateway::history
