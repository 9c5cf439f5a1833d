// Where [gateway] history keeps its rows: the one reader of that key's text,
// for the plant reader's check and for the recorder that opens the store.
#pragma once

#include <string>

namespace westnet::gateway {

struct HistoryTarget {
    enum class Kind { Sqlite, Postgres };
    Kind kind = Kind::Sqlite;
    std::string path;      // Sqlite: the database file
    std::string conninfo;  // Postgres: the URL as written, for libpq
};

// "sqlite:PATH" (an absolute or relative file name) or
// "postgresql://USER@HOST[:PORT]/DB" (also "postgres://"); false, with why,
// for anything else.
bool ParseHistoryTarget(const std::string& text, HistoryTarget& target, std::string& why);

}  // namespace westnet::gateway
