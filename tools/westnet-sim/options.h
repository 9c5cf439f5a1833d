// westnet-sim's command line (described in usage.h), the same on every
// platform; what a platform's line cannot do is refused by its line layer
// (line.h, CheckLineOptions).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace westnet::sim {

constexpr int kExitOk = 0;
constexpr int kExitLine = 1;
constexpr int kExitUsage = 2;

struct CharFormat {
    int data_bits = 8;
    char parity = 'O';    // 8O2, the format that the driver suggests
    int stop_halves = 4;  // stop bits in halves: 2 one, 3 one and a half, 4 two
};

struct Options {
    std::vector<std::string> images;
    std::vector<int> stations;
    std::vector<std::string> animations;  // ADDRESS=KIND[:MS], checked by ParseAnimation
    std::string device;
    std::string link;
    std::string control;  // the control socket's path; "" for none
    long baud = 0;        // 0: no pacing
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

enum class Parsed { kRun, kHelp, kVersion, kBad };

// Reads the command line; for kBad, `what` says what is wrong with it.
Parsed ParseOptions(int argc, char** argv, Options& options, std::string& what);

// The one line printed after a bad option, before the pointer to --help.
constexpr const char* kUsageLine =
    "Usage: westnet-sim [OPTIONS]   (westnet-sim --help for all of them)";

}  // namespace westnet::sim
