#include "systemd/notify.h"

#include <systemd/sd-daemon.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "log/log.h"

namespace westnet::gateway::systemd {
namespace {

std::string OneLine(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c == '\n') {
            c = ' ';
        }
    }
    return out;
}

}  // namespace

Notifier::Notifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        interval_ = std::chrono::microseconds(usec / 2);
    }
}

void Notifier::Send(const std::string& state) {
    const int sent = sd_notify(0, state.c_str());
    if (sent < 0 && !warned_) {
        warned_ = true;
        Log(LogLevel::Warning, "cannot tell systemd \"" + state.substr(0, state.find('\n')) +
                                   "\": " + std::strerror(-sent));
    }
}

void Notifier::Ready(const std::string& status) {
    Send("READY=1\nSTATUS=" + OneLine(status));
}

void Notifier::Reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto usec = static_cast<unsigned long long>(now.tv_sec) * 1000000ULL +
                      static_cast<unsigned long long>(now.tv_nsec) / 1000ULL;
    Send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(usec));
}

void Notifier::Stopping() {
    Send("STOPPING=1");
}

void Notifier::Status(const std::string& status) {
    Send("STATUS=" + OneLine(status));
}

void Notifier::Watchdog() {
    Send("WATCHDOG=1");
}

}  // namespace westnet::gateway::systemd
