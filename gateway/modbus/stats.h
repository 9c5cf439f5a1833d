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
// A client's own series go when it disconnects. Each client counts its
// requests in a Tally of its own and hands it to the registry now and then
// (the server does so every statsFlush and when the client goes): one lock
// per client and interval instead of several per request.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "modbus/request.h"
#include "scan/service.h"

namespace westnet::gateway::modbus {

// One client's counts since they last went to the registry.
class Tally {
public:
    void Answered(std::uint8_t function, Exception exception, bool fromCache);
    bool Empty() const { return answered_ == 0; }

private:
    friend class Stats;
    std::array<std::uint32_t, 256> requests_{};
    std::array<std::uint32_t, 256> cacheReads_{};
    std::vector<std::pair<std::uint16_t, std::uint32_t>> exceptions_;  // function << 8 | code
    std::uint32_t answered_ = 0;
    std::uint32_t failed_ = 0;
};

class Stats {
public:
    explicit Stats(StatsRegistry& registry);

    // Adds the tally to the registry and empties it.
    void Flush(const StatsRegistry::Labels& client, Tally& tally);
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
