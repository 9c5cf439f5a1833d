// Who may connect or write: the address lists of the plant file
// (modbus_clients, modbus_write_clients), each entry an address or a CIDR
// block, IPv4 or IPv6.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct sockaddr;

namespace westnet::gateway {

struct AddressBlock {
    bool v6 = false;
    std::array<std::uint8_t, 16> bytes{};  // network order; the first 4 for IPv4
    int prefix = 0;                        // bits that must match
};

// 127.0.0.1/32.
AddressBlock LoopbackBlock();

// "10.1.2.3", "10.1.2.0/24", "::1", "fd00::/8". false, with what is wrong,
// for anything else (a host name, bits set past the prefix, a prefix too long).
bool ParseAddressBlock(const std::string& text, AddressBlock& block, std::string& error);

// Whether a peer's address (as accept() gives it) lies in the block. An
// IPv4 client reaching an IPv6 socket (::ffff:a.b.c.d) matches IPv4 blocks.
bool BlockContains(const AddressBlock& block, const sockaddr* peer);
bool AnyBlockContains(const std::vector<AddressBlock>& blocks, const sockaddr* peer);

}  // namespace westnet::gateway
