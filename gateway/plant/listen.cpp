#include "plant/listen.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <vector>

namespace westnet::gateway {
namespace {

// 0 to 65535 in decimal and nothing else.
bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value > 65535) {
        return false;
    }
    port = value;
    return true;
}

bool HostCharactersOk(const std::string& host) {
    for (const char c : host) {
        const auto u = static_cast<unsigned char>(c);
        if (std::isalnum(u) == 0 && c != '.' && c != '-' && c != '_' && c != ':') {
            return false;
        }
    }
    return true;
}

// Splits "HOST:PORT" or "[V6]:PORT"; `port` empty when there is none.
bool SplitHostPort(const std::string& text, std::string& host, std::string& port,
                   std::string& error) {
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            error = "an IPv6 address needs its closing ']'";
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && rest[0] != ':') {
            error = "only \":PORT\" may follow \"]\"";
            return false;
        }
        port = rest.empty() ? "" : rest.substr(1);
        if (host.empty()) {
            error = "the IPv6 address between '[' and ']' is empty";
            return false;
        }
        return true;
    }
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        host = text;
        port.clear();
        return true;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string::npos) {
        error = "an IPv6 address goes in brackets, as \"[::1]:8080\"";
        return false;
    }
    return true;
}

}  // namespace

bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& error) {
    const std::string expected =
        " (expected \"HOST:PORT\", \":PORT\" or \"PORT\", port 0 to 65535)";
    ListenAddress parsed;
    int port = 0;
    if (ParsePort(text, port)) {
        parsed.host = "127.0.0.1";
        parsed.port = port;
        address = parsed;
        return true;
    }
    std::string host;
    std::string portText;
    if (!SplitHostPort(text, host, portText, error)) {
        error += expected;
        return false;
    }
    if (portText.empty() || !ParsePort(portText, port)) {
        error = "\"" + text + "\" has no port number" + expected;
        if (!portText.empty()) {
            error = "port \"" + portText + "\" is not a number from 0 to 65535" + expected;
        }
        return false;
    }
    if (!HostCharactersOk(host)) {
        error = "host \"" + host + "\" holds characters no host name or address has" + expected;
        return false;
    }
    parsed.host = host.empty() ? "127.0.0.1" : host;
    parsed.port = port;
    address = parsed;
    return true;
}

bool ParseBrokerUrl(const std::string& text, BrokerAddress& broker, std::string& error) {
    const std::string expected = " (expected \"mqtt://HOST[:PORT]\" or \"mqtts://HOST[:PORT]\")";
    const std::string quoted = "\"" + text + "\"";
    BrokerAddress parsed;
    std::string rest;
    if (text.rfind("mqtt://", 0) == 0) {
        rest = text.substr(7);
        parsed.port = 1883;
    } else if (text.rfind("mqtts://", 0) == 0) {
        rest = text.substr(8);
        parsed.tls = true;
        parsed.port = 8883;
    } else {
        error = quoted + " does not start with mqtt:// or mqtts://" + expected;
        return false;
    }
    // Credentials in a URL would end up in logs and on the status page.
    if (rest.find('@') != std::string::npos) {
        error = quoted + ": no credentials in the URL; set mqtt_username and mqtt_password_file";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    if (rest.find_first_of("/?#") != std::string::npos) {
        error = quoted + ": a broker URL has no path" + expected;
        return false;
    }
    std::string host;
    std::string portText;
    if (!SplitHostPort(rest, host, portText, error)) {
        error = quoted + ": " + error + expected;
        return false;
    }
    if (host.empty() || !HostCharactersOk(host)) {
        error = quoted + " names no broker host" + expected;
        return false;
    }
    const bool hasPort = rest.size() > host.size() + (rest.front() == '[' ? 2 : 0);
    int port = 0;
    if (hasPort && (!ParsePort(portText, port) || port == 0)) {
        error = quoted + ": port \"" + portText + "\" is not a number from 1 to 65535" + expected;
        return false;
    }
    if (hasPort) {
        parsed.port = port;
    }
    parsed.host = host;
    broker = parsed;
    return true;
}

int OpenListenSocket(const ListenAddress& address, bool nonBlocking, ListenFailure& failure) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        failure.resolveError = gai_strerror(rc);
        return -1;
    }
    std::vector<const addrinfo*> candidates;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        candidates.push_back(a);
    }
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const addrinfo* a) { return a->ai_family == AF_INET; });
    int fd = -1;
    for (const addrinfo* a : candidates) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0),
                    a->ai_protocol);
        if (fd < 0) {
            failure.errorNumber = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
            break;
        }
        failure.errorNumber = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    return fd;
}

int BoundPortOf(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    if (local.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
}

}  // namespace westnet::gateway
