// The Modbus front end's series in the service's statistics registry, which
// the HTTP front end shows in /api/status and /metrics:
//
//   westnet_modbus_requests_total{function}          requests answered
//   westnet_modbus_cache_reads_total{function}       reads answered from the cache
//   westnet_modbus_exceptions_total{function,code}   exception replies, code as "0B"
//   westnet_modbus_client_requests_total{client}     per connected client ("IP:PORT")
//   westnet_modbus_client_exceptions_total{client}
//   westnet_modbus_clients                           clients connected now
//   westnet_modbus_connections_total{result}         "accepted" or "refused"
//   westnet_modbus_disconnects_total{reason}         why connections ended
//
// A client's own series go when it disconnects.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "modbus/request.h"
#include "scan/service.h"

namespace westnet::gateway::modbus {

class Stats {
public:
    explicit Stats(StatsRegistry& registry);

    void Answered(const StatsRegistry::Labels& client, std::uint8_t function, Exception exception,
                  bool fromCache);
    void Accepted(const StatsRegistry::Labels& client, int clients);
    void Refused();
    void Disconnected(const StatsRegistry::Labels& client, const char* reason, int clients);
    void SetClients(int clients);

    static StatsRegistry::Labels ClientLabels(const std::string& client);

private:
    StatsRegistry& registry_;
    std::array<StatsRegistry::Labels, 256> functions_;  // {function="N"}, built once
};

}  // namespace westnet::gateway::modbus
