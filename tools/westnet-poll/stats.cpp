#include "stats.h"

#include <algorithm>
#include <cstdio>

namespace westnet::poll {

void PollStats::Add(std::int32_t result, double milliseconds) {
    latencies_.push_back(milliseconds);
    switch (result) {
        case 0:
            ++ok_;
            break;
        case 1:
            ++bad_;
            break;
        case 2:
            ++fail_;
            break;
        default:
            ++other_;
    }
}

std::int64_t PollStats::Count(std::int32_t result) const {
    switch (result) {
        case 0:
            return ok_;
        case 1:
            return bad_;
        case 2:
            return fail_;
        default:
            return other_;
    }
}

double PollStats::Min() const {
    return latencies_.empty() ? 0.0 : *std::min_element(latencies_.begin(), latencies_.end());
}

double PollStats::Max() const {
    return latencies_.empty() ? 0.0 : *std::max_element(latencies_.begin(), latencies_.end());
}

// The middle value; with an even count the mean of the two middle ones.
double PollStats::Median() const {
    if (latencies_.empty()) {
        return 0.0;
    }
    std::vector<double> sorted = latencies_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t middle = sorted.size() / 2;
    if (sorted.size() % 2 == 1) {
        return sorted[middle];
    }
    return (sorted[middle - 1] + sorted[middle]) / 2.0;
}

std::string PollStats::Line() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "exchanges %lld  ok %lld  refused %lld  line failures %lld%s  "
                  "latency ms min %.1f / median %.1f / max %.1f",
                  static_cast<long long>(Exchanges()), static_cast<long long>(ok_),
                  static_cast<long long>(bad_), static_cast<long long>(fail_),
                  other_ != 0 ? ("  other " + std::to_string(other_)).c_str() : "", Min(), Median(),
                  Max());
    return text;
}

}  // namespace westnet::poll
