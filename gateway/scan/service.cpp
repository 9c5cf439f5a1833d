#include "scan/service.h"

#include <atomic>

namespace westnet::gateway {

std::uint64_t NewSessionId() {
    static std::atomic<std::uint64_t> next{1};
    return next.fetch_add(1);
}

const char* QualityName(Quality quality) {
    switch (quality) {
        case Quality::Good:
            return "good";
        case Quality::Stale:
            return "stale";
        case Quality::Bad:
            break;
    }
    return "bad";
}

const char* StationStateName(StationState state) {
    switch (state) {
        case StationState::Ok:
            return "ok";
        case StationState::Demoted:
            return "demoted";
        case StationState::Down:
            break;
    }
    return "down";
}

const char* OutcomeName(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::Refused:
            return "refused";
        case Outcome::LineFailure:
            return "line-failure";
        case Outcome::NotWritable:
            return "not-writable";
        case Outcome::ReadOnly:
            return "read-only";
        case Outcome::Demoted:
            return "demoted";
        case Outcome::LineDown:
            return "line-down";
        case Outcome::BadRequest:
            return "bad-request";
        case Outcome::ShuttingDown:
            break;
    }
    return "shutting-down";
}

void StatsRegistry::Add(const std::string& name, const std::string& help, const Labels& labels,
                        double delta) {
    MutexLock lock(mutex_);
    for (Series& s : series_) {
        if (s.name == name && s.labels == labels) {
            s.value += delta;
            return;
        }
    }
    series_.push_back({name, help, true, labels, delta});
}

void StatsRegistry::Set(const std::string& name, const std::string& help, const Labels& labels,
                        double value) {
    MutexLock lock(mutex_);
    for (Series& s : series_) {
        if (s.name == name && s.labels == labels) {
            s.value = value;
            return;
        }
    }
    series_.push_back({name, help, false, labels, value});
}

void StatsRegistry::Remove(const std::string& name, const Labels& labels) {
    MutexLock lock(mutex_);
    std::vector<Series> kept;
    kept.reserve(series_.size());
    for (Series& s : series_) {
        if (s.name != name || s.labels != labels) {
            kept.push_back(std::move(s));
        }
    }
    series_ = std::move(kept);
}

std::vector<StatsRegistry::Series> StatsRegistry::Snapshot() const {
    MutexLock lock(mutex_);
    return series_;
}

}  // namespace westnet::gateway
