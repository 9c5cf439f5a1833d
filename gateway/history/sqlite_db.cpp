#include "history/sqlite_db.h"

namespace westnet::gateway::history {

SqliteStatement::SqliteStatement(sqlite3* db, const std::string& sql) {
    if (sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                           &stmt_, nullptr) != SQLITE_OK) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
    }
}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = other.stmt_;
        other.stmt_ = nullptr;
    }
    return *this;
}

std::string SqliteStatement::Text(int c) const {
    const unsigned char* text = sqlite3_column_text(stmt_, c);
    return text == nullptr ? std::string()
                           : std::string(reinterpret_cast<const char*>(text),
                                         static_cast<std::size_t>(sqlite3_column_bytes(stmt_, c)));
}

bool SqliteDb::Open(const std::string& path, std::string& why) {
    path_ = path;
    if (sqlite3_open_v2(path.c_str(), &db_,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        why = path + ": " + Error();
        return false;
    }
    sqlite3_busy_timeout(db_, 5000);
    // synchronous=NORMAL: in WAL a power cut may lose the latest batches,
    // never the file.
    return Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", why);
}

bool SqliteDb::Exec(const std::string& sql, std::string& why) {
    char* message = nullptr;
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        why = path_ + ": " + (message != nullptr ? message : Error());
        sqlite3_free(message);
        return false;
    }
    return true;
}

std::uint64_t SqliteDb::UsedBytes() {
    std::int64_t values[3] = {0, 0, 0};
    const char* pragmas[3] = {"PRAGMA page_count", "PRAGMA freelist_count", "PRAGMA page_size"};
    for (int i = 0; i < 3; ++i) {
        SqliteStatement s = Prepare(pragmas[i]);
        if (s.Ok() && s.Step() == SQLITE_ROW) {
            values[i] = s.Int(0);
        }
    }
    const std::int64_t pages = values[0] - values[1];
    return pages > 0 ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(values[2])
                     : 0;
}

}  // namespace westnet::gateway::history
