// Windows: the port's name as Windows opens it; nothing longer fits.
#include "device_name.h"
#include "serial_device.h"
#include "session.h"

namespace westnet::host {

DriverDeviceName NameForDriver(const std::string& path) {
    if (path.empty()) {
        return {"", "no device given: name a serial port, such as COM1"};
    }
    const std::string name = WindowsPortName(path);
    if (name.size() > kDeviceNameMax) {
        return {"", "device name \"" + name + "\" has " + std::to_string(name.size()) +
                        " characters; the driver's device field holds at most " +
                        std::to_string(kDeviceNameMax) +
                        ": give the port by its COM name (COM1 to COM255)"};
    }
    return {name, ""};
}

}  // namespace westnet::host
