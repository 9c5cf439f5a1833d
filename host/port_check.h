// A serial port seen from the host's side, apart from the driver: why it did
// not open, what its control flags mean, and how long a USB adapter holds
// received bytes back.
//
// The driver answers a failed open with result 2 and nothing more (the host
// library's `err` gets a fixed text), so a host of ours that wants to tell
// its user why goes to the system itself: it looks at the device the way the
// driver's open would, step by step, and stops at the first step that fails.
// Nothing here calls the driver. The system-specific half is linked per
// build: port_check_posix.cpp or port_check_win32.cpp.
#pragma once

#include <westnet/westnet.h>

#include <string>
#include <vector>

namespace westnet::host {

enum class OpenFailureReason {
    None,              // the device opens and takes the settings now
    NoSuchDevice,      // nothing under that name
    NotSerialDevice,   // a file, a folder, a pipe, a device that is no terminal
    PermissionDenied,  // the system refuses this user
    Held,              // another program (or channel) has the device open exclusively
    DeviceGone,        // the name is there, the hardware behind it is not
    LineRefused,       // the device refuses the baud rate or character format
    Unknown,           // every step worked when tried again
};

struct OpenFailure {
    OpenFailureReason reason = OpenFailureReason::Unknown;
    std::string path;                  // what was looked at (a short name resolved)
    std::string summary;               // one line: what is wrong
    std::vector<std::string> details;  // further lines: evidence and what to do
    std::vector<long> holders;         // Held: the processes, where the system tells
};

// Looks at `device` (the name as handed to the driver) with the line settings
// the open asked for. It opens the device for a moment, as the driver would,
// and leaves its settings as it found them.
OpenFailure DiagnoseOpen(const std::string& device, const LineParams& line);

// The settings as a person writes them: "9600 baud 8O2".
std::string LineText(const LineParams& line);

// What the driver makes of the control flags: "RTS on, DTR off".
std::string ControlFlagsText(ControlFlags flags);

// Linux's /proc/locks text: the processes holding a lock on the file with
// inode `inode` on the filesystem device (major, minor).
std::vector<long> LockHolders(const std::string& procLocks, unsigned major, unsigned minor,
                              unsigned long inode);

// A USB serial adapter's latency timer: how long it holds received bytes
// before handing them on. Found only for adapters whose kernel driver has one
// (FTDI and the like, under `sysRoot`/bus/usb-serial/devices/NAME).
struct LatencyTimer {
    bool found = false;
    std::string adapter;  // ttyUSB0
    std::string file;     // the sysfs file that holds it
    int milliseconds = 0;
};
LatencyTimer UsbLatencyTimer(const std::string& device, const std::string& sysRoot = "/sys");

}  // namespace westnet::host
