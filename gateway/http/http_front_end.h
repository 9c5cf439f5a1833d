// The HTTP front end: the status page at /, the JSON API under /api, and
// /metrics in the Prometheus text format, served by cpp-httplib.
#pragma once

#include <memory>

#include "scan/service.h"

namespace westnet::gateway::http {

// Null when [gateway] http is "" (turned off).
std::unique_ptr<FrontEnd> MakeHttpFrontEnd(const GatewayConfig& config, Service& service);

}  // namespace westnet::gateway::http
