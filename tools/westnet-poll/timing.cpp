#include "timing.h"

#include <algorithm>
#include <cmath>

namespace westnet::poll {

void SlowCommands::Add(std::int32_t station, int exchanges, double milliseconds, bool ok) {
    exchanges = std::max(exchanges, 1);
    commands_.push_back({station, exchanges, milliseconds});
    ok_ += ok ? 1 : 0;
    const double each = milliseconds / exchanges;
    const auto found = quickest_.find(station);
    if (found == quickest_.end() || each < found->second) {
        quickest_[station] = each;
    }
}

std::int64_t SlowCommands::Slow() const {
    std::int64_t slow = 0;
    for (const Command& c : commands_) {
        const double others = (c.exchanges - 1) * quickest_.at(c.station);
        slow += c.milliseconds > timeoutMs_ + others ? 1 : 0;
    }
    return slow;
}

std::int32_t RecommendedTimeoutMs(double quickestMs, double slowestMs) {
    const double wanted =
        std::max({slowestMs * 1.5, slowestMs + 20.0, 2.0 * slowestMs - quickestMs});
    return static_cast<std::int32_t>(std::ceil(wanted / 10.0)) * 10;
}

long Backoff::NextMs() {
    const long wait = nextMs_;
    nextMs_ = std::min(nextMs_ * 2, kLastMs);
    return wait;
}

bool ChangeFilter::Changed(std::size_t point, std::int32_t result, std::uint16_t value) {
    // A failed read has no value: only its result counts.
    const std::pair<std::int32_t, std::uint16_t> now{result, result == 0 ? value : 0};
    const auto found = last_.find(point);
    if (found != last_.end() && found->second == now) {
        return false;
    }
    last_[point] = now;
    return true;
}

}  // namespace westnet::poll
