// What differs between the systems a host of ours runs on: loading the driver
// library, the console and sleeping.
// One implementation is linked per build: system_posix.cpp or system_win32.cpp.
#pragma once

#include <string>

#include "session.h"

namespace westnet::host {

struct LoadedDriver {
    ZanMainFn zanMain = nullptr;
    std::string path;   // what was loaded, or tried
    std::string error;  // why it failed, when zanMain is null
};

// Loads the driver library and finds ZanMain. An empty path means the
// library next to the running executable, then the installed one. The
// library stays loaded until the process ends.
LoadedDriver LoadDriver(const std::string& path);

bool StderrIsTerminal();
void SleepMilliseconds(long milliseconds);

}  // namespace westnet::host
