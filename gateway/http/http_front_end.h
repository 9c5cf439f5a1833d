// The HTTP front end: the status page at /, the JSON API under /api, and
// /metrics in the Prometheus text format, served by cpp-httplib.
#pragma once

#include <memory>
#include <string>

#include "scan/service.h"

namespace westnet::gateway::http {

// Null when [gateway] http is "" (turned off).
std::unique_ptr<FrontEnd> MakeHttpFrontEnd(const GatewayConfig& config, Service& service);

// The port a started HTTP front end listens on (the one the system chose
// for a port 0), or 0 for another front end or one not started.
int BoundPort(const FrontEnd& frontEnd);

}  // namespace westnet::gateway::http
