#include "plant/exposure.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

#include "plant/listen.h"

namespace westnet::gateway {

bool IsLoopbackHost(const std::string& host) {
    std::string name = host;
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (name == "localhost" || name == "localhost.") {
        return true;
    }
    in_addr v4{};
    if (inet_pton(AF_INET, name.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    return inet_pton(AF_INET6, name.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

namespace {

// Listening beyond this machine: a host that is not loopback (0.0.0.0 and
// :: are every interface).
bool ListensBeyondLoopback(const std::string& setting, std::string& where) {
    ListenAddress address;
    std::string error;
    if (setting.empty() || !ParseListenAddress(setting, address, error)) {
        return false;
    }
    where = setting;
    return !IsLoopbackHost(address.host);
}

}  // namespace

std::vector<std::string> ExposureWarnings(const GatewayConfig& config) {
    std::vector<std::string> warnings;
    BrokerAddress broker;
    std::string error;
    if (!config.mqtt.empty() && !config.mqttPasswordFile.empty() &&
        ParseBrokerUrl(config.mqtt, broker, error) && !broker.tls && !IsLoopbackHost(broker.host)) {
        warnings.push_back("mqtt: the password of mqtt_username goes in clear text to " +
                           config.mqtt +
                           ", another machine; use mqtts:// (with mqtt_ca_file) so that nobody "
                           "on the network can read it");
    }
    std::string where;
    if (ListensBeyondLoopback(config.http, where) && config.httpTlsCert.empty()) {
        warnings.push_back("http: listening on " + where +
                           ", beyond this machine, without TLS: passwords, tokens and writes "
                           "cross the network in clear text; set http_tls_cert and "
                           "http_tls_key, or listen on 127.0.0.1 behind a TLS proxy");
    }
    if (ListensBeyondLoopback(config.modbus, where)) {
        for (std::size_t i = 0; i < config.modbusWriteClients.size(); ++i) {
            if (config.modbusWriteClients[i].prefix == 0) {
                const std::string text =
                    i < config.modbusWriteClientsText.size()
                        ? config.modbusWriteClientsText[i]
                        : std::string(config.modbusWriteClients[i].v6 ? "::/0" : "0.0.0.0/0");
                std::string warning = "modbus: listening on " + where;
                warning += ", beyond this machine, and modbus_write_clients holds ";
                warning += text;
                warning +=
                    ": anyone who reaches the port can write to the plant; list only the "
                    "clients that write (addresses or small CIDR blocks)";
                warnings.push_back(warning);
                break;
            }
        }
    }
    return warnings;
}

}  // namespace westnet::gateway
