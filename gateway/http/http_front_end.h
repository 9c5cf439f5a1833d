// The HTTP front end: the status page at /, the JSON API under /api, and
// /metrics in the Prometheus text format, served by libmicrohttpd on one
// thread for every connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "scan/service.h"

namespace westnet::gateway::http {

// What one client may send while it sends a request: past either, it is
// refused (431) or its connection closed.
struct RequestLimits {
    std::size_t bytes = std::size_t{256} * 1024;  // its line and headers
    // To send them, from the connection or the previous answer on; time in
    // a handler (a write waiting for its station) does not count.
    std::chrono::milliseconds time{10000};
    std::chrono::milliseconds check{100};  // how often that is looked at
    // A write answers when the station acknowledged it; the driver's retries
    // bound that to a few seconds, this only guards against a lost answer
    // (504 past it).
    std::chrono::milliseconds writeWait{60000};
};

// Null when [gateway] http is "" (turned off).
std::unique_ptr<FrontEnd> MakeHttpFrontEnd(const GatewayConfig& config, Service& service);
std::unique_ptr<FrontEnd> MakeHttpFrontEndWithLimits(const GatewayConfig& config, Service& service,
                                                     RequestLimits limits);

// The port a started HTTP front end listens on (the one the system chose
// for a port 0), or 0 for another front end or one not started.
int BoundPort(const FrontEnd& frontEnd);

}  // namespace westnet::gateway::http
