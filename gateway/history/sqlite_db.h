// A thin hold on SQLite's C API for the history: a connection, prepared
// statements that reset themselves, errors as text.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace westnet::gateway::history {

class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(sqlite3* db, const std::string& sql);
    ~SqliteStatement() { sqlite3_finalize(stmt_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    SqliteStatement(SqliteStatement&& other) noexcept : stmt_(other.stmt_) {
        other.stmt_ = nullptr;
    }
    SqliteStatement& operator=(SqliteStatement&& other) noexcept;

    bool Ok() const { return stmt_ != nullptr; }
    // Clears the bindings of the previous run and rewinds.
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    void Bind(int i, std::int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void Bind(int i, double v) { sqlite3_bind_double(stmt_, i, v); }
    void BindNull(int i) { sqlite3_bind_null(stmt_, i); }
    void Bind(int i, const std::string& v) {
        sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int Step() { return sqlite3_step(stmt_); }
    std::int64_t Int(int c) const { return sqlite3_column_int64(stmt_, c); }
    double Real(int c) const { return sqlite3_column_double(stmt_, c); }
    bool Null(int c) const { return sqlite3_column_type(stmt_, c) == SQLITE_NULL; }
    std::string Text(int c) const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteDb {
public:
    SqliteDb() = default;
    ~SqliteDb() { sqlite3_close_v2(db_); }
    SqliteDb(const SqliteDb&) = delete;
    SqliteDb& operator=(const SqliteDb&) = delete;

    // WAL, and a busy wait for the other connection's checkpoints.
    bool Open(const std::string& path, std::string& why);
    bool Exec(const std::string& sql, std::string& why);
    SqliteStatement Prepare(const std::string& sql) { return {db_, sql}; }
    std::string Error() const { return db_ == nullptr ? "not open" : sqlite3_errmsg(db_); }
    // Bytes the pages in use hold (free pages are reused before the file grows).
    std::uint64_t UsedBytes();
    sqlite3* Handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
    std::string path_;
};

}  // namespace westnet::gateway::history
