#include "auth/throttle.h"

#include <algorithm>
#include <iterator>

namespace westnet::gateway::auth {

bool LoginThrottle::Blocked(const std::string& client, Clock::time_point now) {
    MutexLock lock(mutex_);
    const auto it = clients_.find(client);
    if (it == clients_.end()) {
        return false;
    }
    if (now - it->second.since > kWindow) {
        clients_.erase(it);
        return false;
    }
    return it->second.failures >= kFailures;
}

void LoginThrottle::Failed(const std::string& client, Clock::time_point now) {
    MutexLock lock(mutex_);
    if (clients_.size() >= kTracked && clients_.count(client) == 0) {
        // Forget the windows that have ended; if none has, the oldest.
        for (auto it = clients_.begin(); it != clients_.end();) {
            it = now - it->second.since > kWindow ? clients_.erase(it) : std::next(it);
        }
        if (clients_.size() >= kTracked) {
            clients_.erase(std::min_element(
                clients_.begin(), clients_.end(),
                [](const auto& a, const auto& b) { return a.second.since < b.second.since; }));
        }
    }
    Entry& e = clients_[client];
    if (e.failures == 0 || now - e.since > kWindow) {
        e = Entry{0, now};
    }
    ++e.failures;
}

void LoginThrottle::Succeeded(const std::string& client) {
    MutexLock lock(mutex_);
    clients_.erase(client);
}

}  // namespace westnet::gateway::auth
