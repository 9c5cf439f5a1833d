// Frames on the WestNet II Data HighWay: a six-byte header (op code, four
// parameter bytes, additive checksum), in block transfers followed by a data
// block and its check byte. Values wider than a byte travel low byte first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entry/records.h"

namespace westnet {

constexpr std::size_t FRAME_BUFFER_SIZE = 200;
constexpr std::size_t FRAME_HEADER_SIZE = wire::kHeaderChars;
constexpr std::size_t FRAME_CHECKSUM_AT = wire::kChecksumAt;
// A block of N words makes a frame of 2N + 7 bytes; 96 words still fit.
constexpr std::int32_t BLOCK_LIMIT = wire::kBlockLimitWords;

constexpr std::uint8_t OP_READ_WORD = 0x00;
constexpr std::uint8_t OP_WRITE_WORD = 0x01;
constexpr std::uint8_t OP_WRITE_BIT = 0x03;
constexpr std::uint8_t OP_READ_BLOCK = 0x05;
constexpr std::uint8_t OP_WRITE_BLOCK = 0x07;
constexpr std::uint8_t OP_SELECT = 0x0A;

constexpr std::size_t BlockFrameLength(std::int32_t words) {
    return static_cast<std::size_t>(wire::BlockFrameChars(words));
}
static_assert(BlockFrameLength(1) == 9, "one-word block frame");
static_assert(BlockFrameLength(BLOCK_MAX) == 135, "largest checked block frame");
static_assert(BlockFrameLength(BLOCK_LIMIT) <= FRAME_BUFFER_SIZE, "96 words fit a frame");
static_assert(BlockFrameLength(BLOCK_LIMIT + 1) > FRAME_BUFFER_SIZE, "97 words do not");

// One frame as it is built or received, in a buffer of the largest size.
struct Frame {
    std::uint8_t bytes[FRAME_BUFFER_SIZE];
};

// Sum of header bytes 0-4, carries dropped.
using wire::HeaderChecksum;

// Frame lengths the primitives accept; any other is refused with ResFail
// before the line is touched.
constexpr bool FrameLengthValid(std::size_t length) {
    return length >= FRAME_HEADER_SIZE && length <= FRAME_BUFFER_SIZE;
}

// Sends `length` bytes (6 to 200) of `frame` on the channel's port after
// purging stale input; byte 5 is replaced by the header checksum. ResOk only
// when every byte went out.
std::int32_t SendFrame(const ChannelState& channel, const std::uint8_t* frame, std::size_t length);
// Reads exactly `length` bytes (6 to 200): ResFail when they do not all
// arrive, ResBad when the header checksum is wrong. On ResOk copies reply
// bytes 3 to length-1 to the same positions of `destination` (which holds
// `length` bytes; positions 0-2 are never written), else leaves it untouched.
std::int32_t ReceiveFrame(const ChannelState& channel, std::uint8_t* destination,
                          std::size_t length);
// Makes the station of the request's PointIo the selected one on the
// channel's line: up to MAX_ATTEMPTS select exchanges, the outcome recorded
// in the channel's selectedStation. ResBad for a request without channel or
// parameter block.
std::int32_t SelectStation(DriverRequest* request);

}  // namespace westnet
