#include "scan/scanner.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "log/log.h"

namespace westnet::gateway {
namespace {

constexpr std::size_t kLatencyRing = 1024;
constexpr int kBusWindowSeconds = 10;
constexpr std::chrono::milliseconds kSweepEvery{100};

double Ms(SteadyTime::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

Outcome OutcomeOf(std::int32_t result) {
    return result == kResultOk        ? Outcome::Ok
           : result == kResultRefused ? Outcome::Refused
                                      : Outcome::LineFailure;
}

std::string ResultText(std::int32_t result) {
    if (result == kResultRefused) {
        return "refused (result 1): a reply failed its checksum on every attempt";
    }
    return "line failure (result " + std::to_string(result) +
           "): no full reply within the reply time-out on every attempt";
}

long RegisterKey(int station, int reg) {
    return (static_cast<long>(station) << 16) | reg;
}

}  // namespace

void LineScanner::Latencies::Add(double value) {
    if (ms.size() < kLatencyRing) {
        ms.push_back(value);
    } else {
        ms[next] = value;
    }
    next = (next + 1) % kLatencyRing;
}

LatencySummary LineScanner::Latencies::Summary() const {
    LatencySummary s;
    if (ms.empty()) {
        return s;
    }
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    auto rank = [&](double q) {
        return sorted[std::min(sorted.size() - 1,
                               static_cast<std::size_t>(q * static_cast<double>(sorted.size())))];
    };
    s.samples = sorted.size();
    s.minMs = sorted.front();
    s.medianMs = rank(0.5);
    s.p99Ms = rank(0.99);
    return s;
}

LineScanner::LineScanner(std::size_t index, const LineConfig& config, bool readOnly,
                         Channel& channel, const Clock& clock, LineEvents& events)
    : index_(index),
      config_(config),
      readOnly_(readOnly),
      channel_(channel),
      clock_(clock),
      events_(events),
      charMs_(CharacterMs(config)),
      wireBuckets_(kBusWindowSeconds, 0.0) {
    points_.resize(config_.points.size());
    std::map<int, std::vector<std::size_t>> byNumber;
    for (std::size_t i = 0; i < config_.points.size(); ++i) {
        const PointConfig& p = config_.points[i];
        byNumber[p.station].push_back(i);
        for (int r = p.reg; r < p.reg + p.Words(); ++r) {
            cover_[RegisterKey(p.station, r)].push_back(i);
        }
    }
    for (auto& entry : byNumber) {
        Station s;
        s.number = entry.first;
        s.points = std::move(entry.second);
        stations_.push_back(std::move(s));
    }
    started_ = clock_.Now();
    lastSweep_ = started_;
    for (Point& p : points_) {
        p.nextDue = started_;
    }
    std::vector<std::size_t> all(config_.points.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    const WireChars pass = PlanChars(PlanBlocks(config_.points, all, config_.maxGap));
    passWire_ = std::chrono::milliseconds(
        static_cast<long>(std::ceil(static_cast<double>(pass.Total()) * charMs_)));
}

LineScanner::Station* LineScanner::FindStation(int number) {
    for (Station& s : stations_) {
        if (s.number == number) {
            return &s;
        }
    }
    return nullptr;
}

const LineScanner::Station* LineScanner::FindStation(int number) const {
    return const_cast<LineScanner*>(this)->FindStation(number);
}

void LineScanner::SetWake(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void LineScanner::Stop() {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        wake = wake_;
    }
    if (wake) {
        wake();
    }
}

bool LineScanner::Finished() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

bool LineScanner::Settled() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return everOpened_ || down_;
}

// --- admission -------------------------------------------------------------

Outcome LineScanner::Check(const LineOp& op) const {
    const Station* station = FindStation(op.station);
    if (station == nullptr || op.reg < 0 || op.reg > 65535) {
        return Outcome::BadRequest;
    }
    switch (op.kind) {
        case LineOp::Kind::ReadRegisters:
            if (op.count < 1 || op.count > 65536 - op.reg) {
                return Outcome::BadRequest;
            }
            break;
        case LineOp::Kind::WriteRegisters:
            if (op.values.empty() || op.values.size() > static_cast<std::size_t>(65536 - op.reg)) {
                return Outcome::BadRequest;
            }
            break;
        case LineOp::Kind::WriteBit:
            if (op.bit < 0 || op.bit > 15 || op.values.empty()) {
                return Outcome::BadRequest;
            }
            break;
    }
    if (op.kind != LineOp::Kind::ReadRegisters && readOnly_) {
        return Outcome::ReadOnly;
    }
    if (stopping_) {
        return Outcome::ShuttingDown;
    }
    if (down_) {
        return Outcome::LineDown;
    }
    if (station->state == StationState::Demoted) {
        return Outcome::Demoted;
    }
    return Outcome::Ok;
}

LineScanner::Admission LineScanner::Submit(LineOp& op, Completion& done, Outcome& outcome) {
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        outcome = Check(op);
        if (outcome != Outcome::Ok) {
            return Admission::Answered;
        }
        if (writes_.size() + reads_.size() >= kLineQueueMax) {
            return Admission::Full;
        }
        auto& queue = op.kind == LineOp::Kind::ReadRegisters ? reads_ : writes_;
        queue.push_back({std::move(op), std::move(done)});
        wake = wake_;
    }
    if (wake) {
        wake();
    }
    return Admission::Queued;
}

LineScanner::Admission LineScanner::SubmitPointWrite(std::size_t point,
                                                     std::vector<std::uint16_t>& values,
                                                     Completion& done, Outcome& outcome) {
    if (point >= config_.points.size()) {
        outcome = Outcome::BadRequest;
        return Admission::Answered;
    }
    const PointConfig& p = config_.points[point];
    if (readOnly_) {
        outcome = Outcome::ReadOnly;
        return Admission::Answered;
    }
    if (!p.writable) {
        outcome = Outcome::NotWritable;
        return Admission::Answered;
    }
    const bool fits = p.IsBit() ? values.size() == 1 && values[0] <= 1
                                : values.size() == static_cast<std::size_t>(p.Words());
    if (!fits) {
        outcome = Outcome::BadRequest;
        return Admission::Answered;
    }
    LineOp op;
    op.kind = p.IsBit() ? LineOp::Kind::WriteBit : LineOp::Kind::WriteRegisters;
    op.station = p.station;
    op.reg = p.reg;
    op.count = p.Words();
    op.bit = p.IsBit() ? p.bit : 0;
    op.values = std::move(values);
    return Submit(op, done, outcome);
}

// --- the cache ---------------------------------------------------------------

Quality LineScanner::QualityAt(const Point& point, std::size_t index, SteadyTime now) const {
    if (point.sample.values.empty()) {
        return Quality::Bad;  // never read
    }
    // A line that cannot keep its points' pace reads them once a pass at
    // best: a value turns stale after two passes' wire time, not two scan
    // periods. (The wire time, not the measured cycle: a pass slowed by
    // failures must not keep old values good for longer.)
    const auto period =
        std::max(std::chrono::milliseconds(config_.points[index].scanMs), passWire_);
    const bool fresh = now - point.sample.goodAt <= 2 * period;
    if (fresh) {
        return Quality::Good;
    }
    return point.lastGood ? Quality::Stale : Quality::Bad;
}

PointSample LineScanner::Sample(std::size_t point) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (point >= points_.size()) {
        return {};
    }
    PointSample sample = points_[point].sample;
    sample.quality = QualityAt(points_[point], point, clock_.Now());
    return sample;
}

bool LineScanner::CachedRegisters(int station, int reg, int count,
                                  std::vector<std::uint16_t>& words) const {
    if (count < 1 || reg < 0 || reg + count > 65536) {
        return false;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    const SteadyTime now = clock_.Now();
    std::vector<std::uint16_t> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int r = reg; r < reg + count; ++r) {
        const auto found = cover_.find(RegisterKey(station, r));
        bool got = false;
        if (found != cover_.end()) {
            for (const std::size_t i : found->second) {
                const Point& p = points_[i];
                const int offset = r - config_.points[i].reg;
                if (!p.superseded && QualityAt(p, i, now) == Quality::Good &&
                    static_cast<std::size_t>(offset) < p.words.size()) {
                    out.push_back(p.words[static_cast<std::size_t>(offset)]);
                    got = true;
                    break;
                }
            }
        }
        if (!got) {
            return false;
        }
    }
    words = std::move(out);
    return true;
}

bool LineScanner::RegistersWritable(int station, int reg, int count) const {
    if (count < 1 || reg < 0 || reg + count > 65536) {
        return false;
    }
    for (int r = reg; r < reg + count; ++r) {
        const auto found = cover_.find(RegisterKey(station, r));
        if (found == cover_.end() ||
            std::none_of(found->second.begin(), found->second.end(), [&](std::size_t i) {
                return config_.points[i].writable && !config_.points[i].IsBit();
            })) {
            return false;
        }
    }
    return true;
}

StationState LineScanner::State(int station) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const Station* s = FindStation(station);
    if (down_) {
        return StationState::Down;
    }
    return s != nullptr ? s->state : StationState::Ok;
}

bool LineScanner::Up() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_ && !down_;
}

LineStatus LineScanner::Status() const {
    std::lock_guard<std::mutex> lock(mutex_);
    LineStatus status;
    const SteadyTime now = clock_.Now();
    status.up = open_ && !down_;
    status.device = device_;
    status.counts = counts_;
    status.demotions = demotions_;
    status.reopens = reopens_;
    status.confirming = Confirming(now);
    status.confirmations = confirmations_;
    status.disagreements = disagreements_;
    status.queued = writes_.size() + reads_.size();
    status.lastError = lastError_;
    status.latency = latency_.Summary();
    status.wireSeconds = wireMs_ / 1000.0;
    double recentMs = 0;
    for (const double ms : wireBuckets_) {
        recentMs += ms;
    }
    const double window = std::min(Ms(now - started_), kBusWindowSeconds * 1000.0);
    status.busLoad = window > 0 ? std::min(1.0, recentMs / window) : 0.0;
    status.passes = passes_;
    // A line that is down keeps no pace: its last figures would mislead.
    status.passSeconds = down_ ? 0 : passSeconds_;
    status.cycleSeconds = down_ ? 0 : cycleSeconds_;
    if (down_) {
        status.busLoad = 0;
    }
    for (const Station& s : stations_) {
        StationStatus st;
        st.station = s.number;
        st.state = down_ ? StationState::Down : s.state;
        st.counts = s.counts;
        st.demotions = s.demotions;
        st.failuresInRow = s.failuresInRow;
        st.lastError = s.lastError;
        st.latency = s.latency.Summary();
        st.lateSlowestMs = s.lateSlowestMs;
        st.lateSuggestMs = s.lateSuggestMs;
        status.stations.push_back(st);
    }
    return status;
}

// --- the worker ----------------------------------------------------------------

SteadyTime LineScanner::Step() {
    Outbox out;
    SteadyTime next;
    const SteadyTime now = clock_.Now();
    std::unique_lock<std::mutex> lock(mutex_);
    if (finished_) {
        return now + std::chrono::hours(1);
    }
    if (stopping_) {
        AnswerQueued(Outcome::ShuttingDown, !open_, out);
        if (open_ && !writes_.empty()) {
            Request request = std::move(writes_.front());
            writes_.pop_front();
            lock.unlock();
            Execute(request, out);
            Deliver(out);
            return clock_.Now();
        }
        finished_ = true;
        const bool wasOpen = open_;
        open_ = false;
        lock.unlock();
        if (wasOpen) {
            channel_.Close();
        }
        Deliver(out);
        return clock_.Now() + std::chrono::hours(1);
    }
    if (!open_) {
        if (down_ && now < reopenAt_) {
            return reopenAt_;
        }
        lock.unlock();
        TryOpen(now, out);
        Deliver(out);
        return clock_.Now();
    }
    Sweep(now, out);
    Request request;
    bool have = false;
    for (std::deque<Request>* queue : {&writes_, &reads_}) {
        if (!have && !queue->empty()) {
            request = std::move(queue->front());
            queue->pop_front();
            have = true;
        }
    }
    lock.unlock();
    if (have) {
        Execute(request, out);
        Deliver(out);
        return clock_.Now();
    }
    if (passNext_ < pass_.size()) {
        const PassBlock block = pass_[passNext_++];
        RunBlock(block, out);
        Deliver(out);
        return clock_.Now();
    }
    if (passActive_) {
        FinishPass(now);
    }
    if (StartPass(now, out)) {
        Deliver(out);
        return now;
    }
    lock.lock();
    next = NextWake(now);
    lock.unlock();
    Deliver(out);
    return next;
}

void LineScanner::Deliver(Outbox& out) {
    const std::size_t index = index_.load();
    for (const auto& s : out.stations) {
        events_.StationChanged(index, s.first, s.second);
    }
    for (const auto& p : out.points) {
        events_.PointUpdated(index, p.first, p.second);
    }
    for (auto& c : out.completions) {
        if (c.first) {
            c.first(c.second);
        }
    }
    out = Outbox{};
}

void LineScanner::SetState(Station& station, StationState state, Outbox& out) {
    if (station.state != state) {
        station.state = state;
        out.stations.emplace_back(station.number, state);
    }
}

void LineScanner::AnswerQueued(Outcome outcome, bool writesToo, Outbox& out) {
    std::vector<std::deque<Request>*> queues = {&reads_};
    if (writesToo) {
        queues.push_back(&writes_);
    }
    for (std::deque<Request>* queue : queues) {
        for (Request& r : *queue) {
            LineOpResult result;
            result.outcome = outcome;
            out.completions.emplace_back(std::move(r.done), result);
        }
        queue->clear();
    }
}

void LineScanner::TryOpen(SteadyTime now, Outbox& out) {
    std::string why;
    const bool opened = channel_.Open(why);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!opened) {
        GoDown(now, "cannot open " + config_.device + ": " + why, out);
        return;
    }
    open_ = true;
    device_ = channel_.Device();  // what other threads read: the channel is the worker's alone
    const bool reopened = everOpened_;
    everOpened_ = true;
    down_ = false;
    if (reopened) {
        ++reopens_;
        LogLine(LogLevel::Info, config_.name,
                "reopened on " + channel_.Device() + "; probing every station");
        for (Station& s : stations_) {
            s.probeAt = now;
            s.failuresInRow = 0;
            SetState(s, StationState::Demoted, out);
        }
    } else {
        LogLine(LogLevel::Info, config_.name, "open on " + channel_.Device());
        for (Station& s : stations_) {
            SetState(s, StationState::Ok, out);
        }
    }
    for (Point& p : points_) {
        p.nextDue = now;
    }
}

// With the lock held.
void LineScanner::GoDown(SteadyTime now, const std::string& why, Outbox& out) {
    const bool wasDown = down_;
    down_ = true;
    reopenAt_ = now + backoff_;
    if (!wasDown || why != downReason_) {
        LogLine(LogLevel::Error, config_.name,
                "down: " + why + "; trying again in " +
                    std::to_string(
                        std::chrono::duration_cast<std::chrono::milliseconds>(backoff_).count()) +
                    " ms, the wait doubling to 10 s");
    } else {
        LogLine(LogLevel::Debug, config_.name, "still down: " + why);
    }
    downReason_ = why;
    lastError_ = {why, clock_.WallNow()};
    backoff_ = std::min<Duration>(backoff_ * 2, kReopenMax);
    for (Station& s : stations_) {
        if (s.state != StationState::Down) {
            s.state = StationState::Down;
            out.stations.emplace_back(s.number, StationState::Down);
        }
    }
    AnswerQueued(Outcome::LineDown, true, out);
    pass_.clear();
    passNext_ = 0;
    passActive_ = false;
}

std::int32_t LineScanner::Command(int station, long chars, long requestChars,
                                  const std::function<std::int32_t()>& call, Outbox& out) {
    if (NeedsSelection(station, channel_.SelectedStation())) {
        chars += kSelectChars;
        requestChars += kHeaderChars;
    }
    const SteadyTime start = clock_.Now();
    const std::int32_t result = call();
    const SteadyTime end = clock_.Now();
    const double ms = Ms(end - start);
    std::lock_guard<std::mutex> lock(mutex_);
    Station* s = FindStation(station);
    if (s == nullptr) {
        return result;
    }
    const double wire = static_cast<double>(result == kResultOk ? chars : requestChars) * charMs_;
    wireMs_ += wire;
    const long second = static_cast<long>(Ms(end - started_) / 1000.0);
    while (wireBucketSecond_ < second) {
        ++wireBucketSecond_;
        wireBuckets_[static_cast<std::size_t>(wireBucketSecond_ % kBusWindowSeconds)] = 0;
    }
    wireBuckets_[static_cast<std::size_t>(second % kBusWindowSeconds)] += wire;
    for (CommandCounts* c : {&counts_, &s->counts}) {
        ++c->commands;
        if (result == kResultOk) {
            ++c->good;
        } else if (result == kResultRefused) {
            ++c->refused;
        } else {
            ++c->lineFailures;
        }
    }
    latency_.Add(ms);
    s->latency.Add(ms);
    NoteLateness(*s, result, ms - static_cast<double>(chars) * charMs_);
    // The driver retries inside a command and tells only the last result: a
    // command that took longer than two exchanges and a quiet window had a
    // reply fail on the way, even if it ended well.
    constexpr double kQuietMs = 10;
    if (result != kResultOk || ms > 2 * static_cast<double>(chars) * charMs_ + kQuietMs) {
        troubled_ = true;
        troubleAt_ = end;
    }
    if (result == kResultOk) {
        if (s->state != StationState::Ok) {
            LogStation(LogLevel::Info, config_.name, s->number, "answers again");
            // Its points wait for no scan period: they are read next.
            for (const std::size_t i : s->points) {
                points_[i].nextDue = end;
            }
        }
        s->failuresInRow = 0;
        SetState(*s, StationState::Ok, out);
        backoff_ = kReopenFirst;
        return result;
    }
    ++s->failuresInRow;
    const std::string text = ResultText(result);
    s->lastError = {text, clock_.WallNow()};
    char name[16];
    std::snprintf(name, sizeof name, "station %02d: ", station);
    lastError_ = {name + text, clock_.WallNow()};
    if (s->state == StationState::Ok && s->failuresInRow >= config_.demoteAfter) {
        ++s->demotions;
        ++demotions_;
        s->probeGap = std::chrono::milliseconds(config_.demoteMs);
        s->probeAt = end + s->probeGap;
        SetState(*s, StationState::Demoted, out);
        LogStation(LogLevel::Warning, config_.name, s->number,
                   "demoted after " + std::to_string(s->failuresInRow) +
                       " failed commands in a row (" + text + "); probed after " +
                       std::to_string(config_.demoteMs) + " ms, then ever less often");
    } else if (s->state == StationState::Demoted) {
        const auto cap = std::max(kProbeGapMax, std::chrono::milliseconds(config_.demoteMs));
        s->probeGap = std::min(cap, s->probeGap * 2);
        s->probeAt = end + s->probeGap;
    }
    // Down once every station has failed its latest try: demoted, and no
    // probe still to come (after a reopen every station is probed first).
    const bool allDemoted = std::all_of(stations_.begin(), stations_.end(), [&](const Station& st) {
        return st.state == StationState::Demoted && st.probeAt > end;
    });
    if (allDemoted && open_) {
        open_ = false;
        channel_.Close();
        GoDown(end, "no station answers", out);
    }
    return result;
}

void LineScanner::Execute(Request& request, Outbox& out) {
    const LineOp& op = request.op;
    LineOpResult result;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Station* s = FindStation(op.station);
        if (!open_ || down_) {
            result.outcome = Outcome::LineDown;
        } else if (s == nullptr) {
            result.outcome = Outcome::BadRequest;
        } else if (s->state == StationState::Demoted) {
            result.outcome = Outcome::Demoted;
        }
    }
    if (result.outcome != Outcome::Ok) {
        out.completions.emplace_back(std::move(request.done), result);
        return;
    }
    const int station = op.station;
    auto stillUp = [&] {
        std::lock_guard<std::mutex> lock(mutex_);
        const Station* s = FindStation(station);
        return open_ && s != nullptr && s->state == StationState::Ok;
    };
    int done = 0;  // words read or written
    const int total = op.kind == LineOp::Kind::ReadRegisters ? op.count
                      : op.kind == LineOp::Kind::WriteBit    ? 1
                                                             : static_cast<int>(op.values.size());
    while (done < total) {
        const int n = std::min(kBlockMaxWords, total - done);
        const int reg = op.reg + done;
        std::int32_t r = kResultOk;
        switch (op.kind) {
            case LineOp::Kind::ReadRegisters: {
                std::vector<std::uint16_t> words;
                r = Command(
                    station, kHeaderChars + ReplyChars(n), kHeaderChars,
                    [&] {
                        if (n == 1) {
                            std::uint16_t value = 0;
                            const std::int32_t got = channel_.ReadWord(station, reg, value);
                            words.assign(1, value);
                            return got;
                        }
                        return channel_.ReadBlock(station, reg, n, words);
                    },
                    out);
                if (r == kResultOk) {
                    result.values.insert(result.values.end(), words.begin(), words.end());
                }
                break;
            }
            case LineOp::Kind::WriteRegisters: {
                const std::vector<std::uint16_t> words(op.values.begin() + done,
                                                       op.values.begin() + done + n);
                r = Command(
                    station, WriteRequestChars(n) + kHeaderChars, WriteRequestChars(n),
                    [&] {
                        return n == 1 ? channel_.WriteWord(station, reg, words[0])
                                      : channel_.WriteBlock(station, reg, words);
                    },
                    out);
                break;
            }
            case LineOp::Kind::WriteBit:
                r = Command(
                    station, 2L * kHeaderChars, kHeaderChars,
                    [&] {
                        return channel_.WriteBit(station, reg, op.bit, (op.values[0] & 1) != 0);
                    },
                    out);
                break;
        }
        result.driverResult = r;
        if (r != kResultOk) {
            result.outcome = OutcomeOf(r);
            break;
        }
        done += n;
        if (done < total && !stillUp()) {
            std::lock_guard<std::mutex> lock(mutex_);
            result.outcome = open_ ? Outcome::Demoted : Outcome::LineDown;
            break;
        }
    }
    if (result.outcome != Outcome::Ok) {
        result.values.clear();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (op.kind == LineOp::Kind::ReadRegisters) {
        if (result.outcome == Outcome::Ok) {
            ApplyRead(station, op.reg, result.values, out);
        }
    } else {
        // The write reached the station: acknowledged, or failed when it may
        // still have landed. Until they are read again the cached words of
        // the registers it went to may be the ones it replaced, and a read
        // answered from them after the acknowledgement would be wrong.
        const int reached =
            result.outcome == Outcome::Ok ? total : std::min(total, done + kBlockMaxWords);
        Supersede(station, op.reg, op.kind == LineOp::Kind::WriteBit ? 1 : reached);
        if (done > 0 || result.outcome == Outcome::Ok) {
            // What the station now holds is read back by the next pass.
            MarkDue(station, op.reg, std::max(done, 1), clock_.Now());
        }
    }
    out.completions.emplace_back(std::move(request.done), result);
}

// With the lock held. `waitedMs` is what a good command took beyond its
// frames' wire time: the stations' turnaround, and any attempt the driver
// made again. When it comes close to the reply time-out (a reply that nearly
// missed it, or one that did and was asked for again), a reply later still
// may be taken for the next request's answer: said once, in the log and in
// the station's status, with the time-out that would serve.
void LineScanner::NoteLateness(Station& station, std::int32_t result, double waitedMs) {
    if (result != kResultOk) {
        return;
    }
    const int timeoutMs = (config_.timeoutMs + 9) / 10 * 10;
    const int waited = static_cast<int>(std::ceil(std::max(0.0, waitedMs)));
    station.lateSlowestMs = std::max(station.lateSlowestMs, waited);
    if (station.lateSuggestMs != 0 || waitedMs <= 0.8 * timeoutMs) {
        return;
    }
    // Half as much again as the slowest wait seen, in tens of ms, and more
    // than the time-out that just proved too short.
    const int wanted = std::max(station.lateSlowestMs * 3 / 2, timeoutMs + 10);
    station.lateSuggestMs = (wanted + 9) / 10 * 10;
    LogStation(LogLevel::Warning, config_.name, station.number,
               "replies come late (a command waited " + std::to_string(station.lateSlowestMs) +
                   " ms beyond its wire time, against a reply time-out of " +
                   std::to_string(timeoutMs) +
                   " ms): values may belong to another request; raise timeout_ms to " +
                   std::to_string(station.lateSuggestMs));
}

// With the lock held.
bool LineScanner::Confirming(SteadyTime now) const {
    switch (config_.confirm) {
        case ConfirmPolicy::Always:
            return true;
        case ConfirmPolicy::Never:
            return false;
        case ConfirmPolicy::Auto:
            break;
    }
    return troubled_ && now - troubleAt_ < kConfirmAfterTrouble;
}

// With the lock held.
bool LineScanner::ChangesAPoint(int station, int reg,
                                const std::vector<std::uint16_t>& words) const {
    const Station* s = FindStation(station);
    if (s == nullptr) {
        return false;
    }
    const int end = reg + static_cast<int>(words.size());
    for (const std::size_t i : s->points) {
        const PointConfig& c = config_.points[i];
        if (c.reg < reg || c.reg + c.Words() > end) {
            continue;
        }
        const Point& p = points_[i];
        const auto first = words.begin() + (c.reg - reg);
        if (!p.lastGood || !std::equal(first, first + c.Words(), p.words.begin(), p.words.end())) {
            return true;
        }
    }
    return false;
}

// With the lock held.
void LineScanner::ApplyRead(int station, int reg, const std::vector<std::uint16_t>& words,
                            Outbox& out, const std::vector<std::uint16_t>* earlier) {
    const Station* s = FindStation(station);
    if (s == nullptr) {
        return;
    }
    const SteadyTime now = clock_.Now();
    const WallTime wall = clock_.WallNow();
    const int end = reg + static_cast<int>(words.size());
    for (const std::size_t i : s->points) {
        const PointConfig& c = config_.points[i];
        if (c.reg < reg || c.reg + c.Words() > end) {
            continue;
        }
        Point& p = points_[i];
        const auto first = words.begin() + (c.reg - reg);
        if (earlier != nullptr) {
            // The two reads disagree somewhere: a point is served only where
            // they agree, or where this read gives what was served before.
            const auto before = earlier->begin() + (c.reg - reg);
            const bool agree = std::equal(first, first + c.Words(), before);
            const bool unchanged =
                p.lastGood && std::equal(first, first + c.Words(), p.words.begin(), p.words.end());
            if (!agree && !unchanged) {
                continue;  // what was served stays; the next pass reads it again
            }
        }
        p.words.assign(first, first + c.Words());
        std::vector<std::uint16_t> values = p.words;
        if (c.IsBit()) {
            values.assign(1, static_cast<std::uint16_t>((p.words[0] >> c.bit) & 1));
        }
        const Quality before = p.sample.quality;
        const bool changed = values != p.sample.values || before != Quality::Good;
        p.sample.values = std::move(values);
        p.sample.quality = Quality::Good;
        p.sample.lastResult = kResultOk;
        p.sample.goodTime = wall;
        p.sample.goodAt = now;
        ++p.sample.reads;
        p.lastGood = true;
        p.superseded = false;
        if (changed) {
            ++p.sample.changes;
        }
        out.points.emplace_back(i, p.sample);
    }
}

// With the lock held.
void LineScanner::ApplyFailure(const std::vector<std::size_t>& points, std::int32_t result,
                               Outbox& out) {
    const SteadyTime now = clock_.Now();
    for (const std::size_t i : points) {
        Point& p = points_[i];
        p.lastGood = false;
        p.sample.lastResult = result;
        ++p.sample.reads;
        const Quality quality = QualityAt(p, i, now);
        if (quality != p.sample.quality) {
            p.sample.quality = quality;
            ++p.sample.changes;
        }
        out.points.emplace_back(i, p.sample);
    }
}

// With the lock held.
void LineScanner::MarkDue(int station, int reg, int count, SteadyTime when) {
    for (int r = reg; r < reg + count && r < 65536; ++r) {
        const auto found = cover_.find(RegisterKey(station, r));
        if (found != cover_.end()) {
            for (const std::size_t i : found->second) {
                points_[i].nextDue = std::min(points_[i].nextDue, when);
            }
        }
    }
}

// With the lock held.
void LineScanner::Supersede(int station, int reg, int count) {
    for (int r = reg; r < reg + count && r < 65536; ++r) {
        const auto found = cover_.find(RegisterKey(station, r));
        if (found != cover_.end()) {
            for (const std::size_t i : found->second) {
                points_[i].superseded = true;
            }
        }
    }
}

bool LineScanner::StartPass(SteadyTime now, Outbox& out) {
    (void)out;
    std::vector<std::size_t> due;
    std::vector<PassBlock> probes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const Station& s : stations_) {
            if (s.state == StationState::Ok) {
                for (const std::size_t i : s.points) {
                    if (points_[i].nextDue <= now) {
                        due.push_back(i);
                    }
                }
            } else if (s.state == StationState::Demoted && s.probeAt <= now) {
                // One command tells whether the station is back: the first
                // block of its plan.
                const std::vector<Block> plan =
                    PlanBlocks(config_.points, s.points, config_.maxGap);
                if (!plan.empty()) {
                    probes.push_back({plan.front(), true});
                }
            }
        }
        for (const std::size_t i : due) {
            Point& p = points_[i];
            // The next read a scan period after this one's due time: points
            // due together stay due together; a pass that ran late does not
            // make the next one come early.
            const auto period = std::chrono::milliseconds(config_.points[i].scanMs);
            p.nextDue += period;
            if (p.nextDue <= now) {
                p.nextDue = now + period;
            }
        }
    }
    if (due.empty() && probes.empty()) {
        return false;
    }
    pass_.clear();
    passNext_ = 0;
    for (const Block& b :
         PlanBlocks(config_.points, due, config_.maxGap, channel_.SelectedStation())) {
        pass_.push_back({b, false});
    }
    pass_.insert(pass_.end(), probes.begin(), probes.end());
    passActive_ = true;
    passStart_ = now;
    return true;
}

void LineScanner::RunBlock(const PassBlock& pass, Outbox& out) {
    const Block& b = pass.block;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const Station* s = FindStation(b.station);
        // A station demoted during this pass is left to its probe.
        if (!open_ || s == nullptr || (s->state != StationState::Ok && !pass.probe)) {
            return;
        }
        if (pass.probe) {
            LogStation(LogLevel::Debug, config_.name, b.station, "probe");
        }
    }
    const auto read = [&](std::vector<std::uint16_t>& words) {
        const std::int32_t r = Command(
            b.station, kHeaderChars + ReplyChars(b.count), kHeaderChars,
            [&] {
                if (b.WordRead()) {
                    std::uint16_t value = 0;
                    const std::int32_t got = channel_.ReadWord(b.station, b.reg, value);
                    words.assign(1, value);
                    return got;
                }
                return channel_.ReadBlock(b.station, b.reg, b.count, words);
            },
            out);
        return r == kResultOk && words.size() != static_cast<std::size_t>(b.count)
                   ? kResultLineFailure
                   : r;
    };
    std::vector<std::uint16_t> words;
    std::int32_t r = read(words);
    bool confirm = false;
    if (r == kResultOk) {
        std::lock_guard<std::mutex> lock(mutex_);
        confirm = Confirming(clock_.Now()) && ChangesAPoint(b.station, b.reg, words);
    }
    if (confirm) {
        // A reply read out of step can pass the checksum with another
        // register's value in it; the same reply twice cannot. So a change is
        // served only once a second read, at once, agrees with it, or with
        // what was served before (then the first read was the wrong one).
        std::vector<std::uint16_t> again;
        r = read(again);
        std::lock_guard<std::mutex> lock(mutex_);
        if (r == kResultOk && again == words) {
            ++confirmations_;
        } else if (r == kResultOk) {
            // Judged point by point, so that one value that changes at every
            // read (a counter) holds up none of its neighbours in the block.
            ++disagreements_;
            ApplyRead(b.station, b.reg, again, out, &words);
            return;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (r == kResultOk) {
        ApplyRead(b.station, b.reg, words, out);
    } else {
        ApplyFailure(b.points, r, out);
    }
}

void LineScanner::FinishPass(SteadyTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    passActive_ = false;
    ++passes_;
    passSeconds_ = Ms(now - passStart_) / 1000.0;
    if (passes_ > 1) {
        cycleSeconds_ = Ms(passStart_ - lastPassStart_) / 1000.0;
    }
    lastPassStart_ = passStart_;
}

// With the lock held: qualities that time has changed (a good value grown
// old) are told like a read.
void LineScanner::Sweep(SteadyTime now, Outbox& out) {
    if (now - lastSweep_ < kSweepEvery) {
        return;
    }
    lastSweep_ = now;
    for (std::size_t i = 0; i < points_.size(); ++i) {
        Point& p = points_[i];
        const Quality quality = QualityAt(p, i, now);
        if (quality != p.sample.quality) {
            p.sample.quality = quality;
            ++p.sample.changes;
            out.points.emplace_back(i, p.sample);
        }
    }
}

// With the lock held.
SteadyTime LineScanner::NextWake(SteadyTime now) const {
    SteadyTime next = now + kSweepEvery;
    for (const Station& s : stations_) {
        if (s.state == StationState::Ok) {
            for (const std::size_t i : s.points) {
                next = std::min(next, points_[i].nextDue);
            }
        } else if (s.state == StationState::Demoted) {
            next = std::min(next, s.probeAt);
        }
    }
    if (!writes_.empty() || !reads_.empty()) {
        next = now;
    }
    return next;
}

}  // namespace westnet::gateway
