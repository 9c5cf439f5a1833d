#include "scan/station_states.h"

#include <algorithm>

namespace westnet::gateway {

StationStates::StationStates(const LineConfig& config, const PointMap& map)
    : demoteAfter_(config.demoteAfter), demoteGap_(config.demoteMs) {
    for (const auto& entry : map.Stations()) {
        Entry s;
        s.number = entry.first;
        stations_.push_back(s);
    }
}

StationStates::Entry* StationStates::FindEntry(int number) {
    for (Entry& s : stations_) {
        if (s.number == number) {
            return &s;
        }
    }
    return nullptr;
}

const StationStates::Entry* StationStates::Find(int number) const {
    return const_cast<StationStates*>(this)->FindEntry(number);
}

void StationStates::Set(Entry& station, StationState state, StationChanges& out) {
    if (station.state != state) {
        station.state = state;
        out.emplace_back(station.number, state);
    }
}

bool StationStates::Answered(int number, StationChanges& out) {
    Entry* s = FindEntry(number);
    if (s == nullptr) {
        return false;
    }
    const bool back = s->state != StationState::Ok;
    s->failuresInRow = 0;
    Set(*s, StationState::Ok, out);
    return back;
}

StationStates::Failure StationStates::Failed(int number, SteadyTime at, StationChanges& out) {
    Entry* s = FindEntry(number);
    if (s == nullptr) {
        return Failure::Counted;
    }
    ++s->failuresInRow;
    if (s->state == StationState::Ok && s->failuresInRow >= demoteAfter_) {
        s->probeGap = demoteGap_;
        s->probeAt = at + s->probeGap;
        Set(*s, StationState::Demoted, out);
        return Failure::Demoted;
    }
    if (s->state == StationState::Demoted) {
        const auto cap = std::max(kProbeGapMax, demoteGap_);
        s->probeGap = std::min(cap, s->probeGap * 2);
        s->probeAt = at + s->probeGap;
        return Failure::ProbeFailed;
    }
    return Failure::Counted;
}

bool StationStates::AllFailed(SteadyTime now) const {
    return std::all_of(stations_.begin(), stations_.end(), [&](const Entry& s) {
        return s.state == StationState::Demoted && s.probeAt > now;
    });
}

void StationStates::Opened(StationChanges& out) {
    for (Entry& s : stations_) {
        Set(s, StationState::Ok, out);
    }
}

void StationStates::Reopened(SteadyTime now, StationChanges& out) {
    for (Entry& s : stations_) {
        s.probeAt = now;
        s.failuresInRow = 0;
        Set(s, StationState::Demoted, out);
    }
}

void StationStates::LineDown(StationChanges& out) {
    for (Entry& s : stations_) {
        Set(s, StationState::Down, out);
    }
}

}  // namespace westnet::gateway
