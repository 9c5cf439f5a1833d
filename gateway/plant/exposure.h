// What the plant file's [gateway] keys expose beyond this machine without
// protection: a password in clear text to a broker elsewhere, the HTTP
// front end on the network without TLS, Modbus writes open to any address.
// The daemon says each at start and after a reload, as a warning that tells
// what to change; none stops it (a closed plant network may want them).
#pragma once

#include <string>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway {

// "localhost", 127.0.0.0/8 and ::1. A name other than localhost is taken to
// be another machine (it is not resolved).
bool IsLoopbackHost(const std::string& host);

// One line per exposure, empty when there is none.
std::vector<std::string> ExposureWarnings(const GatewayConfig& config);

}  // namespace westnet::gateway
