// Linux: the port check over the file system, /proc and termios, in the
// order of the driver's open: the name, the kind of file, the open itself
// (permissions), the exclusive lock, the terminal, the line settings.
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "port_check.h"
#include "serial/termios_rates.h"

namespace westnet::host {
namespace {

using termios_rates::kRates;
using termios_rates::Rate;

bool RateCode(unsigned long bps, speed_t& code) {
    return bps <= UINT32_MAX && termios_rates::SpeedCode(static_cast<std::uint32_t>(bps), &code);
}

std::string NearestRates(unsigned long bps) {
    const Rate* below = nullptr;
    const Rate* above = nullptr;
    for (const Rate& rate : kRates) {
        if (rate.bps < bps) {
            below = &rate;
        } else if (above == nullptr) {
            above = &rate;
        }
    }
    if (below != nullptr && above != nullptr) {
        return std::to_string(below->bps) + " or " + std::to_string(above->bps);
    }
    return std::to_string((below != nullptr ? below : above)->bps);
}

// A /proc or /sys file: a line or a table, read whole.
std::string ReadSmallFile(const std::string& path) {
    std::string text;
    if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0 && text.size() < (1U << 20)) {
            text.append(chunk, n);
        }
        std::fclose(file);
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
        text.pop_back();
    }
    return text;
}

std::string ProcessText(long pid) {
    std::string text = "process " + std::to_string(pid);
    const std::string name = ReadSmallFile("/proc/" + std::to_string(pid) + "/comm");
    if (!name.empty()) {
        text += " (" + name + ")";
    }
    if (pid == static_cast<long>(getpid())) {
        text += ", this program itself: another of its channels uses the port";
    }
    return text;
}

// Every process with a descriptor open on the character device `rdev`.
std::vector<long> ProcessesWithDeviceOpen(dev_t rdev) {
    std::vector<long> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0') {
            continue;
        }
        const std::string fdDir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fdDir.c_str());
        if (fds == nullptr) {
            continue;  // gone, or another user's
        }
        while (const dirent* fd = readdir(fds)) {
            struct stat st {};
            if (fd->d_name[0] != '.' && stat((fdDir + "/" + fd->d_name).c_str(), &st) == 0 &&
                S_ISCHR(st.st_mode) && st.st_rdev == rdev) {
                found.push_back(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    std::sort(found.begin(), found.end());
    return found;
}

std::string KindOfFile(mode_t mode) {
    if (S_ISREG(mode)) {
        return "a regular file";
    }
    if (S_ISDIR(mode)) {
        return "a folder";
    }
    if (S_ISFIFO(mode)) {
        return "a named pipe";
    }
    if (S_ISSOCK(mode)) {
        return "a socket";
    }
    if (S_ISBLK(mode)) {
        return "a block device (a disk)";
    }
    return "not a device";
}

std::string ModeText(mode_t mode) {
    std::string text = S_ISCHR(mode) ? "c" : "-";
    const mode_t bits[] = {S_IRUSR, S_IWUSR, S_IXUSR, S_IRGRP, S_IWGRP,
                           S_IXGRP, S_IROTH, S_IWOTH, S_IXOTH};
    for (int i = 0; i < 9; ++i) {
        text += (mode & bits[i]) != 0 ? "rwx"[i % 3] : '-';
    }
    return text;
}

std::string UserName(uid_t uid) {
    const passwd* user = getpwuid(uid);
    return user != nullptr ? user->pw_name : "user " + std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    const group* g = getgrgid(gid);
    return g != nullptr ? g->gr_name : "group " + std::to_string(gid);
}

bool InSessionGroup(gid_t gid) {
    if (getegid() == gid) {
        return true;
    }
    gid_t groups[NGROUPS_MAX];
    const int n = getgroups(NGROUPS_MAX, groups);
    return n > 0 && std::find(groups, groups + n, gid) != groups + n;
}

// The group database, which a login session reads only when it starts.
bool InGroupDatabase(gid_t gid) {
    const passwd* user = getpwuid(geteuid());
    if (user == nullptr) {
        return false;
    }
    if (user->pw_gid == gid) {
        return true;
    }
    const std::string name = user->pw_name;
    const group* g = getgrgid(gid);
    for (char* const* member = g != nullptr ? g->gr_mem : nullptr;
         member != nullptr && *member != nullptr; ++member) {
        if (name == *member) {
            return true;
        }
    }
    return false;
}

std::string MembershipText(gid_t gid) {
    const std::string name = GroupName(gid);
    const std::string user = UserName(geteuid());
    if (InSessionGroup(gid)) {
        return "you (" + user + ") are in the group " + name +
               ", yet the system refused: look for an access control list (getfacl) or a "
               "security module";
    }
    if (InGroupDatabase(gid)) {
        return "you (" + user + ") were added to the group " + name +
               ", but this login session started before that: log out and in again (or run "
               "`newgrp " +
               name + "`)";
    }
    return "you (" + user + ") are not in the group " + name + ": sudo usermod -aG " + name + " " +
           user + ", then log out and in again";
}

void ExplainPermission(const struct stat& st, OpenFailure& f) {
    f.reason = OpenFailureReason::PermissionDenied;
    f.summary = "permission denied: this user may not open " + f.path;
    f.details.push_back(f.path + " is " + ModeText(st.st_mode) + " " + UserName(st.st_uid) + ":" +
                        GroupName(st.st_gid));
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (groupMayUse) {
        f.details.push_back(MembershipText(st.st_gid));
    } else {
        f.details.push_back("only its owner, " + UserName(st.st_uid) +
                            ", may open it: run as that user, or give the port to the group "
                            "dialout (for a USB adapter, with a udev rule)");
    }
    const group* dialout = getgrnam("dialout");
    if (dialout != nullptr && dialout->gr_gid != st.st_gid) {
        f.details.push_back(
            std::string("serial ports usually belong to the group dialout; ") +
            (InSessionGroup(dialout->gr_gid) ? "you are in it" : "you are not in it"));
    }
}

// A few serial ports that are there, so a mistyped name can be corrected.
std::string PortsPresent() {
    std::vector<std::string> ports;
    static const char* const kPrefixes[] = {"ttyUSB", "ttyACM", "ttyAMA", "ttyXRUSB", "rfcomm"};
    if (DIR* dev = opendir("/dev")) {
        while (const dirent* entry = readdir(dev)) {
            for (const char* prefix : kPrefixes) {
                if (std::strncmp(entry->d_name, prefix, std::strlen(prefix)) == 0) {
                    ports.push_back(std::string("/dev/") + entry->d_name);
                }
            }
        }
        closedir(dev);
    }
    if (DIR* byId = opendir("/dev/serial/by-id")) {
        while (const dirent* entry = readdir(byId)) {
            if (entry->d_name[0] != '.') {
                ports.push_back(std::string("/dev/serial/by-id/") + entry->d_name);
            }
        }
        closedir(byId);
    }
    std::sort(ports.begin(), ports.end());
    if (ports.empty()) {
        return "no USB or on-board serial adapter is present (/dev/ttyUSB*, ttyACM*, ttyAMA*)";
    }
    std::string text = "serial ports present:";
    for (std::size_t i = 0; i < ports.size() && i < 8; ++i) {
        text += " " + ports[i];
    }
    return ports.size() > 8 ? text + " ..." : text;
}

// The file the driver's open went to: a name without '/' names a device
// under /dev/; older builds of the POSIX layer took it in the working folder,
// which is looked at when /dev has no such entry.
std::string PathFor(const std::string& device) {
    if (device == "NUL") {
        return "/dev/null";
    }
    if (device.find('/') != std::string::npos) {
        return device;
    }
    std::string underDev = "/dev/" + device;
    struct stat st {};
    if (lstat(underDev.c_str(), &st) == 0 || lstat(device.c_str(), &st) != 0) {
        return underDev;
    }
    return device;
}

bool ExplainMissing(const std::string& device, OpenFailure& f) {
    struct stat st {};
    if (stat(f.path.c_str(), &st) == 0) {
        return false;
    }
    const int why = errno;
    if (why == EACCES) {
        f.reason = OpenFailureReason::PermissionDenied;
        f.summary = "permission denied: a folder on the way to " + f.path + " may not be entered";
        return true;
    }
    f.reason = OpenFailureReason::NoSuchDevice;
    char target[PATH_MAX];
    const ssize_t n = readlink(f.path.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        f.summary =
            "no such device: " + f.path + " is a link to " + target + ", which does not exist";
        f.details.emplace_back(
            "an adapter that was unplugged, or a simulator's --link left behind when it "
            "ended");
    } else {
        f.summary = "no such device: " + f.path + " does not exist";
        if (device.find('/') == std::string::npos && f.path != device) {
            f.details.push_back("a name without '/' names a device under /dev/");
        }
        f.details.push_back(PortsPresent());
    }
    return true;
}

bool ExplainHeld(int fd, const struct stat& st, OpenFailure& f) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        flock(fd, LOCK_UN);
        return false;
    }
    f.reason = OpenFailureReason::Held;
    f.summary = "held by another program: " + f.path + " is open for exclusive use";
    f.holders = LockHolders(ReadSmallFile("/proc/locks"), major(st.st_dev), minor(st.st_dev),
                            static_cast<unsigned long>(st.st_ino));
    if (f.holders.empty()) {
        f.details.emplace_back(
            "the holder's process is not visible from here (another user's, or another "
            "container's)");
    }
    for (const long pid : f.holders) {
        f.details.push_back("locked by " + ProcessText(pid));
    }
    f.details.emplace_back("end that program, or give this one another port");
    return true;
}

void Refused(OpenFailure& f, const LineParams& line, const std::string& why) {
    f.reason = OpenFailureReason::LineRefused;
    f.summary = "line settings refused: " + f.path + " cannot run " + LineText(line) + ": " + why;
}

// What termios can express at all, as the driver's POSIX layer applies it.
bool ExplainFormat(const LineParams& line, OpenFailure& f) {
    const unsigned dataBits = line.dataBits & 0xFFU;
    const unsigned stop = line.stopBits & 0xFFU;
    const unsigned parity = line.parity & 0xFFU;
    speed_t code = B0;
    if (!RateCode(line.baudRate, code)) {
        Refused(f, line,
                std::to_string(line.baudRate) +
                    " baud is not a rate a serial port here can be set "
                    "to (nearest: " +
                    NearestRates(line.baudRate) + ")");
    } else if (dataBits < 5 || dataBits > 8) {
        Refused(f, line, "a character has 5 to 8 data bits");
    } else if (stop > 2) {
        Refused(f, line, "the stop-bits code is 0 (one), 1 (one and a half) or 2 (two)");
    } else if (stop == 1 && dataBits != 5) {
        Refused(f, line, "one and a half stop bits go only with 5 data bits");
    } else if (stop == 2 && dataBits == 5) {
        Refused(f, line, "5 data bits take one or one and a half stop bits, not two");
    } else if (parity > 4) {
        Refused(f, line, "the parity code is 0 to 4 (none, odd, even, mark, space)");
    } else {
        return false;
    }
    return true;
}

tcflag_t FormatFlags(const LineParams& line) {
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tcflag_t flags = kSizes[(line.dataBits & 0xFFU) - 5];
    if ((line.stopBits & 0xFFU) != 0) {
        flags |= CSTOPB;
    }
    switch (line.parity & 0xFFU) {
        case 1:
            flags |= PARENB | PARODD;
            break;
        case 2:
            flags |= PARENB;
            break;
        case 3:
            flags |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            flags |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    return flags;
}

// Unix98 pseudo-terminal slaves (majors 136 to 143) keep no parity bit or
// character size: the driver runs them with what they have.
bool IsPseudoTerminal(const struct stat& st) {
    return major(st.st_rdev) >= 136 && major(st.st_rdev) <= 143;
}

// Applies the settings, reads them back and puts the old ones back.
bool ExplainLine(int fd, const struct stat& st, const LineParams& line, OpenFailure& f) {
    termios original{};
    if (tcgetattr(fd, &original) != 0) {
        if (errno == EIO) {
            f.reason = OpenFailureReason::DeviceGone;
            f.summary =
                "device gone: " + f.path + " no longer answers (" + std::strerror(EIO) + ")";
        } else {
            f.reason = OpenFailureReason::NotSerialDevice;
            f.summary = "not a serial device: " + f.path + " takes no line settings";
        }
        return true;
    }
    if (ExplainFormat(line, f)) {
        return true;
    }
    constexpr tcflag_t kFormat = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
    termios wanted = original;
    cfmakeraw(&wanted);
    wanted.c_cflag = (wanted.c_cflag & ~kFormat) | FormatFlags(line) | CLOCAL | CREAD;
    speed_t code = B0;
    RateCode(line.baudRate, code);
    cfsetispeed(&wanted, code);
    cfsetospeed(&wanted, code);
    const bool pseudo = IsPseudoTerminal(st);
    if (tcsetattr(fd, TCSANOW, &wanted) != 0 && pseudo) {
        wanted.c_cflag =
            (wanted.c_cflag & ~(CSIZE | PARENB)) | (original.c_cflag & (CSIZE | PARENB));
        tcsetattr(fd, TCSANOW, &wanted);
    }
    termios now{};
    const bool read = tcgetattr(fd, &now) == 0;
    tcsetattr(fd, TCSANOW, &original);
    if (!read || cfgetospeed(&now) != code) {
        Refused(f, line, "the device does not take that baud rate");
        return true;
    }
    const tcflag_t compared = pseudo ? kFormat & ~(CSIZE | PARENB) : kFormat;
    if ((now.c_cflag & compared) != (wanted.c_cflag & compared)) {
        Refused(f, line, "the device does not take that character format");
        return true;
    }
    return false;
}

void ExplainOpen(const struct stat& st, int error, OpenFailure& f) {
    switch (error) {
        case EACCES:
        case EPERM:
            ExplainPermission(st, f);
            break;
        case EBUSY:
            f.reason = OpenFailureReason::Held;
            f.summary = "held by another program: " + f.path + " is in exclusive use (TIOCEXCL)";
            f.holders = ProcessesWithDeviceOpen(st.st_rdev);
            for (const long pid : f.holders) {
                f.details.push_back("open in " + ProcessText(pid));
            }
            break;
        case ENXIO:
        case ENODEV:
        case EIO:
            f.reason = OpenFailureReason::DeviceGone;
            f.summary = "device gone: " + f.path + " is there, but no device answers behind it (" +
                        std::strerror(error) + ")";
            f.details.emplace_back(
                "an unplugged adapter, an on-board port without its hardware, or a "
                "pseudo-terminal whose other side has closed");
            break;
        default:
            f.reason = OpenFailureReason::Unknown;
            f.summary = "the system refused to open " + f.path + ": " + std::strerror(error);
            break;
    }
}

}  // namespace

OpenFailure DiagnoseOpen(const std::string& device, const LineParams& line) {
    OpenFailure f;
    f.path = PathFor(device);
    if (device.empty()) {
        f.reason = OpenFailureReason::NoSuchDevice;
        f.summary = "no device name given";
        return f;
    }
    if (ExplainMissing(device, f)) {
        return f;
    }
    struct stat st {};
    stat(f.path.c_str(), &st);
    if (!S_ISCHR(st.st_mode)) {
        f.reason = OpenFailureReason::NotSerialDevice;
        f.summary = "not a serial device: " + f.path + " is " + KindOfFile(st.st_mode);
        return f;
    }
    const int fd = open(f.path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        ExplainOpen(st, errno, f);
        return f;
    }
    if (f.path != "/dev/null" && isatty(fd) == 0) {
        f.reason = OpenFailureReason::NotSerialDevice;
        f.summary = "not a serial device: " + f.path + " is a character device but no terminal";
    } else if (f.path == "/dev/null" ||
               (!ExplainHeld(fd, st, f) && !ExplainLine(fd, st, line, f))) {
        f.reason = OpenFailureReason::None;
        f.summary = f.path + " opens and takes " + LineText(line);
    }
    close(fd);
    return f;
}

LatencyTimer UsbLatencyTimer(const std::string& device, const std::string& sysRoot) {
    LatencyTimer timer;
    char resolved[PATH_MAX];
    if (realpath(PathFor(device).c_str(), resolved) == nullptr) {
        return timer;
    }
    const char* slash = std::strrchr(resolved, '/');
    timer.adapter = slash != nullptr ? slash + 1 : resolved;
    timer.file = sysRoot + "/bus/usb-serial/devices/" + timer.adapter + "/latency_timer";
    const std::string text = ReadSmallFile(timer.file);
    char* end = nullptr;
    const long ms = std::strtol(text.c_str(), &end, 10);
    if (!text.empty() && *end == '\0' && ms >= 0 && ms < 1000) {
        timer.found = true;
        timer.milliseconds = static_cast<int>(ms);
    }
    return timer;
}

}  // namespace westnet::host
