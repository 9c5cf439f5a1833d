// The platform's serial services over the real Win32 API: each entry converts
// the driver's records to the Win32 ones field by field and calls its namesake.
#include <windows.h>

#include "serial/platform.h"

namespace westnet {
namespace {

static_assert(sizeof(DCB) == 28, "the line state record is 28 bytes on the target");
static_assert(sizeof(Handle) >= sizeof(HANDLE), "a device handle fits the driver's handle");

// The host keeps the handle as a 32-bit number in ChannelState, so it has to
// become a pointer again here.
HANDLE ToWin(Handle handle) {
    return reinterpret_cast<HANDLE>(handle);  // NOLINT(performance-no-int-to-ptr)
}

Handle FromWin(HANDLE handle) {
    return reinterpret_cast<Handle>(handle);
}

void ToDcb(const CommState& s, DCB* d) {
    d->DCBlength = s.DCBlength;
    d->BaudRate = s.BaudRate;
    d->fBinary = s.fBinary & 1U;
    d->fParity = s.fParity & 1U;
    d->fOutxCtsFlow = s.fOutxCtsFlow & 1U;
    d->fOutxDsrFlow = s.fOutxDsrFlow & 1U;
    d->fDtrControl = s.fDtrControl & 3U;
    d->fDsrSensitivity = s.fDsrSensitivity & 1U;
    d->fTXContinueOnXoff = s.fTXContinueOnXoff & 1U;
    d->fOutX = s.fOutX & 1U;
    d->fInX = s.fInX & 1U;
    d->fErrorChar = s.fErrorChar & 1U;
    d->fNull = s.fNull & 1U;
    d->fRtsControl = s.fRtsControl & 3U;
    d->fAbortOnError = s.fAbortOnError & 1U;
    d->fDummy2 = s.fDummy2 & 0x1FFFFU;
    d->wReserved = s.wReserved;
    d->XonLim = s.XonLim;
    d->XoffLim = s.XoffLim;
    d->ByteSize = s.ByteSize;
    d->Parity = s.Parity;
    d->StopBits = s.StopBits;
    d->XonChar = s.XonChar;
    d->XoffChar = s.XoffChar;
    d->ErrorChar = s.ErrorChar;
    d->EofChar = s.EofChar;
    d->EvtChar = s.EvtChar;
    d->wReserved1 = s.wReserved1;
}

void FromDcb(const DCB& d, CommState* s) {
    s->DCBlength = d.DCBlength;
    s->BaudRate = d.BaudRate;
    s->fBinary = d.fBinary;
    s->fParity = d.fParity;
    s->fOutxCtsFlow = d.fOutxCtsFlow;
    s->fOutxDsrFlow = d.fOutxDsrFlow;
    s->fDtrControl = d.fDtrControl;
    s->fDsrSensitivity = d.fDsrSensitivity;
    s->fTXContinueOnXoff = d.fTXContinueOnXoff;
    s->fOutX = d.fOutX;
    s->fInX = d.fInX;
    s->fErrorChar = d.fErrorChar;
    s->fNull = d.fNull;
    s->fRtsControl = d.fRtsControl;
    s->fAbortOnError = d.fAbortOnError;
    s->fDummy2 = d.fDummy2;
    s->wReserved = d.wReserved;
    s->XonLim = d.XonLim;
    s->XoffLim = d.XoffLim;
    s->ByteSize = d.ByteSize;
    s->Parity = d.Parity;
    s->StopBits = d.StopBits;
    s->XonChar = d.XonChar;
    s->XoffChar = d.XoffChar;
    s->ErrorChar = d.ErrorChar;
    s->EofChar = d.EofChar;
    s->EvtChar = d.EvtChar;
    s->wReserved1 = d.wReserved1;
}

Handle WinCreateFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                     std::uint32_t creation, std::uint32_t flagsAndAttributes) {
    return FromWin(
        ::CreateFileA(name, access, shareMode, nullptr, creation, flagsAndAttributes, nullptr));
}

int WinCloseHandle(Handle handle) {
    return ::CloseHandle(ToWin(handle)) != 0 ? 1 : 0;
}

int WinGetCommState(Handle handle, CommState* state) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = state->DCBlength;
    if (::GetCommState(ToWin(handle), &dcb) == 0) {
        return 0;
    }
    FromDcb(dcb, state);
    return 1;
}

int WinSetCommState(Handle handle, const CommState* state) {
    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    ToDcb(*state, &dcb);
    return ::SetCommState(ToWin(handle), &dcb) != 0 ? 1 : 0;
}

int WinGetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    COMMTIMEOUTS t;
    if (::GetCommTimeouts(ToWin(handle), &t) == 0) {
        return 0;
    }
    timeouts->ReadIntervalTimeout = t.ReadIntervalTimeout;
    timeouts->ReadTotalTimeoutMultiplier = t.ReadTotalTimeoutMultiplier;
    timeouts->ReadTotalTimeoutConstant = t.ReadTotalTimeoutConstant;
    timeouts->WriteTotalTimeoutMultiplier = t.WriteTotalTimeoutMultiplier;
    timeouts->WriteTotalTimeoutConstant = t.WriteTotalTimeoutConstant;
    return 1;
}

int WinSetCommTimeouts(Handle handle, const CommTimeouts* timeouts) {
    COMMTIMEOUTS t;
    t.ReadIntervalTimeout = timeouts->ReadIntervalTimeout;
    t.ReadTotalTimeoutMultiplier = timeouts->ReadTotalTimeoutMultiplier;
    t.ReadTotalTimeoutConstant = timeouts->ReadTotalTimeoutConstant;
    t.WriteTotalTimeoutMultiplier = timeouts->WriteTotalTimeoutMultiplier;
    t.WriteTotalTimeoutConstant = timeouts->WriteTotalTimeoutConstant;
    return ::SetCommTimeouts(ToWin(handle), &t) != 0 ? 1 : 0;
}

int WinSetupComm(Handle handle, std::uint32_t inQueue, std::uint32_t outQueue) {
    return ::SetupComm(ToWin(handle), inQueue, outQueue) != 0 ? 1 : 0;
}

int WinClearCommError(Handle handle, std::uint32_t* errors, CommStatus* status) {
    DWORD flags = 0;
    COMSTAT stat;
    ZeroMemory(&stat, sizeof stat);
    if (::ClearCommError(ToWin(handle), &flags, &stat) == 0) {
        return 0;
    }
    if (errors != nullptr) {
        *errors = flags;
    }
    if (status != nullptr) {
        status->cbInQue = stat.cbInQue;
        status->cbOutQue = stat.cbOutQue;
    }
    return 1;
}

// Without overlapped I/O the count pointers are mandatory, so a local one
// stands in when the caller gives none.
int WinReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got) {
    DWORD n = 0;
    const BOOL ok = ::ReadFile(ToWin(handle), buffer, count, &n, nullptr);
    if (got != nullptr) {
        *got = n;
    }
    return ok != 0 ? 1 : 0;
}

int WinWriteFile(Handle handle, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    DWORD n = 0;
    const BOOL ok = ::WriteFile(ToWin(handle), buffer, count, &n, nullptr);
    if (written != nullptr) {
        *written = n;
    }
    return ok != 0 ? 1 : 0;
}

const Platform kWin32 = {
    WinCreateFile,      WinCloseHandle, WinGetCommState,   WinSetCommState, WinGetCommTimeouts,
    WinSetCommTimeouts, WinSetupComm,   WinClearCommError, WinReadFile,     WinWriteFile,
};

}  // namespace

const Platform& ActivePlatform() {
    return kWin32;
}

}  // namespace westnet
