// What the HTTP front end sees of the history: a query by series and time,
// and whether the history runs. The store behind it (SQLite, PostgreSQL) and
// its writer stay out of sight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace westnet::gateway {

// Quality as stored: the worse, the larger (a step's quality is its worst).
enum class HistoryQuality : int { Good = 0, Stale = 1, Bad = 2 };

// A series is one value of a point: "LINE/POINT", or "LINE/POINT[i]" for the
// i-th value of a block.
struct HistoryQuery {
    std::string series;
    std::int64_t fromMs = 0;  // unix milliseconds, from included ...
    std::int64_t toMs = 0;    // ... to excluded
    std::int64_t stepMs = 0;  // 0: raw rows
    std::size_t limit = 100000;
};

// A raw row has min = max = avg = last = its value. A step's min, max and
// avg are over its good rows (none: null); last is its latest row's value,
// and quality its worst row's.
struct HistoryRow {
    std::int64_t timeMs = 0;  // a raw row's time, or its step's start
    std::optional<double> min;
    std::optional<double> max;
    std::optional<double> avg;
    std::optional<double> last;
    HistoryQuality quality = HistoryQuality::Good;
};

struct HistoryResult {
    std::vector<HistoryRow> rows;  // oldest first
    bool more = false;             // cut at the query's limit
};

class HistoryReader {
public:
    virtual ~HistoryReader() = default;
    // False, with why, when the history is stopped (a corrupt file, a full
    // disk) or its server cannot answer now.
    virtual bool Query(const HistoryQuery& query, HistoryResult& result, std::string& why) = 0;
};

}  // namespace westnet::gateway
