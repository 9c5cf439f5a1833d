#include "http/access.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>

namespace westnet::gateway::http {

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool IsAddress(const std::string& host) {
    unsigned char buffer[16];
    return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
           inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

bool Base64Decode(const std::string& in, std::string& out) {
    static const std::string alphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    if (in.size() % 4 != 0) {
        return false;
    }
    out.clear();
    unsigned buffer = 0;
    int bits = 0;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < in.size(); ++i) {
        const char c = in[i];
        if (c == '=') {
            // Only at the end, at most two.
            if (i + 2 < in.size() || ++padding > 2) {
                return false;
            }
            continue;
        }
        if (padding > 0) {
            return false;
        }
        const std::size_t v = alphabet.find(c);
        if (v == std::string::npos) {
            return false;
        }
        buffer = (buffer << 6) | static_cast<unsigned>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((buffer >> bits) & 0xFF));
        }
    }
    return true;
}

}  // namespace

std::string HostOf(const std::string& header) {
    std::string host = header;
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        if (close == std::string::npos) {
            return "";
        }
        const std::string rest = host.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || rest.size() == 1 ||
                              rest.find_first_not_of("0123456789", 1) != std::string::npos)) {
            return "";
        }
        return Lower(host.substr(1, close - 1));
    }
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        const std::string port = host.substr(colon + 1);
        if (port.empty() || port.find_first_not_of("0123456789") != std::string::npos) {
            return "";
        }
        host.resize(colon);
    }
    if (host.empty() || host.find_first_of(" \t/@\\") != std::string::npos) {
        return "";
    }
    if (host.back() == '.') {  // "localhost." names the same host
        host.pop_back();
    }
    return Lower(host);
}

HostNames::HostNames(const std::string& listenHost, const std::vector<std::string>& extra) {
    names_ = {"localhost", "127.0.0.1", "::1"};
    const std::string listen = Lower(listenHost);
    if (listen == "0.0.0.0" || listen == "::" || listen.empty()) {
        anyAddress_ = true;
    } else {
        names_.push_back(listen);
    }
    for (const std::string& name : extra) {
        names_.push_back(Lower(name));
    }
}

bool HostNames::Allows(const std::string& header) const {
    const std::string host = HostOf(header);
    if (host.empty()) {
        return false;
    }
    if (std::find(names_.begin(), names_.end(), host) != names_.end()) {
        return true;
    }
    return anyAddress_ && IsAddress(host);
}

bool SameOrigin(const std::string& origin, const std::string& hostHeader, bool tls) {
    const std::string scheme = tls ? "https://" : "http://";
    return Lower(origin) == scheme + Lower(hostHeader);
}

Credentials ParseAuthorization(const std::string& header) {
    Credentials c;
    if (header.empty()) {
        return c;
    }
    const std::size_t space = header.find(' ');
    const std::string scheme = Lower(header.substr(0, space));
    std::string rest = space == std::string::npos ? "" : header.substr(space + 1);
    rest.erase(0, rest.find_first_not_of(' '));
    while (!rest.empty() && rest.back() == ' ') {
        rest.pop_back();
    }
    c.kind = Credentials::Kind::Malformed;
    if (scheme == "bearer" && !rest.empty() && rest.find(' ') == std::string::npos) {
        c.kind = Credentials::Kind::Bearer;
        c.secret = rest;
    } else if (scheme == "basic") {
        std::string decoded;
        if (Base64Decode(rest, decoded)) {
            const std::size_t split = decoded.find(':');
            if (split != std::string::npos && split > 0) {
                c.kind = Credentials::Kind::Basic;
                c.user = decoded.substr(0, split);
                c.secret = decoded.substr(split + 1);
            }
        }
    }
    return c;
}

std::string CookieValue(const std::string& header, const std::string& name) {
    std::size_t at = 0;
    while (at < header.size()) {
        std::size_t end = header.find(';', at);
        if (end == std::string::npos) {
            end = header.size();
        }
        std::string pair = header.substr(at, end - at);
        pair.erase(0, pair.find_first_not_of(' '));
        const std::size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0 && eq == name.size()) {
            return pair.substr(eq + 1);
        }
        at = end + 1;
    }
    return "";
}

std::string Sessions::Open(const auth::Identity& who, Clock::time_point now) {
    std::string id = auth::NewToken();
    MutexLock lock(mutex_);
    if (open_.size() >= kMost) {
        auto oldest = std::min_element(
            open_.begin(), open_.end(),
            [](const auto& a, const auto& b) { return a.second.used < b.second.used; });
        open_.erase(oldest);
    }
    open_[id] = Entry{who, now};
    return id;
}

std::optional<auth::Identity> Sessions::Find(const std::string& id, Clock::time_point now) {
    MutexLock lock(mutex_);
    const auto it = open_.find(id);
    if (it == open_.end()) {
        return std::nullopt;
    }
    if (now - it->second.used > kIdle) {
        open_.erase(it);
        return std::nullopt;
    }
    it->second.used = now;
    return it->second.who;
}

void Sessions::Close(const std::string& id) {
    MutexLock lock(mutex_);
    open_.erase(id);
}

void Sessions::Clear() {
    MutexLock lock(mutex_);
    open_.clear();
}

const std::vector<std::pair<std::string, std::string>>& SecurityHeaders(bool tls) {
    static const std::vector<std::pair<std::string, std::string>> plain = {
        {"Content-Security-Policy",
         "default-src 'self'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
         "connect-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'self'"},
        {"X-Frame-Options", "DENY"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cross-Origin-Opener-Policy", "same-origin"},
        {"Cross-Origin-Resource-Policy", "same-origin"},
    };
    static const std::vector<std::pair<std::string, std::string>> secure = [] {
        auto headers = plain;
        headers.emplace_back("Strict-Transport-Security", "max-age=31536000");
        return headers;
    }();
    return tls ? secure : plain;
}

}  // namespace westnet::gateway::http
