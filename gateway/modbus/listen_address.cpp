#include "modbus/listen_address.h"

#include <cctype>

namespace westnet::gateway::modbus {
namespace {

constexpr const char* kForm = "write HOST:PORT, :PORT or PORT, e.g. \"127.0.0.1:5020\"";

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    port = 0;
    for (char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return false;
        }
        port = port * 10 + (c - '0');
    }
    return port <= 65535;
}

}  // namespace

std::string ListenAddress::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& error) {
    address = ListenAddress{};
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos || close < 2 || close + 1 >= text.size() ||
            text[close + 1] != ':') {
            error = "\"" + text + "\": an IPv6 address is written [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const std::size_t colon = text.find(':');
        if (colon == std::string::npos) {
            port = text;
        } else if (text.find(':', colon + 1) != std::string::npos) {
            error = "\"" + text + "\": write an IPv6 address in brackets, e.g. \"[::1]:5020\"";
            return false;
        } else {
            host = text.substr(0, colon);
            port = text.substr(colon + 1);
        }
    }
    if (!ParsePort(port, address.port)) {
        error = "\"" + text + "\": the port must be a number from 0 to 65535; " + kForm;
        return false;
    }
    address.host = host.empty() ? "127.0.0.1" : host;
    return true;
}

}  // namespace westnet::gateway::modbus
