// westnet-gateway: owns the serial lines of a plant of WestNet II Data
// HighWay controllers, scans them through the driver in block reads, and
// serves the values to the front ends (HTTP, Modbus TCP, MQTT).
#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "http/http_front_end.h"
#include "log/log.h"
#include "modbus/server.h"
#include "mqtt/mqtt.h"
#include "plant/reader.h"
#include "scan/driver_channel.h"
#include "scan/plan.h"
#include "scan/scan_service.h"
#include "system.h"

namespace westnet::gateway {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitPlant = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFrontEnd = 3;
constexpr int kExitNoDriver = 5;

// Every front end, in the order they start; each maker returns null when the
// plant file turns its front end off ("" as its address). A new front end is
// one line here.
using FrontEndMaker = std::unique_ptr<FrontEnd> (*)(const GatewayConfig&, Service&);
const FrontEndMaker kFrontEnds[] = {
    &http::MakeHttpFrontEnd,
    &modbus::MakeModbusFrontEnd,
    &mqtt::MakeMqttFrontEnd,
};

const char* const kDescription =
    R"(westnet-gateway: serves a plant of WestNet II Data HighWay controllers.

Reads the plant file (TOML: the [gateway] front ends, each [[line]] with its
serial device and settings, each [[line.point]] with its address), opens every
line through the driver, scans the points in block reads, and serves their
values, qualities and the lines' statistics over HTTP: a status page at /, a
JSON API under /api, Prometheus metrics at /metrics; and over Modbus TCP
([gateway] modbus: unit = modbus_unit_offset + station, holding and input
registers, coils of bit points with a coil key); and to an MQTT broker
([gateway] mqtt: a retained message per point, writes on its /set topic). A
station that stops answering is demoted and probed now and then, so that it
never stalls the others; a line whose stations all fail is closed and opened
again until it answers. docs/gateway.md describes the plant file key by key.)";

const char* const kFooter = R"(EXIT STATUS
  0   stopped by SIGINT or SIGTERM, or --check found the plant file good
  1   the plant file has errors (each as FILE:LINE: KEY: what is wrong)
  2   a bad command line
  3   a front end cannot start (its address in use, for example)
  5   the driver library cannot be loaded

EXAMPLES
  westnet-gateway --check /etc/westnet/gateway.toml
  westnet-gateway --log-level debug examples/gateway.toml)";

int Run(const std::string& plantPath, bool check) {
    const host::LoadedDriver driver = host::LoadDriver("");
    if (driver.zanMain == nullptr) {
        Log(LogLevel::Error, "cannot load the driver " + driver.path + ": " + driver.error);
        return kExitNoDriver;
    }
    Plant plant;
    {
        host::Session parser(driver.zanMain);
        std::vector<std::string> errors;
        if (!ReadPlantFile(plantPath, parser, plant, errors)) {
            for (const std::string& e : errors) {
                std::fprintf(stderr, "%s\n", e.c_str());
            }
            std::fprintf(stderr,
                         "westnet-gateway: %zu error%s in the plant file; nothing started\n",
                         errors.size(), errors.size() == 1 ? "" : "s");
            return kExitPlant;
        }
    }
    if (check) {
        std::fputs(DescribePlan(plant).c_str(), stdout);
        std::printf("\nthe plant file is good\n");
        return kExitOk;
    }

    // Signals are taken by this thread alone, with sigwait: every thread
    // started from here on inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const SystemClock clock;
    const host::ZanMainFn zanMain = driver.zanMain;
    ScanService service(
        plant,
        [zanMain](const LineConfig& line) {
            return std::make_unique<DriverChannel>(zanMain, line);
        },
        clock);
    service.Start();

    std::vector<std::unique_ptr<FrontEnd>> frontEnds;
    for (const FrontEndMaker make : kFrontEnds) {
        std::unique_ptr<FrontEnd> frontEnd = make(plant.gateway, service);
        if (!frontEnd) {
            continue;
        }
        std::string error;
        if (!frontEnd->Start(error)) {
            Log(LogLevel::Error, error);
            for (auto it = frontEnds.rbegin(); it != frontEnds.rend(); ++it) {
                (*it)->Stop();
            }
            service.Stop();
            return kExitFrontEnd;
        }
        frontEnds.push_back(std::move(frontEnd));
    }
    std::string names;
    for (const auto& f : frontEnds) {
        names += (names.empty() ? "" : ", ") + f->Name();
    }
    Log(LogLevel::Info, "serving " + std::to_string(plant.lines.size()) + " line" +
                            (plant.lines.size() == 1 ? "" : "s") + " from " + plant.path +
                            "; front ends: " + (names.empty() ? "none" : names));

    for (;;) {
        int received = 0;
        if (sigwait(&signals, &received) != 0) {
            continue;
        }
        if (received == SIGHUP) {
            Log(LogLevel::Warning,
                "SIGHUP: this gateway cannot read its plant file again while it runs; restart "
                "it to apply changes");
            continue;
        }
        Log(LogLevel::Info, std::string(received == SIGINT ? "SIGINT" : "SIGTERM") + ": stopping");
        break;
    }
    // Front ends first, so that nothing new reaches a line that is closing.
    for (auto it = frontEnds.rbegin(); it != frontEnds.rend(); ++it) {
        (*it)->Stop();
    }
    service.Stop();
    Log(LogLevel::Info, "stopped");
    return kExitOk;
}

int Main(int argc, char** argv) {
    CLI::App app{kDescription, "westnet-gateway"};
    app.footer(kFooter);
    app.get_formatter()->column_width(28);
    bool check = false;
    std::string level = "info";
    std::string plantPath;
    app.add_flag("--check", check,
                 "Check the plant file and print the read plan (the blocks per station and "
                 "their wire time at the line's speed), opening nothing");
    app.add_option("--log-level", level, "error, warning, info (the default) or debug")
        ->check(CLI::IsMember({"error", "warning", "info", "debug"}));
    app.add_option("PLANT", plantPath, "The plant file (TOML)")->required();
    app.set_version_flag("--version", std::string("westnet-gateway ") + WESTNET_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    LogLevel logLevel = LogLevel::Info;
    ParseLogLevel(level, logLevel);
    SetLogLevel(logLevel);
    return Run(plantPath, check);
}

}  // namespace
}  // namespace westnet::gateway

int main(int argc, char** argv) {
    try {
        return westnet::gateway::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "westnet-gateway: %s\n", e.what());
    }
    return 1;
}
