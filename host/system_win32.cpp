// Windows: westnet.dll through LoadLibraryA; TARVEK.dll is an import of the
// poller and so already loaded when the driver binds its `err` to it.
#include <windows.h>

#include <io.h>

#include <cstdio>

#include "system.h"
#include "tarvek.h"

namespace westnet::host {
namespace {

// Naming the host's reporter keeps TARVEK.dll among the poller's imports.
int (*const volatile kHostReporter)(int, const char*, ...) = &err;

std::string ExecutableDirectory() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) {
        return ".";
    }
    std::string full(path, n);
    const std::size_t slash = full.find_last_of("\\/");
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

std::string LastErrorText() {
    char text[256] = {};
    const DWORD code = GetLastError();
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                   text, sizeof text, nullptr);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    return "error " + std::to_string(code) + (message.empty() ? "" : ": " + message);
}

}  // namespace

LoadedDriver LoadDriver(const std::string& path) {
    LoadedDriver loaded;
    if (kHostReporter == nullptr) {
        loaded.error = "the host library's err is missing";
        return loaded;
    }
    // Without --driver: the DLL beside the poller (a build folder), then the
    // one a folder up (the release ZIP keeps the poller in tools\ under the
    // driver, so that its stand-in TARVEK.dll never sits beside the driver).
    HMODULE library = nullptr;
    if (!path.empty()) {
        loaded.path = path;
        library = LoadLibraryA(loaded.path.c_str());
    } else {
        for (const char* candidate : {"\\westnet.dll", "\\..\\westnet.dll"}) {
            loaded.path = ExecutableDirectory() + candidate;
            library = LoadLibraryA(loaded.path.c_str());
            if (library != nullptr) {
                break;
            }
        }
    }
    if (library == nullptr) {
        loaded.error = LastErrorText();
        return loaded;
    }
    FARPROC symbol = GetProcAddress(library, "ZanMain");
    if (symbol == nullptr) {
        loaded.error = "the library exports no ZanMain";
        return loaded;
    }
    loaded.zanMain = reinterpret_cast<ZanMainFn>(reinterpret_cast<void*>(symbol));
    return loaded;
}

bool StderrIsTerminal() {
    return _isatty(_fileno(stderr)) != 0;
}

void SleepMilliseconds(long milliseconds) {
    Sleep(static_cast<DWORD>(milliseconds));
}

}  // namespace westnet::host
