// The serial line layer. Every device service goes through ActivePlatform(),
// so the same code drives a Win32 port, a POSIX tty or the scripted fake.
#include "serial/serial.h"

#include <cstring>

namespace westnet {
namespace {

// The largest reply time-out whose value in milliseconds still fits a signed
// 32-bit word, itself a whole number of tens of milliseconds, so a value read
// back and divided by ten gives the same reply time-out again.
constexpr std::int32_t kMaxReplyTimeout = 214748364;  // 2147483640 ms

bool IsNullDevice(const char* device) {
    return std::strcmp(device, "NUL") == 0;
}

// The line state the driver wants, over the one the device reported: only the
// fields named here change, every other field stays the device's own.
void ApplyLine(CommState* state, const LineParams& line, ControlFlags flags) {
    state->BaudRate = line.baudRate;
    state->fBinary = 1;
    state->fParity = 1;
    state->fOutxCtsFlow = 0;
    state->fOutxDsrFlow = 0;
    state->fDtrControl = DtrModeFor(flags);
    state->fDsrSensitivity = 0;
    state->fOutX = 0;
    state->fInX = 0;
    state->fErrorChar = 0;
    state->fNull = 0;
    state->fRtsControl = RtsModeFor(flags);
    state->fAbortOnError = 0;
    state->ByteSize = static_cast<std::uint8_t>(line.dataBits & 0xFFU);
    state->Parity = static_cast<std::uint8_t>(line.parity & 0xFFU);
    state->StopBits = static_cast<std::uint8_t>(line.stopBits & 0xFFU);
    state->ErrorChar = kErrorChar;
}

// Closes a device whose open failed half way; the caller reports the failure
// that led here, whatever the close answers.
int CloseAfterFailure(Handle handle, int result) {
    ActivePlatform().CloseHandle(handle);
    return result;
}

}  // namespace

std::uint32_t DtrModeFor(ControlFlags flags) {
    if ((flags & 0x0101U) != 0) {
        return kDtrEnable;
    }
    if ((flags & 0x8000U) != 0) {
        return kDtrHandshake;
    }
    return kDtrDisable;
}

std::uint32_t RtsModeFor(ControlFlags flags) {
    if ((flags & 0x0202U) != 0) {
        return kRtsEnable;
    }
    if ((flags & 0x1000U) != 0) {
        return kRtsHandshake;
    }
    if ((flags & 0x2000U) != 0) {
        return kRtsToggle;
    }
    return kRtsDisable;
}

int SerialOpen(const char* device, const LineParams& line, ControlFlags flags, Handle* handle) {
    if (device == nullptr || handle == nullptr) {
        // Without a name there is nothing to open; without a place for the
        // handle an opened device could never be closed again.
        if (handle != nullptr) {
            *handle = kInvalidHandle;
        }
        return SerOpenFailed;
    }
    const Platform& platform = ActivePlatform();
    const Handle opened = platform.CreateFileA(device, kGenericRead | kGenericWrite, 0,
                                               kOpenExisting, kFileAttributeNormal);
    *handle = opened;
    if (opened == kInvalidHandle) {
        return SerOpenFailed;
    }
    if (IsNullDevice(device)) {
        return SerOk;  // the null device has no line to configure
    }

    CommState state;
    state.DCBlength = kDcbLength;
    if (platform.GetCommState(opened, &state) == 0) {
        return CloseAfterFailure(opened, SerGetStateFailed);
    }

    CommTimeouts timeouts;
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = kOpenReadTimeoutMs;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = 0;
    if (platform.SetCommTimeouts(opened, &timeouts) == 0) {
        return CloseAfterFailure(opened, SerOpenFailed);
    }

    ApplyLine(&state, line, flags);
    if (platform.SetCommState(opened, &state) == 0) {
        return CloseAfterFailure(opened, SerSetStateFailed);
    }

    // The platform's own queue sizes serve as well if this is refused.
    platform.SetupComm(opened, kQueueSize, kQueueSize);
    return SerOk;
}

int SerialClose(Handle handle) {
    return ActivePlatform().CloseHandle(handle) != 0 ? SerOk : SerIoFailed;
}

std::int32_t SerialSetReplyTimeout(Handle handle, std::int32_t timeout) {
    const Platform& platform = ActivePlatform();
    CommTimeouts timeouts;
    if (platform.GetCommTimeouts(handle, &timeouts) == 0) {
        return 0;
    }
    const std::uint32_t previous = timeouts.ReadTotalTimeoutConstant;
    // A time-out below one would be written as 0 (wait forever) or as a
    // negative count that the device reads as weeks: the line keeps the one
    // it has, and the caller learns what that is.
    if (timeout >= 1) {
        if (timeout > kMaxReplyTimeout) {
            timeout = kMaxReplyTimeout;
        }
        const std::uint32_t wanted = static_cast<std::uint32_t>(timeout) * 10U;
        if (previous != wanted) {
            timeouts.ReadTotalTimeoutConstant = wanted;
            if (platform.SetCommTimeouts(handle, &timeouts) == 0) {
                return 0;
            }
        }
    }
    return static_cast<std::int32_t>(previous / 10U);
}

bool SerialInputWaiting(Handle handle) {
    std::uint32_t errors = 0;
    CommStatus status;
    return ActivePlatform().ClearCommError(handle, &errors, &status) == 0 || status.cbInQue != 0;
}

int SerialPurgeInput(Handle handle) {
    if (!SerialInputWaiting(handle)) {
        return 0;  // nothing waiting: no read, no time-out change
    }

    const Platform& platform = ActivePlatform();
    const std::int32_t saved = SerialSetReplyTimeout(handle, kDrainTimeout);
    std::uint8_t scratch[kDrainChunk];
    bool failed = false;
    // Each read ends after the short drain time-out at the latest; the drain
    // ends with the first window that brings less than a full chunk, or after
    // a bounded number of full chunks on a line that never falls quiet.
    for (int reads = 0; reads < kDrainMaxReads; ++reads) {
        std::uint32_t got = 0;
        if (platform.ReadFile(handle, scratch, kDrainChunk, &got) == 0) {
            failed = true;
            break;
        }
        if (got != kDrainChunk) {
            break;
        }
    }
    if (saved != 0) {
        SerialSetReplyTimeout(handle, saved);
    }
    return failed ? 1 : 0;
}

int SerialAwaitQuiet(Handle handle, std::uint32_t quietMs) {
    const Platform& platform = ActivePlatform();
    CommTimeouts saved;
    if (platform.GetCommTimeouts(handle, &saved) == 0) {
        return 1;  // they could not be put back: leave them alone
    }
    // The reply time-out bounds the wait, so a line that never falls quiet
    // costs a command at most one more reply time-out per failed attempt.
    const std::uint32_t limitMs = saved.ReadTotalTimeoutConstant;
    if (quietMs == 0 || (limitMs != 0 && quietMs > limitMs)) {
        quietMs = limitMs != 0 ? limitMs : kQuietFloorMs;
    }
    const std::uint32_t windows = limitMs / quietMs > 1 ? limitMs / quietMs : 1;

    CommTimeouts window = saved;
    window.ReadIntervalTimeout = 0;
    window.ReadTotalTimeoutMultiplier = 0;
    window.ReadTotalTimeoutConstant = quietMs;
    if (platform.SetCommTimeouts(handle, &window) == 0) {
        return 1;
    }
    std::uint8_t scratch[kDrainChunk];
    int result = 1;
    for (std::uint32_t read = 0; read < windows; ++read) {
        std::uint32_t got = 0;
        if (platform.ReadFile(handle, scratch, kDrainChunk, &got) == 0) {
            break;
        }
        if (got == 0) {
            result = 0;  // a whole window without a byte: whatever was on its way has ended
            break;
        }
    }
    platform.SetCommTimeouts(handle, &saved);
    return result;
}

int SerialWrite(Handle handle, const std::uint8_t* bytes, std::uint32_t count,
                std::uint32_t* written) {
    std::uint32_t done = 0;
    if (ActivePlatform().WriteFile(handle, bytes, count, &done) == 0) {
        return SerIoFailed;
    }
    if (written != nullptr) {
        *written = done;
    }
    return done == count ? SerOk : SerShortWrite;
}

int SerialReadExact(Handle handle, std::uint8_t* buffer, std::uint32_t count,
                    std::uint32_t* received) {
    const Platform& platform = ActivePlatform();
    if (received != nullptr) {
        *received = 0;
    }
    std::uint32_t total = 0;
    do {
        // Counts are 16-bit on the wire side of the layer.
        const std::uint32_t ask = (count - total) & 0xFFFFU;
        std::uint32_t got = 0;
        if (platform.ReadFile(handle, buffer + total, ask, &got) == 0) {
            return SerIoFailed;
        }
        if (got == 0) {
            return SerIoFailed;  // the reply time-out passed in silence
        }
        if (got > ask) {
            return SerIoFailed;  // more than asked: the count cannot be trusted
        }
        total += got;
        if (received != nullptr) {
            *received = total;
        }
    } while (total < count);
    return SerOk;
}

}  // namespace westnet
