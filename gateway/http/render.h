// What the HTTP front end serves, as plain functions of the service: the
// JSON documents of /api and the Prometheus text of /metrics.
#pragma once

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "scan/service.h"

namespace westnet::gateway::http {

nlohmann::ordered_json PointJson(const Service& service, std::size_t line, std::size_t point,
                                 WallTime now);
nlohmann::ordered_json PointsJson(const Service& service, WallTime now);
nlohmann::ordered_json StatusJson(Service& service, WallTime now);
std::string Metrics(Service& service, WallTime now);

// The point a URL names: line name and point name (which may hold '/').
bool FindPoint(const Service& service, const std::string& line, const std::string& name,
               std::size_t& lineIndex, std::size_t& pointIndex);

}  // namespace westnet::gateway::http
