// The platform's serial services on POSIX systems, over a termios tty.
//
// A handle is the file descriptor plus one, so that 0 is never a handle. What
// Win32 keeps inside the device and termios has no room for (the time-outs,
// the line-state fields without a termios counterpart) lives in a fixed table
// indexed by descriptor. A slot is touched only through its own handle, so
// channels on different threads never share anything mutable, and nothing
// here allocates memory.
//
// A name without a '/' names a device under /dev/, so that every common port
// (ttyUSB0, ttyAMA0, ttyACM0, serial0) fits the host's 11-character name
// field; "NUL" is the null device. Only terminals take a line state: like
// GetCommState on a file, the query fails on anything else, and the open with
// it, before a byte is written.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "serial/platform.h"
#include "serial/posix_calls.h"

namespace westnet {
namespace {

// Descriptors at or above this number cannot be handed out as devices.
constexpr int kMaxDescriptors = 4096;
// Win32's FILE_FLAG_OVERLAPPED: asynchronous I/O is not offered here.
constexpr std::uint32_t kFlagOverlapped = 0x40000000U;
constexpr char kDeviceFolder[] = "/dev/";

int SystemIoctl(int fd, unsigned long request, void* argument) {
    return ioctl(fd, request, argument);
}

int SystemDrain(int fd) {
    return tcdrain(fd);
}

ssize_t SystemWrite(int fd, const void* bytes, std::size_t count) {
    return write(fd, bytes, count);
}

void SystemPause(std::int64_t nanoseconds) {
    timespec wait{static_cast<time_t>(nanoseconds / 1000000000LL),
                  static_cast<long>(nanoseconds % 1000000000LL)};
    while (nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

constexpr PosixCalls kSystemCalls = {SystemIoctl, SystemDrain, SystemWrite, SystemPause};
std::atomic<const PosixCalls*> g_calls{&kSystemCalls};

const PosixCalls& Calls() {
    return *g_calls.load(std::memory_order_acquire);
}

struct Slot {
    std::atomic<bool> used{false};
    bool tty = false;
    bool pseudoTerminal = false;
    bool nullDevice = false;
    // RTS toggle where the kernel has no RS-485 mode for the device: RTS is
    // raised around every write here, and dropped one character time after
    // the output drained.
    bool rtsAroundWrites = false;
    // rs485Before holds the device's RS-485 settings from before this open
    // changed them, put back at close.
    bool restoreRs485 = false;
    std::int64_t characterNs = 0;
    serial_rs485 rs485Before{};
    CommTimeouts timeouts;
    // The last line state written, or the opening default: the source of
    // every field that termios does not carry.
    CommState state;
};

Slot g_slots[kMaxDescriptors];

// Unix98 pseudo-terminal slaves (/dev/pts/N) have majors 136 to 143.
bool IsPseudoTerminal(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
        return false;
    }
    const unsigned int deviceMajor = major(st.st_rdev);
    return deviceMajor >= 136 && deviceMajor <= 143;
}

struct Rate {
    std::uint32_t bps;
    speed_t code;
};

// The rates termios can name. Win32 accepts any rate a port's clock can
// divide down to; here a rate missing from this table is refused, as a port
// refuses a rate it cannot produce, rather than run the line at a wrong speed.
constexpr Rate kRates[] = {
    {50, B50},           {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},         {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},       {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600},     {115200, B115200}, {230400, B230400},
#ifdef B460800
    {460800, B460800},
#endif
#ifdef B500000
    {500000, B500000},
#endif
#ifdef B576000
    {576000, B576000},
#endif
#ifdef B921600
    {921600, B921600},
#endif
#ifdef B1000000
    {1000000, B1000000},
#endif
#ifdef B1152000
    {1152000, B1152000},
#endif
#ifdef B1500000
    {1500000, B1500000},
#endif
#ifdef B2000000
    {2000000, B2000000},
#endif
#ifdef B2500000
    {2500000, B2500000},
#endif
#ifdef B3000000
    {3000000, B3000000},
#endif
#ifdef B3500000
    {3500000, B3500000},
#endif
#ifdef B4000000
    {4000000, B4000000},
#endif
};

bool SpeedCode(std::uint32_t bps, speed_t* code) {
    for (const Rate& r : kRates) {
        if (r.bps == bps) {
            *code = r.code;
            return true;
        }
    }
    return false;
}

bool SpeedRate(speed_t code, std::uint32_t* bps) {
    for (const Rate& r : kRates) {
        if (r.code == code) {
            *bps = r.bps;
            return true;
        }
    }
    return false;
}

// What a freshly opened port reports before anyone configured it.
CommState DefaultState() {
    CommState s;
    s.DCBlength = 28;
    s.BaudRate = 9600;
    s.fBinary = 1;
    s.fDtrControl = kDtrEnable;
    s.fRtsControl = kRtsEnable;
    s.XonLim = 2048;
    s.XoffLim = 512;
    s.ByteSize = 8;
    s.Parity = kNoParity;
    s.StopBits = kOneStopBit;
    s.XonChar = 0x11;
    s.XoffChar = 0x13;
    return s;
}

int DescriptorOf(Handle handle) {
    return static_cast<int>(handle - 1);
}

Slot* Find(Handle handle) {
    if (handle == 0 || handle > static_cast<Handle>(kMaxDescriptors)) {
        return nullptr;
    }
    Slot* slot = &g_slots[handle - 1];
    return slot->used.load(std::memory_order_acquire) ? slot : nullptr;
}

std::int64_t NowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// Milliseconds to hand poll() so that it wakes no earlier than `deadline`.
int PollWait(std::int64_t deadline, std::int64_t now) {
    const std::int64_t ms = (deadline - now + 999999LL) / 1000000LL;
    return ms > INT_MAX ? INT_MAX : static_cast<int>(ms);
}

// The line-state codes termios can express; the rest is refused the way
// Win32 refuses a state the port cannot take.
bool CharacterFormat(const CommState& s, tcflag_t* cflag) {
    tcflag_t size = 0;
    switch (s.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return false;
    }
    tcflag_t stop = 0;
    switch (s.StopBits) {
        case kOneStopBit:
            break;
        case kOne5StopBits:
            // A UART sends one and a half stop bits for 5-bit characters
            // when asked for two; other sizes cannot have them.
            if (s.ByteSize != 5) {
                return false;
            }
            stop = CSTOPB;
            break;
        case kTwoStopBits:
            if (s.ByteSize == 5) {
                return false;
            }
            stop = CSTOPB;
            break;
        default:
            return false;
    }
    tcflag_t parity = 0;
    switch (s.Parity) {
        case kNoParity:
            break;
        case kOddParity:
            parity = PARENB | PARODD;
            break;
        case kEvenParity:
            parity = PARENB;
            break;
#ifdef CMSPAR
        case kMarkParity:
            parity = PARENB | CMSPAR | PARODD;
            break;
        case kSpaceParity:
            parity = PARENB | CMSPAR;
            break;
#endif
        default:
            return false;
    }
    *cflag = size | stop | parity;
    return true;
}

void ModemLine(int fd, int line, bool raise) {
    // A device without modem lines (a pseudo-terminal) still carries data.
    int bits = line;
    (void)Calls().Ioctl(fd, raise ? TIOCMBIS : TIOCMBIC, &bits);
}

// How long one character of this line state takes on the wire: start bit,
// data bits, parity bit and stop bits, rounded up to the nanosecond.
std::int64_t CharacterNs(const CommState& s) {
    std::int64_t halfBits = 2 * (1 + static_cast<std::int64_t>(s.ByteSize));
    if (s.Parity != kNoParity) {
        halfBits += 2;
    }
    halfBits += s.StopBits == kOneStopBit ? 2 : s.StopBits == kOne5StopBits ? 3 : 4;
    const std::int64_t perHalfSecond = 2 * static_cast<std::int64_t>(s.BaudRate);
    return (halfBits * 1000000000LL + perHalfSecond - 1) / perHalfSecond;
}

void RestoreRs485(int fd, Slot& slot) {
    if (slot.restoreRs485) {
        (void)Calls().Ioctl(fd, TIOCSRS485, &slot.rs485Before);
        slot.restoreRs485 = false;
    }
}

// RTS toggle, Win32's "RTS raised while sending": the kernel's RS-485 mode
// where the device has one (it turns RTS round at the last stop bit), else
// RTS driven around each write by this layer. Most USB adapters and every
// pseudo-terminal refuse the RS-485 ioctls; a kernel that takes the request
// but clears the enable bit in its answer has no such mode either.
void DirectionControl(int fd, Slot& slot, bool toggle) {
    slot.rtsAroundWrites = false;
    if (!toggle) {
        RestoreRs485(fd, slot);
        return;
    }
    serial_rs485 before{};
    if (Calls().Ioctl(fd, TIOCGRS485, &before) == 0) {
        serial_rs485 wanted = before;
        wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        wanted.flags &= ~static_cast<std::uint32_t>(SER_RS485_RTS_AFTER_SEND);
        if (wanted.flags == before.flags) {
            return;  // already so, by us or by the system
        }
        serial_rs485 answer = wanted;
        if (Calls().Ioctl(fd, TIOCSRS485, &answer) == 0) {
            if (!slot.restoreRs485) {
                slot.rs485Before = before;
                slot.restoreRs485 = true;
            }
            if ((answer.flags & SER_RS485_ENABLED) != 0) {
                return;
            }
            RestoreRs485(fd, slot);
        }
    }
    slot.rtsAroundWrites = true;
    ModemLine(fd, TIOCM_RTS, false);  // receiving until the next write
}

Handle PosixCreateFile(const char* name, std::uint32_t access, std::uint32_t shareMode,
                       std::uint32_t creation, std::uint32_t flagsAndAttributes) {
    if (name == nullptr || creation != kOpenExisting ||
        (flagsAndAttributes & kFlagOverlapped) != 0) {
        return kInvalidHandle;
    }
    const bool nullDevice = std::strcmp(name, "NUL") == 0;
    const char* path = nullDevice ? "/dev/null" : name;
    char underDevices[sizeof kDeviceFolder + NAME_MAX] = {};
    if (!nullDevice && std::strchr(name, '/') == nullptr) {
        const std::size_t length = std::strlen(name);
        if (length == 0 || length > NAME_MAX) {
            return kInvalidHandle;
        }
        std::memcpy(underDevices, kDeviceFolder, sizeof kDeviceFolder - 1);
        std::memcpy(underDevices + sizeof kDeviceFolder - 1, name, length + 1);
        path = underDevices;
    }
    const bool reads = (access & kGenericRead) != 0;
    const bool writes = (access & kGenericWrite) != 0;
    int mode = O_RDONLY;
    if (reads && writes) {
        mode = O_RDWR;
    } else if (writes) {
        mode = O_WRONLY;
    }
    // Non-blocking only for the open itself: a tty without carrier would
    // otherwise hold it.
    const int fd = open(path, mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return kInvalidHandle;
    }
    if (fd >= kMaxDescriptors) {
        close(fd);
        return kInvalidHandle;
    }
    // Share mode 0 is an exclusive open. A lock on the open file, unlike
    // TIOCEXCL, also stops a second open by root and by this very process.
    // The null device is everybody's and is never locked.
    if (!nullDevice && flock(fd, (shareMode == 0 ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
        close(fd);
        return kInvalidHandle;
    }
    const int status = fcntl(fd, F_GETFL);
    if (status < 0 || fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) {
        close(fd);
        return kInvalidHandle;
    }
    Slot& slot = g_slots[fd];
    slot.tty = isatty(fd) != 0;
    slot.pseudoTerminal = slot.tty && IsPseudoTerminal(fd);
    slot.nullDevice = nullDevice;
    slot.timeouts = CommTimeouts{};
    slot.state = DefaultState();
    slot.rtsAroundWrites = false;
    slot.characterNs = 0;
    slot.restoreRs485 = false;
    slot.used.store(true, std::memory_order_release);
    return static_cast<Handle>(fd) + 1;
}

int PosixCloseHandle(Handle handle) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    if (slot->tty) {
        RestoreRs485(DescriptorOf(handle), *slot);
    }
    // The slot is free before the descriptor is: the moment it closes, an
    // open on another thread may get the same number.
    slot->used.store(false, std::memory_order_release);
    if (close(DescriptorOf(handle)) != 0 && errno == EBADF) {
        return 0;
    }
    return 1;  // any other error still released the descriptor
}

int PosixGetCommState(Handle handle, CommState* state) {
    Slot* slot = Find(handle);
    if (slot == nullptr || !slot->tty) {
        return 0;
    }
    CommState s = slot->state;
    const int fd = DescriptorOf(handle);
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return 0;
    }
    std::uint32_t bps = 0;
    if (SpeedRate(cfgetospeed(&t), &bps)) {
        s.BaudRate = bps;
    }
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.ByteSize = 5;
            break;
        case CS6:
            s.ByteSize = 6;
            break;
        case CS7:
            s.ByteSize = 7;
            break;
        default:
            s.ByteSize = 8;
            break;
    }
    if ((t.c_cflag & CSTOPB) == 0) {
        s.StopBits = kOneStopBit;
    } else {
        s.StopBits = s.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    }
    if ((t.c_cflag & PARENB) == 0) {
        s.Parity = kNoParity;
    } else {
        const bool odd = (t.c_cflag & PARODD) != 0;
#ifdef CMSPAR
        if ((t.c_cflag & CMSPAR) != 0) {
            s.Parity = odd ? kMarkParity : kSpaceParity;
        } else {
            s.Parity = odd ? kOddParity : kEvenParity;
        }
#else
        s.Parity = odd ? kOddParity : kEvenParity;
#endif
    }
#ifdef CRTSCTS
    s.fOutxCtsFlow = (t.c_cflag & CRTSCTS) != 0 ? 1 : 0;
#endif
    s.fOutX = (t.c_iflag & IXON) != 0 ? 1 : 0;
    s.fInX = (t.c_iflag & IXOFF) != 0 ? 1 : 0;
    s.XonChar = static_cast<char>(t.c_cc[VSTART]);
    s.XoffChar = static_cast<char>(t.c_cc[VSTOP]);
    // The lines' levels, where the device has modem lines; a handshake or
    // toggle mode stays as written, since it drives the line by itself.
    int bits = 0;
    if (Calls().Ioctl(fd, TIOCMGET, &bits) == 0) {
        if (s.fDtrControl != kDtrHandshake) {
            s.fDtrControl = (bits & TIOCM_DTR) != 0 ? kDtrEnable : kDtrDisable;
        }
        if (s.fRtsControl != kRtsHandshake && s.fRtsControl != kRtsToggle) {
            s.fRtsControl = (bits & TIOCM_RTS) != 0 ? kRtsEnable : kRtsDisable;
        }
    }
    s.DCBlength = state->DCBlength;
    *state = s;
    return 1;
}

int PosixSetCommState(Handle handle, const CommState* state) {
    Slot* slot = Find(handle);
    if (slot == nullptr || !slot->tty) {
        return 0;
    }
    speed_t speed = B0;
    tcflag_t format = 0;
    if (!SpeedCode(state->BaudRate, &speed) || !CharacterFormat(*state, &format)) {
        return 0;
    }
    const int fd = DescriptorOf(handle);
    termios t{};
    if (tcgetattr(fd, &t) != 0) {
        return 0;
    }
    // Raw bytes both ways: no line editing, echo, signals, translation or
    // stripping. Parity is generated and expected on the wire, but not
    // checked by the tty: that would replace a bad byte with a NUL, and the
    // frames carry checksums of their own.
    cfmakeraw(&t);
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | PARENB | PARODD);
#ifdef CMSPAR
    t.c_cflag &= ~static_cast<tcflag_t>(CMSPAR);
#endif
#ifdef CRTSCTS
    t.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    if (state->fOutxCtsFlow != 0) {
        t.c_cflag |= CRTSCTS;
    }
#endif
    t.c_cflag |= format | CLOCAL | CREAD;
    if (state->fOutX != 0) {
        t.c_iflag |= IXON;
    }
    if (state->fInX != 0) {
        t.c_iflag |= IXOFF;
    }
    if (state->fOutX != 0 || state->fInX != 0) {
        t.c_cc[VSTART] = static_cast<cc_t>(state->XonChar);
        t.c_cc[VSTOP] = static_cast<cc_t>(state->XoffChar);
    }
    // A read returns what has arrived; ReadFile does the waiting.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) {
        return 0;
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        // A pseudo-terminal keeps no parity-enable bit or character size
        // and refuses a request whose only change would be those: it then
        // runs with what it has, as it would have after the first open.
        constexpr tcflag_t kDropped = CSIZE | PARENB;
        termios now{};
        if (errno != EINVAL || !slot->pseudoTerminal || tcgetattr(fd, &now) != 0) {
            return 0;
        }
        t.c_cflag = (t.c_cflag & ~kDropped) | (now.c_cflag & kDropped);
        if (tcsetattr(fd, TCSANOW, &t) != 0) {
            return 0;
        }
    }
    // Win32 drives a handshake line from its input queue: raised while
    // less than half of it is full, which the driver's replies of at most
    // 200 bytes in a 1200-byte queue never reach. termios has no DTR flow
    // control, and CRTSCTS would also hold the output on CTS, which this
    // line state keeps off; so a handshake line is raised, as Win32 keeps
    // it under the driver's traffic.
    ModemLine(fd, TIOCM_DTR, state->fDtrControl != kDtrDisable);
    if (state->fRtsControl != kRtsToggle) {
        ModemLine(fd, TIOCM_RTS, state->fRtsControl != kRtsDisable);
    }
    DirectionControl(fd, *slot, state->fRtsControl == kRtsToggle);
    slot->characterNs = CharacterNs(*state);
    slot->state = *state;
    return 1;
}

int PosixGetCommTimeouts(Handle handle, CommTimeouts* timeouts) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    *timeouts = slot->timeouts;
    return 1;
}

int PosixSetCommTimeouts(Handle handle, const CommTimeouts* timeouts) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    // The driver bounds a read by the total constant alone and sets no write
    // time-out. Taking the other fields would pretend to honour them.
    if (timeouts->ReadIntervalTimeout != 0 || timeouts->ReadTotalTimeoutMultiplier != 0 ||
        timeouts->WriteTotalTimeoutMultiplier != 0 || timeouts->WriteTotalTimeoutConstant != 0) {
        return 0;
    }
    slot->timeouts = *timeouts;
    return 1;
}

int PosixSetupComm(Handle handle, std::uint32_t, std::uint32_t) {
    // The kernel sizes a tty's queues itself.
    return Find(handle) != nullptr ? 1 : 0;
}

int PosixClearCommError(Handle handle, std::uint32_t* errors, CommStatus* status) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    // Only the input queue is asked for: this runs before every frame sent,
    // and the output queue's size is never looked at (it is reported as 0).
    int waiting = 0;
    if (slot->tty) {
        const int fd = DescriptorOf(handle);
        if (Calls().Ioctl(fd, FIONREAD, &waiting) != 0) {
            return 0;
        }
    }
    if (errors != nullptr) {
        *errors = 0;  // line errors are not tracked by the tty
    }
    if (status != nullptr) {
        status->cbInQue = waiting > 0 ? static_cast<std::uint32_t>(waiting) : 0U;
        status->cbOutQue = 0;
    }
    return 1;
}

// Reads as Win32 does under the driver's time-outs: until `count` bytes are
// in or the total time-out constant, measured on the monotonic clock from the
// start of the call, has passed; a constant of 0 waits for the count however
// long it takes. Success with fewer bytes (none included) is a time-out;
// failure is a device that is gone.
int PosixReadFile(Handle handle, void* buffer, std::uint32_t count, std::uint32_t* got) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    if (got != nullptr) {
        *got = 0;
    }
    if (count == 0 || slot->nullDevice) {
        return 1;  // the null device has nothing to read, at once
    }
    const int fd = DescriptorOf(handle);
    const std::uint32_t totalMs = slot->timeouts.ReadTotalTimeoutConstant;
    const std::int64_t deadline = NowNs() + static_cast<std::int64_t>(totalMs) * 1000000LL;

    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t n = 0;
    int result = 1;
    while (n < count) {
        int wait = -1;
        if (totalMs != 0) {
            const std::int64_t now = NowNs();
            if (now >= deadline) {
                break;
            }
            wait = PollWait(deadline, now);
        }
        pollfd p{};
        p.fd = fd;
        p.events = POLLIN;
        const int ready = poll(&p, 1, wait);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            result = 0;
            break;
        }
        if (ready == 0) {
            continue;  // the loop head decides whether time is up
        }
        if ((p.revents & (POLLIN | POLLHUP | POLLERR)) == 0) {
            result = 0;  // POLLNVAL: the descriptor is not open
            break;
        }
        const ssize_t k = read(fd, out + n, count - n);
        if (k > 0) {
            n += static_cast<std::uint32_t>(k);
            continue;
        }
        if (k < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        result = 0;  // end of file or EIO: the peer hung up or the device is gone
        break;
    }
    if (got != nullptr) {
        *got = n;
    }
    return result;
}

// Writes every byte, waiting as long as the device needs; the driver sets no
// write time-out, and none is applied here.
int PosixWriteFile(Handle handle, const void* buffer, std::uint32_t count, std::uint32_t* written) {
    Slot* slot = Find(handle);
    if (slot == nullptr) {
        return 0;
    }
    const int fd = DescriptorOf(handle);
    const bool turnRound = slot->rtsAroundWrites;
    if (turnRound) {
        ModemLine(fd, TIOCM_RTS, true);
    }
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::uint32_t n = 0;
    int result = 1;
    while (n < count) {
        const ssize_t k = Calls().Write(fd, in + n, count - n);
        if (k > 0) {
            n += static_cast<std::uint32_t>(k);
            continue;
        }
        if (k < 0 && errno == EINTR) {
            continue;
        }
        if (k < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            pollfd p{};
            p.fd = fd;
            p.events = POLLOUT;
            const int ready = poll(&p, 1, -1);
            if (ready < 0 && errno == EINTR) {
                continue;
            }
            if (ready > 0 && (p.revents & POLLOUT) != 0) {
                continue;
            }
        }
        result = 0;
        break;
    }
    if (turnRound) {
        // The line may turn round only once the last stop bit is out: the
        // queue drains, then the transmitter still shifts one character.
        while (Calls().Drain(fd) != 0 && errno == EINTR) {
        }
        Calls().Pause(slot->characterNs);
        ModemLine(fd, TIOCM_RTS, false);
    }
    if (written != nullptr) {
        *written = n;
    }
    return result;
}

const Platform kPosix = {
    PosixCreateFile,      PosixCloseHandle,     PosixGetCommState, PosixSetCommState,
    PosixGetCommTimeouts, PosixSetCommTimeouts, PosixSetupComm,    PosixClearCommError,
    PosixReadFile,        PosixWriteFile,
};

// What ActivePlatform() answers: kPosix unless a test watches the line.
std::atomic<const Platform*> g_platform{&kPosix};

}  // namespace

const Platform& ActivePlatform() {
    return *g_platform.load(std::memory_order_acquire);
}

const Platform& PosixPlatform() {
    return kPosix;
}

void UsePlatform(const Platform* platform) {
    g_platform.store(platform != nullptr ? platform : &kPosix, std::memory_order_release);
}

const PosixCalls& SystemPosixCalls() {
    return kSystemCalls;
}

void UsePosixCalls(const PosixCalls* calls) {
    g_calls.store(calls != nullptr ? calls : &kSystemCalls, std::memory_order_release);
}

}  // namespace westnet
