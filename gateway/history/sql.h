// The history's SQL, one text for SQLite and PostgreSQL alike (parameters
// written $N; SQLite takes them as ?N).
#pragma once

#include <string>

namespace westnet::gateway::history::sql {

// A step's min, max and avg over its good rows, its latest row's value, its
// worst quality: one pass over the series' range by its key, then one key
// lookup per step for the latest value. $1 series, $2 from, $3 to, $4 step.
inline const char* const kSteps =
    "WITH g AS (SELECT (t - $2) / $4 AS b,"
    " min(CASE WHEN quality = 0 THEN value END) AS lo,"
    " max(CASE WHEN quality = 0 THEN value END) AS hi,"
    " avg(CASE WHEN quality = 0 THEN value END) AS mean,"
    " max(t) AS lt, max(quality) AS worst"
    " FROM samples WHERE series = $1 AND t >= $2 AND t < $3 GROUP BY 1)"
    " SELECT g.b, g.lo, g.hi, g.mean, s.value, g.worst"
    " FROM g JOIN samples s ON s.series = $1 AND s.t = g.lt ORDER BY g.b";

// One step of kSteps alone: $1 series, $2 from, $3 to. SQLite walks a
// series' key range in order but sorts to group by an expression, so it
// answers step by step with this: the same pass over the rows, no sort.
inline const char* const kStep =
    "SELECT min(CASE WHEN quality = 0 THEN value END), max(CASE WHEN quality = 0 THEN value END),"
    " avg(CASE WHEN quality = 0 THEN value END), max(t), max(quality), count(*)"
    " FROM samples WHERE series = $1 AND t >= $2 AND t < $3";

// $1 series, $2 t.
inline const char* const kValueAt = "SELECT value FROM samples WHERE series = $1 AND t = $2";

// $1 series, $2 from, $3 to, $4 the most rows.
inline const char* const kRaw =
    "SELECT t, value, quality FROM samples WHERE series = $1 AND t >= $2 AND t < $3"
    " ORDER BY t LIMIT $4";

inline const char* const kSeriesId = "SELECT id FROM series WHERE name = $1";

// The oldest row of one series.
inline const char* const kOldest = "SELECT min(t) FROM samples WHERE series = $1";

// $1 series, $2 before.
inline const char* const kDeleteBefore = "DELETE FROM samples WHERE series = $1 AND t < $2";

inline std::string ForSqlite(std::string text) {
    for (char& c : text) {
        if (c == '$') {
            c = '?';
        }
    }
    return text;
}

}  // namespace westnet::gateway::history::sql
