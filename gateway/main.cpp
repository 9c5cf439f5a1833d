// westnet-gateway: owns the serial lines of a plant of WestNet II Data
// HighWay controllers, scans them through the driver in block reads, and
// serves the values to the front ends (HTTP, Modbus TCP, MQTT).
// Runs by hand or as a systemd service (Type=notify, with a watchdog).
#include <pthread.h>
#include <signal.h>
#include <algorithm>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "audit/audit.h"
#include "auth/user_cli.h"
#include "history/recorder.h"
#include "http/http_front_end.h"
#include "log/log.h"
#include "modbus/server.h"
#include "mqtt/mqtt.h"
#include "opcua/opcua.h"
#include "plant/exposure.h"
#include "plant/reader.h"
#include "scan/driver_channel.h"
#include "scan/plan.h"
#include "scan/scan_service.h"
#include "sparkplug/sparkplug.h"
#include "system.h"
#include "systemd/notify.h"
#include "usage.h"

namespace westnet::gateway {
namespace {

constexpr int kExitOk = 0;
constexpr int kExitPlant = 1;
constexpr int kExitUsage = 2;
constexpr int kExitFrontEnd = 3;
constexpr int kExitStuck = 4;
constexpr int kExitNoDriver = 5;

// Every front end, in the order they start; each maker returns null when the
// plant file turns its front end off ("" as its address). A new front end is
// one line here.
using FrontEndMaker = std::unique_ptr<FrontEnd> (*)(const GatewayConfig&, Service&);
const FrontEndMaker kFrontEnds[] = {
    &http::MakeHttpFrontEnd,           &modbus::MakeModbusFrontEnd,   &mqtt::MakeMqttFrontEnd,
    &sparkplug::MakeSparkplugFrontEnd, &history::MakeHistoryFrontEnd, &opcua::MakeOpcuaFrontEnd,
};

// How often the main thread looks at the lines while it waits for a signal;
// faster until the daemon is ready, so that READY=1 follows the last open.
constexpr std::chrono::milliseconds kTick{1000};
constexpr std::chrono::milliseconds kStartingTick{20};

std::string Plural(std::size_t n, const std::string& what) {
    return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
}

std::string Names(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names) {
        out += (out.empty() ? "" : ", ") + n;
    }
    return out.empty() ? "none" : out;
}

class Daemon {
public:
    Daemon(host::ZanMainFn zanMain, std::string plantPath, Plant plant)
        : zanMain_(zanMain),
          plantPath_(std::move(plantPath)),
          service_(
              std::move(plant),
              [zanMain](const LineConfig& line) {
                  return std::make_unique<DriverChannel>(zanMain, line);
              },
              clock_) {}

    int Run() {
        // Signals are taken by this thread alone: every thread started from
        // here on inherits the mask.
        sigset_t signals;
        sigemptyset(&signals);
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&signals, s);
        }
        pthread_sigmask(SIG_BLOCK, &signals, nullptr);
        signal(SIGPIPE, SIG_IGN);

        const GatewayConfig& settings = service_.PlantConfig().gateway;
        audit_ = std::make_unique<AuditLog>(
            settings.auditFile, static_cast<std::uint64_t>(settings.auditMaxMb) * 1024 * 1024);
        std::string error;
        if (!audit_->Open(error)) {
            // The journal still has every record; the gateway stays up rather
            // than leave the plant unwatched.
            Log(LogLevel::Error, error);
        }
        service_.SetAudit(audit_.get());
        service_.Start();
        if (!StartFrontEnds(service_.PlantConfig().gateway, nullptr, error)) {
            Log(LogLevel::Error, error);
            StopFrontEnds();
            service_.Stop();
            return kExitFrontEnd;
        }
        const Plant& plant = service_.PlantConfig();
        for (const std::string& warning : ExposureWarnings(plant.gateway)) {
            Log(LogLevel::Warning, warning);
        }
        Log(LogLevel::Info, "serving " + Plural(plant.lines.size(), "line") + " from " +
                                plant.path + "; front ends: " + FrontEndNames());
        if (notifier_.WatchdogInterval().count() > 0) {
            Log(LogLevel::Info, "the systemd watchdog is fed every " +
                                    std::to_string(notifier_.WatchdogInterval().count() / 1000) +
                                    " ms while every line's worker moves");
        }

        bool ready = false;
        for (;;) {
            auto tick = ready ? kTick : kStartingTick;
            if (notifier_.WatchdogInterval().count() > 0) {
                tick = std::min(tick, std::chrono::duration_cast<std::chrono::milliseconds>(
                                          notifier_.WatchdogInterval()));
            }
            const timespec wait{static_cast<time_t>(tick.count() / 1000),
                                static_cast<long>(tick.count() % 1000) * 1000000L};
            const int received = sigtimedwait(&signals, nullptr, &wait);
            const bool healthy = Watch();
            if (!ready && service_.Settled()) {
                ready = true;
                status_ = Summary();
                notifier_.Ready(status_);
                Log(LogLevel::Info, "ready: " + status_);
            }
            if (received == SIGHUP) {
                Reload();
            } else if (received == SIGINT || received == SIGTERM) {
                return Stop(received == SIGINT ? "SIGINT" : "SIGTERM");
            } else if (ready) {
                const std::string now = Summary();
                if (now != status_) {
                    status_ = now;
                    notifier_.Status(status_);
                }
            }
            if (healthy) {
                notifier_.Watchdog();
            }
        }
    }

private:
    // Looks at every line's worker and logs the ones that became stuck or
    // moved again; true when none is stuck.
    bool Watch() {
        bool healthy = true;
        for (const WorkerHealth& h : service_.Health(clock_.Now())) {
            bool& was = stuck_[h.line];
            if (h.stuck && !was) {
                LogLine(LogLevel::Error, h.line,
                        h.why + (notifier_.WatchdogInterval().count() > 0
                                     ? "; the watchdog is no longer fed"
                                     : ""));
                // What `systemctl status` shows until systemd acts on it.
                notifier_.Status("line " + h.line + ": " + h.why);
            } else if (!h.stuck && was) {
                LogLine(LogLevel::Info, h.line, "its worker moves again");
                status_.clear();  // the next tick tells how the lines stand
            }
            was = h.stuck;
            healthy = healthy && !h.stuck;
        }
        return healthy;
    }

    std::string Summary() const {
        const Plant& plant = service_.PlantConfig();
        std::size_t up = 0;
        for (std::size_t i = 0; i < plant.lines.size(); ++i) {
            up += service_.LineUp(i) ? 1 : 0;
        }
        return Plural(plant.lines.size(), "line") + " (" + std::to_string(up) + " up, " +
               std::to_string(plant.lines.size() - up) + " down); front ends: " + FrontEndNames();
    }

    std::string FrontEndNames() const {
        std::vector<std::string> names;
        for (const auto& f : frontEnds_) {
            names.push_back(f->Name());
        }
        return Names(names);
    }

    // Starts every front end the settings turn on. With `fallback` (a
    // reload), one that cannot start on the new settings is started on the
    // previous ones, which served a moment ago; without (at start), the
    // first that cannot start fails the whole.
    bool StartFrontEnds(const GatewayConfig& config, const GatewayConfig* fallback,
                        std::string& error) {
        for (const FrontEndMaker make : kFrontEnds) {
            std::unique_ptr<FrontEnd> frontEnd = make(config, service_);
            if (!frontEnd || Running(frontEnd->Name())) {
                continue;  // off, or kept through a reload
            }
            if (frontEnd->Start(error)) {
                frontEnds_.push_back(std::move(frontEnd));
                continue;
            }
            if (fallback == nullptr) {
                return false;
            }
            std::string text = error;
            text += "; ";
            text += frontEnd->Name();
            frontEnd = make(*fallback, service_);
            std::string again;
            if (frontEnd && frontEnd->Start(again)) {
                text += " serves on its previous settings until the plant file is read again";
                frontEnds_.push_back(std::move(frontEnd));
            } else {
                text += " is off until the plant file is read again";
            }
            Log(LogLevel::Error, text);
        }
        return true;
    }

    bool Running(const std::string& name) const {
        for (const auto& f : frontEnds_) {
            if (f->Name() == name) {
                return true;
            }
        }
        return false;
    }

    // Front ends in reverse order; once this returns none calls the service.
    void StopFrontEnds() {
        for (auto it = frontEnds_.rbegin(); it != frontEnds_.rend(); ++it) {
            (*it)->Stop();
        }
        frontEnds_.clear();
    }

    void Reload() {
        notifier_.Reloading();
        Log(LogLevel::Info, "SIGHUP: reading " + plantPath_ + " again");
        Plant next;
        std::vector<std::string> errors;
        bool read = false;
        {
            // Parse commands run here alone: the lines never parse.
            host::Session parser(zanMain_);
            read = ReadPlantFile(plantPath_, parser, next, errors);
        }
        if (!read) {
            for (const std::string& e : errors) {
                Log(LogLevel::Error, e);
            }
            Log(LogLevel::Error, "SIGHUP: " + Plural(errors.size(), "error") + " in " + plantPath_ +
                                     ": the file is refused, the running plant stays");
            notifier_.Ready(status_);
            return;
        }
        // A front end whose own settings stay keeps its clients: it pauses
        // while the plant changes (its clients' requests wait) and rebuilds
        // its tables after. One whose settings changed starts again.
        const GatewayConfig previous = service_.PlantConfig().gateway;
        std::vector<std::string> kept;
        for (auto it = frontEnds_.rbegin(); it != frontEnds_.rend(); ++it) {
            if ((*it)->Keeps(next.gateway)) {
                (*it)->Pause();
                kept.push_back((*it)->Name());
            } else {
                (*it)->Stop();
            }
        }
        frontEnds_.erase(std::remove_if(frontEnds_.begin(), frontEnds_.end(),
                                        [&](const std::unique_ptr<FrontEnd>& f) {
                                            return std::find(kept.begin(), kept.end(), f->Name()) ==
                                                   kept.end();
                                        }),
                         frontEnds_.end());
        // Changed lines finish their command first: the watchdog is fed
        // meanwhile, as long as none is stuck.
        const ReloadReport report = service_.Reload(std::move(next), [this] {
            if (Watch()) {
                notifier_.Watchdog();
            }
        });
        for (auto it = frontEnds_.begin(); it != frontEnds_.end();) {
            if ((*it)->Resume()) {
                ++it;
                continue;
            }
            kept.erase(std::find(kept.begin(), kept.end(), (*it)->Name()));
            (*it)->Stop();
            it = frontEnds_.erase(it);
        }
        std::string error;
        StartFrontEnds(service_.PlantConfig().gateway, &previous, error);
        for (const std::string& warning : ExposureWarnings(service_.PlantConfig().gateway)) {
            Log(LogLevel::Warning, warning);
        }
        std::reverse(kept.begin(), kept.end());
        Log(LogLevel::Info,
            "SIGHUP: " + plantPath_ + " read again; lines kept: " + Names(report.kept) +
                "; restarted: " + Names(report.restarted) + "; added: " + Names(report.added) +
                "; removed: " + Names(report.removed) + "; front ends: " + FrontEndNames() +
                " (kept with their clients: " + Names(kept) + ")");
        status_ = Summary();
        notifier_.Ready(status_);
    }

    int Stop(const std::string& why) {
        notifier_.Stopping();
        Log(LogLevel::Info,
            why + ": stopping: the writes already queued go out, then every line closes");
        // The front ends stay up meanwhile, so that each queued write's
        // answer reaches its client; new requests are refused.
        service_.BeginStop();
        while (!service_.WaitLinesFinished(kTick)) {
            if (!Watch()) {
                // A line stuck in the driver cannot be closed, nor its worker
                // joined: leave without them.
                Log(LogLevel::Error, "leaving with a line stuck in one command: it is not closed");
                std::fflush(stderr);
                std::_Exit(kExitStuck);
            }
            notifier_.Watchdog();
        }
        StopFrontEnds();
        service_.Stop();
        Log(LogLevel::Info, "stopped");
        return kExitOk;
    }

    const host::ZanMainFn zanMain_;
    const std::string plantPath_;
    const SystemClock clock_;
    std::unique_ptr<AuditLog> audit_;  // outlives the service, which records into it
    ScanService service_;
    systemd::Notifier notifier_;
    std::vector<std::unique_ptr<FrontEnd>> frontEnds_;
    std::map<std::string, bool> stuck_;
    std::string status_;
};

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
    Daemon daemon(driver.zanMain, plantPath, std::move(plant));
    return daemon.Run();
}

int Main(int argc, char** argv) {
    if (opcua::IsOpcuaCommand(argc, argv)) {
        return opcua::OpcuaCommandMain(argc, argv);
    }
    if (auth::IsUserCommand(argc, argv)) {
        return auth::UserCommandMain(argc, argv);
    }
    CLI::App app{"", "westnet-gateway"};
    bool check = false;
    std::string level = "info";
    std::string plantPath;
    app.add_flag("--check", check);
    app.add_option("--log-level", level)
        ->check(CLI::IsMember({"error", "warning", "info", "debug"}));
    app.add_option("PLANT", plantPath)->required();
    app.set_version_flag("--version", std::string("westnet-gateway ") + WESTNET_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kUsageText, stdout);
        return kExitOk;
    } catch (const CLI::Success& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "westnet-gateway: %s\nRun westnet-gateway --help for the options.\n",
                     e.what());
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
