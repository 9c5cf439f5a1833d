// Linux: libwestnet.so through dlopen; the host library libtarvek.so is a
// link dependency of the poller and so already loaded when the driver is.
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "system.h"
#include "tarvek.h"

namespace westnet::host {
namespace {

// The driver resolves `err` against the host library. Naming the reporter
// here makes that library a real dependency of the executable, so it is
// loaded before the driver whatever the linker's as-needed setting.
int (*const volatile kHostReporter)(int, const char*, ...) = &err;

std::string ExecutableDirectory() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    path[n] = '\0';
    std::string full(path);
    const std::size_t slash = full.rfind('/');
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

}  // namespace

LoadedDriver LoadDriver(const std::string& path) {
    LoadedDriver loaded;
    if (kHostReporter == nullptr) {
        loaded.error = "the host library's err is missing";
        return loaded;
    }
    // Without --driver: the library beside the poller (a build folder), then
    // the installed one on the library path (a package puts the poller in
    // /usr/bin and the driver in the system's library folder).
    void* library = nullptr;
    if (!path.empty()) {
        loaded.path = path;
        library = dlopen(loaded.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    } else {
        loaded.path = ExecutableDirectory() + "/libwestnet.so";
        library = dlopen(loaded.path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            library = dlopen("libwestnet.so.1", RTLD_NOW | RTLD_LOCAL);
            if (library != nullptr) {
                loaded.path = "libwestnet.so.1";
            }
        }
    }
    if (library == nullptr) {
        const char* why = dlerror();
        loaded.error = why != nullptr ? why : "dlopen failed";
        return loaded;
    }
    void* symbol = dlsym(library, "ZanMain");
    if (symbol == nullptr) {
        loaded.error = "the library exports no ZanMain";
        return loaded;
    }
    loaded.zanMain = reinterpret_cast<ZanMainFn>(symbol);
    return loaded;
}

bool StderrIsTerminal() {
    return isatty(STDERR_FILENO) != 0;
}

void SleepMilliseconds(long milliseconds) {
    timespec wait{milliseconds / 1000, (milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

}  // namespace westnet::host
