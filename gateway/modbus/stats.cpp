#include "modbus/stats.h"

#include <cstdio>

namespace westnet::gateway::modbus {
namespace {

constexpr const char* kRequests = "westnet_modbus_requests_total";
constexpr const char* kCacheReads = "westnet_modbus_cache_reads_total";
constexpr const char* kExceptions = "westnet_modbus_exceptions_total";
constexpr const char* kClientRequests = "westnet_modbus_client_requests_total";
constexpr const char* kClientExceptions = "westnet_modbus_client_exceptions_total";
constexpr const char* kClients = "westnet_modbus_clients";
constexpr const char* kConnections = "westnet_modbus_connections_total";
constexpr const char* kDisconnects = "westnet_modbus_disconnects_total";

}  // namespace

Stats::Stats(StatsRegistry& registry) : registry_(registry) {
    for (std::size_t i = 0; i < functions_.size(); ++i) {
        functions_[i] = {{"function", std::to_string(i)}};
    }
}

StatsRegistry::Labels Stats::ClientLabels(const std::string& client) {
    return {{"client", client}};
}

void Tally::Answered(std::uint8_t function, Exception exception, bool fromCache) {
    ++answered_;
    ++requests_[function];
    if (fromCache) {
        ++cacheReads_[function];
    }
    if (exception != Exception::None) {
        ++failed_;
        const auto key = static_cast<std::uint16_t>(function << 8 | static_cast<int>(exception));
        for (auto& [k, n] : exceptions_) {
            if (k == key) {
                ++n;
                return;
            }
        }
        exceptions_.emplace_back(key, 1);
    }
}

void Stats::Flush(const StatsRegistry::Labels& client, Tally& tally) {
    if (tally.Empty()) {
        return;
    }
    for (std::size_t f = 0; f < tally.requests_.size(); ++f) {
        if (tally.requests_[f] != 0) {
            registry_.Add(kRequests, "Modbus requests answered, by function code", functions_[f],
                          tally.requests_[f]);
        }
        if (tally.cacheReads_[f] != 0) {
            registry_.Add(kCacheReads, "Modbus reads answered from the value cache", functions_[f],
                          tally.cacheReads_[f]);
        }
    }
    for (const auto& [key, n] : tally.exceptions_) {
        char code[8];
        std::snprintf(code, sizeof code, "%02X", static_cast<unsigned>(key & 0xFF));
        StatsRegistry::Labels labels = functions_[key >> 8];
        labels["code"] = code;
        registry_.Add(kExceptions, "Modbus exception replies, by function and exception code",
                      labels, n);
    }
    registry_.Add(kClientRequests, "Modbus requests answered, by connected client", client,
                  tally.answered_);
    if (tally.failed_ != 0) {
        registry_.Add(kClientExceptions, "Modbus exception replies, by connected client", client,
                      tally.failed_);
    }
    tally = Tally{};
}

void Stats::Accepted(const StatsRegistry::Labels& client, int clients) {
    registry_.Add(kConnections, "Modbus TCP connections, accepted or refused",
                  {{"result", "accepted"}}, 1);
    // Present from the start, so a client without requests is listed too.
    registry_.Add(kClientRequests, "Modbus requests answered, by connected client", client, 0);
    SetClients(clients);
}

void Stats::Refused() {
    registry_.Add(kConnections, "Modbus TCP connections, accepted or refused",
                  {{"result", "refused"}}, 1);
}

void Stats::Disconnected(const StatsRegistry::Labels& client, const char* reason, int clients) {
    registry_.Remove(kClientRequests, client);
    registry_.Remove(kClientExceptions, client);
    registry_.Add(kDisconnects, "Modbus TCP connections ended, by reason", {{"reason", reason}}, 1);
    SetClients(clients);
}

void Stats::SetClients(int clients) {
    registry_.Set(kClients, "Modbus TCP clients connected", {}, clients);
}

}  // namespace westnet::gateway::modbus
