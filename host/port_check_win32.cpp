// Windows: the port check with the services the driver's open uses itself,
// CreateFileA, GetCommState and SetCommState, in its order. Windows does not
// say which process holds a port.
#include <windows.h>

#include "device_name.h"
#include "port_check.h"

namespace westnet::host {
namespace {

std::string ErrorText(DWORD code) {
    char text[256] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() &&
           (message.back() == '\n' || message.back() == '\r' || message.back() == ' ')) {
        message.pop_back();
    }
    return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}

// The COM ports this machine knows, so a mistyped name can be corrected.
std::string PortsPresent() {
    std::string ports;
    char target[512];
    for (int n = 1; n <= 256; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (QueryDosDeviceA(name.c_str(), target, sizeof target) != 0) {
            ports += " " + name;
        }
    }
    return ports.empty() ? "no COM port is present" : "COM ports present:" + ports;
}

// Folders and files refuse an open for reading and writing too; a port has
// no attributes in the file system.
bool IsFileSystemObject(const std::string& path, OpenFailure& f) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    f.reason = OpenFailureReason::NotSerialDevice;
    f.summary =
        "not a serial device: " + path +
        ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? " is a folder"
                                                      : " is a file that may not be written");
    return true;
}

void Explain(DWORD code, OpenFailure& f) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            f.reason = OpenFailureReason::NoSuchDevice;
            f.summary = "no such device: " + f.path + " does not exist (" + ErrorText(code) + ")";
            f.details.push_back(PortsPresent());
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            if (IsFileSystemObject(f.path, f)) {
                break;
            }
            // A port that another program has open answers "access denied".
            f.reason = OpenFailureReason::Held;
            f.summary =
                "held by another program: " + f.path + " is in use (" + ErrorText(code) + ")";
            f.details.emplace_back(
                "Windows does not say which program: close terminals, other hosts and "
                "modem software that may have it open (or this account may not use it)");
            break;
        case ERROR_GEN_FAILURE:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_NOT_READY:
        case ERROR_BAD_UNIT:
            f.reason = OpenFailureReason::DeviceGone;
            f.summary = "device gone: " + f.path + " does not answer (" + ErrorText(code) + ")";
            f.details.emplace_back("an adapter that was unplugged, or its driver stopped");
            break;
        default:
            f.reason = OpenFailureReason::Unknown;
            f.summary = "the system refused to open " + f.path + ": " + ErrorText(code);
            break;
    }
}

}  // namespace

OpenFailure DiagnoseOpen(const std::string& device, const LineParams& line) {
    OpenFailure f;
    // COM10 and above open only under the device namespace name.
    f.path = WindowsPortName(device);
    if (device.empty()) {
        f.reason = OpenFailureReason::NoSuchDevice;
        f.summary = "no device name given";
        return f;
    }
    HANDLE port = CreateFileA(f.path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (port == INVALID_HANDLE_VALUE) {
        Explain(GetLastError(), f);
        return f;
    }
    DCB original{};
    original.DCBlength = sizeof original;
    if (device == "NUL") {
        f.reason = OpenFailureReason::None;
        f.summary = "NUL opens (the null device has no line)";
    } else if (GetCommState(port, &original) == 0) {
        f.reason = OpenFailureReason::NotSerialDevice;
        f.summary = "not a serial device: " + f.path + " takes no line settings (" +
                    ErrorText(GetLastError()) + ")";
    } else {
        DCB wanted = original;
        wanted.BaudRate = line.baudRate;
        wanted.ByteSize = static_cast<BYTE>(line.dataBits & 0xFFU);
        wanted.Parity = static_cast<BYTE>(line.parity & 0xFFU);
        wanted.StopBits = static_cast<BYTE>(line.stopBits & 0xFFU);
        wanted.fBinary = 1;
        wanted.fParity = 1;
        if (SetCommState(port, &wanted) == 0) {
            f.reason = OpenFailureReason::LineRefused;
            f.summary = "line settings refused: " + f.path + " cannot run " + LineText(line) +
                        " (" + ErrorText(GetLastError()) + ")";
        } else {
            f.reason = OpenFailureReason::None;
            f.summary = f.path + " opens and takes " + LineText(line);
        }
        SetCommState(port, &original);
    }
    CloseHandle(port);
    return f;
}

// The latency timer of a Windows adapter lives in its driver's settings.
LatencyTimer UsbLatencyTimer(const std::string&, const std::string&) {
    return {};
}

}  // namespace westnet::host
