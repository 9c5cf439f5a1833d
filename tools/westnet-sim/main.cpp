// westnet-sim: stations of a WestNet II Data HighWay on a pseudo-terminal or
// a serial device. The command line is described in usage.h.
#include <fcntl.h>
#include <getopt.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "faults.h"
#include "image.h"
#include "station.h"
#include "usage.h"

#ifndef WESTNET_VERSION
#error "WESTNET_VERSION is set by the build from the project version"
#endif

namespace westnet::sim {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitLine = 1;
constexpr int kExitUsage = 2;
constexpr int kWriteStallMs = 2000;  // a reply that cannot be written for this long is dropped

struct CharFormat {
    int data_bits = 8;
    char parity = 'O';    // 8O2, the format that the driver suggests
    int stop_halves = 4;  // stop bits in halves: 2 one, 3 one and a half, 4 two
};

struct Options {
    std::vector<std::string> images;
    std::vector<int> stations;
    std::string device;
    std::string link;
    long baud = 0;  // 0: no pacing
    CharFormat format;
    long gap_ms = -1;  // -1: the default
    long turnaround_ms = 0;
    long late_ms = 1500;
    std::uint64_t seed = 1;
    std::vector<std::string> rates;
    std::string script;
    bool has_script = false;
    bool trace = false;
    bool stats = false;
    std::string dump;
};

struct Stats {
    unsigned long frames = 0;
    unsigned long replies = 0;
    unsigned long writes_applied = 0;
    unsigned long partial = 0;
    unsigned long partial_bytes = 0;
    unsigned long send_stalls = 0;
    std::map<std::string, unsigned long> answered;  // by request name
    std::map<std::string, unsigned long> ignored;   // by verdict
    std::map<std::string, unsigned long> faults;    // by fault kind
};

[[noreturn]] void UsageError(const std::string& what) {
    std::fprintf(stderr, "westnet-sim: %s\n\n%s", what.c_str(), kUsage);
    std::exit(kExitUsage);
}

bool ParseLong(const char* text, long low, long high, long& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    errno = 0;
    char* end = nullptr;
    long parsed = std::strtol(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseFormat(const std::string& text, CharFormat& format) {
    if (text.size() < 3 || text[0] < '5' || text[0] > '8') {
        return false;
    }
    char parity = static_cast<char>(text[1] & ~0x20);  // upper case
    if (std::string("NOEMS").find(parity) == std::string::npos) {
        return false;
    }
    std::string stop = text.substr(2);
    int halves = stop == "1" ? 2 : stop == "1.5" ? 3 : stop == "2" ? 4 : 0;
    if (halves == 0) {
        return false;
    }
    format = CharFormat{text[0] - '0', parity, halves};
    return true;
}

speed_t TermiosSpeed(long baud) {
    static const std::pair<long, speed_t> kSpeeds[] = {
        {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},         {200, B200},         {300, B300},         {600, B600},
        {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
        {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
        {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
        {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
        {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& entry : kSpeeds) {
        if (entry.first == baud) {
            return entry.second;
        }
    }
    return B0;
}

Options ParseOptions(int argc, char** argv) {
    enum {
        kImage = 256,
        kStation,
        kDevice,
        kLink,
        kBaud,
        kFormat,
        kGap,
        kTurnaround,
        kLateMs,
        kFault,
        kSeed,
        kScript,
        kTrace,
        kDump,
        kStats,
        kHelp,
        kVersion,
    };
    static const option kLong[] = {
        {"image", required_argument, nullptr, kImage},
        {"station", required_argument, nullptr, kStation},
        {"device", required_argument, nullptr, kDevice},
        {"link", required_argument, nullptr, kLink},
        {"baud", required_argument, nullptr, kBaud},
        {"format", required_argument, nullptr, kFormat},
        {"gap", required_argument, nullptr, kGap},
        {"turnaround", required_argument, nullptr, kTurnaround},
        {"late-ms", required_argument, nullptr, kLateMs},
        {"fault", required_argument, nullptr, kFault},
        {"seed", required_argument, nullptr, kSeed},
        {"script", required_argument, nullptr, kScript},
        {"trace", no_argument, nullptr, kTrace},
        {"dump", required_argument, nullptr, kDump},
        {"stats", no_argument, nullptr, kStats},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    Options options;
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        long number = 0;
        switch (code) {
            case kImage:
                options.images.push_back(optarg);
                break;
            case kStation:
                if (!ParseLong(optarg, 0, kStationMax, number)) {
                    UsageError(std::string("station '") + optarg + "' out of range: 0 to 99");
                }
                options.stations.push_back(static_cast<int>(number));
                break;
            case kDevice:
                options.device = optarg;
                break;
            case kLink:
                options.link = optarg;
                break;
            case kBaud:
                if (!ParseLong(optarg, 1, 4000000, options.baud)) {
                    UsageError(std::string("bad --baud '") + optarg + "': 1 to 4000000");
                }
                break;
            case kFormat:
                if (!ParseFormat(optarg, options.format)) {
                    UsageError(std::string("bad --format '") + optarg +
                               "': data bits 5-8, parity N/O/E/M/S, stop bits 1/1.5/2, e.g. 8O2");
                }
                break;
            case kGap:
                if (!ParseLong(optarg, 1, 60000, options.gap_ms)) {
                    UsageError(std::string("bad --gap '") + optarg + "': 1 to 60000 ms");
                }
                break;
            case kTurnaround:
                if (!ParseLong(optarg, 0, 600000, options.turnaround_ms)) {
                    UsageError(std::string("bad --turnaround '") + optarg + "': 0 to 600000 ms");
                }
                break;
            case kLateMs:
                if (!ParseLong(optarg, 0, 600000, options.late_ms)) {
                    UsageError(std::string("bad --late-ms '") + optarg + "': 0 to 600000 ms");
                }
                break;
            case kFault:
                options.rates.push_back(optarg);
                break;
            case kSeed: {
                char* end = nullptr;
                errno = 0;
                options.seed = std::strtoull(optarg, &end, 10);
                if (*optarg < '0' || *optarg > '9' || *end != '\0' || errno != 0) {
                    UsageError(std::string("bad --seed '") + optarg + "': a whole number");
                }
                break;
            }
            case kScript:
                options.script = optarg;
                options.has_script = true;
                break;
            case kTrace:
                options.trace = true;
                break;
            case kDump:
                options.dump = optarg;
                break;
            case kStats:
                options.stats = true;
                break;
            case kHelp:
                std::fputs(kUsage, stdout);
                std::exit(kExitOk);
            case kVersion:
                std::printf("westnet-sim %s\n", WESTNET_VERSION);
                std::exit(kExitOk);
            default:
                if (optopt != 0 && optopt < 256) {
                    UsageError(std::string("unknown option '-") + static_cast<char>(optopt) + "'");
                }
                UsageError(std::string("bad option '") + argv[optind - 1] + "'");
        }
    }
    if (optind < argc) {
        UsageError(std::string("unexpected argument '") + argv[optind] + "'");
    }
    if (!options.link.empty() && !options.device.empty()) {
        UsageError("--link is for the pseudo-terminal; it does not go with --device");
    }
    if (!options.device.empty() && options.baud != 0 && TermiosSpeed(options.baud) == B0) {
        UsageError("--baud " + std::to_string(options.baud) +
                   " is not a speed that a serial device takes");
    }
    return options;
}

std::int64_t Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void SleepUntil(std::int64_t deadline) {
    timespec at{static_cast<time_t>(deadline / 1000000000),
                static_cast<long>(deadline % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
}

// Raw line: no echo, no line editing, no translation, no flow control.
bool ConfigureRaw(int fd, long baud, const CharFormat& format, std::string& what) {
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        what = std::string("tcgetattr: ") + std::strerror(errno);
        return false;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CMSPAR);
    tio.c_cflag |= CLOCAL | CREAD;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[format.data_bits - 5];
    switch (format.parity) {
        case 'O':
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 'E':
            tio.c_cflag |= PARENB;
            break;
        case 'M':
            tio.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 'S':
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (format.stop_halves > 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (baud != 0) {
        speed_t speed = TermiosSpeed(baud);
        if (speed != B0) {
            cfsetispeed(&tio, speed);
            cfsetospeed(&tio, speed);
        }
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        what = std::string("tcsetattr: ") + std::strerror(errno);
        return false;
    }
    return true;
}

struct Line {
    int fd = -1;
    int slave = -1;  // our own hold on the pseudo-terminal's far end
    std::string path;
};

// A pseudo-terminal whose far end stays open here too, so that the driver
// can open and close it as often as it likes without the near end seeing a
// hang-up.
bool OpenPty(const Options& options, Line& line, std::string& what) {
    line.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (line.fd < 0 || grantpt(line.fd) != 0 || unlockpt(line.fd) != 0) {
        what = std::string("cannot open a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    char name[128];
    if (ptsname_r(line.fd, name, sizeof name) != 0) {
        what = std::string("ptsname: ") + std::strerror(errno);
        return false;
    }
    line.path = name;
    line.slave = open(name, O_RDWR | O_NOCTTY);
    if (line.slave < 0) {
        what = "cannot open " + line.path + ": " + std::strerror(errno);
        return false;
    }
    if (!ConfigureRaw(line.slave, options.baud, options.format, what)) {
        return false;
    }
    fcntl(line.fd, F_SETFL, fcntl(line.fd, F_GETFL) | O_NONBLOCK);
    return true;
}

bool OpenDevice(const Options& options, Line& line, std::string& what) {
    long baud = options.baud != 0 ? options.baud : 9600;  // checked by ParseOptions
    line.path = options.device;
    line.fd = open(options.device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line.fd < 0) {
        what = "cannot open " + options.device + ": " + std::strerror(errno);
        return false;
    }
    if (!ConfigureRaw(line.fd, baud, options.format, what)) {
        what = options.device + ": " + what;
        return false;
    }
    tcflush(line.fd, TCIOFLUSH);
    return true;
}

bool MakeLink(const std::string& link, const std::string& target, std::string& what) {
    struct stat info;
    if (lstat(link.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode)) {
            what = link + " exists and is not a symbolic link";
            return false;
        }
        unlink(link.c_str());  // left behind by an earlier run
    }
    if (symlink(target.c_str(), link.c_str()) != 0) {
        what = "cannot link " + link + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void RemoveLink(const std::string& link, const std::string& target) {
    char points[512];
    ssize_t length = readlink(link.c_str(), points, sizeof points - 1);
    if (length >= 0 && std::string(points, static_cast<std::size_t>(length)) == target) {
        unlink(link.c_str());
    }
}

bool WriteDump(const std::string& path, const Plant& plant) {
    std::string temporary = path + ".tmp";
    std::string text = DumpImage(plant);
    FILE* file = std::fopen(temporary.c_str(), "w");
    bool ok = file != nullptr && std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (file != nullptr && std::fclose(file) != 0) {
        ok = false;
    }
    if (ok && std::rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
    }
    if (!ok) {
        std::fprintf(stderr, "westnet-sim: cannot write dump %s: %s\n", path.c_str(),
                     std::strerror(errno));
        std::remove(temporary.c_str());
    }
    return ok;
}

class Simulator {
public:
    Simulator(const Options& options, Plant& plant, FaultPlan& faults, Line& line, int signals)
        : options_(options), plant_(plant), faults_(faults), line_(line), signals_(signals) {
        start_ = Now();
        if (options.baud != 0) {
            // A character is a start bit, the data bits, a parity bit unless
            // there is none, and the stop bits.
            long halves = 2 + 2 * options.format.data_bits +
                          (options.format.parity == 'N' ? 0 : 2) + options.format.stop_halves;
            char_ns_ = halves * 500000000LL / options.baud;
        }
        gap_ns_ = options.gap_ms >= 0 ? options.gap_ms * 1000000LL
                                      : std::max<std::int64_t>(20000000LL, 3 * char_ns_);
    }

    // Serves the line until a terminating signal; returns the exit status.
    int Run() {
        std::int64_t last_byte = 0;
        // The gap runs from the last byte read, or from the end of the last
        // reply if that came later: bytes that arrive while a reply is being
        // sent wait unread and must not count as a gap.
        std::int64_t quiet_since = 0;
        while (true) {
            int timeout = -1;
            if (framer_.Pending()) {
                std::int64_t left = quiet_since + gap_ns_ - Now();
                timeout = left <= 0 ? 0 : static_cast<int>((left + 999999) / 1000000);
            }
            pollfd fds[2] = {{line_.fd, POLLIN, 0}, {signals_, POLLIN, 0}};
            int ready = poll(fds, 2, timeout);
            if (ready < 0) {
                if (errno == EINTR) {
                    continue;
                }
                std::fprintf(stderr, "westnet-sim: poll: %s\n", std::strerror(errno));
                return kExitLine;
            }
            if (fds[1].revents & POLLIN) {
                signalfd_siginfo info;
                if (read(signals_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                    if (info.ssi_signo == SIGUSR1) {
                        if (!options_.dump.empty()) {
                            WriteDump(options_.dump, plant_);
                        }
                    } else {
                        return kExitOk;
                    }
                }
            }
            if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
                std::uint8_t buffer[1024];
                ssize_t got = read(line_.fd, buffer, sizeof buffer);
                if (got > 0) {
                    last_byte = Now();
                    quiet_since = last_byte;
                    for (ssize_t i = 0; i < got; ++i) {
                        if (framer_.Push(buffer[i])) {
                            if (!Answer(framer_.frame(), last_byte)) {
                                return kExitLine;
                            }
                            quiet_since = Now();
                        }
                    }
                } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                    std::fprintf(stderr, "westnet-sim: %s: %s\n", line_.path.c_str(),
                                 got == 0 ? "line closed" : std::strerror(errno));
                    return kExitLine;
                }
            }
            if (framer_.Pending() && Now() - quiet_since >= gap_ns_) {
                Bytes dropped = framer_.Gap();
                if (!dropped.empty()) {
                    ++stats_.partial;
                    stats_.partial_bytes += dropped.size();
                    Trace(last_byte, dropped, Bytes(),
                          "dropped " + std::to_string(dropped.size()) +
                              " bytes: incomplete frame, or the rest of an ignored one");
                }
            }
        }
    }

    void PrintStats() const {
        std::fprintf(stderr, "westnet-sim: %lu frames, %lu replies, %lu writes applied\n",
                     stats_.frames, stats_.replies, stats_.writes_applied);
        for (const auto& entry : stats_.answered) {
            std::fprintf(stderr, "  answered %-12s %lu\n", entry.first.c_str(), entry.second);
        }
        for (const auto& entry : stats_.ignored) {
            std::fprintf(stderr, "  ignored  %-20s %lu\n", entry.first.c_str(), entry.second);
        }
        for (const auto& entry : stats_.faults) {
            std::fprintf(stderr, "  fault    %-12s %lu\n", entry.first.c_str(), entry.second);
        }
        std::fprintf(stderr, "  dropped  %lu bytes in %lu incomplete frames or ignored tails\n",
                     stats_.partial_bytes, stats_.partial);
        if (stats_.send_stalls != 0) {
            std::fprintf(stderr, "  stalled  %lu replies could not be written\n",
                         stats_.send_stalls);
        }
    }

private:
    // `arrival`: when the read that completed the request returned.
    bool Answer(const Bytes& frame, std::int64_t arrival) {
        Outcome outcome = Serve(plant_, faults_, frame);
        ++stats_.frames;
        if (outcome.request.Answered()) {
            std::string name = Describe(outcome.request);
            ++stats_.answered[name.substr(0, name.find(' '))];
            if (outcome.fault.kind != FaultKind::kOk) {
                ++stats_.faults[FaultName(outcome.fault.kind)];
            }
            if (outcome.applied && outcome.request.IsWrite()) {
                ++stats_.writes_applied;
            }
        } else {
            ++stats_.ignored[VerdictName(outcome.request.verdict)];
        }
        Trace(arrival, frame, outcome.reply, outcome.text);
        if (outcome.reply.empty()) {
            return true;
        }
        ++stats_.replies;
        std::int64_t deadline = arrival + (options_.turnaround_ms + outcome.delay_ms) * 1000000LL;
        return Send(outcome.reply, deadline);
    }

    // Writes a reply at `deadline`; with a baud rate every byte leaves one
    // character time after the one before, as it would come off a wire.
    bool Send(const Bytes& reply, std::int64_t deadline) {
        if (char_ns_ == 0) {
            SleepUntil(deadline);
            return WriteAll(reply.data(), reply.size());
        }
        std::int64_t at = deadline;
        for (std::uint8_t byte : reply) {
            at += char_ns_;
            SleepUntil(at);
            if (!WriteAll(&byte, 1)) {
                return false;
            }
        }
        return true;
    }

    // False only for a line failure; a line that stays full is given up on.
    bool WriteAll(const std::uint8_t* bytes, std::size_t length) {
        while (length != 0) {
            ssize_t put = write(line_.fd, bytes, length);
            if (put > 0) {
                bytes += put;
                length -= static_cast<std::size_t>(put);
                continue;
            }
            if (put < 0 && errno == EINTR) {
                continue;
            }
            if (put < 0 && errno != EAGAIN) {
                std::fprintf(stderr, "westnet-sim: %s: write: %s\n", line_.path.c_str(),
                             std::strerror(errno));
                return false;
            }
            pollfd out{line_.fd, POLLOUT, 0};
            if (poll(&out, 1, kWriteStallMs) <= 0) {
                ++stats_.send_stalls;
                return true;
            }
        }
        return true;
    }

    void Trace(std::int64_t at, const Bytes& rx, const Bytes& tx, const std::string& text) const {
        if (!options_.trace) {
            return;
        }
        std::int64_t since = at - start_;
        std::fprintf(stderr, "%lld.%06lld rx %s | tx %s | %s\n",
                     static_cast<long long>(since / 1000000000),
                     static_cast<long long>(since % 1000000000 / 1000), HexBytes(rx).c_str(),
                     HexBytes(tx).c_str(), text.c_str());
    }

    const Options& options_;
    Plant& plant_;
    FaultPlan& faults_;
    Line& line_;
    int signals_;
    Framer framer_;
    Stats stats_;
    std::int64_t start_ = 0;
    std::int64_t char_ns_ = 0;
    std::int64_t gap_ns_ = 0;
};

int Main(int argc, char** argv) {
    Options options = ParseOptions(argc, argv);

    Plant plant;
    for (const std::string& path : options.images) {
        ImageError error;
        if (!LoadImageFile(path, plant, error)) {
            std::fprintf(stderr, "%s\n", error.Message().c_str());
            return kExitUsage;
        }
    }
    for (int station : options.stations) {
        plant.AddStation(station);
    }
    if (plant.Stations().empty()) {
        std::fprintf(stderr,
                     "westnet-sim: no stations (--image, --station): nothing will answer\n");
    }

    FaultPlan faults;
    faults.Seed(options.seed);
    faults.SetLateMs(static_cast<int>(options.late_ms));
    std::string what;
    for (const std::string& rate : options.rates) {
        if (!faults.AddRate(rate, what)) {
            UsageError(what);
        }
    }
    if (options.has_script) {
        std::vector<Fault> script;
        if (!ParseScript(options.script, script, what)) {
            UsageError(what);
        }
        faults.SetScript(std::move(script));
    }

    // Signals arrive through a descriptor, so that the loop ends cleanly
    // between exchanges and never in the middle of a reply or a dump.
    sigset_t mask;
    sigemptyset(&mask);
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) {
        sigaddset(&mask, signal_number);
    }
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int signals = signalfd(-1, &mask, SFD_CLOEXEC);
    signal(SIGPIPE, SIG_IGN);
    if (signals < 0) {
        std::fprintf(stderr, "westnet-sim: signalfd: %s\n", std::strerror(errno));
        return kExitLine;
    }

    Line line;
    bool opened =
        options.device.empty() ? OpenPty(options, line, what) : OpenDevice(options, line, what);
    if (!opened) {
        std::fprintf(stderr, "westnet-sim: %s\n", what.c_str());
        return kExitLine;
    }
    if (!options.link.empty() && !MakeLink(options.link, line.path, what)) {
        std::fprintf(stderr, "westnet-sim: %s\n", what.c_str());
        return kExitLine;
    }

    std::printf("device: %s\n", line.path.c_str());
    std::fflush(stdout);

    Simulator simulator(options, plant, faults, line, signals);
    int status = simulator.Run();

    if (!options.link.empty()) {
        RemoveLink(options.link, line.path);
    }
    if (!options.dump.empty() && !WriteDump(options.dump, plant) && status == kExitOk) {
        status = kExitLine;
    }
    if (options.stats) {
        simulator.PrintStats();
    }
    return status;
}

}  // namespace
}  // namespace westnet::sim

int main(int argc, char** argv) {
    return westnet::sim::Main(argc, argv);
}
