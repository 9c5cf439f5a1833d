// The read and write transactions behind commands 5, 6, 7 and 10, and the
// helpers they share. A transaction is one request frame and one reply; the
// commands select the station first and retry whole transactions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "entry/records.h"
#include "highway/frame.h"

namespace westnet {

// Each takes a request whose channel and PointIo are present (the commands
// check that) and returns ResOk, ResBad or ResFail. The reads store into the
// value buffer only when the reply passed every check; the writes never
// store anywhere.
std::int32_t ReadWord(DriverRequest* request);
std::int32_t ReadBit(DriverRequest* request);
std::int32_t ReadBlock(DriverRequest* request);  // ResBad for a count outside 1..BLOCK_LIMIT
std::int32_t WriteWord(DriverRequest* request);
std::int32_t WriteBit(DriverRequest* request);
std::int32_t WriteBlock(DriverRequest* request);  // ResBad for a count outside 1..BLOCK_LIMIT

using Transaction = std::int32_t (*)(DriverRequest* request);

// The shape every read and write command shares: check the request, select
// the point's station, then make up to MAX_ATTEMPTS whole transactions and
// answer with the last one's result. A point command runs `bit` or `word` by
// the point's kind; a block command runs `block`.
std::int32_t RunPointCommand(DriverRequest* request, Transaction bit, Transaction word);
std::int32_t RunBlockCommand(DriverRequest* request, Transaction block);

// A single point's value sits at byte 2 of the host's value buffer.
constexpr std::size_t POINT_VALUE_AT = 2;

inline const PointIo& PointOf(const DriverRequest* request) {
    return *static_cast<const PointIo*>(request->params);
}

// Counts whose frames fit the frame buffer: larger ones are refused rather
// than cut down to what the count byte can carry.
constexpr bool BlockCountValid(std::int32_t count) {
    return count >= 1 && count <= BLOCK_LIMIT;
}

// The count byte of a block request: the count's low byte minus 1, 8 bits.
inline std::uint8_t BlockCountByte(std::int32_t count) {
    return static_cast<std::uint8_t>((static_cast<std::uint32_t>(count) & 0xFFU) - 1U);
}

// Bytes 1 and 2 of every request: the register's low 16 bits, low byte first.
inline void PutRegister(std::uint8_t* frame, std::int32_t reg) {
    const auto value = static_cast<std::uint32_t>(reg);
    frame[1] = static_cast<std::uint8_t>(value & 0xFFU);
    frame[2] = static_cast<std::uint8_t>((value >> 8) & 0xFFU);
}

// Bit numbers travel in four bits; whatever the field holds, only those count.
inline unsigned BitNumber(std::int32_t bit) {
    return static_cast<unsigned>(bit) & 0x0FU;
}

// The host's value buffer has no alignment promise: 16-bit values are copied
// in and out bytewise, in the host's own representation.
inline std::uint16_t LoadValue(const void* values, std::size_t offset) {
    std::uint16_t value = 0;
    std::memcpy(&value, static_cast<const std::uint8_t*>(values) + offset, sizeof value);
    return value;
}
inline void StoreValue(void* values, std::size_t offset, std::uint16_t value) {
    std::memcpy(static_cast<std::uint8_t*>(values) + offset, &value, sizeof value);
}

}  // namespace westnet
