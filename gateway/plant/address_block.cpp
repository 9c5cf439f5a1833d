#include "plant/address_block.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace westnet::gateway {

AddressBlock LoopbackBlock() {
    AddressBlock block;
    block.bytes[0] = 127;
    block.bytes[3] = 1;
    block.prefix = 32;
    return block;
}

bool ParseAddressBlock(const std::string& text, AddressBlock& block, std::string& error) {
    const std::size_t slash = text.find('/');
    const std::string host = text.substr(0, slash);
    AddressBlock parsed;
    if (inet_pton(AF_INET, host.c_str(), parsed.bytes.data()) == 1) {
        parsed.v6 = false;
    } else if (inet_pton(AF_INET6, host.c_str(), parsed.bytes.data()) == 1) {
        parsed.v6 = true;
    } else {
        error =
            "\"" + text + "\" is not an address or a CIDR block (e.g. \"10.1.2.0/24\", \"::1\")";
        return false;
    }
    const int width = parsed.v6 ? 128 : 32;
    parsed.prefix = width;
    if (slash != std::string::npos) {
        const std::string bits = text.substr(slash + 1);
        if (bits.empty() || bits.size() > 3 ||
            bits.find_first_not_of("0123456789") != std::string::npos || std::stoi(bits) > width) {
            error = "\"" + text + "\": the prefix after '/' must be 0 to " + std::to_string(width);
            return false;
        }
        parsed.prefix = std::stoi(bits);
    }
    for (int bit = parsed.prefix; bit < width; ++bit) {
        if ((parsed.bytes[static_cast<std::size_t>(bit / 8)] >> (7 - bit % 8)) & 1) {
            error = "\"" + text + "\" has address bits set past its /" +
                    std::to_string(parsed.prefix) + " prefix: write the block's first address";
            return false;
        }
    }
    block = parsed;
    return true;
}

namespace {

bool PrefixMatches(const std::uint8_t* a, const std::uint8_t* b, int prefix) {
    const int whole = prefix / 8;
    if (std::memcmp(a, b, static_cast<std::size_t>(whole)) != 0) {
        return false;
    }
    const int rest = prefix % 8;
    if (rest == 0) {
        return true;
    }
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (a[whole] & mask) == (b[whole] & mask);
}

}  // namespace

bool BlockContains(const AddressBlock& block, const sockaddr* peer) {
    if (peer == nullptr) {
        return false;
    }
    if (peer->sa_family == AF_INET) {
        sockaddr_in v4{};
        std::memcpy(&v4, peer, sizeof v4);
        return !block.v6 && PrefixMatches(reinterpret_cast<const std::uint8_t*>(&v4.sin_addr),
                                          block.bytes.data(), block.prefix);
    }
    if (peer->sa_family == AF_INET6) {
        sockaddr_in6 v6{};
        std::memcpy(&v6, peer, sizeof v6);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(&v6.sin6_addr);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            return !block.v6 && PrefixMatches(bytes + 12, block.bytes.data(), block.prefix);
        }
        return block.v6 && PrefixMatches(bytes, block.bytes.data(), block.prefix);
    }
    return false;
}

bool AnyBlockContains(const std::vector<AddressBlock>& blocks, const sockaddr* peer) {
    for (const AddressBlock& block : blocks) {
        if (BlockContains(block, peer)) {
            return true;
        }
    }
    return false;
}

}  // namespace westnet::gateway
