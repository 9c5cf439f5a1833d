// What differs between the operating systems the poller runs on: loading the
// driver library, the name a serial device is opened under, the console and
// sleeping. One implementation is linked per build: loader_posix.cpp or
// loader_win32.cpp.
#pragma once

#include <string>

#include "session.h"

namespace westnet::poll {

struct LoadedDriver {
    ZanMainFn zanMain = nullptr;
    std::string path;   // what was loaded, or tried
    std::string error;  // why it failed, when zanMain is null
};

// Loads the driver library and finds ZanMain. An empty path means the
// library next to the running executable. The library stays loaded until
// the process ends.
LoadedDriver LoadDriver(const std::string& path);

// The device name as the system's serial devices are opened.
std::string DeviceForSystem(const std::string& device);

bool StderrIsTerminal();
void SleepMilliseconds(long milliseconds);

}  // namespace westnet::poll
