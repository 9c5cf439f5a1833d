#include "device_name.h"

namespace westnet::host {

std::string WindowsPortName(const std::string& device) {
    if (device.size() < 5 || device.size() > 6 || (device[0] != 'C' && device[0] != 'c') ||
        (device[1] != 'O' && device[1] != 'o') || (device[2] != 'M' && device[2] != 'm') ||
        device[3] < '1' || device[3] > '9') {
        return device;
    }
    int number = 0;
    for (std::size_t i = 3; i < device.size(); ++i) {
        if (device[i] < '0' || device[i] > '9') {
            return device;
        }
        number = number * 10 + (device[i] - '0');
    }
    return number >= 10 && number <= 255 ? "\\\\.\\" + device : device;
}

}  // namespace westnet::host
