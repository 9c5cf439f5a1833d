// Statistics of a poll run: how many reads, their results by code, and the
// spread of their latencies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace westnet::poll {

class PollStats {
public:
    // One command's result code (0, 1, 2 or anything else) and its duration.
    void Add(std::int32_t result, double milliseconds);

    std::int64_t Exchanges() const { return static_cast<std::int64_t>(latencies_.size()); }
    std::int64_t Count(std::int32_t result) const;
    double Min() const;
    double Median() const;
    double Max() const;

    // "exchanges 12  ok 11  refused 0  line failures 1  latency ms min 2.0 / median
    // 2.4 / max 510.2"
    std::string Line() const;

private:
    std::vector<double> latencies_;
    std::int64_t ok_ = 0;
    std::int64_t bad_ = 0;
    std::int64_t fail_ = 0;
    std::int64_t other_ = 0;
};

}  // namespace westnet::poll
