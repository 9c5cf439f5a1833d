// What the daemon tells systemd through its notification socket
// (sd_notify): READY=1 once every line has been opened or found down,
// RELOADING=1 and READY=1 around a reload of the plant file, STOPPING=1, a
// STATUS= line for `systemctl status`, and WATCHDOG=1 while every line's
// worker is alive and moving. Outside systemd (no NOTIFY_SOCKET) every call
// does nothing.
#pragma once

#include <chrono>
#include <string>

namespace westnet::gateway::systemd {

class Notifier {
public:
    Notifier();

    // How often WATCHDOG=1 must go out: half the WatchdogSec that systemd
    // asked for (WATCHDOG_USEC, for this process); zero without a watchdog.
    std::chrono::microseconds WatchdogInterval() const { return interval_; }

    void Ready(const std::string& status);
    void Reloading();
    void Stopping();
    void Status(const std::string& status);
    void Watchdog();

private:
    void Send(const std::string& state);

    std::chrono::microseconds interval_{0};
    bool warned_ = false;  // a failed send is logged once
};

}  // namespace westnet::gateway::systemd
