// The serial line layer: the only code that touches the serial device.
// It keeps no state; the handle lives in the channel and the reply time-out
// in the device's own time-out settings.
#pragma once

#include <westnet/westnet.h>
#include <westnet/wire.h>

#include <cstdint>

#include "serial/platform.h"

namespace westnet {

// The host's line parameters (the public header's record), in the platform's
// line-state codes. Note the stop-bits word comes before the parity word.
using ::LineParams;
static_assert(sizeof(LineParams) == 8, "LineParams is four 16-bit words");

// Selects how DTR and RTS are driven (see SerialOpen).
using ::ControlFlags;

// Results of the serial layer; its callers fold them into the host codes.
constexpr int SerOk = 0;
constexpr int SerOpenFailed = 1;
constexpr int SerShortWrite = 2;
constexpr int SerGetStateFailed = 4;
constexpr int SerSetStateFailed = 5;
constexpr int SerIoFailed = 7;

// Line state and queue sizes applied at open.
constexpr std::uint32_t kDcbLength = 28;
constexpr std::uint32_t kOpenReadTimeoutMs = 1000;
constexpr std::uint32_t kQueueSize = 1200;
constexpr char kErrorChar = static_cast<char>(0xFC);
// The purge drain reads in chunks of this size under this time-out (tens of ms).
constexpr std::uint32_t kDrainChunk = 512;
constexpr std::int32_t kDrainTimeout = wire::kDrainReadMs / 10;
// A line that never falls quiet must not hold a command forever.
constexpr int kDrainMaxReads = 64;

// The line counts as quiet after 3.5 character times without a byte, but
// never after less than this: timers on both platforms and the scheduling of
// a paced line make shorter gaps meaningless.
constexpr std::uint32_t kQuietFloorMs = 10;

// Milliseconds of silence that end a reply on this line: 3.5 character times
// (a start bit, the data bits, a parity bit unless there is none, the stop
// bits), rounded up, at least kQuietFloorMs. Codes as in LineParams; a rate of
// 0 says nothing about the line, so it gets the floor.
constexpr std::uint32_t QuietTimeMs(const LineParams& line) {
    const std::uint32_t halfBits =
        wire::CharacterHalfBits(line.dataBits & 0xFFU, line.parity & 0xFFU, line.stopBits & 0xFFU);
    if (line.baudRate == 0) {
        return kQuietFloorMs;
    }
    // 3.5 characters = 7 * halfBits / 4 bits; in ms at baudRate bits a second.
    const std::uint32_t denominator = 4U * line.baudRate;
    const std::uint32_t ms = (7U * halfBits * 1000U + denominator - 1U) / denominator;
    return ms > kQuietFloorMs ? ms : kQuietFloorMs;
}
static_assert(QuietTimeMs(LineParams{9600, 8, kTwoStopBits, kOddParity}) == kQuietFloorMs,
              "9600 8O2: 4.4 ms, the floor wins");
static_assert(QuietTimeMs(LineParams{300, 8, kOneStopBit, kNoParity}) == 117,
              "300 8N1: 3.5 x 33.3 ms");
static_assert(QuietTimeMs(LineParams{1200, 7, kOne5StopBits, kEvenParity}) == 31,
              "1200 7E1.5: 10.5 bits a character");
static_assert(QuietTimeMs(LineParams{1, 8, kTwoStopBits, kOddParity}) == 42000,
              "the slowest line stays within 32 bits");

// DTR and RTS modes chosen from the control flags, first match wins.
std::uint32_t DtrModeFor(ControlFlags flags);
std::uint32_t RtsModeFor(ControlFlags flags);

int SerialOpen(const char* device, const LineParams& line, ControlFlags flags, Handle* handle);
int SerialClose(Handle handle);
// Reply time-outs are in tens of milliseconds; returns the previous one, or 0.
std::int32_t SerialSetReplyTimeout(Handle handle, std::int32_t timeout);
// 0 when the input is clean, 1 when a drain read failed.
int SerialPurgeInput(Handle handle);
// True when bytes wait in the input queue, or when the device cannot say.
// One status query, nothing else: it stands in front of every request.
bool SerialInputWaiting(Handle handle);
// Reads and discards input in windows of `quietMs` until one whole window
// brings nothing, for at most the reply time-out in force (at least one
// window), then puts the device's time-outs back exactly as they were.
// 0 once the line was quiet; 1 when it never fell quiet, a read failed or the
// time-outs could not be read (then nothing is read or changed).
int SerialAwaitQuiet(Handle handle, std::uint32_t quietMs);
int SerialWrite(Handle handle, const std::uint8_t* bytes, std::uint32_t count,
                std::uint32_t* written);
int SerialReadExact(Handle handle, std::uint8_t* buffer, std::uint32_t count,
                    std::uint32_t* received);

}  // namespace westnet
