// Who may ask the HTTP front end what: the checks made before a request is
// routed, apart from the library and the front end so that each can be
// tried alone.
//
// - Host: a browser tricked by DNS rebinding sends the attacker's name, so
//   only the names the gateway answers to are served (421 otherwise).
// - Origin: a write whose Origin is another site's is refused (403), so a
//   page elsewhere cannot use the operator's session.
// - Credentials: an API token (Authorization: Bearer), a user's password
//   (Authorization: Basic, only over TLS or from this machine), or the
//   session cookie the login form set.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "auth/users.h"
#include "sync/mutex.h"

namespace westnet::gateway::http {

// The names a Host header may carry (its port aside): the listen address's
// host, localhost and the loopback addresses, and the plant's http_hosts.
// When the gateway listens on every address (0.0.0.0 or ::), any IP
// address written as such is taken too: DNS rebinding needs a name.
class HostNames {
public:
    HostNames(const std::string& listenHost, const std::vector<std::string>& extra);
    bool Allows(const std::string& hostHeader) const;

private:
    std::vector<std::string> names_;  // lower case
    bool anyAddress_ = false;
};

// The host part of a Host header ("[::1]:8080" -> "::1"), lower case; ""
// when it does not parse.
std::string HostOf(const std::string& hostHeader);

// Whether an Origin header names the gateway itself: scheme (http or https,
// as served) and the Host the request was sent to.
bool SameOrigin(const std::string& origin, const std::string& hostHeader, bool tls);

// What an Authorization header holds.
struct Credentials {
    enum class Kind { None, Basic, Bearer, Malformed };
    Kind kind = Kind::None;
    std::string user;    // Basic
    std::string secret;  // Basic: the password; Bearer: the token
};
Credentials ParseAuthorization(const std::string& header);

// The value of one cookie in a Cookie header; "" when absent.
std::string CookieValue(const std::string& header, const std::string& name);

inline constexpr const char* kSessionCookie = "westnet_session";

// Logged-in browsers: a random id per login, forgotten after an idle hour,
// at logout, or when more than kMost are open (the oldest first).
class Sessions {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMost = 1024;
    static constexpr std::chrono::minutes kIdle{60};

    std::string Open(const auth::Identity& who, Clock::time_point now);
    std::optional<auth::Identity> Find(const std::string& id, Clock::time_point now);
    void Close(const std::string& id);
    // The users file was read again: everyone logs in afresh, so that a
    // user removed or given another role keeps nothing of the old one.
    void Clear();

private:
    struct Entry {
        auth::Identity who;
        Clock::time_point used;
    };
    Mutex mutex_;
    std::map<std::string, Entry> open_ GUARDED_BY(mutex_);
};

// The headers every answer carries: no inline script may run, no other site
// may frame the page, no type is guessed, no address leaks in a Referer.
const std::vector<std::pair<std::string, std::string>>& SecurityHeaders(bool tls);

}  // namespace westnet::gateway::http
