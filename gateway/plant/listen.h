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

// A listening TCP socket on `address`, for every front end: an IPv4 address
// first when the name has both (most clients try it first), SO_REUSEADDR
// alone (a restart may bind while old connections linger, but a second
// gateway on the same port is refused, as SO_REUSEPORT would not), the
// longest backlog the system allows (a burst waits for the accept instead of
// being dropped half open). -1 on failure, with `resolveError` set when the
// name does not resolve, else `errorNumber` the errno of the last attempt.
struct ListenFailure {
    std::string resolveError;
    int errorNumber = 0;
};
int OpenListenSocket(const ListenAddress& address, bool nonBlocking, ListenFailure& failure);
// The port a socket is bound to; -1 when the system does not say.
int BoundPortOf(int fd);

// The MQTT broker: "mqtt://HOST[:PORT]" (port 1883) or "mqtts://HOST[:PORT]"
// (TLS, port 8883).
struct BrokerAddress {
    bool tls = false;
    std::string host;
    int port = 0;
};
bool ParseBrokerUrl(const std::string& text, BrokerAddress& broker, std::string& error);

}  // namespace westnet::gateway
