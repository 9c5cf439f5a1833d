// Writing a register word, one bit of a register word, or a block of words to
// a station: commands 7 and 10. A write only reads the host's records; the
// station's six-byte acknowledgement is checked and thrown away.
#include <cstddef>
#include <cstdint>

#include "entry/commands.h"
#include "highway/frame.h"
#include "highway/transactions.h"

namespace westnet {
namespace {

// Sends a built request and awaits the acknowledgement.
std::int32_t Exchange(const ChannelState& channel, const Frame& frame, std::size_t length) {
    const std::int32_t result = SendFrame(channel, frame.bytes, length);
    if (result != ResOk) {
        return result;
    }
    Frame ack{};
    return ReceiveFrame(channel, ack.bytes, FRAME_HEADER_SIZE);
}

}  // namespace

std::int32_t WriteWord(DriverRequest* request) {
    const PointIo& point = PointOf(request);
    const std::uint16_t value = LoadValue(point.values, POINT_VALUE_AT);
    Frame frame{};
    frame.bytes[0] = OP_WRITE_WORD;
    PutRegister(frame.bytes, point.reg);
    frame.bytes[3] = static_cast<std::uint8_t>(value & 0xFFU);
    frame.bytes[4] = static_cast<std::uint8_t>(value >> 8);
    return Exchange(*request->channel, frame, FRAME_HEADER_SIZE);
}

// Only the value's lowest bit travels: 1 sets the bit, 0 clears it.
std::int32_t WriteBit(DriverRequest* request) {
    const PointIo& point = PointOf(request);
    const std::uint16_t value = LoadValue(point.values, POINT_VALUE_AT);
    Frame frame{};
    frame.bytes[0] = OP_WRITE_BIT;
    PutRegister(frame.bytes, point.reg);
    frame.bytes[3] = static_cast<std::uint8_t>(BitNumber(point.bit) | ((value & 1U) << 4));
    return Exchange(*request->channel, frame, FRAME_HEADER_SIZE);
}

std::int32_t WriteBlock(DriverRequest* request) {
    const PointIo& point = PointOf(request);
    if (!BlockCountValid(point.count)) {
        return ResBad;
    }
    const std::uint8_t countByte = BlockCountByte(point.count);
    const std::size_t words = static_cast<std::size_t>(countByte) + 1;
    const std::size_t length = BlockFrameLength(static_cast<std::int32_t>(words));
    Frame frame{};
    frame.bytes[0] = OP_WRITE_BLOCK;
    PutRegister(frame.bytes, point.reg);
    frame.bytes[3] = countByte;
    // The stations check a written block by its low bytes alone.
    std::uint8_t check = 0;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t value = LoadValue(point.values, 2 * i);
        const auto low = static_cast<std::uint8_t>(value & 0xFFU);
        check = static_cast<std::uint8_t>(check + low);
        frame.bytes[FRAME_HEADER_SIZE + 2 * i] = low;
        frame.bytes[FRAME_HEADER_SIZE + 2 * i + 1] = static_cast<std::uint8_t>(value >> 8);
    }
    frame.bytes[length - 1] = check;
    return Exchange(*request->channel, frame, length);
}

// A lost acknowledgement means the station may get the same write twice; a
// repeated write of the same value is harmless.
std::int32_t CmdWritePoint(DriverRequest* request) {
    return RunPointCommand(request, WriteBit, WriteWord);
}

std::int32_t CmdWriteBlock(DriverRequest* request) {
    return RunBlockCommand(request, WriteBlock);
}

}  // namespace westnet
