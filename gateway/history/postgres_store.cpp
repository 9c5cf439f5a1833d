// The store on a PostgreSQL server. Every batch goes first into a local
// SQLite spool, in order; the writer thread sends the spool's oldest rows to
// the server, a few thousand per transaction, and deletes them from the spool
// once the server committed them. While the server is away the rows wait
// there and the connection is tried again with a growing pause.
#include <libpq-fe.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "history/sql.h"
#include "history/sqlite_db.h"
#include "history/store.h"
#include "log/log.h"
#include "sync/mutex.h"

namespace westnet::gateway::history {
namespace {

const char* const kServerSchema =
    "CREATE TABLE IF NOT EXISTS series(id BIGSERIAL PRIMARY KEY, name TEXT NOT NULL UNIQUE,"
    " unit TEXT NOT NULL DEFAULT '');"
    "CREATE TABLE IF NOT EXISTS samples(series BIGINT NOT NULL, t BIGINT NOT NULL,"
    " value DOUBLE PRECISION, quality SMALLINT NOT NULL, PRIMARY KEY(series, t));"
    "CREATE TEMP TABLE IF NOT EXISTS incoming(series BIGINT, t BIGINT, value DOUBLE PRECISION,"
    " quality SMALLINT) ON COMMIT DELETE ROWS;";

const char* const kSpoolSchema =
    "CREATE TABLE IF NOT EXISTS spool(seq INTEGER PRIMARY KEY, series TEXT NOT NULL,"
    " unit TEXT NOT NULL, t INTEGER NOT NULL, value REAL, quality INTEGER NOT NULL);";

constexpr int kChunkRows = 5000;      // rows per transaction on the server
constexpr int kChunksPerForward = 8;  // then the writer takes its queue again
constexpr std::chrono::seconds kFirstPause{1};
constexpr std::chrono::seconds kLongestPause{30};
constexpr int kSizeCutParts = 20;

using Clock = std::chrono::steady_clock;

// One result of libpq, cleared when it goes.
class PgResult {
public:
    explicit PgResult(PGresult* r) : r_(r) {}
    ~PgResult() { PQclear(r_); }
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;
    PGresult* get() const { return r_; }
    bool Ok() const {
        const ExecStatusType s = PQresultStatus(r_);
        return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
    }

private:
    PGresult* r_;
};

PGconn* Connect(const std::string& conninfo, const char* timeoutS, std::string& why) {
    const char* keys[] = {"dbname", "connect_timeout", "application_name", nullptr};
    const char* values[] = {conninfo.c_str(), timeoutS, "westnet-gateway", nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (PQstatus(conn) != CONNECTION_OK) {
        why = PQerrorMessage(conn);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
            why.pop_back();
        }
        PQfinish(conn);
        return nullptr;
    }
    return conn;
}

std::string ConnError(PGconn* conn) {
    std::string why = conn == nullptr ? "not connected" : PQerrorMessage(conn);
    while (!why.empty() && (why.back() == '\n' || why.back() == ' ')) {
        why.pop_back();
    }
    return why;
}

std::optional<double> Number(PGresult* r, int row, int col) {
    if (PQgetisnull(r, row, col) != 0) {
        return std::nullopt;
    }
    return std::strtod(PQgetvalue(r, row, col), nullptr);
}

class PostgresStore final : public Store {
public:
    PostgresStore(std::string conninfo, std::string spoolPath)
        : conninfo_(std::move(conninfo)), spoolPath_(std::move(spoolPath)) {}
    ~PostgresStore() override {
        PQfinish(conn_);
        MutexLock lock(readMutex_);
        PQfinish(readConn_);
    }
    PostgresStore(const PostgresStore&) = delete;
    PostgresStore& operator=(const PostgresStore&) = delete;

    bool Open(std::string& why) override {
        if (!spool_.Open(spoolPath_, why) || !spool_.Exec(kSpoolSchema, why)) {
            return false;
        }
        put_ = spool_.Prepare(
            "INSERT INTO spool(series, unit, t, value, quality) VALUES (?1, ?2, ?3, ?4, ?5)");
        take_ = spool_.Prepare(
            "SELECT seq, series, unit, t, value, quality FROM spool ORDER BY seq LIMIT " +
            std::to_string(kChunkRows));
        drop_ = spool_.Prepare("DELETE FROM spool WHERE seq <= ?1");
        if (!put_.Ok() || !take_.Ok() || !drop_.Ok()) {
            why = spoolPath_ + ": " + spool_.Error();
            return false;
        }
        CountWaiting();
        return true;
    }

    bool Append(const std::vector<Row>& rows, std::string& why) override {
        if (!spool_.Exec("BEGIN", why)) {
            return false;
        }
        for (const Row& row : rows) {
            put_.Reset();
            put_.Bind(1, row.series->name);
            put_.Bind(2, row.series->unit);
            put_.Bind(3, row.timeMs);
            if (row.value) {
                put_.Bind(4, *row.value);
            } else {
                put_.BindNull(4);
            }
            put_.Bind(5, static_cast<std::int64_t>(row.quality));
            if (put_.Step() != SQLITE_DONE) {
                return SpoolFailed(why);
            }
        }
        if (!spool_.Exec("COMMIT", why)) {
            return SpoolFailed(why);
        }
        waiting_ += rows.size();
        return true;
    }

    bool Forward(std::string& why) override {
        if (waiting_ == 0 && conn_ != nullptr) {
            return true;
        }
        if (!Connected()) {
            return true;
        }
        for (int chunk = 0; chunk < kChunksPerForward && waiting_ > 0; ++chunk) {
            std::vector<SpooledRow> rows;
            if (!Take(rows, why)) {
                return false;
            }
            if (rows.empty()) {
                waiting_ = 0;
                break;
            }
            std::string problem;
            if (!Send(rows, problem)) {
                Lost(problem);
                return true;
            }
            drop_.Reset();
            drop_.Bind(1, rows.back().seq);
            if (drop_.Step() != SQLITE_DONE) {
                why = spoolPath_ + ": " + spool_.Error();
                return false;
            }
            waiting_ -= std::min<std::uint64_t>(waiting_, rows.size());
        }
        return true;
    }

    bool Retain(std::int64_t nowMs, std::int64_t keepMs, std::uint64_t maxBytes,
                std::string& why) override {
        // The spool too is held to the size: past it the oldest waiting rows go.
        if (spool_.UsedBytes() > maxBytes) {
            const std::string cut =
                "DELETE FROM spool WHERE seq <= (SELECT min(seq) + (max(seq) - "
                "min(seq)) / " +
                std::to_string(kSizeCutParts) + " FROM spool)";
            if (!spool_.Exec(cut, why)) {
                return false;
            }
            Log(LogLevel::Warning,
                "history: the spool " + spoolPath_ +
                    " is larger than history_max_mb while the server is away: its oldest rows "
                    "were dropped");
            CountWaiting();
        }
        if (conn_ == nullptr) {
            return true;  // the server's rows are cut once it is back
        }
        // Series by series, by their key: never a scan of the whole table.
        std::string problem;
        if (!CutBefore(nowMs - keepMs, problem)) {
            Lost(problem);
            return true;
        }
        PgResult size(PQexec(conn_, "SELECT pg_total_relation_size('samples')"));
        if (!size.Ok()) {
            Lost(ConnError(conn_));
            return true;
        }
        if (std::strtoull(PQgetvalue(size.get(), 0, 0), nullptr, 10) <= maxBytes) {
            return true;
        }
        PgResult oldest(PQexec(
            conn_, "SELECT min((SELECT min(t) FROM samples WHERE series = n.id)) FROM series n"));
        if (!oldest.Ok()) {
            Lost(ConnError(conn_));
            return true;
        }
        if (PQgetisnull(oldest.get(), 0, 0) == 0) {
            const std::int64_t first = std::strtoll(PQgetvalue(oldest.get(), 0, 0), nullptr, 10);
            // The space the server frees is reused by the next rows (its
            // files shrink only with a VACUUM FULL): one cut a pass.
            if (!CutBefore(first + std::max<std::int64_t>(1, (nowMs - first) / kSizeCutParts),
                           problem)) {
                Lost(problem);
            }
        }
        return true;
    }

    bool Query(const HistoryQuery& q, HistoryResult& result, std::string& why) override {
        MutexLock lock(readMutex_);
        result = {};
        if (readConn_ == nullptr || PQstatus(readConn_) != CONNECTION_OK) {
            // While the writer finds the server away, a query does not wait
            // for a connection time-out of its own on the HTTP thread.
            if (!serverUp_) {
                why = "the history's server cannot be reached now; rows wait in " + spoolPath_;
                return false;
            }
            PQfinish(readConn_);
            readConn_ = Connect(conninfo_, "2", why);
            if (readConn_ == nullptr) {
                why = "the history's server cannot be reached: " + why;
                return false;
            }
        }
        const std::string fromText = std::to_string(q.fromMs);
        const std::string toText = std::to_string(q.toMs);
        const std::string fourth =
            std::to_string(q.stepMs > 0 ? q.stepMs : static_cast<std::int64_t>(q.limit) + 1);
        const char* idParams[] = {q.series.c_str()};
        PgResult id(
            PQexecParams(readConn_, sql::kSeriesId, 1, nullptr, idParams, nullptr, nullptr, 0));
        if (!id.Ok()) {
            why = "the history's server: " + ConnError(readConn_);
            return false;
        }
        if (PQntuples(id.get()) == 0) {
            return true;
        }
        const std::string seriesId = PQgetvalue(id.get(), 0, 0);
        const char* params[] = {seriesId.c_str(), fromText.c_str(), toText.c_str(), fourth.c_str()};
        const Oid types[] = {20, 20, 20, 20};  // int8
        PgResult r(PQexecParams(readConn_, q.stepMs > 0 ? sql::kSteps : sql::kRaw, 4, types, params,
                                nullptr, nullptr, 0));
        if (!r.Ok()) {
            why = "the history's server: " + ConnError(readConn_);
            return false;
        }
        const int n = PQntuples(r.get());
        for (int i = 0; i < n; ++i) {
            if (result.rows.size() == q.limit) {
                result.more = true;
                break;
            }
            HistoryRow row;
            if (q.stepMs > 0) {
                row.timeMs =
                    q.fromMs + std::strtoll(PQgetvalue(r.get(), i, 0), nullptr, 10) * q.stepMs;
                row.min = Number(r.get(), i, 1);
                row.max = Number(r.get(), i, 2);
                row.avg = Number(r.get(), i, 3);
                row.last = Number(r.get(), i, 4);
                row.quality = static_cast<HistoryQuality>(std::atoi(PQgetvalue(r.get(), i, 5)));
            } else {
                row.timeMs = std::strtoll(PQgetvalue(r.get(), i, 0), nullptr, 10);
                row.last = Number(r.get(), i, 1);
                row.min = row.max = row.avg = row.last;
                row.quality = static_cast<HistoryQuality>(std::atoi(PQgetvalue(r.get(), i, 2)));
            }
            result.rows.push_back(row);
        }
        return true;
    }

    StoreHealth Health() const override { return {serverUp_.load(), waiting_.load()}; }

private:
    struct SpooledRow {
        std::int64_t seq = 0;
        std::string series;
        std::string unit;
        std::int64_t t = 0;
        std::optional<double> value;
        int quality = 0;
    };

    bool SpoolFailed(std::string& why) {
        why = spoolPath_ + ": " + spool_.Error();
        std::string ignored;
        spool_.Exec("ROLLBACK", ignored);
        return false;
    }

    void CountWaiting() {
        SqliteStatement count = spool_.Prepare("SELECT count(*) FROM spool");
        waiting_ =
            count.Ok() && count.Step() == SQLITE_ROW ? static_cast<std::uint64_t>(count.Int(0)) : 0;
    }

    // Connected now, or tried again once its pause is over.
    bool Connected() {
        if (conn_ != nullptr) {
            return true;
        }
        const auto now = Clock::now();
        if (now < nextTry_) {
            return false;
        }
        std::string why;
        conn_ = Connect(conninfo_, "5", why);
        if (conn_ != nullptr && !Command(kServerSchema, why)) {
            PQfinish(conn_);
            conn_ = nullptr;
        }
        if (conn_ == nullptr) {
            pause_ = pause_.count() == 0 ? kFirstPause : std::min(pause_ * 2, kLongestPause);
            nextTry_ = now + pause_;
            if (!lostLogged_) {
                Log(LogLevel::Warning, "history: the server cannot be reached (" + why +
                                           "); rows wait in " + spoolPath_ +
                                           " and it is tried again, at least every " +
                                           std::to_string(kLongestPause.count()) + " s");
                lostLogged_ = true;
            }
            return false;
        }
        pause_ = std::chrono::seconds{0};
        lostLogged_ = false;
        serverUp_ = true;
        ids_.clear();
        Log(LogLevel::Info, "history: connected to its server; " + std::to_string(waiting_.load()) +
                                " rows waiting in the spool go out in order");
        return true;
    }

    void Lost(const std::string& why) {
        PQfinish(conn_);
        conn_ = nullptr;
        serverUp_ = false;
        pause_ = kFirstPause;
        nextTry_ = Clock::now() + pause_;
        Log(LogLevel::Warning, "history: lost its server (" + why + "); rows wait in " +
                                   spoolPath_ + " until it is back");
        lostLogged_ = true;
    }

    bool CutBefore(std::int64_t before, std::string& why) {
        PgResult ids(PQexec(conn_, "SELECT id FROM series"));
        if (!ids.Ok()) {
            why = ConnError(conn_);
            return false;
        }
        const std::string beforeText = std::to_string(before);
        for (int i = 0; i < PQntuples(ids.get()); ++i) {
            const char* params[] = {PQgetvalue(ids.get(), i, 0), beforeText.c_str()};
            const Oid types[] = {20, 20};  // int8
            PgResult r(
                PQexecParams(conn_, sql::kDeleteBefore, 2, types, params, nullptr, nullptr, 0));
            if (!r.Ok()) {
                why = ConnError(conn_);
                return false;
            }
        }
        return true;
    }

    bool Command(const std::string& text, std::string& why) {
        PgResult r(PQexec(conn_, text.c_str()));
        if (!r.Ok()) {
            why = ConnError(conn_);
            return false;
        }
        return true;
    }

    bool Take(std::vector<SpooledRow>& rows, std::string& why) {
        take_.Reset();
        int rc = 0;
        while ((rc = take_.Step()) == SQLITE_ROW) {
            SpooledRow row;
            row.seq = take_.Int(0);
            row.series = take_.Text(1);
            row.unit = take_.Text(2);
            row.t = take_.Int(3);
            if (!take_.Null(4)) {
                row.value = take_.Real(4);
            }
            row.quality = static_cast<int>(take_.Int(5));
            rows.push_back(std::move(row));
        }
        take_.Reset();
        if (rc != SQLITE_DONE) {
            why = spoolPath_ + ": " + spool_.Error();
            return false;
        }
        return true;
    }

    bool SeriesId(const std::string& name, const std::string& unit, std::string& id,
                  std::string& why) {
        const auto known = ids_.find(name);
        if (known != ids_.end() && known->second.unit == unit) {
            id = known->second.id;
            return true;
        }
        const char* params[] = {name.c_str(), unit.c_str()};
        PgResult r(PQexecParams(conn_,
                                "INSERT INTO series(name, unit) VALUES ($1, $2) ON CONFLICT (name)"
                                " DO UPDATE SET unit = EXCLUDED.unit RETURNING id",
                                2, nullptr, params, nullptr, nullptr, 0));
        if (!r.Ok() || PQntuples(r.get()) != 1) {
            why = ConnError(conn_);
            return false;
        }
        id = PQgetvalue(r.get(), 0, 0);
        ids_[name] = {id, unit};
        return true;
    }

    // One transaction: COPY into the session's scratch table, then into
    // samples; a row the server has already (sent again after a connection
    // lost before the spool learnt of the commit) is kept as it was.
    bool Send(const std::vector<SpooledRow>& rows, std::string& why) {
        std::string data;
        data.reserve(rows.size() * 48);
        char number[64];
        for (const SpooledRow& row : rows) {
            std::string id;
            if (!SeriesId(row.series, row.unit, id, why)) {
                return false;
            }
            data += id;
            data += '\t';
            data += std::to_string(row.t);
            data += '\t';
            if (row.value) {
                std::snprintf(number, sizeof number, "%.17g", *row.value);
                data += number;
            } else {
                data += "\\N";
            }
            data += '\t';
            data += std::to_string(row.quality);
            data += '\n';
        }
        if (!Command("BEGIN", why)) {
            return false;
        }
        {
            PgResult copy(PQexec(conn_, "COPY incoming FROM STDIN"));
            if (PQresultStatus(copy.get()) != PGRES_COPY_IN) {
                why = ConnError(conn_);
                return false;
            }
        }
        if (PQputCopyData(conn_, data.data(), static_cast<int>(data.size())) != 1 ||
            PQputCopyEnd(conn_, nullptr) != 1) {
            why = ConnError(conn_);
            return false;
        }
        for (PGresult* r = PQgetResult(conn_); r != nullptr; r = PQgetResult(conn_)) {
            const PgResult held(r);
            if (!held.Ok()) {
                why = ConnError(conn_);
                return false;
            }
        }
        return Command(
                   "INSERT INTO samples SELECT series, t, value, quality FROM incoming ORDER BY "
                   "series, t ON CONFLICT (series, t) DO NOTHING",
                   why) &&
               Command("COMMIT", why);
    }

    struct Known {
        std::string id;
        std::string unit;
    };

    const std::string conninfo_;
    const std::string spoolPath_;
    // The writer thread's alone.
    SqliteDb spool_;
    SqliteStatement put_;
    SqliteStatement take_;
    SqliteStatement drop_;
    PGconn* conn_ = nullptr;
    std::unordered_map<std::string, Known> ids_;
    Clock::time_point nextTry_{};
    std::chrono::seconds pause_{0};
    bool lostLogged_ = false;
    std::atomic<bool> serverUp_{false};
    std::atomic<std::uint64_t> waiting_{0};
    // Queries', one at a time, on a connection of their own.
    Mutex readMutex_;
    PGconn* readConn_ GUARDED_BY(readMutex_) = nullptr;
};

}  // namespace

std::unique_ptr<Store> MakePostgresStore(const std::string& conninfo,
                                         const std::string& spoolPath) {
    return std::make_unique<PostgresStore>(conninfo, spoolPath);
}

}  // namespace westnet::gateway::history
