#include "scan/line_stats.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "log/log.h"
#include "scan/channel.h"

namespace westnet::gateway {
namespace {

double Ms(SteadyTime::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

void LatencyRing::Add(double ms) {
    if (ms_.size() < kSize) {
        ms_.push_back(ms);
    } else {
        ms_[next_] = ms;
    }
    next_ = (next_ + 1) % kSize;
}

LatencySummary LatencyRing::Summary() const {
    LatencySummary s;
    if (ms_.empty()) {
        return s;
    }
    std::vector<double> sorted = ms_;
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

BusWindow::BusWindow(SteadyTime start) : buckets_(kSeconds, 0.0), start_(start) {}

void BusWindow::Add(double wireMs, SteadyTime end) {
    const long second = static_cast<long>(Ms(end - start_) / 1000.0);
    if (second - second_ >= kSeconds) {
        // Quiet for the whole window: every bucket is empty (and a line
        // quiet for hours costs no step per second).
        std::fill(buckets_.begin(), buckets_.end(), 0.0);
        second_ = second;
    }
    while (second_ < second) {
        ++second_;
        buckets_[static_cast<std::size_t>(second_ % kSeconds)] = 0;
    }
    buckets_[static_cast<std::size_t>(second % kSeconds)] += wireMs;
}

double BusWindow::Load(SteadyTime now) const {
    // Only the seconds of the window that ends now: a line that has sent
    // nothing for a while (points read once a minute) shows no load, not
    // the load of its latest burst.
    const long nowSecond = static_cast<long>(Ms(now - start_) / 1000.0);
    double recentMs = 0;
    for (long second = std::max(second_, nowSecond) - (kSeconds - 1); second <= second_; ++second) {
        if (second >= 0) {
            recentMs += buckets_[static_cast<std::size_t>(second % kSeconds)];
        }
    }
    const double window = std::min(Ms(now - start_), kSeconds * 1000.0);
    return window > 0 ? std::min(1.0, recentMs / window) : 0.0;
}

LineStats::LineStats(const LineConfig& config, const PointMap& map, SteadyTime start)
    : config_(config), bus_(start) {
    for (const auto& entry : map.Stations()) {
        Station s;
        s.number = entry.first;
        stations_.push_back(std::move(s));
    }
}

LineStats::Station* LineStats::Find(int number) {
    for (Station& s : stations_) {
        if (s.number == number) {
            return &s;
        }
    }
    return nullptr;
}

void LineStats::BookCommand(int station, std::int32_t result, double ms, double wireMs,
                            SteadyTime end) {
    Station* s = Find(station);
    if (s == nullptr) {
        return;
    }
    wireMs_ += wireMs;
    bus_.Add(wireMs, end);
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
}

void LineStats::NoteLateness(int station, std::int32_t result, double waitedMs) {
    Station* s = Find(station);
    if (s == nullptr || result != kResultOk) {
        return;
    }
    const int timeoutMs = (config_.timeoutMs + 9) / 10 * 10;
    const int waited = static_cast<int>(std::ceil(std::max(0.0, waitedMs)));
    s->lateSlowestMs = std::max(s->lateSlowestMs, waited);
    if (s->lateSuggestMs != 0 || waitedMs <= 0.8 * timeoutMs) {
        return;
    }
    // Half as much again as the slowest wait seen, in tens of ms, and more
    // than the time-out that just proved too short.
    const int wanted = std::max(s->lateSlowestMs * 3 / 2, timeoutMs + 10);
    s->lateSuggestMs = (wanted + 9) / 10 * 10;
    LogStation(LogLevel::Warning, config_.name, s->number,
               "replies come late (a command waited " + std::to_string(s->lateSlowestMs) +
                   " ms beyond its wire time, against a reply time-out of " +
                   std::to_string(timeoutMs) +
                   " ms): values may belong to another request; raise timeout_ms to " +
                   std::to_string(s->lateSuggestMs));
}

void LineStats::BookFailure(int station, const std::string& text, WallTime when) {
    Station* s = Find(station);
    if (s != nullptr) {
        s->lastError = {text, when};
    }
    char name[16];
    std::snprintf(name, sizeof name, "station %02d: ", station);
    lastError_ = {name + text, when};
}

void LineStats::BookLineError(const std::string& text, WallTime when) {
    lastError_ = {text, when};
}

void LineStats::BookDemotion(int station) {
    Station* s = Find(station);
    if (s != nullptr) {
        ++s->demotions;
    }
    ++demotions_;
}

void LineStats::BookPass(SteadyTime start, SteadyTime end) {
    ++passes_;
    passSeconds_ = Ms(end - start) / 1000.0;
    if (passes_ > 1) {
        cycleSeconds_ = Ms(start - lastPassStart_) / 1000.0;
    }
    lastPassStart_ = start;
}

LineStatus LineStats::Report(SteadyTime now, bool down) const {
    LineStatus status;
    status.counts = counts_;
    status.demotions = demotions_;
    status.reopens = reopens_;
    status.confirmations = confirmations_;
    status.disagreements = disagreements_;
    status.lastError = lastError_;
    status.latency = latency_.Summary();
    status.wireSeconds = wireMs_ / 1000.0;
    status.busLoad = down ? 0.0 : bus_.Load(now);
    status.passes = passes_;
    status.passSeconds = down ? 0 : passSeconds_;
    status.cycleSeconds = down ? 0 : cycleSeconds_;
    for (const Station& s : stations_) {
        StationStatus st;
        st.station = s.number;
        st.counts = s.counts;
        st.demotions = s.demotions;
        st.lastError = s.lastError;
        st.latency = s.latency.Summary();
        st.lateSlowestMs = s.lateSlowestMs;
        st.lateSuggestMs = s.lateSuggestMs;
        status.stations.push_back(st);
    }
    return status;
}

}  // namespace westnet::gateway
