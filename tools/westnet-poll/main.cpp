// westnet-poll: reads and writes points on a WestNet II Data HighWay line
// through the driver library, standing in for the supervisory host.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "commands.h"
#include "options.h"
#include "serial_device.h"
#include "session.h"
#include "system.h"
#include "usage.h"

namespace westnet::poll {
namespace {

using host::LoadDriver;
using host::LoadedDriver;

// The --points file, whole; an error text, or empty.
std::string ReadPointsFile(const std::string& path, std::string& text) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return "cannot read the points file " + path + ": " + std::strerror(errno);
    }
    char chunk[4096];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, n);
        if (text.size() > (1U << 20)) {
            std::fclose(file);
            return "the points file " + path + " is larger than 1 MiB: is it the right file?";
        }
    }
    std::fclose(file);
    return {};
}

int Main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    ParseOutcome outcome = ParseCommandLine(args);
    if (!outcome.ok) {
        Complain(outcome.error);
        std::fprintf(stderr, "Try '%s --help'.\n", kProgram);
        return kExitUsage;
    }
    Options& options = outcome.options;
    if (options.help) {
        Print(kUsageText);
        return kExitOk;
    }
    if (options.version) {
        Print(std::string(kProgram) + " " + WESTNET_VERSION + "\n");
        return kExitOk;
    }
    if (!options.pointsFile.empty()) {
        std::string text;
        std::string error = ReadPointsFile(options.pointsFile, text);
        if (error.empty()) {
            error = CompleteArguments(options, PointsFileLines(text));
        }
        if (!error.empty()) {
            Complain(error);
            return kExitUsage;
        }
    }
    for (const std::string& warning : IgnoredOptions(options)) {
        Warn(warning);
    }
    if (!options.device.empty()) {
        // Checked here for a clear refusal; the name the driver is given is
        // found again at every open, so that a reopen follows the path.
        const host::DriverDeviceName named = host::NameForDriver(options.device);
        if (!named.error.empty()) {
            Complain(named.error);
            return kExitUsage;
        }
    }
    const LoadedDriver driver = LoadDriver(options.driverPath);
    if (driver.zanMain == nullptr) {
        Complain("cannot load the driver " + driver.path + ": " + driver.error);
        return kExitNoDriver;
    }
    return RunCommand(options, driver.zanMain);
}

}  // namespace
}  // namespace westnet::poll

int main(int argc, char** argv) {
    return westnet::poll::Main(argc, argv);
}
