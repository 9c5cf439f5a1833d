// The handful of Win32 file and communications services the serial line layer
// needs, as one table of functions. Exactly one implementation is linked into
// each binary: the real Win32 API (the DLL), a POSIX termios stand-in (Linux)
// or a scripted fake (unit tests). The layer itself never knows which.
#pragma once

#include <westnet/wire.h>

#include <cstdint>

namespace westnet {

// A device handle as the host stores it in ChannelState: 32 bits on the
// shipped DLL, pointer-sized elsewhere. 0 means "no device open".
using Handle = std::uintptr_t;
constexpr Handle kInvalidHandle = ~static_cast<Handle>(0);

// CreateFileA arguments the layer passes; the values are Win32's own.
constexpr std::uint32_t kGenericRead = 0x80000000U;
constexpr std::uint32_t kGenericWrite = 0x40000000U;
constexpr std::uint32_t kOpenExisting = 3;
constexpr std::uint32_t kFileAttributeNormal = 0x80;

// DTR and RTS control modes, Win32's values (DTR_CONTROL_*, RTS_CONTROL_*).
// Prefixed names: <windows.h> defines the originals as macros.
constexpr std::uint32_t kDtrDisable = 0;
constexpr std::uint32_t kDtrEnable = 1;
constexpr std::uint32_t kDtrHandshake = 2;
constexpr std::uint32_t kRtsDisable = 0;
constexpr std::uint32_t kRtsEnable = 1;
constexpr std::uint32_t kRtsHandshake = 2;
constexpr std::uint32_t kRtsToggle = 3;

// Stop-bits and parity codes of the line state, Win32's values.
constexpr std::uint8_t kOneStopBit = 0;
constexpr std::uint8_t kOne5StopBits = 1;
constexpr std::uint8_t kTwoStopBits = 2;
constexpr std::uint8_t kNoParity = 0;
constexpr std::uint8_t kOddParity = 1;
constexpr std::uint8_t kEvenParity = 2;
constexpr std::uint8_t kMarkParity = 3;
constexpr std::uint8_t kSpaceParity = 4;
static_assert(kOneStopBit == wire::kOneStopBit && kOne5StopBits == wire::kOne5StopBits &&
                  kTwoStopBits == wire::kTwoStopBits && kNoParity == wire::kNoParity,
              "the line codes programs plan with");

// The line state, field for field as Win32's DCB (28 bytes there). Plain
// members instead of bit-fields: each implementation converts to its own.
struct CommState {
    std::uint32_t DCBlength = 0;
    std::uint32_t BaudRate = 0;
    std::uint32_t fBinary = 0;
    std::uint32_t fParity = 0;
    std::uint32_t fOutxCtsFlow = 0;
    std::uint32_t fOutxDsrFlow = 0;
    std::uint32_t fDtrControl = 0;
    std::uint32_t fDsrSensitivity = 0;
    std::uint32_t fTXContinueOnXoff = 0;
    std::uint32_t fOutX = 0;
    std::uint32_t fInX = 0;
    std::uint32_t fErrorChar = 0;
    std::uint32_t fNull = 0;
    std::uint32_t fRtsControl = 0;
    std::uint32_t fAbortOnError = 0;
    std::uint32_t fDummy2 = 0;
    std::uint16_t wReserved = 0;
    std::uint16_t XonLim = 0;
    std::uint16_t XoffLim = 0;
    std::uint8_t ByteSize = 0;
    std::uint8_t Parity = 0;
    std::uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    std::uint16_t wReserved1 = 0;
};

// Win32's COMMTIMEOUTS, in milliseconds.
struct CommTimeouts {
    std::uint32_t ReadIntervalTimeout = 0;
    std::uint32_t ReadTotalTimeoutMultiplier = 0;
    std::uint32_t ReadTotalTimeoutConstant = 0;
    std::uint32_t WriteTotalTimeoutMultiplier = 0;
    std::uint32_t WriteTotalTimeoutConstant = 0;
};

// The part of Win32's COMSTAT the layer uses.
struct CommStatus {
    std::uint32_t cbInQue = 0;
    std::uint32_t cbOutQue = 0;
};

// Every function answers as its Win32 namesake: non-zero for success
// (CreateFileA: the handle, or kInvalidHandle).
struct Platform {
    Handle (*CreateFileA)(const char* name, std::uint32_t access, std::uint32_t shareMode,
                          std::uint32_t creation, std::uint32_t flagsAndAttributes);
    int (*CloseHandle)(Handle handle);
    int (*GetCommState)(Handle handle, CommState* state);
    int (*SetCommState)(Handle handle, const CommState* state);
    int (*GetCommTimeouts)(Handle handle, CommTimeouts* timeouts);
    int (*SetCommTimeouts)(Handle handle, const CommTimeouts* timeouts);
    int (*SetupComm)(Handle handle, std::uint32_t inQueue, std::uint32_t outQueue);
    int (*ClearCommError)(Handle handle, std::uint32_t* errors, CommStatus* status);
    int (*ReadFile)(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got);
    int (*WriteFile)(Handle handle, const void* buffer, std::uint32_t count,
                     std::uint32_t* written);
};

// Defined by the one platform implementation linked into the binary.
const Platform& ActivePlatform();

// The POSIX stand-in's table (Linux builds), which its ActivePlatform()
// returns: a program that links its own ActivePlatform() instead (a tap
// that logs every byte of the line) passes the calls on to it.
const Platform& PosixPlatform();

}  // namespace westnet
