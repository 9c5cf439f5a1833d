// What the HTTP front end serves, as plain functions of the service: the
// JSON documents of /api and the Prometheus text of /metrics.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scan/service.h"

namespace westnet::gateway::http {

// ISO 8601 in UTC with milliseconds: "2026-12-09T07:00:00.123Z".
std::string IsoTime(WallTime time);

nlohmann::ordered_json PointJson(const Service& service, std::size_t line, std::size_t point,
                                 WallTime now);
nlohmann::ordered_json PointsJson(const Service& service, WallTime now);
nlohmann::ordered_json StatusJson(Service& service, WallTime now);
std::string Metrics(Service& service, WallTime now);

// The point a URL names: line name and point name (which may hold '/').
bool FindPoint(const Service& service, const std::string& line, const std::string& name,
               std::size_t& lineIndex, std::size_t& pointIndex);

// The words a PUT body asks to write to a point: a JSON number 0 to 65535
// for a word, 0 or 1 (or false/true) for a bit, an array of exactly the
// block's count for a block. false, with what is wrong, otherwise.
bool ValuesFromBody(const PointConfig& point, const std::string& body,
                    std::vector<std::uint16_t>& values, std::string& error);

}  // namespace westnet::gateway::http
