// The listening address of a front end as the plant file writes it:
// "HOST:PORT", ":PORT" or "PORT" (both meaning 127.0.0.1), "[IPv6]:PORT".
#pragma once

#include <string>

namespace westnet::gateway::modbus {

struct ListenAddress {
    std::string host;          // without brackets
    int port = 0;              // 0: any free port (tests)
    std::string Text() const;  // "127.0.0.1:5020", "[::1]:5020"
};

// False, with `error` saying what is wrong and how it should look.
bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& error);

}  // namespace westnet::gateway::modbus
