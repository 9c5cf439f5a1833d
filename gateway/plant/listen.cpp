#include "plant/listen.h"

#include <cctype>

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

}  // namespace westnet::gateway
