// The history's stores: where the recorder's writer thread puts rows and
// where queries find them. Both keep the same schema:
//
//   series(id, name UNIQUE, unit)        one per recorded value
//   samples(series, t, value, quality)   keyed by (series, t), nothing else
//
// t in unix milliseconds, value the engineering value (null when the point
// held none), quality 0 good, 1 stale, 2 bad. The key is the only index: a
// query asks for one series over a time range, and a series' rows arrive in
// time order, so each batch appends at the end of every series it touches.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/reader.h"

namespace westnet::gateway::history {

struct Series {
    std::string name;  // "LINE/POINT" or "LINE/POINT[i]"
    std::string unit;
};

struct Row {
    std::shared_ptr<const Series> series;
    std::int64_t timeMs = 0;
    std::optional<double> value;
    HistoryQuality quality = HistoryQuality::Good;
};

// What a store says of itself for the status page and /metrics.
struct StoreHealth {
    bool serverUp = true;       // PostgreSQL: connected now
    std::uint64_t waiting = 0;  // PostgreSQL: rows in the spool, not yet on the server
};

class Store {
public:
    virtual ~Store() = default;
    // Creates what is missing; false, with why, when the store cannot be used.
    virtual bool Open(std::string& why) = 0;
    // The writer thread's: one batch, in one transaction. False, with why,
    // only when the store cannot go on (a corrupt file, a full disk): the
    // history stops. A server away is no failure: its rows wait.
    virtual bool Append(const std::vector<Row>& rows, std::string& why) = 0;
    // The writer thread's, between batches: rows waiting for a server go out.
    virtual bool Forward(std::string& why) {
        (void)why;
        return true;
    }
    // The writer thread's: rows older than keepMs before nowMs go, then the
    // oldest while the store holds more than maxBytes.
    virtual bool Retain(std::int64_t nowMs, std::int64_t keepMs, std::uint64_t maxBytes,
                        std::string& why) = 0;
    // Any thread's.
    virtual bool Query(const HistoryQuery& query, HistoryResult& result, std::string& why) = 0;
    virtual StoreHealth Health() const { return {}; }
};

std::unique_ptr<Store> MakeSqliteStore(const std::string& path);
// Rows wait in a SQLite spool at spoolPath until the server has them.
std::unique_ptr<Store> MakePostgresStore(const std::string& conninfo, const std::string& spoolPath);

}  // namespace westnet::gateway::history
