#include "http/request_guard.h"

#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <utility>

#include "log/log.h"

namespace westnet::gateway::http {
namespace {

using Clock = std::chrono::steady_clock;

// "ADDR PORT" of a socket's peer, as the library writes a request's
// remote_addr and remote_port; "" when it has none.
std::string PeerOf(int fd) {
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
        return "";
    }
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "";
    }
    return std::string(host) + " " + port;
}

int LocalPort(int fd) {
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        return -1;
    }
    if (local.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port);
    }
    if (local.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(&local)->sin6_port);
    }
    return -1;
}

// A connected TCP socket on `port`, not a listener: one of the front end's
// connections.
bool IsConnectionOn(int fd, int port) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode) || LocalPort(fd) != port) {
        return false;
    }
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening == 0;
}

std::string Duration(std::chrono::milliseconds d) {
    const long long ms = d.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

}  // namespace

// The library's pool, with each connection registered before a worker takes
// it and released once the worker is done with it.
class RequestGuard::Queue : public httplib::TaskQueue {
public:
    Queue(RequestGuard& guard, std::size_t workers) : guard_(guard), pool_(workers) {}

    void enqueue(std::function<void()> fn) override {
        const Entry entry = guard_.Adopt();
        RequestGuard& guard = guard_;
        pool_.enqueue([&guard, entry, fn = std::move(fn)] {
            fn();
            guard.Release(entry);
        });
    }
    void shutdown() override { pool_.shutdown(); }

private:
    RequestGuard& guard_;
    httplib::ThreadPool pool_;
};

RequestGuard::RequestGuard(RequestLimits limits)
    : limits_(limits), watcher_(&RequestGuard::Watch, this) {}

RequestGuard::~RequestGuard() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    watcher_.join();
}

httplib::TaskQueue* RequestGuard::NewTaskQueue(std::size_t workers) {
    return new Queue(*this, workers);
}

RequestGuard::Entry RequestGuard::Adopt() {
    std::lock_guard<std::mutex> lock(mutex_);
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return connections_.end();
    }
    Entry found = connections_.end();
    while (const dirent* e = readdir(dir)) {
        char* end = nullptr;
        const long fd = std::strtol(e->d_name, &end, 10);
        if (end == e->d_name || *end != '\0' || fd == dirfd(dir) ||
            !IsConnectionOn(static_cast<int>(fd), port_)) {
            continue;
        }
        const std::string peer = PeerOf(static_cast<int>(fd));
        bool known = peer.empty();
        for (const Connection& c : connections_) {
            known = known || (c.fd == fd && c.peer == peer);
        }
        if (!known) {
            Connection c;
            c.fd = static_cast<int>(fd);
            c.peer = peer;
            c.since = Clock::now();
            c.bytesAtStart = SocketBytesReceived(c.fd);
            found = connections_.insert(connections_.end(), c);
            break;  // accepted one at a time: there is only one new one
        }
    }
    closedir(dir);
    return found;
}

void RequestGuard::Release(Entry entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entry != connections_.end()) {
        connections_.erase(entry);
    }
}

void RequestGuard::Handling(const std::string& addr, int port) {
    const std::string peer = addr + " " + std::to_string(port);
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection& c : connections_) {
        if (c.peer == peer) {
            c.handling = true;
        }
    }
}

void RequestGuard::Answered(const std::string& addr, int port) {
    const std::string peer = addr + " " + std::to_string(port);
    std::lock_guard<std::mutex> lock(mutex_);
    for (Connection& c : connections_) {
        if (c.peer == peer) {
            c.handling = false;
            c.since = Clock::now();
            c.bytesAtStart = SocketBytesReceived(c.fd);
        }
    }
}

std::uint64_t RequestGuard::Oversized() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return oversized_;
}

std::uint64_t RequestGuard::Overdue() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return overdue_;
}

void RequestGuard::Watch() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!wake_.wait_for(lock, limits_.check, [this] { return stop_; })) {
        const Clock::time_point now = Clock::now();
        for (Connection& c : connections_) {
            if (c.handling || c.shut) {
                continue;
            }
            const bool big = SocketBytesReceived(c.fd) - c.bytesAtStart > limits_.bytes;
            const bool late = now - c.since > limits_.time;
            // The socket is still this connection's (its worker closes it
            // just before it is released): never shut down another.
            if ((!big && !late) || !IsConnectionOn(c.fd, port_) || PeerOf(c.fd) != c.peer) {
                continue;
            }
            shutdown(c.fd, SHUT_RDWR);
            c.shut = true;
            ++(big ? oversized_ : overdue_);
            const std::string who = c.peer.substr(0, c.peer.find(' '));
            Log(LogLevel::Warning,
                "http: client " + who + " closed: " +
                    (big ? "its request is longer than " + std::to_string(limits_.bytes / 1024) +
                               " KB"
                         : "it took more than " + Duration(limits_.time) + " to send its request"));
        }
    }
}

}  // namespace westnet::gateway::http
