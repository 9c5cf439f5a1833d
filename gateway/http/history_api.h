// GET /api/history: one point's recorded values over a time range, raw or
// in steps, as JSON or CSV. Its own file so that the front end's router
// only hands it the query's arguments.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "scan/service.h"

namespace westnet::gateway::http {

struct HistoryReply {
    int status = 200;
    std::string body;
    std::string type;
    std::vector<std::pair<std::string, std::string>> headers;
};

// The most rows (raw) or steps one answer holds.
constexpr std::size_t kHistoryRowsMax = 100000;

// `argument` gives a query argument's text, or null when it is absent.
// line, point: as /api/points names them, a block's value as NAME[i];
// from, to: ISO 8601 (default the last hour up to now); step: seconds, 0
// (the default) for raw rows; format: json (the default) or csv.
HistoryReply AnswerHistory(const Service& service,
                           const std::function<const char*(const char*)>& argument, WallTime now);

}  // namespace westnet::gateway::http
