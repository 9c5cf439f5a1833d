#include "history/recorder.h"

#include <cmath>
#include <condition_variable>
#include <thread>
#include <utility>
#include <vector>

#include "history/target.h"
#include "log/log.h"
#include "sync/mutex.h"
#include "values/engineering.h"

namespace westnet::gateway::history {

bool LastRecorded::Worth(const std::optional<double>& next, HistoryQuality nextQuality,
                         std::int64_t nowMs, double deadband, int keepaliveS) const {
    if (!any || nextQuality != quality || next.has_value() != value.has_value()) {
        return true;
    }
    if (next && std::fabs(*next - *value) > deadband) {
        return true;
    }
    return keepaliveS > 0 && nowMs - timeMs >= std::int64_t{keepaliveS} * 1000;
}

std::string SeriesName(const std::string& line, const std::string& point, int index, bool block) {
    std::string name = line + "/" + point;
    if (block) {
        name += "[" + std::to_string(index) + "]";
    }
    return name;
}

namespace {

std::int64_t UnixMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

HistoryQuality ToHistory(Quality q) {
    switch (q) {
        case Quality::Good:
            return HistoryQuality::Good;
        case Quality::Stale:
            return HistoryQuality::Stale;
        case Quality::Bad:
            break;
    }
    return HistoryQuality::Bad;
}

const char* const kUp = "westnet_history_up";
const char* const kRows = "westnet_history_rows_total";
const char* const kDropped = "westnet_history_dropped_total";
const char* const kQueued = "westnet_history_queued";
const char* const kServerUp = "westnet_history_server_up";
const char* const kWaiting = "westnet_history_waiting";

// The listener, the queue and the writer: shared with the HTTP front end
// as its reader, so it lives as long as a query holds it.
class Core final : public Listener, public HistoryReader {
public:
    Core(Service& service, const GatewayConfig& config, std::unique_ptr<Store> store,
         std::string storeName, RecorderSettings settings)
        : service_(service),
          store_(std::move(store)),
          labels_{{"store", std::move(storeName)}},
          settings_(settings),
          keepMs_(std::int64_t{config.historyKeepDays} * 86400 * 1000),
          maxBytes_(static_cast<std::uint64_t>(config.historyMaxMb) * 1024 * 1024) {}

    // Before the listener is added: opens the store and starts the writer.
    void Start(const Plant& plant) {
        Adopt(plant);
        std::string why;
        if (!store_->Open(why)) {
            Fail("cannot open the history's store: " + why);
        }
        PublishStats(0, 0);
        writer_ = std::thread([this] { Write(); });
    }

    // After the listener is removed: what waits is written, then the writer ends.
    void Stop() {
        {
            MutexLock lock(mutex_);
            stopping_ = true;
            wake_.notify_all();
        }
        if (writer_.joinable()) {
            writer_.join();
        }
    }

    void Pause() {
        MutexLock lock(mutex_);
        paused_ = true;
    }

    // The series of a (new) plant; what was last recorded of a series of
    // the same name is kept.
    void Adopt(const Plant& plant) {
        std::vector<std::vector<PointSeries>> points(plant.lines.size());
        for (std::size_t l = 0; l < plant.lines.size(); ++l) {
            const LineConfig& line = plant.lines[l];
            for (const PointConfig& p : line.points) {
                PointSeries ps;
                ps.point = p;
                if (p.history) {
                    for (int i = 0; i < p.Values(); ++i) {
                        ps.series.push_back(std::make_shared<const Series>(
                            Series{SeriesName(line.name, p.name, i, p.IsBlock()), p.unit}));
                    }
                }
                points[l].push_back(std::move(ps));
            }
        }
        MutexLock lock(mutex_);
        std::map<std::string, LastRecorded> before;
        for (const auto& line : points_) {
            for (const PointSeries& ps : line) {
                for (std::size_t i = 0; i < ps.series.size(); ++i) {
                    before[ps.series[i]->name] = ps.last[i];
                }
            }
        }
        for (auto& line : points) {
            for (PointSeries& ps : line) {
                ps.last.resize(ps.series.size());
                for (std::size_t i = 0; i < ps.series.size(); ++i) {
                    const auto kept = before.find(ps.series[i]->name);
                    if (kept != before.end()) {
                        ps.last[i] = kept->second;
                    }
                }
            }
        }
        points_ = std::move(points);
        paused_ = false;
    }

    // --- Listener: a line worker's; decides and queues, nothing more.
    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override {
        MutexLock lock(mutex_);
        if (paused_ || failed_ || line >= points_.size() || point >= points_[line].size()) {
            return;
        }
        PointSeries& ps = points_[line][point];
        if (ps.series.empty()) {
            return;
        }
        const HistoryQuality quality = ToHistory(sample.quality);
        const std::int64_t now = quality == HistoryQuality::Good && sample.goodTime != WallTime{}
                                     ? UnixMs(sample.goodTime)
                                     : UnixMs(std::chrono::system_clock::now());
        const std::vector<EngineeringValue> values = EngineeringValues(ps.point, sample.values);
        for (std::size_t i = 0; i < ps.series.size(); ++i) {
            std::optional<double> value;
            if (i < values.size() && values[i].state != values::Decoded::NotAValue &&
                std::isfinite(values[i].value)) {
                value = values[i].value;
            }
            LastRecorded& last = ps.last[i];
            if (!last.Worth(value, quality, now, ps.point.historyDeadband,
                            ps.point.historyKeepaliveS)) {
                continue;
            }
            if (queue_.size() >= settings_.queueMax) {
                ++dropped_;
                continue;  // the row is lost, not the scan's time
            }
            last = {true, value, quality, now};
            queue_.push_back({ps.series[i], now, value, quality});
        }
        if (queue_.size() >= settings_.queueMax / 2) {
            wake_.notify_one();
        }
    }
    void StationChanged(std::size_t, int, StationState) override {}

    // --- HistoryReader: any thread's.
    bool Query(const HistoryQuery& query, HistoryResult& result, std::string& why) override {
        {
            MutexLock lock(mutex_);
            if (failed_) {
                why = "the history is stopped: " + failure_;
                return false;
            }
        }
        return store_->Query(query, result, why);
    }

private:
    struct PointSeries {
        PointConfig point;
        std::vector<std::shared_ptr<const Series>> series;  // none when not recorded
        std::vector<LastRecorded> last;
    };

    void Fail(const std::string& why) {
        Log(LogLevel::Error, why +
                                 "; the history stops (the scan goes on); fix it and restart or "
                                 "reload the gateway");
        MutexLock lock(mutex_);
        failed_ = true;
        failure_ = why;
        dropped_ += queue_.size();
        queue_.clear();
    }

    void PublishStats(std::uint64_t written, std::size_t queued) {
        StatsRegistry& stats = service_.FrontEndStats();
        bool failed = false;
        std::uint64_t dropped = 0;
        {
            MutexLock lock(mutex_);
            failed = failed_;
            std::swap(dropped, dropped_);
        }
        stats.Set(kUp, "1 while the history records, 0 once its store failed", labels_,
                  failed ? 0 : 1);
        stats.Add(kRows, "Rows the history wrote to its store", labels_,
                  static_cast<double>(written));
        stats.Add(kDropped, "Rows the history dropped: its writer fell behind, or its store failed",
                  labels_, static_cast<double>(dropped));
        stats.Set(kQueued, "Rows waiting for the history's writer", labels_,
                  static_cast<double>(queued));
        if (labels_.at("store") == "postgresql") {
            const StoreHealth health = store_->Health();
            stats.Set(kServerUp, "1 while the history's server is connected", labels_,
                      health.serverUp ? 1 : 0);
            stats.Set(kWaiting, "Rows in the spool, waiting for the history's server", labels_,
                      static_cast<double>(health.waiting));
        }
        if (dropped > 0 && !failed) {
            Log(LogLevel::Warning, "history: " + std::to_string(dropped) +
                                       " rows dropped: the writer falls behind the changes");
        }
    }

    void Write() {
        auto nextRetain = std::chrono::steady_clock::now();
        for (;;) {
            std::vector<Row> batch;
            bool stopping = false;
            bool failed = false;
            {
                MutexLock lock(mutex_);
                if (!stopping_ && queue_.size() < settings_.queueMax / 2) {
                    lock.WaitFor(wake_, settings_.flushEvery);
                }
                batch.swap(queue_);
                queue_.reserve(batch.size());
                stopping = stopping_;
                failed = failed_;
            }
            std::uint64_t written = 0;
            if (!failed) {
                std::string why;
                if (!batch.empty() && !store_->Append(batch, why)) {
                    Fail("cannot write the history: " + why);
                } else {
                    written = batch.size();
                    if (!store_->Forward(why)) {
                        Fail("cannot keep the history's rows: " + why);
                    } else if (std::chrono::steady_clock::now() >= nextRetain) {
                        nextRetain = std::chrono::steady_clock::now() + settings_.retainEvery;
                        if (!store_->Retain(UnixMs(std::chrono::system_clock::now()), keepMs_,
                                            maxBytes_, why)) {
                            Fail("cannot cut the history's old rows: " + why);
                        }
                    }
                }
            }
            std::size_t queued = 0;
            {
                MutexLock lock(mutex_);
                queued = queue_.size();
            }
            PublishStats(written, queued);
            if (stopping) {
                return;
            }
        }
    }

    Service& service_;
    const std::unique_ptr<Store> store_;
    const StatsRegistry::Labels labels_;
    const RecorderSettings settings_;
    const std::int64_t keepMs_;
    const std::uint64_t maxBytes_;
    std::thread writer_;

    Mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::vector<PointSeries>> points_ GUARDED_BY(mutex_);
    std::vector<Row> queue_ GUARDED_BY(mutex_);
    std::uint64_t dropped_ GUARDED_BY(mutex_) = 0;  // since the stats were last published
    bool paused_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool failed_ GUARDED_BY(mutex_) = false;
    std::string failure_ GUARDED_BY(mutex_);
};

class Recorder final : public FrontEnd {
public:
    Recorder(const GatewayConfig& config, Service& service, std::unique_ptr<Store> store,
             const std::string& storeName, RecorderSettings settings)
        : config_(config),
          service_(service),
          core_(std::make_shared<Core>(service, config, std::move(store), storeName, settings)) {}
    ~Recorder() override { Recorder::Stop(); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    std::string Name() const override { return "history"; }

    bool Start(std::string& error) override {
        (void)error;  // a store that cannot open stops the history, not the gateway
        core_->Start(*service_.Snapshot());
        service_.AddListener(core_.get());
        service_.PublishHistory(core_);
        started_ = true;
        return true;
    }

    void Stop() override {
        if (!started_) {
            return;
        }
        started_ = false;
        service_.PublishHistory(nullptr);
        service_.RemoveListener(core_.get());
        core_->Stop();
    }

    bool Keeps(const GatewayConfig& next) const override {
        return started_ && next.history == config_.history &&
               next.historyKeepDays == config_.historyKeepDays &&
               next.historyMaxMb == config_.historyMaxMb &&
               next.historySpool == config_.historySpool;
    }
    void Pause() override { core_->Pause(); }
    bool Resume() override {
        core_->Adopt(*service_.Snapshot());
        return true;
    }

private:
    const GatewayConfig config_;
    Service& service_;
    const std::shared_ptr<Core> core_;
    bool started_ = false;
};

}  // namespace

std::unique_ptr<FrontEnd> MakeRecorder(const GatewayConfig& config, Service& service,
                                       std::unique_ptr<Store> store, const std::string& storeName,
                                       RecorderSettings settings) {
    return std::make_unique<Recorder>(config, service, std::move(store), storeName, settings);
}

std::unique_ptr<FrontEnd> MakeHistoryFrontEnd(const GatewayConfig& config, Service& service) {
    HistoryTarget target;
    std::string why;
    if (config.history.empty() || !ParseHistoryTarget(config.history, target, why)) {
        return nullptr;  // off (the plant reader refused a target that does not parse)
    }
    if (target.kind == HistoryTarget::Kind::Sqlite) {
        return MakeRecorder(config, service, MakeSqliteStore(target.path), "sqlite", {});
    }
    return MakeRecorder(config, service, MakePostgresStore(target.conninfo, config.historySpool),
                        "postgresql", {});
}

}  // namespace westnet::gateway::history
