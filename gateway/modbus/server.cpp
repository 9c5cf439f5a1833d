#include "modbus/server.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "log/log.h"
#include "modbus/session.h"

namespace westnet::gateway::modbus {
namespace {

using Clock = std::chrono::steady_clock;

std::string PeerName(const sockaddr_storage& peer, socklen_t length) {
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&peer), length, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "unknown";
    }
    const std::string h = host;
    return (h.find(':') != std::string::npos ? "[" + h + "]" : h) + ":" + port;
}

std::string AddressText(const ListenAddress& address) {
    const bool v6 = address.host.find(':') != std::string::npos;
    return (v6 ? "[" + address.host + "]" : address.host) + ":" + std::to_string(address.port);
}

std::string ListenHint(int error) {
    switch (error) {
        case EADDRINUSE:
            return " (another program holds this port: stop it, or choose another port with "
                   "[gateway] modbus = \"127.0.0.1:PORT\")";
        case EACCES:
            return " (ports below 1024 need privileges: choose a port above 1023, e.g. 5020)";
        case EADDRNOTAVAIL:
            return " (no interface of this machine has that address: use 127.0.0.1, or one of "
                   "the machine's own addresses)";
        default:
            return "";
    }
}

int ListenOn(const ListenAddress& address, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    const int rc = getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot resolve \"" + address.host + "\": " + gai_strerror(rc);
        return -1;
    }
    // IPv4 first: "localhost" should take the address most clients will try.
    std::vector<const addrinfo*> candidates;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        candidates.push_back(a);
    }
    std::stable_partition(candidates.begin(), candidates.end(),
                          [](const addrinfo* a) { return a->ai_family == AF_INET; });
    int fd = -1;
    int lastError = 0;
    for (const addrinfo* a : candidates) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        // The longest queue the system allows: a burst of connections then
        // waits for the accept loop, which refuses those over the client
        // limit at once, instead of being dropped by the kernel and left
        // half open on the client's side for a minute.
        if (bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, SOMAXCONN) == 0) {
            break;
        }
        lastError = errno;
        close(fd);
        fd = -1;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        error = "cannot listen on " + AddressText(address) + ": " + std::strerror(lastError) +
                ListenHint(lastError);
    }
    return fd;
}

std::string DurationText(std::chrono::milliseconds d) {
    const long long ms = d.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

int Millis(Clock::duration d) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(d).count() + 1;
    return static_cast<int>(std::clamp<long long>(ms, 0, 24LL * 3600 * 1000));
}

}  // namespace

ServerOptions OptionsFromPlant(const GatewayConfig& gateway) {
    ServerOptions options;
    options.listen = gateway.modbus;
    options.maxClients = gateway.modbusMaxClients;
    options.idle = std::chrono::seconds(std::max(0, gateway.modbusIdleS));
    return options;
}

Server::Server(Service& service, ServerOptions options)
    : service_(service), options_(std::move(options)), stats_(service.FrontEndStats()) {}

Server::~Server() {
    Shutdown();
}

bool Server::Start(std::string& error) {
    if (started_) {
        return true;
    }
    if (options_.listen.empty()) {
        Log(LogLevel::Info, "modbus: off ([gateway] modbus = \"\")");
        return true;
    }
    std::string why;
    if (!ParseListenAddress(options_.listen, address_, why)) {
        error = "modbus: [gateway] modbus = " + why;
        return false;
    }
    listenFd_ = ListenOn(address_, why);
    if (listenFd_ < 0) {
        error = "modbus: " + why;
        return false;
    }
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    if (getsockname(listenFd_, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
        address_.port = bound.ss_family == AF_INET6
                            ? ntohs(reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port)
                            : ntohs(reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
    }
    stopFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        error = std::string("modbus: cannot create an event: ") + std::strerror(errno);
        close(listenFd_);
        listenFd_ = -1;
        return false;
    }
    std::vector<std::string> warnings;
    index_ = std::make_unique<PlantIndex>(service_.PlantConfig(), &warnings);
    for (const std::string& w : warnings) {
        Log(LogLevel::Warning, "modbus: " + w);
    }
    stats_.SetClients(0);
    try {
        acceptThread_ = std::thread(&Server::AcceptLoop, this);
    } catch (const std::system_error& e) {
        error = std::string("modbus: cannot start its thread: ") + e.what();
        close(listenFd_);
        close(stopFd_);
        listenFd_ = stopFd_ = -1;
        return false;
    }
    started_ = true;
    Log(LogLevel::Info,
        "modbus: listening on " + AddressText(address_) + " (at most " +
            std::to_string(options_.maxClients) + " clients; idle time-out " +
            (options_.idle.count() > 0 ? DurationText(options_.idle) : std::string("off")) + ")");
    return true;
}

void Server::Stop() {
    Shutdown();
}

void Server::Shutdown() {
    if (!started_) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
    acceptThread_.join();
    Reap(true);
    close(listenFd_);
    close(stopFd_);
    listenFd_ = stopFd_ = -1;
    stats_.SetClients(0);
    started_ = false;
    Log(LogLevel::Info, "modbus: stopped");
}

void Server::Reap(bool all) {
    std::lock_guard<std::mutex> lock(clientsMutex_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (all || (*it)->finished.load()) {
            (*it)->thread.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void Server::AcceptLoop() {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            Log(LogLevel::Error, std::string("modbus: poll failed: ") + std::strerror(errno) +
                                     "; no new clients are accepted");
            return;
        }
        if (fds[1].revents != 0) {
            return;
        }
        if ((fds[0].revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd =
            accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                Log(LogLevel::Warning, std::string("modbus: cannot accept a client: ") +
                                           std::strerror(errno) + "; trying again in 1 s");
                // The waiting connection keeps the socket readable: wait for
                // resources (or Stop) instead of spinning.
                pollfd stop = {stopFd_, POLLIN, 0};
                if (poll(&stop, 1, 1000) > 0) {
                    return;
                }
            }
            continue;
        }
        const std::string name = PeerName(peer, length);
        Reap(false);
        if (active_.load() >= options_.maxClients) {
            stats_.Refused();
            close(fd);
            Log(LogLevel::Warning, "modbus: client " + name +
                                       " refused: " + std::to_string(options_.maxClients) +
                                       " clients are connected, as many as modbus_max_clients "
                                       "allows");
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        // A client that takes none of its replies for this long is gone.
        const auto ms = options_.partialFrame.count();
        timeval send{static_cast<time_t>(ms / 1000), static_cast<suseconds_t>(ms % 1000 * 1000)};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send, sizeof send);

        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->name = name;
        const int now = ++active_;
        stats_.Accepted(Stats::ClientLabels(name), now);
        Log(LogLevel::Debug, "modbus: client " + name + " connected");
        Client& c = *client;
        {
            std::lock_guard<std::mutex> lock(clientsMutex_);
            clients_.push_back(std::move(client));
        }
        try {
            c.thread = std::thread(&Server::Serve, this, std::ref(c));
        } catch (const std::system_error& e) {
            close(fd);
            stats_.Disconnected(Stats::ClientLabels(name), "error", --active_);
            Log(LogLevel::Warning,
                "modbus: client " + name + " closed: no thread for it (" + e.what() + ")");
            std::lock_guard<std::mutex> lock(clientsMutex_);
            clients_.pop_back();
        }
    }
}

void Server::Serve(Client& client) {
    Session session(service_, *index_, stats_, client.fd, client.name,
                    options_.maxPendingPerClient);
    const char* reason = "closed";
    std::string detail;
    LogLevel level = LogLevel::Debug;
    if (!session.Valid()) {
        reason = "error";
        detail = "no resources for it";
        level = LogLevel::Warning;
    }
    Clock::time_point last = Clock::now();
    bool partial = false;  // a frame is unfinished since partialSince
    Clock::time_point partialSince = last;
    std::uint64_t partialFrames = 0;
    bool statsWaiting = false;  // counts wait for the registry since statsSince
    Clock::time_point statsSince = last;
    pollfd fds[3] = {{client.fd, 0, 0}, {session.WakeFd(), POLLIN, 0}, {stopFd_, POLLIN, 0}};
    while (session.Valid()) {
        std::size_t room = 0;
        std::uint8_t* space = session.InputSpace(room);
        fds[0].events = space != nullptr ? POLLIN : 0;

        int timeout = -1;
        const Clock::time_point now = Clock::now();
        if (session.Idle() && options_.idle.count() > 0) {
            timeout = Millis(last + options_.idle - now);
        }
        auto until = [&](Clock::time_point deadline) {
            const int t = Millis(deadline - now);
            timeout = timeout < 0 ? t : std::min(timeout, t);
        };
        if (partial) {
            until(partialSince + options_.partialFrame);
        }
        if (statsWaiting) {
            until(statsSince + options_.statsFlush);
        }
        if (poll(fds, 3, timeout) < 0) {
            if (errno == EINTR) {
                continue;
            }
            reason = "error";
            detail = std::string("poll failed: ") + std::strerror(errno);
            level = LogLevel::Warning;
            break;
        }
        if (fds[2].revents != 0) {
            // Replies the line has given already still go out: the daemon
            // stops its front ends only once the writes queued before a
            // SIGTERM have been made, and each one's client gets its answer.
            session.Completed();
            reason = "shutdown";
            break;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            if (!session.Completed()) {
                reason = session.CloseReason();
                detail = session.CloseDetail();
                level = LogLevel::Warning;
                break;
            }
            // Waiting for the line is not the client's silence: its idle
            // time counts from its last answer too.
            last = Clock::now();
        }
        if (space != nullptr && (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            const ssize_t n = recv(client.fd, space, room, MSG_DONTWAIT);
            if (n == 0) {
                break;  // the client closed its side
            }
            if (n < 0 && errno != EAGAIN && errno != EINTR) {
                detail = std::strerror(errno);
                break;
            }
            if (n > 0) {
                last = Clock::now();
                if (!session.Received(static_cast<std::size_t>(n))) {
                    reason = session.CloseReason();
                    detail = session.CloseDetail();
                    level = LogLevel::Warning;
                    break;
                }
            }
        } else if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
            break;  // gone while its requests wait for the line
        }

        const Clock::time_point after = Clock::now();
        if (session.StatsWaiting() && !statsWaiting) {
            statsWaiting = true;
            statsSince = after;
        }
        if (statsWaiting && after - statsSince >= options_.statsFlush) {
            session.FlushStats();
            statsWaiting = false;
        }
        if (!session.PartialFrame()) {
            partial = false;
        } else if (!partial || session.Frames() != partialFrames) {
            // From when it is first seen: after the read that brought it, or
            // when reading resumes after this client's requests filled up.
            partial = true;
            partialSince = after;
            partialFrames = session.Frames();
        }
        if (partial && after - partialSince >= options_.partialFrame) {
            reason = "partial_frame";
            detail = "it left a frame unfinished for " + DurationText(options_.partialFrame);
            level = LogLevel::Warning;
            break;
        }
        if (session.Idle() && options_.idle.count() > 0 && after - last >= options_.idle) {
            reason = "idle";
            detail = "silent for " + DurationText(options_.idle) + " (modbus_idle_s)";
            level = LogLevel::Info;
            break;
        }
    }
    // Counted before the client can see the connection end.
    session.FlushStats();
    stats_.Disconnected(Stats::ClientLabels(client.name), reason, --active_);
    shutdown(client.fd, SHUT_RDWR);
    close(client.fd);
    Log(level, "modbus: client " + client.name + " closed" +
                   (detail.empty() ? std::string() : ": " + detail));
    client.finished.store(true);
}

std::unique_ptr<FrontEnd> MakeModbusFrontEnd(const GatewayConfig& config, Service& service) {
    if (config.modbus.empty()) {
        return nullptr;
    }
    return std::make_unique<Server>(service, OptionsFromPlant(config));
}

}  // namespace westnet::gateway::modbus
