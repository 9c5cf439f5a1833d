// Sending and receiving one frame, and selecting a station on the highway.
// Each primitive builds the frame in a zeroed buffer of its own, so nothing
// of an earlier frame or of the caller's scratch bytes reaches the line.
#include "highway/frame.h"

#include <cstring>

#include "serial/serial.h"

namespace westnet {

std::int32_t SendFrame(const ChannelState& channel, const std::uint8_t* frame, std::size_t length) {
    if (frame == nullptr || !FrameLengthValid(length)) {
        return ResFail;
    }
    Frame out{};
    std::memcpy(out.bytes, frame, FRAME_CHECKSUM_AT);
    // Whatever the caller left at the checksum position, the real sum goes out.
    out.bytes[FRAME_CHECKSUM_AT] = HeaderChecksum(out.bytes);
    if (length > FRAME_HEADER_SIZE) {
        std::memcpy(out.bytes + FRAME_HEADER_SIZE, frame + FRAME_HEADER_SIZE,
                    length - FRAME_HEADER_SIZE);
    }
    // A late reply to an earlier request must not be taken for the answer to
    // this one. On a quiet line this is one status query. When something is
    // waiting, it is a reply still on its way: a drain that stopped while it
    // arrived would leave its tail to be read as the head of the next reply,
    // and once that shift reaches a whole frame every reply passes its
    // checksum one request late. So the input is discarded until the line
    // has fallen quiet. Neither result stops the send: the request goes out
    // either way.
    if (SerialInputWaiting(channel.port)) {
        static_cast<void>(SerialAwaitQuiet(channel.port, QuietTimeMs(channel.settings.line)));
    }
    std::uint32_t written = 0;
    const int result =
        SerialWrite(channel.port, out.bytes, static_cast<std::uint32_t>(length), &written);
    return result == SerOk && written == length ? ResOk : ResFail;
}

std::int32_t ReceiveFrame(const ChannelState& channel, std::uint8_t* destination,
                          std::size_t length) {
    if (destination == nullptr || !FrameLengthValid(length)) {
        return ResFail;
    }
    Frame in{};
    std::uint32_t received = 0;
    const int result =
        SerialReadExact(channel.port, in.bytes, static_cast<std::uint32_t>(length), &received);
    std::int32_t failure = ResOk;
    if (result != SerOk || received != length) {
        failure = ResFail;
    } else if (HeaderChecksum(in.bytes) != in.bytes[FRAME_CHECKSUM_AT]) {
        failure = ResBad;
    }
    if (failure != ResOk) {
        // Out of step, cut short or late: the rest of this reply, or all of
        // it, may still be on its way. The next request waits until it has
        // passed, or it would read it as its own answer.
        static_cast<void>(SerialAwaitQuiet(channel.port, QuietTimeMs(channel.settings.line)));
        return failure;
    }
    // Bytes 0-2 (op code and echo) mean nothing to any caller; from byte 3 on
    // the reply carries values, the checksum and any data block.
    constexpr std::size_t kFirstCopied = 3;
    std::memcpy(destination + kFirstCopied, in.bytes + kFirstCopied, length - kFirstCopied);
    return ResOk;
}

std::int32_t SelectStation(DriverRequest* request) {
    if (request == nullptr || request->channel == nullptr || request->params == nullptr) {
        return ResBad;
    }
    ChannelState& channel = *request->channel;
    const std::int32_t station = static_cast<const PointIo*>(request->params)->station;

    if (station == static_cast<std::int32_t>(channel.selectedStation)) {
        return ResOk;
    }
    // 0 and 255 are never selected on the line: they are only recorded.
    if (station == 0 || station == STATION_NONE) {
        channel.selectedStation = static_cast<std::uint8_t>(station);
        return ResOk;
    }

    const auto stationByte = static_cast<std::uint8_t>(station & 0xFF);
    Frame select{};
    select.bytes[0] = OP_SELECT;
    select.bytes[1] = stationByte;
    Frame reply{};
    std::int32_t result = ResFail;
    for (int attempt = 0; attempt < MAX_ATTEMPTS; ++attempt) {
        // A line that cannot take a frame will not take the next one either;
        // what was selected before is still what the stations believe.
        if (SendFrame(channel, select.bytes, FRAME_HEADER_SIZE) != ResOk) {
            return ResFail;
        }
        result = ReceiveFrame(channel, reply.bytes, FRAME_HEADER_SIZE);
        if (result == ResOk) {
            channel.selectedStation = stationByte;
            return ResOk;
        }
    }
    // Nobody knows which station now listens: the next command selects anew.
    channel.selectedStation = STATION_NONE;
    return result;
}

}  // namespace westnet
