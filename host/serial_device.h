// The device name to hand the driver for whatever path a user gives: the
// host's device field holds 11 characters, and most serial devices have a
// longer path than that. One implementation per system:
// serial_device_posix.cpp or serial_device_win32.cpp.
#pragma once

#include <string>

namespace westnet::host {

struct DriverDeviceName {
    std::string name;   // for the driver's device field; empty on error
    std::string error;  // what is wrong and what to do; empty on success
};

// Linux: the path itself when it fits; else the shortest name that opens the
// same device (the links it goes through, where it leads, and the names
// directly under /dev/, which the driver takes without that folder). A name
// without a '/' is a device under /dev/, as the driver opens it, or else a
// file in the current folder, handed on as ./NAME. "NUL" is the null device.
// Windows: the port's name as Windows opens it (\\.\COM10 for COM10), and a
// refusal when that does not fit.
//
// Looks at the file system at every call: a device that came back under
// another name (a USB adapter plugged in again) is found again.
DriverDeviceName NameForDriver(const std::string& path);

}  // namespace westnet::host
