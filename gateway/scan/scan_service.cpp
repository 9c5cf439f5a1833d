#include "scan/scan_service.h"

#include <algorithm>
#include <cstdio>

#include "plant/compare.h"
#include "scan/driver_channel.h"
#include "scan/plan.h"

namespace westnet::gateway {
namespace {

// The driver's attempts at one command: its attempts at the selection of
// its station and as many at its transaction.
constexpr int kAttempts = 2 * wire::kAttempts;
// A purge that finds input waiting drains it in reads of this length.
constexpr double kPurgeMs = wire::kDrainReadMs;
constexpr std::chrono::seconds kSystemSlack{1};
// The longest a worker waits between two steps: the line's reopen back-off
// at its longest, and the slack.
constexpr auto kLongestWait = kReopenMax + std::chrono::seconds(2);

std::int64_t Nanos(SteadyTime t) {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(t.time_since_epoch()).count();
}

double Seconds(std::int64_t nanos) {
    return static_cast<double>(nanos) / 1e9;
}

// The line's channel, every call to the line timed in the line's activity.
class WatchedChannel : public Channel {
public:
    WatchedChannel(std::unique_ptr<Channel> inner, const Clock& clock, LineActivity& activity)
        : inner_(std::move(inner)), clock_(clock), activity_(activity) {}

    bool Open(std::string& why) override {
        return Timed("an open", -1, [&] { return inner_->Open(why); });
    }
    void Close() override {
        Timed("a close", -1, [&] {
            inner_->Close();
            return 0;
        });
    }
    std::string Device() const override { return inner_->Device(); }
    int SelectedStation() const override { return inner_->SelectedStation(); }

    std::int32_t ReadWord(int station, int reg, std::uint16_t& value) override {
        return Timed("a word read", station, [&] { return inner_->ReadWord(station, reg, value); });
    }
    std::int32_t ReadBlock(int station, int reg, int count,
                           std::vector<std::uint16_t>& words) override {
        return Timed("a block read", station,
                     [&] { return inner_->ReadBlock(station, reg, count, words); });
    }
    std::int32_t WriteWord(int station, int reg, std::uint16_t value) override {
        return Timed("a word write", station,
                     [&] { return inner_->WriteWord(station, reg, value); });
    }
    std::int32_t WriteBit(int station, int reg, int bit, bool value) override {
        return Timed("a bit write", station,
                     [&] { return inner_->WriteBit(station, reg, bit, value); });
    }
    std::int32_t WriteBlock(int station, int reg,
                            const std::vector<std::uint16_t>& words) override {
        return Timed("a block write", station,
                     [&] { return inner_->WriteBlock(station, reg, words); });
    }

private:
    template <typename Call>
    auto Timed(const char* what, int station, Call call) -> decltype(call()) {
        activity_.call.store(what);
        activity_.station.store(station);
        activity_.busySince.store(Nanos(clock_.Now()));
        auto result = call();
        activity_.busySince.store(LineActivity::kIdle);
        activity_.progress.store(Nanos(clock_.Now()));
        return result;
    }

    std::unique_ptr<Channel> inner_;
    const Clock& clock_;
    LineActivity& activity_;
};

}  // namespace

SteadyTime::duration CommandLimit(const LineConfig& line) {
    const double frameMs = (kHeaderChars + ReplyChars(kBlockMaxWords)) * CharacterMs(line);
    const double attemptMs = TimeoutTens(line.timeoutMs) * 10.0 + kPurgeMs + frameMs;
    return std::chrono::duration_cast<SteadyTime::duration>(
               std::chrono::duration<double, std::milli>(kAttempts * attemptMs)) +
           kSystemSlack;
}

ScanService::ScanService(Plant plant, ChannelFactory makeChannel, const Clock& clock)
    : makeChannel_(std::move(makeChannel)),
      clock_(clock),
      plant_(std::make_shared<const Plant>(std::move(plant))) {
    for (std::size_t i = 0; i < plant_->lines.size(); ++i) {
        lines_.push_back(MakeLine(i, plant_->lines[i]));
    }
}

ScanService::~ScanService() {
    Stop();
}

std::unique_ptr<ScanService::Line> ScanService::MakeLine(std::size_t index,
                                                         const LineConfig& config) {
    auto line = std::make_unique<Line>();
    line->name = config.name;
    line->limit = CommandLimit(config);
    line->activity.progress.store(Nanos(clock_.Now()));
    line->channel = std::make_unique<WatchedChannel>(makeChannel_(config), clock_, line->activity);
    line->scanner =
        std::make_unique<LineScanner>(index, config, plant_->gateway.readOnly, *line->channel,
                                      clock_, static_cast<LineEvents&>(*this));
    line->scanner->SetReadThroughShare(plant_->gateway.modbusReadthroughShare);
    Line* raw = line.get();
    line->scanner->SetWake([raw] {
        {
            MutexLock lock(raw->wakeMutex);
            raw->woken = true;
        }
        raw->wake.notify_one();
    });
    return line;
}

void ScanService::Start() {
    if (started_) {
        return;
    }
    started_ = true;
    dispatcher_ = std::thread([this] { RunDispatcher(); });
    for (auto& line : lines_) {
        StartWorker(*line);
    }
}

void ScanService::StartWorker(Line& line) {
    Line* raw = &line;
    line.activity.progress.store(Nanos(clock_.Now()));
    line.worker = std::thread([this, raw] {
        RunLine(*raw);
        {
            MutexLock lock(finishedMutex_);
            raw->finished.store(true);
        }
        finishedWake_.notify_all();
    });
}

bool ScanService::Settled() const {
    return std::all_of(lines_.begin(), lines_.end(),
                       [](const auto& line) { return line->scanner->Settled(); });
}

void ScanService::BeginStop() {
    for (auto& line : lines_) {
        line->scanner->Stop();
    }
}

bool ScanService::WaitLinesFinished(std::chrono::milliseconds most) {
    auto allFinished = [&] {
        return std::all_of(lines_.begin(), lines_.end(), [](const auto& line) {
            return line->finished.load() || !line->worker.joinable();
        });
    };
    const auto deadline = std::chrono::steady_clock::now() + most;
    MutexLock lock(finishedMutex_);
    while (!allFinished()) {
        if (!lock.WaitUntil(finishedWake_, deadline)) {
            return allFinished();
        }
    }
    return true;
}

// Stops these lines and waits for them, calling `whileWaiting` every half
// second meanwhile; a line never started answers what it holds here.
void ScanService::StopAndJoin(const std::vector<Line*>& lines,
                              const std::function<void()>& whileWaiting) {
    for (Line* line : lines) {
        line->scanner->Stop();
    }
    for (Line* line : lines) {
        if (!line->worker.joinable()) {
            while (!line->scanner->Finished()) {
                line->scanner->Step();
            }
            continue;
        }
        {
            MutexLock lock(finishedMutex_);
            while (!line->finished.load()) {
                const bool told = lock.WaitFor(finishedWake_, std::chrono::milliseconds(500));
                if (!told && whileWaiting && !line->finished.load()) {
                    lock.Unlock();
                    whileWaiting();
                    lock.Lock();
                }
            }
        }
        line->worker.join();
    }
}

void ScanService::Stop() {
    std::vector<Line*> all;
    for (auto& line : lines_) {
        all.push_back(line.get());
    }
    StopAndJoin(all, nullptr);
    {
        MutexLock lock(dispatchMutex_);
        dispatchStop_ = true;
    }
    dispatchWake_.notify_all();
    if (dispatcher_.joinable()) {
        dispatcher_.join();
    }
    // Answers queued before Start() or after the dispatcher ended.
    std::deque<std::function<void()>> left;
    {
        MutexLock lock(dispatchMutex_);
        left.swap(dispatch_);
    }
    for (auto& call : left) {
        call();
    }
}

ReloadReport ScanService::Reload(Plant plant, const std::function<void()>& whileWaiting) {
    auto next = std::make_shared<const Plant>(std::move(plant));
    ReloadReport report;
    // Where each running line goes in the new plant; -1 when it ends.
    std::vector<long> keptAt(lines_.size(), -1);
    std::vector<Line*> ending;
    for (std::size_t old = 0; old < lines_.size(); ++old) {
        const LineConfig& was = plant_->lines[old];
        const auto found = std::find_if(next->lines.begin(), next->lines.end(),
                                        [&](const LineConfig& l) { return l.name == was.name; });
        if (found != next->lines.end() && SameLine(was, *found)) {
            keptAt[old] = found - next->lines.begin();
            report.kept.push_back(was.name);
        } else {
            ending.push_back(lines_[old].get());
            (found != next->lines.end() ? report.restarted : report.removed).push_back(was.name);
        }
    }
    // Every line still in its place meanwhile, for the watchdog's look.
    StopAndJoin(ending, whileWaiting);
    std::vector<std::unique_ptr<Line>> kept(next->lines.size());
    for (std::size_t old = 0; old < lines_.size(); ++old) {
        if (keptAt[old] >= 0) {
            kept[static_cast<std::size_t>(keptAt[old])] = std::move(lines_[old]);
        }
    }
    std::vector<std::unique_ptr<Line>> ended = std::move(lines_);
    std::shared_ptr<const Plant> retired = std::move(plant_);
    plant_ = std::move(next);
    lines_.clear();
    for (std::size_t i = 0; i < plant_->lines.size(); ++i) {
        if (kept[i]) {
            kept[i]->scanner->SetIndex(i);
            kept[i]->scanner->SetReadOnly(plant_->gateway.readOnly);
            kept[i]->scanner->SetReadThroughShare(plant_->gateway.modbusReadthroughShare);
            lines_.push_back(std::move(kept[i]));
            continue;
        }
        const std::string& name = plant_->lines[i].name;
        if (std::find(report.restarted.begin(), report.restarted.end(), name) ==
            report.restarted.end()) {
            report.added.push_back(name);
        }
        lines_.push_back(MakeLine(i, plant_->lines[i]));
        if (started_) {
            StartWorker(*lines_.back());
        }
    }
    return report;
}

std::vector<WorkerHealth> ScanService::Health(SteadyTime now) const {
    std::vector<WorkerHealth> out;
    const std::int64_t at = Nanos(now);
    for (const auto& line : lines_) {
        WorkerHealth h;
        h.line = line->name;
        if (line->finished.load()) {
            out.push_back(h);
            continue;
        }
        const LineActivity& a = line->activity;
        const std::int64_t busy = a.busySince.load();
        const std::int64_t limit =
            std::chrono::duration_cast<std::chrono::nanoseconds>(line->limit).count();
        char text[200];
        if (busy != LineActivity::kIdle && at - busy > limit) {
            const int station = a.station.load();
            char whom[24] = "";
            if (station >= 0) {
                std::snprintf(whom, sizeof whom, " of station %02d", station);
            }
            std::snprintf(text, sizeof text,
                          "stuck for %.1f s in %s%s, past the %.1f s its worst case takes",
                          Seconds(at - busy), a.call.load(), whom, Seconds(limit));
            h.stuck = true;
            h.why = text;
        } else if (busy == LineActivity::kIdle) {
            const std::int64_t idle = at - a.progress.load();
            const std::int64_t most =
                limit + std::chrono::duration_cast<std::chrono::nanoseconds>(kLongestWait).count();
            if (idle > most) {
                std::snprintf(text, sizeof text,
                              "its worker has made no progress for %.1f s (at most %.1f s "
                              "between two steps)",
                              Seconds(idle), Seconds(most));
                h.stuck = true;
                h.why = text;
            }
        }
        out.push_back(h);
    }
    return out;
}

void ScanService::RunLine(Line& line) {
    for (;;) {
        line.activity.progress.store(Nanos(clock_.Now()));
        const SteadyTime next = line.scanner->Step();
        if (line.scanner->Finished()) {
            return;
        }
        MutexLock lock(line.wakeMutex);
        // The scanner's clock is the steady clock in the daemon.
        while (!line.woken && lock.WaitUntil(line.wake, next)) {
        }
        line.woken = false;
    }
}

void ScanService::RunDispatcher() {
    MutexLock lock(dispatchMutex_);
    for (;;) {
        while (!dispatchStop_ && dispatch_.empty()) {
            lock.Wait(dispatchWake_);
        }
        if (dispatch_.empty()) {
            return;
        }
        std::function<void()> call = std::move(dispatch_.front());
        dispatch_.pop_front();
        lock.Unlock();
        call();
        lock.Lock();
    }
}

bool ScanService::Admit(LineScanner::Admission admission, Outcome outcome, Completion& done) {
    switch (admission) {
        case LineScanner::Admission::Queued:
            return true;
        case LineScanner::Admission::Full:
            return false;
        case LineScanner::Admission::Answered:
            break;
    }
    LineOpResult result;
    result.outcome = outcome;
    Completions answer;
    answer.emplace_back(std::move(done), result);
    Dispatch(answer);
    return true;
}

void ScanService::Dispatch(Completions& completions) {
    if (completions.empty()) {
        return;
    }
    {
        MutexLock lock(dispatchMutex_);
        for (auto& [done, result] : completions) {
            dispatch_.push_back([done = std::move(done), result = std::move(result)] {
                if (done) {
                    done(result);
                }
            });
        }
    }
    dispatchWake_.notify_one();
}

void ScanService::Forget(std::uint64_t session) {
    Completions dropped;
    for (const auto& line : lines_) {
        line->scanner->Forget(session, dropped);
    }
    Dispatch(dropped);
}

// The audit record of a write by register, but for its time and result; the
// value before from the cache when it holds it good.
AuditRecord ScanService::RecordOf(std::size_t line, const LineOp& op) const {
    AuditRecord record;
    record.by = op.by;
    record.line = plant_->lines[line].name;
    record.station = op.station;
    record.reg = op.reg + 1;
    std::vector<std::uint16_t> words;
    if (op.kind == LineOp::Kind::WriteBit) {
        record.bit = op.bit + 1;
        record.value = {static_cast<std::uint16_t>(op.values.empty() ? 0 : op.values[0] & 1)};
        if (op.bit >= 0 && op.bit < 16 && CachedRegisters(line, op.station, op.reg, 1, words)) {
            record.before =
                std::vector<std::uint16_t>{static_cast<std::uint16_t>((words[0] >> op.bit) & 1)};
        }
    } else {
        record.value = op.values;
        if (!op.values.empty() &&
            CachedRegisters(line, op.station, op.reg, static_cast<int>(op.values.size()), words)) {
            record.before = words;
        }
    }
    return record;
}

AuditRecord ScanService::RecordOfPoint(std::size_t line, std::size_t point,
                                       const std::vector<std::uint16_t>& values,
                                       const Requester& by) const {
    AuditRecord record;
    record.by = by;
    const LineConfig& config = plant_->lines[line];
    record.line = config.name;
    record.value = values;
    if (point < config.points.size()) {
        const PointConfig& p = config.points[point];
        record.point = p.name;
        record.station = p.station;
        record.reg = p.reg + 1;
        record.bit = p.IsBit() ? p.bit + 1 : -1;
        const PointSample sample = Sample(line, point);
        if (sample.quality == Quality::Good && !sample.values.empty()) {
            record.before = sample.values;
        }
    }
    return record;
}

void ScanService::AuditRefused(std::size_t line, const std::size_t* point, const LineOp& op,
                               const std::string& result) {
    if (audit_ == nullptr || line >= lines_.size()) {
        return;
    }
    AuditRecord record =
        point != nullptr ? RecordOfPoint(line, *point, op.values, op.by) : RecordOf(line, op);
    record.time = std::chrono::system_clock::now();
    record.result = result;
    audit_->Record(record);
}

// A write's completion that first writes its audit record, whatever the
// outcome. `record` holds everything but the result.
Completion ScanService::Audited(AuditRecord record, Completion done) const {
    if (audit_ == nullptr) {
        return done;
    }
    AuditLog* audit = audit_;
    return
        [audit, record = std::move(record), done = std::move(done)](const LineOpResult& r) mutable {
            record.time = std::chrono::system_clock::now();
            record.result = OutcomeName(r.outcome);
            audit->Record(record);
            if (done) {
                done(r);
            }
        };
}

void ScanService::AuditBusy(AuditRecord record) const {
    if (audit_ != nullptr) {
        record.time = std::chrono::system_clock::now();
        record.result = "busy";
        audit_->Record(record);
    }
}

bool ScanService::Submit(std::size_t line, LineOp op, Completion done) {
    if (line >= lines_.size()) {
        return false;
    }
    std::optional<AuditRecord> record;
    if (op.kind != LineOp::Kind::ReadRegisters && audit_ != nullptr) {
        record = RecordOf(line, op);
        done = Audited(*record, std::move(done));
    }
    Outcome outcome = Outcome::Ok;
    const auto admission = lines_[line]->scanner->Submit(op, done, outcome);
    const bool accepted = Admit(admission, outcome, done);
    if (!accepted && record) {
        AuditBusy(std::move(*record));
    }
    return accepted;
}

bool ScanService::WritePoint(std::size_t line, std::size_t point, std::vector<std::uint16_t> values,
                             const Requester& by, Completion done) {
    if (line >= lines_.size()) {
        return false;
    }
    std::optional<AuditRecord> record;
    if (audit_ != nullptr) {
        record = RecordOfPoint(line, point, values, by);
        done = Audited(*record, std::move(done));
    }
    Outcome outcome = Outcome::Ok;
    const auto admission = lines_[line]->scanner->SubmitPointWrite(point, values, done, outcome);
    const bool accepted = Admit(admission, outcome, done);
    if (!accepted && record) {
        AuditBusy(std::move(*record));
    }
    return accepted;
}

std::vector<std::string> ScanService::RecentAudit(std::size_t most) const {
    return audit_ != nullptr ? audit_->Recent(most) : std::vector<std::string>{};
}

PointSample ScanService::Sample(std::size_t line, std::size_t point) const {
    return line < lines_.size() ? lines_[line]->scanner->Sample(point) : PointSample{};
}

bool ScanService::CachedRegisters(std::size_t line, int station, int reg, int count,
                                  std::vector<std::uint16_t>& words) const {
    return line < lines_.size() &&
           lines_[line]->scanner->CachedRegisters(station, reg, count, words);
}

bool ScanService::RegistersWritable(std::size_t line, int station, int reg, int count) const {
    return line < lines_.size() && lines_[line]->scanner->RegistersWritable(station, reg, count);
}

StationState ScanService::State(std::size_t line, int station) const {
    return line < lines_.size() ? lines_[line]->scanner->State(station) : StationState::Down;
}

bool ScanService::LineUp(std::size_t line) const {
    return line < lines_.size() && lines_[line]->scanner->Up();
}

LineStatus ScanService::Status(std::size_t line) const {
    if (line >= lines_.size()) {
        return {};
    }
    LineStatus status = lines_[line]->scanner->Status();
    const std::int64_t busy = lines_[line]->activity.busySince.load();
    if (busy != LineActivity::kIdle) {
        status.commandSeconds = std::max(0.0, Seconds(Nanos(clock_.Now()) - busy));
    }
    return status;
}

void ScanService::AddListener(Listener* listener) {
    MutexLock lock(listenerMutex_);
    listeners_.push_back(listener);
}

// Once it returns, the listener is called no more: a call under way on
// another thread is waited for (one on this thread, from inside a
// notification, cannot be).
void ScanService::RemoveListener(Listener* listener) {
    MutexLock lock(listenerMutex_);
    listeners_.erase(std::remove(listeners_.begin(), listeners_.end(), listener), listeners_.end());
    const std::thread::id self = std::this_thread::get_id();
    while (notifying_.size() != notifying_.count(self)) {
        lock.Wait(listenerIdle_);
    }
}

void ScanService::Notify(const std::function<void(Listener&)>& call) {
    std::vector<Listener*> listeners;
    const std::thread::id self = std::this_thread::get_id();
    {
        MutexLock lock(listenerMutex_);
        if (listeners_.empty()) {
            return;
        }
        listeners = listeners_;
        notifying_.insert(self);
    }
    for (Listener* l : listeners) {
        // A listener removed by an earlier one in this round is skipped.
        bool present = false;
        {
            MutexLock lock(listenerMutex_);
            present = std::find(listeners_.begin(), listeners_.end(), l) != listeners_.end();
        }
        if (present) {
            call(*l);
        }
    }
    {
        MutexLock lock(listenerMutex_);
        notifying_.erase(notifying_.find(self));
    }
    listenerIdle_.notify_all();
}

void ScanService::PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) {
    Notify([&](Listener& l) { l.PointUpdated(line, point, sample); });
}

void ScanService::StationChanged(std::size_t line, int station, StationState state) {
    Notify([&](Listener& l) { l.StationChanged(line, station, state); });
}

}  // namespace westnet::gateway
