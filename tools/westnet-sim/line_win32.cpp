// The line on Windows: a COM port (one end of a virtual null-modem pair such
// as com0com, or a real port and a cable), opened and configured with the
// Win32 serial API. Ctrl+C, Ctrl+Break and closing the console end the run
// through a console control handler, which lets the dump be written first.
#include <windows.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

#include "device_name.h"
#include "line.h"

namespace westnet::sim {
namespace {

// Reads and writes wait in slices of at most this long, so that a stop is
// seen within it even while the port holds them up.
constexpr DWORD kReadSliceMs = 20;

HANDLE g_stop = nullptr;      // manual-reset: set by the console handler
HANDLE g_finished = nullptr;  // manual-reset: set once the line is closed

BOOL WINAPI OnConsoleEvent(DWORD type) {
    SetEvent(g_stop);
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) {
        // The process ends as soon as this returns: the main thread first
        // writes the dump and closes the port (Windows allows 5 s).
        WaitForSingleObject(g_finished, 4500);
    }
    return TRUE;
}

std::string SystemText(DWORD code) {
    char text[256];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, code, 0, text, sizeof text, nullptr);
    while (length > 0 && (text[length - 1] == '\r' || text[length - 1] == '\n' ||
                          text[length - 1] == ' ' || text[length - 1] == '.')) {
        --length;
    }
    if (length == 0) {
        return "error " + std::to_string(code);
    }
    return std::string(text, length) + " (error " + std::to_string(code) + ")";
}

std::string OpenFailure(const std::string& device, DWORD code) {
    std::string text = "cannot open " + device + ": ";
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return text + "no such port; check the name in the Device Manager (Ports)";
        case ERROR_ACCESS_DENIED:
            return text + "in use by another program (the host, a terminal)";
        default:
            return text + SystemText(code);
    }
}

BYTE Parity(char parity) {
    switch (parity) {
        case 'O':
            return ODDPARITY;
        case 'E':
            return EVENPARITY;
        case 'M':
            return MARKPARITY;
        case 'S':
            return SPACEPARITY;
        default:
            return NOPARITY;
    }
}

class WinLine : public Line {
public:
    WinLine() {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        frequency_ = frequency.QuadPart;
        // Replies are paced to the millisecond; the default tick is 15.6 ms.
        timeBeginPeriod(1);
    }

    ~WinLine() override {
        if (port_ != INVALID_HANDLE_VALUE) {
            CloseHandle(port_);
        }
        timeEndPeriod(1);
        SetEvent(g_finished);
    }

    const std::string& Path() const override { return path_; }
    const std::string& Failure() const override { return failure_; }

    std::int64_t Now() const override {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return static_cast<std::int64_t>(now.QuadPart / frequency_ * 1000000000 +
                                         now.QuadPart % frequency_ * 1000000000 / frequency_);
    }

    bool Open(const Options& options, std::string& what) {
        path_ = options.device;
        port_ = CreateFileA(host::WindowsPortName(options.device).c_str(),
                            GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (port_ == INVALID_HANDLE_VALUE) {
            what = OpenFailure(options.device, GetLastError());
            return false;
        }
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(port_, &dcb)) {
            what = options.device + " is not a serial port: " + SystemText(GetLastError());
            return false;
        }
        const CharFormat& format = options.format;
        dcb.BaudRate = static_cast<DWORD>(options.baud != 0 ? options.baud : 9600);
        dcb.ByteSize = static_cast<BYTE>(format.data_bits);
        dcb.Parity = Parity(format.parity);
        dcb.StopBits = format.stop_halves == 2   ? ONESTOPBIT
                       : format.stop_halves == 3 ? ONE5STOPBITS
                                                 : TWOSTOPBITS;
        // Raw bytes, no flow control, DTR and RTS up as a station's would be.
        dcb.fBinary = TRUE;
        dcb.fParity = format.parity != 'N' ? TRUE : FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fDtrControl = DTR_CONTROL_ENABLE;
        dcb.fDsrSensitivity = FALSE;
        dcb.fTXContinueOnXoff = TRUE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fErrorChar = FALSE;
        dcb.fNull = FALSE;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
        dcb.fAbortOnError = FALSE;
        if (!SetCommState(port_, &dcb)) {
            what = options.device + " refuses the line settings (" + std::to_string(dcb.BaudRate) +
                   " baud, " + std::to_string(format.data_bits) + format.parity +
                   (format.stop_halves == 2   ? "1"
                    : format.stop_halves == 3 ? "1.5"
                                              : "2") +
                   "): " + SystemText(GetLastError());
            return false;
        }
        SetupComm(port_, 4096, 4096);
        if (!SetReadTimeout(kReadSliceMs)) {
            what = options.device + ": cannot set its time-outs: " + SystemText(GetLastError());
            return false;
        }
        PurgeComm(port_, PURGE_RXABORT | PURGE_RXCLEAR | PURGE_TXABORT | PURGE_TXCLEAR);
        return true;
    }

    Wake Wait(std::size_t want, std::int64_t deadline) override {
        while (true) {
            if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) {
                return Wake::kStop;
            }
            if (want != 0 && !pending_.empty()) {
                return Wake::kInput;
            }
            std::int64_t left = deadline == kNever ? INT64_MAX : deadline - Now();
            if (left <= 0) {
                return Wake::kDeadline;
            }
            DWORD ms = static_cast<DWORD>(std::min<std::int64_t>(left / 1000000, kReadSliceMs));
            if (want != 0) {
                // Returns once `want` bytes are there, or after `ms` with
                // what has come. (A read of "whatever is there" would wait
                // out the whole time-out under Wine.)
                std::uint8_t buffer[1024];
                DWORD got = 0;
                DWORD count = static_cast<DWORD>(std::min(want, sizeof buffer));
                if (!SetReadTimeout(ms == 0 ? 1 : ms) ||
                    !ReadFile(port_, buffer, count, &got, nullptr)) {
                    failure_ = SystemText(GetLastError());
                    return Wake::kFailed;
                }
                pending_.insert(pending_.end(), buffer, buffer + got);
            } else if (ms != 0) {
                WaitForSingleObject(g_stop, ms);
            } else {
                SwitchToThread();  // the last fraction of a millisecond
            }
        }
    }

    long Read(std::uint8_t* buffer, std::size_t size) override {
        if (pending_.empty()) {
            return 0;
        }
        std::size_t count = std::min(size, pending_.size());
        std::copy(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count), buffer);
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
        return static_cast<long>(count);
    }

    // Writes in slices of the write time-out, so that a stop is seen while
    // a line that takes nothing (a pair whose other end is closed) holds
    // the bytes back.
    Sent Write(const std::uint8_t* bytes, std::size_t length) override {
        std::int64_t give_up = Now() + kWriteStallMs * 1000000LL;
        while (length != 0) {
            if (WaitForSingleObject(g_stop, 0) == WAIT_OBJECT_0) {
                return Sent::kStopped;
            }
            DWORD put = 0;
            if (!WriteFile(port_, bytes, static_cast<DWORD>(length), &put, nullptr)) {
                failure_ = SystemText(GetLastError());
                return Sent::kFailed;
            }
            bytes += put;
            length -= put;
            if (put != 0) {
                give_up = Now() + kWriteStallMs * 1000000LL;
            } else if (Now() >= give_up) {
                return Sent::kStalled;
            }
        }
        return Sent::kOk;
    }

private:
    bool SetReadTimeout(DWORD ms) {
        if (ms == read_timeout_) {
            return true;
        }
        COMMTIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 0;
        timeouts.ReadTotalTimeoutMultiplier = 0;
        timeouts.ReadTotalTimeoutConstant = ms;
        timeouts.WriteTotalTimeoutMultiplier = 0;
        timeouts.WriteTotalTimeoutConstant = kReadSliceMs;
        if (!SetCommTimeouts(port_, &timeouts)) {
            return false;
        }
        read_timeout_ = ms;
        return true;
    }

    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::int64_t frequency_ = 1;
    std::string path_;
    std::string failure_;
    std::vector<std::uint8_t> pending_;  // read while waiting, not yet taken
    DWORD read_timeout_ = 0;
};

}  // namespace

std::string CheckLineOptions(const Options& options) {
    if (!options.link.empty()) {
        return "--link is for the pseudo-terminal of the Linux simulator; on Windows give the "
               "port with --device COMn";
    }
    if (!options.control.empty()) {
        return "--control takes a Unix-domain socket, which the Windows simulator does not make";
    }
    if (options.device.empty()) {
        return "no --device: on Windows the simulator serves a COM port, for instance one end of "
               "a virtual null-modem pair (com0com) whose other end the host opens";
    }
    return "";
}

std::unique_ptr<Line> OpenLine(const Options& options, std::string& what) {
    g_stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    g_finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (g_stop == nullptr || g_finished == nullptr ||
        !SetConsoleCtrlHandler(OnConsoleEvent, TRUE)) {
        what = "cannot watch for Ctrl+C: " + SystemText(GetLastError());
        return nullptr;
    }
    auto line = std::make_unique<WinLine>();
    if (!line->Open(options, what)) {
        return nullptr;
    }
    return line;
}

bool PutInPlace(const std::string& from, const std::string& to) {
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        return true;
    }
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : EIO;
    return false;
}

}  // namespace westnet::sim
