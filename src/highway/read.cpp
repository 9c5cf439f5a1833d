// Reading a register word, one bit of a register word, or a block of words
// from a station: commands 5 and 6.
#include <cstddef>
#include <cstdint>

#include "entry/commands.h"
#include "highway/frame.h"
#include "highway/transactions.h"

namespace westnet {
namespace {

// One word read exchange; the register's value on ResOk.
std::int32_t ExchangeWordRead(const DriverRequest* request, std::uint16_t* value) {
    const ChannelState& channel = *request->channel;
    Frame frame{};
    frame.bytes[0] = OP_READ_WORD;
    PutRegister(frame.bytes, PointOf(request).reg);
    std::int32_t result = SendFrame(channel, frame.bytes, FRAME_HEADER_SIZE);
    if (result != ResOk) {
        return result;
    }
    Frame reply{};
    result = ReceiveFrame(channel, reply.bytes, FRAME_HEADER_SIZE);
    if (result != ResOk) {
        return result;
    }
    *value = static_cast<std::uint16_t>(reply.bytes[3] | (reply.bytes[4] << 8));
    return ResOk;
}

}  // namespace

std::int32_t ReadWord(DriverRequest* request) {
    std::uint16_t value = 0;
    const std::int32_t result = ExchangeWordRead(request, &value);
    if (result == ResOk) {
        StoreValue(PointOf(request).values, POINT_VALUE_AT, value);
    }
    return result;
}

// The station has no bit read: the whole word is read and the bit taken here.
std::int32_t ReadBit(DriverRequest* request) {
    std::uint16_t value = 0;
    const std::int32_t result = ExchangeWordRead(request, &value);
    if (result == ResOk) {
        const unsigned bit = BitNumber(PointOf(request).bit);
        StoreValue(PointOf(request).values, POINT_VALUE_AT,
                   static_cast<std::uint16_t>((value >> bit) & 1U));
    }
    return result;
}

std::int32_t ReadBlock(DriverRequest* request) {
    const PointIo& point = PointOf(request);
    if (!BlockCountValid(point.count)) {
        return ResBad;
    }
    const ChannelState& channel = *request->channel;
    const std::uint8_t countByte = BlockCountByte(point.count);
    Frame frame{};
    frame.bytes[0] = OP_READ_BLOCK;
    PutRegister(frame.bytes, point.reg);
    frame.bytes[3] = countByte;
    std::int32_t result = SendFrame(channel, frame.bytes, FRAME_HEADER_SIZE);
    if (result != ResOk) {
        return result;
    }
    const std::size_t words = static_cast<std::size_t>(countByte) + 1;
    const std::size_t length = BlockFrameLength(static_cast<std::int32_t>(words));
    Frame reply{};
    result = ReceiveFrame(channel, reply.bytes, length);
    if (result != ResOk) {
        return result;
    }
    // The station's check byte covers every data byte, high bytes included.
    std::uint8_t check = 0;
    for (std::size_t i = FRAME_HEADER_SIZE; i < length - 1; ++i) {
        check = static_cast<std::uint8_t>(check + reply.bytes[i]);
    }
    if (check != reply.bytes[length - 1]) {
        return ResBad;
    }
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint8_t* word = reply.bytes + FRAME_HEADER_SIZE + 2 * i;
        StoreValue(point.values, 2 * i, static_cast<std::uint16_t>(word[0] | (word[1] << 8)));
    }
    return ResOk;
}

std::int32_t CmdReadPoint(DriverRequest* request) {
    return RunPointCommand(request, ReadBit, ReadWord);
}

std::int32_t CmdReadBlock(DriverRequest* request) {
    return RunBlockCommand(request, ReadBlock);
}

}  // namespace westnet
