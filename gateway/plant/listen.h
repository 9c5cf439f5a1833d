// The network addresses of the plant file, read the same way by the plant
// reader (which refuses a bad one) and by the front end that listens on it
// or connects to it.
#pragma once

#include <string>

namespace westnet::gateway {

// Where a front end listens. An empty host never comes out: "PORT" and ":PORT"
// mean 127.0.0.1, so that nothing is reachable from other machines unless the
// plant file names another host.
struct ListenAddress {
    std::string host;
    int port = 0;  // 0: any free port, chosen when the listener binds (tests)
};

// "HOST:PORT", "[IPV6]:PORT", ":PORT" or "PORT". false, with what is wrong,
// for anything else; "" (the front end turned off) is not an address.
bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& error);

// The MQTT broker: "mqtt://HOST[:PORT]" (port 1883) or "mqtts://HOST[:PORT]"
// (TLS, port 8883).
struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
};
bool ParseBrokerUrl(const std::string& text, BrokerAddress& broker, std::string& error);

}  // namespace westnet::gateway
