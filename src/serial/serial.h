// The serial line layer: the only code that touches the serial device.
// It keeps no state; the handle lives in the channel and the reply time-out
// in the device's own time-out settings.
#pragma once

#include <cstdint>

#include "serial/platform.h"

namespace westnet {

// The host's line parameters, in the platform's line-state codes. Note the
// stop-bits word comes before the parity word.
struct LineParams {
    std::uint16_t baudRate;
    std::uint16_t dataBits;
    std::uint16_t stopBits;
    std::uint16_t parity;
};
static_assert(sizeof(LineParams) == 8, "LineParams is four 16-bit words");

// Selects how DTR and RTS are driven (see SerialOpen).
using ControlFlags = std::uint16_t;

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
constexpr std::int32_t kDrainTimeout = 5;
// A line that never falls quiet must not hold a command forever.
constexpr int kDrainMaxReads = 64;

// DTR and RTS modes chosen from the control flags, first match wins.
std::uint32_t DtrModeFor(ControlFlags flags);
std::uint32_t RtsModeFor(ControlFlags flags);

int SerialOpen(const char* device, const LineParams& line, ControlFlags flags, Handle* handle);
int SerialClose(Handle handle);
// Reply time-outs are in tens of milliseconds; returns the previous one, or 0.
std::int32_t SerialSetReplyTimeout(Handle handle, std::int32_t timeout);
// 0 when the input is clean, 1 when a drain read failed.
int SerialPurgeInput(Handle handle);
int SerialWrite(Handle handle, const std::uint8_t* bytes, std::uint32_t count,
                std::uint32_t* written);
int SerialReadExact(Handle handle, std::uint8_t* buffer, std::uint32_t count,
                    std::uint32_t* received);

}  // namespace westnet
