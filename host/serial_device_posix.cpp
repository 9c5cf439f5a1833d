// Linux: a long device path becomes a short name that opens the same device.
// Every name considered is checked by stat() against the device the path
// leads to, so a link that goes elsewhere, or a name that the folders' own
// links make mean something else, is never handed on.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "serial_device.h"
#include "session.h"

namespace westnet::host {
namespace {

constexpr char kDevices[] = "/dev/";
constexpr int kMostLinks = 40;  // as the kernel follows at most

bool Fits(const std::string& name) {
    return !name.empty() && name.size() <= kDeviceNameMax && name != "NUL";
}

bool HasSlash(const std::string& name) {
    return name.find('/') != std::string::npos;
}

// What the driver opens for a name: one without a '/' is under /dev/.
std::string DriverPath(const std::string& name) {
    return HasSlash(name) ? name : kDevices + name;
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

struct Identity {
    mode_t type = 0;
    dev_t rdev = 0;
};

bool Identify(const std::string& path, Identity& id) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) {
        return false;
    }
    id = {st.st_mode & S_IFMT, st.st_rdev};
    return true;
}

// Two character device nodes of one number open one device wherever they sit
// (a udev alias may be a node of its own rather than a link).
bool Same(const Identity& a, const Identity& b) {
    return a.type == S_IFCHR && b.type == S_IFCHR && a.rdev == b.rdev;
}

std::string Absolute(const std::string& path) {
    if (!path.empty() && path[0] == '/') {
        return path;
    }
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

// "." and ".." taken out by the letter. A ".." after a linked folder may then
// name another file: the stat() check drops such a name.
std::string Lexical(const std::string& absolute) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= absolute.size()) {
        const std::size_t slash = std::min(absolute.find('/', at), absolute.size());
        const std::string part = absolute.substr(at, slash - at);
        if (part == "..") {
            if (!parts.empty()) {
                parts.pop_back();
            }
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        at = slash + 1;
    }
    std::string out;
    for (const std::string& part : parts) {
        out += "/" + part;
    }
    return out.empty() ? "/" : out;
}

// A path, and under /dev/ also its name without that folder.
void AddPath(std::vector<std::string>& names, const std::string& path) {
    names.push_back(path);
    const std::size_t prefix = sizeof kDevices - 1;
    if (path.compare(0, prefix, kDevices) == 0 && !HasSlash(path.substr(prefix))) {
        names.push_back(path.substr(prefix));
    }
}

// Every link on the way from `path` to the device, and the device's own path.
void AddLinkChain(std::vector<std::string>& names, const std::string& path) {
    std::string at = Lexical(Absolute(path));
    for (int hop = 0; hop < kMostLinks; ++hop) {
        AddPath(names, at);
        char target[PATH_MAX];
        const ssize_t n = readlink(at.c_str(), target, sizeof target - 1);
        if (n <= 0) {
            break;
        }
        const std::string next(target, static_cast<std::size_t>(n));
        if (next[0] != '/') {
            at.resize(at.rfind('/') + 1);  // the link's folder
            at += next;
        } else {
            at = next;
        }
        at = Lexical(at);
    }
    if (char* real = realpath(path.c_str(), nullptr)) {
        AddPath(names, real);
        std::free(real);
    }
}

// Names directly under /dev/ for the same device: udev aliases such as
// serial0, or a node of another name with the same number.
void AddDeviceAliases(std::vector<std::string>& names, const Identity& want) {
    DIR* dir = opendir(kDevices);
    if (dir == nullptr) {
        return;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        Identity id;
        if (Fits(name) && name != "." && name != ".." && Identify(kDevices + name, id) &&
            Same(id, want)) {
            names.push_back(name);
        }
    }
    closedir(dir);
}

const char* KindOf(mode_t type) {
    switch (type) {
        case S_IFREG:
            return "a regular file";
        case S_IFDIR:
            return "a folder";
        case S_IFIFO:
            return "a pipe";
        case S_IFSOCK:
            return "a socket";
        case S_IFBLK:
            return "a block device";
        default:
            return "not a device";
    }
}

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

}  // namespace

DriverDeviceName NameForDriver(const std::string& path) {
    if (path.empty()) {
        return {"", "no device given: name a serial device, such as ttyUSB0 or /dev/ttyUSB0"};
    }
    if (path == "NUL") {
        return {path, ""};
    }
    // A bare name is a device under /dev/ first, as the driver opens it, and
    // else a file in the current folder, which the driver needs as ./NAME.
    std::string target = path;
    if (!HasSlash(path)) {
        if (Exists(DriverPath(path))) {
            target = DriverPath(path);
        } else if (Exists(path)) {
            target = "./" + path;
        } else if (Fits(path)) {
            return {path, ""};  // the driver's open says that it is not there
        } else {
            return {"", "no device " + Quoted(path) + " in /dev/ or in the current folder: " +
                            "check the name (ls /dev/serial/by-id/ lists the USB serial " +
                            "adapters plugged in)"};
        }
        const std::string shortName = target == DriverPath(path) ? path : target;
        if (Fits(shortName)) {
            return {shortName, ""};
        }
    } else if (Fits(path)) {
        return {path, ""};
    }

    Identity want;
    if (!Identify(target, want)) {
        return {"", "cannot use " + Quoted(path) + " as a device: " + std::strerror(errno) +
                        "; check the path (ls /dev/serial/by-id/ lists the USB serial " +
                        "adapters plugged in)"};
    }
    if (want.type != S_IFCHR) {
        // A short link to it would not help: only terminals are serial ports.
        return {"", Quoted(path) + " is " + KindOf(want.type) + ", not a serial device"};
    }
    std::vector<std::string> names;
    AddLinkChain(names, target);
    AddDeviceAliases(names, want);
    const std::string* best = nullptr;
    for (const std::string& name : names) {
        Identity id;
        if (!Fits(name) || !Identify(DriverPath(name), id) || !Same(id, want)) {
            continue;
        }
        if (best == nullptr || name.size() < best->size() ||
            (name.size() == best->size() && name < *best)) {
            best = &name;
        }
    }
    if (best != nullptr) {
        return {*best, ""};
    }
    std::string real = Lexical(Absolute(target));
    if (char* resolved = realpath(target.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
    }
    return {"", Quoted(path) + (real != path ? " (" + real + ")" : "") +
                    " has no name of at most " + std::to_string(kDeviceNameMax) +
                    " characters that opens the same device; make a short link to it, such " +
                    "as ln -s " + real + " /tmp/ttyPLC, and give that link as the device"};
}

}  // namespace westnet::host
