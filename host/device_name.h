// Serial device names as each system opens them, apart from any driver.
#pragma once

#include <string>

namespace westnet::host {

// The name under which Windows opens a serial port: COM10 and above only as
// \\.\COM10; every other name unchanged.
std::string WindowsPortName(const std::string& device);

}  // namespace westnet::host
