#include "modbus/request.h"

#include <modbus/modbus.h>

namespace westnet::gateway::modbus {
namespace {

// Our limits are libmodbus's: the replies it builds must hold what we accept.
static_assert(kMaxReadBits == MODBUS_MAX_READ_BITS, "FC 1/2 limit");
static_assert(kMaxReadRegisters == MODBUS_MAX_READ_REGISTERS, "FC 3/4 limit");
static_assert(kMaxWriteBits == MODBUS_MAX_WRITE_BITS, "FC 15 limit");
static_assert(kMaxWriteRegisters == MODBUS_MAX_WRITE_REGISTERS, "FC 16 limit");
static_assert(kMaxFrame == MODBUS_TCP_MAX_ADU_LENGTH, "ADU size");

int Word(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}

// A read or multiple write: address, count within [1, max], the whole range
// below 65536.
Exception Range(const std::uint8_t* pdu, int max, Request& request) {
    request.address = Word(pdu + 1);
    request.count = Word(pdu + 3);
    if (request.count < 1 || request.count > max) {
        return Exception::IllegalValue;
    }
    if (request.address + request.count > kAddressSpace) {
        return Exception::IllegalAddress;
    }
    return Exception::None;
}

// FC 15 and 16: address, count, byte count, then the values (8 coils to a
// byte, or 2 bytes to a register). A byte count or length that disagrees
// with the count is 03 before any address check.
Exception MultipleWrite(const std::uint8_t* pdu, std::size_t length, int max, bool coils,
                        Request& request) {
    if (length < 6) {
        return Exception::IllegalValue;
    }
    const Exception e = Range(pdu, max, request);
    const std::size_t bytes = pdu[5];
    const auto implied = coils ? static_cast<std::size_t>((request.count + 7) / 8)
                               : 2 * static_cast<std::size_t>(request.count);
    if (e == Exception::IllegalValue || bytes != implied || length != 6 + bytes) {
        return Exception::IllegalValue;
    }
    return e;
}

// The one bit whose AND mask is 0: (word & and) | (or & ~and) changes only
// the bits that `and` clears, and each of them becomes the bit of `or`.
bool SingleBit(std::uint16_t andMask, int& bit) {
    const std::uint16_t cleared = static_cast<std::uint16_t>(~andMask);
    if (cleared == 0 || (cleared & (cleared - 1)) != 0) {
        return false;
    }
    bit = 0;
    while (((cleared >> bit) & 1) == 0) {
        ++bit;
    }
    return true;
}

}  // namespace

bool Request::IsWrite() const {
    switch (Code()) {
        case Function::WriteSingleCoil:
        case Function::WriteSingleRegister:
        case Function::WriteMultipleCoils:
        case Function::WriteMultipleRegisters:
        case Function::MaskWriteRegister:
            return true;
        default:
            return false;
    }
}

bool Request::IsBitRequest() const {
    switch (Code()) {
        case Function::ReadCoils:
        case Function::ReadDiscreteInputs:
        case Function::WriteSingleCoil:
        case Function::WriteMultipleCoils:
            return true;
        default:
            return false;
    }
}

Exception Decode(std::uint8_t unit, const std::uint8_t* pdu, std::size_t length, Request& request) {
    request = Request{};
    request.unit = unit;
    if (length < 1) {
        return Exception::IllegalValue;
    }
    request.function = pdu[0];
    // Every function served but the multiple writes has a fixed length; a
    // request whose implied length is wrong is exception 03 by Modbus's rules.
    switch (request.Code()) {
        case Function::ReadCoils:
        case Function::ReadDiscreteInputs:
            return length != 5 ? Exception::IllegalValue : Range(pdu, kMaxReadBits, request);
        case Function::ReadHoldingRegisters:
        case Function::ReadInputRegisters:
            return length != 5 ? Exception::IllegalValue : Range(pdu, kMaxReadRegisters, request);
        case Function::WriteSingleCoil: {
            if (length != 5) {
                return Exception::IllegalValue;
            }
            const int value = Word(pdu + 3);
            if (value != 0xFF00 && value != 0x0000) {
                return Exception::IllegalValue;
            }
            request.address = Word(pdu + 1);
            request.count = 1;
            request.values.push_back(value != 0 ? 1 : 0);
            return Exception::None;
        }
        case Function::WriteSingleRegister:
            if (length != 5) {
                return Exception::IllegalValue;
            }
            request.address = Word(pdu + 1);
            request.count = 1;
            request.values.push_back(static_cast<std::uint16_t>(Word(pdu + 3)));
            return Exception::None;
        case Function::WriteMultipleCoils: {
            const Exception e = MultipleWrite(pdu, length, kMaxWriteBits, true, request);
            for (int i = 0; e == Exception::None && i < request.count; ++i) {
                request.values.push_back((pdu[6 + i / 8] >> (i % 8)) & 1);
            }
            return e;
        }
        case Function::WriteMultipleRegisters: {
            const Exception e = MultipleWrite(pdu, length, kMaxWriteRegisters, false, request);
            for (int i = 0; e == Exception::None && i < request.count; ++i) {
                request.values.push_back(
                    static_cast<std::uint16_t>(Word(pdu + 6 + 2 * static_cast<std::size_t>(i))));
            }
            return e;
        }
        case Function::MaskWriteRegister: {
            if (length != 7) {
                return Exception::IllegalValue;
            }
            request.address = Word(pdu + 1);
            request.count = 1;
            const auto andMask = static_cast<std::uint16_t>(Word(pdu + 3));
            const auto orMask = static_cast<std::uint16_t>(Word(pdu + 5));
            // Anything but one bit would be a read-modify-write of a word that
            // another client, or the station itself, may be changing meanwhile.
            if (!SingleBit(andMask, request.bit)) {
                return Exception::IllegalValue;
            }
            request.bitValue = static_cast<std::uint16_t>((orMask >> request.bit) & 1);
            return Exception::None;
        }
    }
    return Exception::IllegalFunction;
}

}  // namespace westnet::gateway::modbus
