// The embedded store: one SQLite file in WAL, written by the recorder's one
// writer thread through its own connection, read by queries through
// another (WAL lets them run while a batch is written).
#include <algorithm>
#include <unordered_map>

#include "history/sql.h"
#include "history/sqlite_db.h"
#include "history/store.h"
#include "sync/mutex.h"

namespace westnet::gateway::history {
namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS series(id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
    " unit TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS samples(series INTEGER NOT NULL, t INTEGER NOT NULL, value REAL,"
    " quality INTEGER NOT NULL, PRIMARY KEY(series, t)) WITHOUT ROWID;";

std::optional<double> Value(const SqliteStatement& s, int column) {
    return s.Null(column) ? std::nullopt : std::optional(s.Real(column));
}

// Rows the size cut removes at a time: the oldest twentieth of the span held.
constexpr int kSizeCutParts = 20;

class SqliteStore final : public Store {
public:
    explicit SqliteStore(std::string path) : path_(std::move(path)) {}

    bool Open(std::string& why) override {
        if (!writer_.Open(path_, why) || !writer_.Exec(kSchema, why)) {
            return false;
        }
        insert_ = writer_.Prepare(
            "INSERT OR REPLACE INTO samples(series, t, value, quality) VALUES (?1, ?2, ?3, ?4)");
        findSeries_ = writer_.Prepare(sql::ForSqlite(sql::kSeriesId));
        addSeries_ = writer_.Prepare("INSERT INTO series(name, unit) VALUES (?1, ?2)");
        setUnit_ = writer_.Prepare("UPDATE series SET unit = ?2 WHERE id = ?1");
        unitOf_ = writer_.Prepare("SELECT unit FROM series WHERE id = ?1");
        if (!insert_.Ok() || !findSeries_.Ok() || !addSeries_.Ok() || !setUnit_.Ok() ||
            !unitOf_.Ok()) {
            why = path_ + ": " + writer_.Error();
            return false;
        }
        MutexLock lock(readMutex_);
        if (!reader_.Open(path_, why)) {
            return false;
        }
        readSeries_ = reader_.Prepare(sql::ForSqlite(sql::kSeriesId));
        readRaw_ = reader_.Prepare(sql::ForSqlite(sql::kRaw));
        readStep_ = reader_.Prepare(sql::ForSqlite(sql::kStep));
        readValueAt_ = reader_.Prepare(sql::ForSqlite(sql::kValueAt));
        if (!readSeries_.Ok() || !readRaw_.Ok() || !readStep_.Ok() || !readValueAt_.Ok()) {
            why = path_ + ": " + reader_.Error();
            return false;
        }
        return true;
    }

    bool Append(const std::vector<Row>& rows, std::string& why) override {
        if (!writer_.Exec("BEGIN", why)) {
            return false;
        }
        for (const Row& row : rows) {
            std::int64_t id = 0;
            if (!SeriesId(*row.series, id)) {
                return Abandon(why);
            }
            insert_.Reset();
            insert_.Bind(1, id);
            insert_.Bind(2, row.timeMs);
            if (row.value) {
                insert_.Bind(3, *row.value);
            } else {
                insert_.BindNull(3);
            }
            insert_.Bind(4, static_cast<std::int64_t>(row.quality));
            if (insert_.Step() != SQLITE_DONE) {
                return Abandon(why);
            }
        }
        return writer_.Exec("COMMIT", why) || Abandon(why);
    }

    bool Retain(std::int64_t nowMs, std::int64_t keepMs, std::uint64_t maxBytes,
                std::string& why) override {
        std::vector<std::int64_t> ids;
        {
            SqliteStatement s = writer_.Prepare("SELECT id FROM series");
            int rc = 0;
            while ((rc = s.Step()) == SQLITE_ROW) {
                ids.push_back(s.Int(0));
            }
            if (rc != SQLITE_DONE) {
                why = path_ + ": " + writer_.Error();
                return false;
            }
        }
        if (!DeleteBefore(ids, nowMs - keepMs, why)) {
            return false;
        }
        for (int round = 0; round < kSizeCutParts && writer_.UsedBytes() > maxBytes; ++round) {
            std::int64_t oldest = nowMs;
            SqliteStatement s = writer_.Prepare(sql::ForSqlite(sql::kOldest));
            for (const std::int64_t id : ids) {
                s.Reset();
                s.Bind(1, id);
                if (s.Step() == SQLITE_ROW && !s.Null(0)) {
                    oldest = std::min(oldest, s.Int(0));
                }
            }
            const std::int64_t cut =
                oldest + std::max<std::int64_t>(1, (nowMs - oldest) / kSizeCutParts);
            if (!DeleteBefore(ids, cut, why)) {
                return false;
            }
        }
        return true;
    }

    bool Query(const HistoryQuery& q, HistoryResult& result, std::string& why) override {
        MutexLock lock(readMutex_);
        result = {};
        readSeries_.Reset();
        readSeries_.Bind(1, q.series);
        const int found = readSeries_.Step();
        if (found == SQLITE_DONE) {
            return true;  // nothing recorded yet
        }
        if (found != SQLITE_ROW) {
            why = path_ + ": " + reader_.Error();
            return false;
        }
        const std::int64_t id = readSeries_.Int(0);
        if (q.stepMs > 0) {
            return Steps(id, q, result, why);
        }
        SqliteStatement& s = readRaw_;
        s.Reset();
        s.Bind(1, id);
        s.Bind(2, q.fromMs);
        s.Bind(3, q.toMs);
        s.Bind(4, static_cast<std::int64_t>(q.limit) + 1);
        int rc = 0;
        while ((rc = s.Step()) == SQLITE_ROW) {
            if (result.rows.size() == q.limit) {
                result.more = true;
                break;
            }
            HistoryRow row;
            row.timeMs = s.Int(0);
            row.last = Value(s, 1);
            row.min = row.max = row.avg = row.last;
            row.quality = static_cast<HistoryQuality>(s.Int(2));
            result.rows.push_back(row);
        }
        s.Reset();
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            why = path_ + ": " + reader_.Error();
            return false;
        }
        return true;
    }

private:
    // kStep once a step, and the latest row's value by its key.
    bool Steps(std::int64_t id, const HistoryQuery& q, HistoryResult& result, std::string& why)
        REQUIRES(readMutex_) {
        SqliteStatement& s = readStep_;
        for (std::int64_t from = q.fromMs; from < q.toMs; from += q.stepMs) {
            s.Reset();
            s.Bind(1, id);
            s.Bind(2, from);
            s.Bind(3, std::min(q.toMs, from + q.stepMs));
            if (s.Step() != SQLITE_ROW) {
                why = path_ + ": " + reader_.Error();
                return false;
            }
            if (s.Int(5) == 0) {
                continue;  // no row in this step
            }
            if (result.rows.size() == q.limit) {
                result.more = true;
                break;
            }
            HistoryRow row;
            row.timeMs = from;
            row.min = Value(s, 0);
            row.max = Value(s, 1);
            row.avg = Value(s, 2);
            row.quality = static_cast<HistoryQuality>(s.Int(4));
            readValueAt_.Reset();
            readValueAt_.Bind(1, id);
            readValueAt_.Bind(2, s.Int(3));
            if (readValueAt_.Step() == SQLITE_ROW) {
                row.last = Value(readValueAt_, 0);
            }
            result.rows.push_back(row);
        }
        s.Reset();
        readValueAt_.Reset();
        return true;
    }

    bool Abandon(std::string& why) {
        why = path_ + ": " + writer_.Error();
        std::string ignored;
        writer_.Exec("ROLLBACK", ignored);
        return false;
    }

    bool SeriesId(const Series& series, std::int64_t& id) {
        const auto known = ids_.find(series.name);
        if (known != ids_.end() && known->second.unit == series.unit) {
            id = known->second.id;
            return true;
        }
        findSeries_.Reset();
        findSeries_.Bind(1, series.name);
        const int rc = findSeries_.Step();
        if (rc == SQLITE_ROW) {
            id = findSeries_.Int(0);
            unitOf_.Reset();
            unitOf_.Bind(1, id);
            if (unitOf_.Step() != SQLITE_ROW) {
                return false;
            }
            if (unitOf_.Text(0) != series.unit) {
                setUnit_.Reset();
                setUnit_.Bind(1, id);
                setUnit_.Bind(2, series.unit);
                if (setUnit_.Step() != SQLITE_DONE) {
                    return false;
                }
            }
        } else if (rc == SQLITE_DONE) {
            addSeries_.Reset();
            addSeries_.Bind(1, series.name);
            addSeries_.Bind(2, series.unit);
            if (addSeries_.Step() != SQLITE_DONE) {
                return false;
            }
            id = sqlite3_last_insert_rowid(writer_.Handle());
        } else {
            return false;
        }
        ids_[series.name] = {id, series.unit};
        return true;
    }

    bool DeleteBefore(const std::vector<std::int64_t>& ids, std::int64_t before, std::string& why) {
        SqliteStatement s = writer_.Prepare(sql::ForSqlite(sql::kDeleteBefore));
        if (!s.Ok() || !writer_.Exec("BEGIN", why)) {
            why = path_ + ": " + writer_.Error();
            return false;
        }
        for (const std::int64_t id : ids) {
            s.Reset();
            s.Bind(1, id);
            s.Bind(2, before);
            if (s.Step() != SQLITE_DONE) {
                return Abandon(why);
            }
        }
        return writer_.Exec("COMMIT", why) || Abandon(why);
    }

    struct Known {
        std::int64_t id = 0;
        std::string unit;
    };

    const std::string path_;
    // The writer thread's alone.
    SqliteDb writer_;
    SqliteStatement insert_;
    SqliteStatement findSeries_;
    SqliteStatement addSeries_;
    SqliteStatement setUnit_;
    SqliteStatement unitOf_;
    std::unordered_map<std::string, Known> ids_;
    // Queries', one at a time.
    Mutex readMutex_;
    SqliteDb reader_ GUARDED_BY(readMutex_);
    SqliteStatement readSeries_ GUARDED_BY(readMutex_);
    SqliteStatement readRaw_ GUARDED_BY(readMutex_);
    SqliteStatement readStep_ GUARDED_BY(readMutex_);
    SqliteStatement readValueAt_ GUARDED_BY(readMutex_);
};

}  // namespace

std::unique_ptr<Store> MakeSqliteStore(const std::string& path) {
    return std::make_unique<SqliteStore>(path);
}

}  // namespace westnet::gateway::history
