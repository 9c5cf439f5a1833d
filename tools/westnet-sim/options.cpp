#include "options.h"

#include <getopt.h>

#include <cerrno>
#include <cstdlib>

#include "station.h"
#include "text.h"

namespace westnet::sim {
namespace {

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

}  // namespace

Parsed ParseOptions(int argc, char** argv, Options& options, std::string& what) {
    enum {
        kImage = 256,
        kStation,
        kAnimate,
        kDevice,
        kLink,
        kControl,
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
        {"animate", required_argument, nullptr, kAnimate},
        {"device", required_argument, nullptr, kDevice},
        {"link", required_argument, nullptr, kLink},
        {"control", required_argument, nullptr, kControl},
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
    opterr = 0;
    int code;
    while ((code = getopt_long(argc, argv, "", kLong, nullptr)) != -1) {
        long number = 0;
        std::string value = optarg != nullptr ? optarg : "";
        switch (code) {
            case kImage:
                options.images.push_back(value);
                break;
            case kStation:
                if (!ParseLong(optarg, 0, kStationMax, number)) {
                    what = "station " + Quoted(value) + " out of range: 0 to 99";
                    return Parsed::kBad;
                }
                options.stations.push_back(static_cast<int>(number));
                break;
            case kAnimate:
                options.animations.push_back(value);
                break;
            case kDevice:
                options.device = value;
                break;
            case kLink:
                options.link = value;
                break;
            case kControl:
                if (value.empty()) {
                    what = "--control needs the path of the socket to make";
                    return Parsed::kBad;
                }
                options.control = value;
                break;
            case kBaud:
                if (!ParseLong(optarg, 1, 4000000, options.baud)) {
                    what = "bad --baud " + Quoted(value) + ": 1 to 4000000";
                    return Parsed::kBad;
                }
                break;
            case kFormat:
                if (!ParseFormat(value, options.format)) {
                    what = "bad --format " + Quoted(value) +
                           ": data bits 5-8, parity N/O/E/M/S, stop bits 1/1.5/2, e.g. 8O2";
                    return Parsed::kBad;
                }
                break;
            case kGap:
                if (!ParseLong(optarg, 1, 60000, options.gap_ms)) {
                    what = "bad --gap " + Quoted(value) + ": 1 to 60000 ms";
                    return Parsed::kBad;
                }
                break;
            case kTurnaround:
                if (!ParseLong(optarg, 0, 600000, options.turnaround_ms)) {
                    what = "bad --turnaround " + Quoted(value) + ": 0 to 600000 ms";
                    return Parsed::kBad;
                }
                break;
            case kLateMs:
                if (!ParseLong(optarg, 0, 600000, options.late_ms)) {
                    what = "bad --late-ms " + Quoted(value) + ": 0 to 600000 ms";
                    return Parsed::kBad;
                }
                break;
            case kFault:
                options.rates.push_back(value);
                break;
            case kSeed: {
                char* end = nullptr;
                errno = 0;
                options.seed = std::strtoull(value.c_str(), &end, 10);
                if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' ||
                    errno != 0) {
                    what = "bad --seed " + Quoted(value) + ": a whole number";
                    return Parsed::kBad;
                }
                break;
            }
            case kScript:
                options.script = value;
                options.has_script = true;
                break;
            case kTrace:
                options.trace = true;
                break;
            case kDump:
                options.dump = value;
                break;
            case kStats:
                options.stats = true;
                break;
            case kHelp:
                return Parsed::kHelp;
            case kVersion:
                return Parsed::kVersion;
            default:
                if (optopt != 0 && optopt < 256) {
                    what = "unknown option " + Quoted(std::string("-") + static_cast<char>(optopt));
                } else {
                    what = "bad option " + Quoted(argv[optind - 1]);
                }
                return Parsed::kBad;
        }
    }
    if (optind < argc) {
        what = "unexpected argument " + Quoted(argv[optind]);
        return Parsed::kBad;
    }
    if (!options.link.empty() && !options.device.empty()) {
        what = "--link is for the pseudo-terminal; it does not go with --device";
        return Parsed::kBad;
    }
    return Parsed::kRun;
}

}  // namespace westnet::sim
