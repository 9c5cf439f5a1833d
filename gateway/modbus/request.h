// A Modbus TCP request as the gateway serves it: the function codes it
// answers, Modbus's own limits on counts, and the decoding of one PDU (the
// function code and what follows it) into a request or the exception that
// answers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace westnet::gateway::modbus {

// The function codes served; every other one is answered with exception 01.
enum class Function : std::uint8_t {
    ReadCoils = 0x01,
    ReadDiscreteInputs = 0x02,
    ReadHoldingRegisters = 0x03,
    ReadInputRegisters = 0x04,
    WriteSingleCoil = 0x05,
    WriteSingleRegister = 0x06,
    WriteMultipleCoils = 0x0F,
    WriteMultipleRegisters = 0x10,
    MaskWriteRegister = 0x16,
};

// Exception codes as they travel in a reply; None is no exception.
enum class Exception : std::uint8_t {
    None = 0x00,
    IllegalFunction = 0x01,
    IllegalAddress = 0x02,
    IllegalValue = 0x03,
    DeviceFailure = 0x04,
    Busy = 0x06,
    PathUnavailable = 0x0A,
    TargetFailed = 0x0B,
};

// Modbus's limits on the counts of one request.
constexpr int kMaxReadBits = 2000;       // FC 1, 2
constexpr int kMaxReadRegisters = 125;   // FC 3, 4
constexpr int kMaxWriteBits = 1968;      // FC 15
constexpr int kMaxWriteRegisters = 123;  // FC 16
constexpr int kAddressSpace = 65536;     // addresses 0 to 65535

// MBAP header: transaction id (2), protocol id (2, always 0), length (2: the
// bytes after it, unit id included), unit id (1).
constexpr std::size_t kHeaderSize = 7;
constexpr std::size_t kMaxPdu = 253;                            // function code and data
constexpr std::size_t kMaxFrame = kHeaderSize + kMaxPdu;        // 260
constexpr int kMinLengthField = 2;                              // unit id and function code
constexpr int kMaxLengthField = 1 + static_cast<int>(kMaxPdu);  // 254
static_assert(kMaxFrame == 260, "a Modbus TCP ADU is at most 260 bytes");

struct Request {
    std::uint8_t unit = 0;
    std::uint8_t function = 0;  // as received
    int address = 0;            // first register or coil
    int count = 0;              // registers or coils; 1 for the single writes
    // FC 5 and 15: the coils' states, 0 or 1, in order. FC 6 and 16: the
    // words. FC 22: none.
    std::vector<std::uint16_t> values;
    // FC 22: the one bit its masks change, and the value it becomes.
    int bit = 0;
    std::uint16_t bitValue = 0;

    Function Code() const { return static_cast<Function>(function); }
    bool IsWrite() const;
    bool IsBitRequest() const;  // coils and discrete inputs
};

// Decodes the PDU `pdu` of `length` bytes (at least the function code) sent
// to `unit`. Returns Exception::None with `request` filled, or the exception
// that answers it: 01 for a function not served; 03 for a count outside
// Modbus's limits, a byte count or PDU length that does not match, a coil
// value other than 0xFF00 and 0x0000, masks that do not change exactly one
// bit; 02 for addresses past 65535.
Exception Decode(std::uint8_t unit, const std::uint8_t* pdu, std::size_t length, Request& request);

}  // namespace westnet::gateway::modbus
