// Password guessing, stopped where it is cheapest to stop: before the
// Argon2id check that makes each guess cost tens of milliseconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>

#include "sync/mutex.h"

namespace westnet::gateway::auth {

// Failed password checks per client address (HTTP's, OPC UA's): after
// kFailures within kWindow, the address is refused without a password check
// until the window ends, so that guessing costs the guesser, not the
// front end's thread.
class LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kFailures = 5;
    static constexpr std::chrono::seconds kWindow{60};
    static constexpr std::size_t kTracked = 4096;

    bool Blocked(const std::string& client, Clock::time_point now);
    void Failed(const std::string& client, Clock::time_point now);
    void Succeeded(const std::string& client);

private:
    struct Entry {
        int failures = 0;
        Clock::time_point since;
    };
    Mutex mutex_;
    std::map<std::string, Entry> clients_ GUARDED_BY(mutex_);
};

}  // namespace westnet::gateway::auth
