// westnet-sim: stations of a WestNet II Data HighWay on a pseudo-terminal or
// a serial device. The command line is described in usage.h; the line, the
// clock and the signals come from the platform's line layer (line.h).
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "animate.h"
#include "control.h"
#include "faults.h"
#include "image.h"
#include "line.h"
#include "options.h"
#include "simulator.h"
#include "station.h"
#include "usage.h"

#ifndef WESTNET_VERSION
#error "WESTNET_VERSION is set by the build from the project version"
#endif

namespace westnet::sim {
namespace {

int UsageError(const std::string& what) {
    std::fprintf(stderr, "westnet-sim: %s\n%s\n", what.c_str(), kUsageLine);
    return kExitUsage;
}

int Main(int argc, char** argv) {
    Options options;
    std::string what;
    switch (ParseOptions(argc, argv, options, what)) {
        case Parsed::kHelp:
            std::fputs(kUsage, stdout);
            return kExitOk;
        case Parsed::kVersion:
            std::printf("westnet-sim %s\n", WESTNET_VERSION);
            return kExitOk;
        case Parsed::kBad:
            return UsageError(what);
        case Parsed::kRun:
            break;
    }
    what = CheckLineOptions(options);
    if (!what.empty()) {
        return UsageError(what);
    }

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
    Animator animator;
    for (const std::string& text : options.animations) {
        Animation animation;
        if (!ParseAnimation(text, animation, what) || !animator.Add(animation, plant, what)) {
            return UsageError(what);
        }
    }
    FaultPlan faults;
    faults.Seed(options.seed);
    faults.SetLateMs(static_cast<int>(options.late_ms));
    for (const std::string& rate : options.rates) {
        if (!faults.AddRate(rate, what)) {
            return UsageError(what);
        }
    }
    if (options.has_script) {
        std::vector<Fault> script;
        if (!ParseScript(options.script, script, what)) {
            return UsageError(what);
        }
        faults.SetScript(std::move(script));
    }
    // A dump that cannot be written is found now, not after a session's
    // writes.
    if (!options.dump.empty() && !CheckDumpPath(options.dump, what)) {
        std::fprintf(stderr, "westnet-sim: %s\n", what.c_str());
        return kExitUsage;
    }

    if (plant.Stations().empty()) {
        std::fprintf(stderr,
                     "westnet-sim: no stations (--image, --station, --animate): nothing will "
                     "answer\n");
    }
    std::unique_ptr<Line> line = OpenLine(options, what);
    if (!line) {
        std::fprintf(stderr, "westnet-sim: %s\n", what.c_str());
        return kExitLine;
    }
    StationControls controls(options.seed, static_cast<int>(options.late_ms));
    Simulator simulator(options, plant, faults, controls, animator, *line);
    std::printf("device: %s\n", line->Path().c_str());
    std::fflush(stdout);

    int status = simulator.Run();
    if (!options.dump.empty() && !simulator.Dump() && status == kExitOk) {
        status = kExitLine;
    }
    if (options.stats) {
        simulator.PrintStats();
    }
    line.reset();  // the link goes, and a closing console may let the process end
    return status;
}

}  // namespace
}  // namespace westnet::sim

int main(int argc, char** argv) {
    return westnet::sim::Main(argc, argv);
}
