#include "scan/scanner.h"

#include <algorithm>

#include "log/log.h"

namespace westnet::gateway {
namespace {

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

}  // namespace

LineScanner::LineScanner(std::size_t index, const LineConfig& config, bool readOnly,
                         Channel& channel, const Clock& clock, LineEvents& events)
    : index_(index),
      config_(config),
      readOnly_(readOnly),
      map_(config_.points),
      channel_(channel),
      clock_(clock),
      events_(events),
      charMs_(CharacterMs(config)),
      schedule_(config_, map_, clock.Now()),
      stations_(config_, map_),
      cache_(config_, map_, charMs_, clock.Now()),
      stats_(config_, map_, clock.Now()) {}

void LineScanner::SetWake(std::function<void()> wake) {
    MutexLock lock(mutex_);
    wake_ = std::move(wake);
}

void LineScanner::Stop() {
    std::function<void()> wake;
    {
        MutexLock lock(mutex_);
        stopping_ = true;
        wake = wake_;
    }
    if (wake) {
        wake();
    }
}

bool LineScanner::Finished() const {
    MutexLock lock(mutex_);
    return finished_;
}

bool LineScanner::Settled() const {
    MutexLock lock(mutex_);
    return everOpened_ || down_;
}

// --- admission -------------------------------------------------------------

Outcome LineScanner::CheckLocked(const LineOp& op) const {
    const StationStates::Entry* station = stations_.Find(op.station);
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
        MutexLock lock(mutex_);
        outcome = CheckLocked(op);
        if (outcome != Outcome::Ok) {
            return Admission::Answered;
        }
        if (!queue_.Push(op, done)) {
            return Admission::Full;
        }
        wake = wake_;
    }
    if (wake) {
        wake();
    }
    return Admission::Queued;
}

void LineScanner::Forget(std::uint64_t session, Completions& out) {
    MutexLock lock(mutex_);
    queue_.Forget(session, Outcome::ShuttingDown, out);
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

// --- what other threads read ----------------------------------------------------

PointSample LineScanner::Sample(std::size_t point) const {
    MutexLock lock(mutex_);
    return cache_.Sample(point, clock_.Now());
}

bool LineScanner::CachedRegisters(int station, int reg, int count,
                                  std::vector<std::uint16_t>& words) const {
    MutexLock lock(mutex_);
    return cache_.CachedRegisters(station, reg, count, clock_.Now(), words);
}

bool LineScanner::RegistersWritable(int station, int reg, int count) const {
    return map_.WordsWritable(station, reg, count);  // fixed settings: no lock
}

StationState LineScanner::State(int station) const {
    MutexLock lock(mutex_);
    if (down_) {
        return StationState::Down;
    }
    const StationStates::Entry* s = stations_.Find(station);
    return s != nullptr ? s->state : StationState::Ok;
}

bool LineScanner::Up() const {
    MutexLock lock(mutex_);
    return open_ && !down_;
}

LineStatus LineScanner::Status() const {
    MutexLock lock(mutex_);
    const SteadyTime now = clock_.Now();
    LineStatus status = stats_.Report(now, down_);
    status.up = open_ && !down_;
    status.device = device_;
    status.confirming = cache_.Confirming(now);
    status.queued = queue_.Size();
    for (StationStatus& st : status.stations) {
        const StationStates::Entry* s = stations_.Find(st.station);
        if (s != nullptr) {
            st.state = down_ ? StationState::Down : s->state;
            st.failuresInRow = s->failuresInRow;
        }
    }
    return status;
}

// --- the worker ----------------------------------------------------------------

SteadyTime LineScanner::Step() {
    Outbox out;
    SteadyTime next;
    const SteadyTime now = clock_.Now();
    MutexLock lock(mutex_);
    if (finished_) {
        return now + std::chrono::hours(1);
    }
    if (stopping_) {
        queue_.AnswerAll(Outcome::ShuttingDown, !open_, out.completions);
        Request request;
        if (open_ && queue_.PopWrite(request)) {
            lock.Unlock();
            Execute(request, out);
            Deliver(out);
            return clock_.Now();
        }
        finished_ = true;
        const bool wasOpen = open_;
        open_ = false;
        lock.Unlock();
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
        lock.Unlock();
        TryOpen(now, out);
        Deliver(out);
        return clock_.Now();
    }
    cache_.Sweep(now, out.points);
    Request request;
    const bool have = queue_.Pop(request);
    const bool turn = !have && now >= turnAt_ && queue_.PopTurn(request);
    lock.Unlock();
    if (have || turn) {
        const SteadyTime start = clock_.Now();
        Execute(request, out);
        const SteadyTime end = clock_.Now();
        if (turn) {
            const double share = share_.load();
            turnAt_ =
                end + std::chrono::duration_cast<Duration>((end - start) * ((1 - share) / share));
        }
        Deliver(out);
        return end;
    }
    PassBlock block;
    if (schedule_.Next(block)) {
        RunBlock(block, out);
        Deliver(out);
        return clock_.Now();
    }
    if (schedule_.Active()) {
        const SteadyTime start = schedule_.Finish();
        lock.Lock();
        stats_.BookPass(start, now);
        lock.Unlock();
    }
    if (StartPass(now)) {
        Deliver(out);
        return now;
    }
    lock.Lock();
    next = NextWakeLocked(now);
    lock.Unlock();
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

void LineScanner::TryOpen(SteadyTime now, Outbox& out) {
    std::string why;
    const bool opened = channel_.Open(why);
    MutexLock lock(mutex_);
    if (!opened) {
        GoDownLocked(now, "cannot open " + config_.device + ": " + why, out);
        return;
    }
    open_ = true;
    device_ = channel_.Device();  // what other threads read: the channel is the worker's alone
    const bool reopened = everOpened_;
    everOpened_ = true;
    down_ = false;
    if (reopened) {
        stats_.BookReopen();
        LogLine(LogLevel::Info, config_.name,
                "reopened on " + channel_.Device() + "; probing every station");
        stations_.Reopened(now, out.stations);
    } else {
        LogLine(LogLevel::Info, config_.name, "open on " + channel_.Device());
        stations_.Opened(out.stations);
    }
    schedule_.AllDueAt(now);
}

void LineScanner::GoDownLocked(SteadyTime now, const std::string& why, Outbox& out) {
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
    stats_.BookLineError(why, clock_.WallNow());
    backoff_ = std::min<Duration>(backoff_ * 2, kReopenMax);
    stations_.LineDown(out.stations);
    queue_.AnswerAll(Outcome::LineDown, true, out.completions);
    schedule_.Drop();
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
    MutexLock lock(mutex_);
    BookLocked(station, chars, requestChars, result, start, end, out);
    return result;
}

void LineScanner::BookLocked(int station, long chars, long requestChars, std::int32_t result,
                             SteadyTime start, SteadyTime end, Outbox& out) {
    if (stations_.Find(station) == nullptr) {
        return;
    }
    const double ms = Ms(end - start);
    const double wire = static_cast<double>(result == kResultOk ? chars : requestChars) * charMs_;
    stats_.BookCommand(station, result, ms, wire, end);
    stats_.NoteLateness(station, result, ms - static_cast<double>(chars) * charMs_);
    // The driver retries inside a command and tells only the last result: a
    // command that took longer than two exchanges and a quiet window had a
    // reply fail on the way, even if it ended well.
    constexpr double kQuietMs = 10;
    if (result != kResultOk || ms > 2 * static_cast<double>(chars) * charMs_ + kQuietMs) {
        cache_.NoteTrouble(end);
    }
    if (result == kResultOk) {
        if (stations_.Answered(station, out.stations)) {
            LogStation(LogLevel::Info, config_.name, station, "answers again");
            // Its points wait for no scan period: they are read next.
            schedule_.DueBy(map_.OfStation(station), end);
        }
        backoff_ = kReopenFirst;
        return;
    }
    const std::string text = ResultText(result);
    stats_.BookFailure(station, text, clock_.WallNow());
    if (stations_.Failed(station, end, out.stations) == StationStates::Failure::Demoted) {
        stats_.BookDemotion(station);
        LogStation(LogLevel::Warning, config_.name, station,
                   "demoted after " + std::to_string(stations_.Find(station)->failuresInRow) +
                       " failed commands in a row (" + text + "); probed after " +
                       std::to_string(config_.demoteMs) + " ms, then ever less often");
    }
    if (stations_.AllFailed(end) && open_) {
        open_ = false;
        channel_.Close();
        GoDownLocked(end, "no station answers", out);
    }
}

void LineScanner::Execute(Request& request, Outbox& out) {
    const LineOp& op = request.op;
    LineOpResult result;
    {
        MutexLock lock(mutex_);
        const StationStates::Entry* s = stations_.Find(op.station);
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
        MutexLock lock(mutex_);
        const StationStates::Entry* s = stations_.Find(station);
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
            MutexLock lock(mutex_);
            result.outcome = open_ ? Outcome::Demoted : Outcome::LineDown;
            break;
        }
    }
    if (result.outcome != Outcome::Ok) {
        result.values.clear();
    }
    MutexLock lock(mutex_);
    if (op.kind == LineOp::Kind::ReadRegisters) {
        if (result.outcome == Outcome::Ok) {
            cache_.ApplyRead(station, op.reg, result.values, clock_.Now(), clock_.WallNow(),
                             out.points);
        }
    } else {
        // The write reached the station: acknowledged, or failed when it may
        // still have landed. Until they are read again the cached words of
        // the registers it went to may be the ones it replaced, and a read
        // answered from them after the acknowledgement would be wrong.
        const int reached =
            result.outcome == Outcome::Ok ? total : std::min(total, done + kBlockMaxWords);
        cache_.Supersede(station, op.reg, op.kind == LineOp::Kind::WriteBit ? 1 : reached);
        if (done > 0 || result.outcome == Outcome::Ok) {
            // What the station now holds is read back by the next pass.
            schedule_.DueBy(map_.CoveringAny(station, op.reg, std::max(done, 1)), clock_.Now());
        }
    }
    out.completions.emplace_back(std::move(request.done), result);
}

bool LineScanner::StartPass(SteadyTime now) {
    std::vector<std::size_t> due;
    std::vector<PassBlock> probes;
    {
        MutexLock lock(mutex_);
        schedule_.Collect(stations_, now, due, probes);
    }
    return schedule_.Begin(due, probes, channel_.SelectedStation(), now);
}

void LineScanner::RunBlock(const PassBlock& pass, Outbox& out) {
    const Block& b = pass.block;
    {
        MutexLock lock(mutex_);
        const StationStates::Entry* s = stations_.Find(b.station);
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
        MutexLock lock(mutex_);
        confirm = cache_.Confirming(clock_.Now()) && cache_.ChangesAPoint(b.station, b.reg, words);
    }
    if (confirm) {
        // A reply read out of step can pass the checksum with another
        // register's value in it; the same reply twice cannot. So a change is
        // served only once a second read, at once, agrees with it, or with
        // what was served before (then the first read was the wrong one).
        std::vector<std::uint16_t> again;
        r = read(again);
        MutexLock lock(mutex_);
        if (r == kResultOk && again == words) {
            stats_.BookConfirmation();
        } else if (r == kResultOk) {
            // Judged point by point, so that one value that changes at every
            // read (a counter) holds up none of its neighbours in the block.
            stats_.BookDisagreement();
            cache_.ApplyRead(b.station, b.reg, again, clock_.Now(), clock_.WallNow(), out.points,
                             &words);
            return;
        }
    }
    MutexLock lock(mutex_);
    if (r == kResultOk) {
        cache_.ApplyRead(b.station, b.reg, words, clock_.Now(), clock_.WallNow(), out.points);
    } else {
        cache_.ApplyFailure(b.points, r, clock_.Now(), out.points);
    }
}

SteadyTime LineScanner::NextWakeLocked(SteadyTime now) const {
    if (queue_.Waiting()) {
        return now;
    }
    const SteadyTime next = schedule_.NextDue(stations_, now + CacheWriter::kSweepEvery);
    return queue_.TurnsWaiting() ? std::min(next, std::max(now, turnAt_)) : next;
}

}  // namespace westnet::gateway
