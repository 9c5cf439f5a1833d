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
    ListenFailure failure;
    const int fd = OpenListenSocket(address, true, failure);
    if (fd >= 0) {
        return fd;
    }
    if (!failure.resolveError.empty()) {
        error = "cannot resolve \"" + address.host + "\": " + failure.resolveError;
    } else {
        error = "cannot listen on " + AddressText(address) + ": " +
                std::strerror(failure.errorNumber) + ListenHint(failure.errorNumber);
    }
    return -1;
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
    options.clientsPerAddress = gateway.modbusClientsPerAddress;
    options.clients = gateway.modbusClients;
    options.writeClients = gateway.modbusWriteClients;
    options.clientsText = gateway.modbusClientsText;
    options.writeClientsText = gateway.modbusWriteClientsText;
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
    if (const int port = BoundPortOf(listenFd_); port >= 0) {
        address_.port = port;
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
        thread_ = std::thread(&Server::Loop, this);
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

bool Server::Keeps(const GatewayConfig& next) const {
    const ServerOptions wanted = OptionsFromPlant(next);
    // A list that changed may leave out clients connected now: they are
    // closed with the rest, and judged anew when they connect again.
    return started_ && wanted.listen == options_.listen &&
           wanted.maxClients == options_.maxClients && wanted.idle == options_.idle &&
           wanted.clientsPerAddress == options_.clientsPerAddress &&
           wanted.clientsText == options_.clientsText &&
           wanted.writeClientsText == options_.writeClientsText;
}

void Server::Pause() {
    gate_.Lock();
}

bool Server::Resume() {
    // In place: every session holds the map by reference.
    std::vector<std::string> warnings;
    *index_ = PlantIndex(service_.PlantConfig(), &warnings);
    for (const std::string& w : warnings) {
        Log(LogLevel::Warning, "modbus: " + w);
    }
    gate_.Unlock();
    return true;
}

void Server::Shutdown() {
    if (!started_) {
        return;
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(stopFd_, &one, sizeof one);
    thread_.join();
    close(listenFd_);
    close(stopFd_);
    listenFd_ = stopFd_ = -1;
    stats_.SetClients(0);
    started_ = false;
    Log(LogLevel::Info, "modbus: stopped");
}

// One client's connection and the loop's state of it.
struct Server::Client {
    std::unique_ptr<Session> session;
    std::string name;        // "IP:PORT"
    std::string host;        // "IP"
    Clock::time_point last;  // its last request, or the line's last answer to it
    // partial: a frame is unfinished since partialSince, when partialFrames
    // frames had been taken.
    Clock::time_point partialSince;
    std::uint64_t partialFrames = 0;
    // statsWaiting: counts wait for the registry since statsSince.
    Clock::time_point statsSince;
    // sending: replies wait for the socket, which has taken none since
    // sendingSince, when it had taken sentMark bytes in all.
    Clock::time_point sendingSince;
    std::uint64_t sentMark = 0;
    int fd = -1;
    bool open = true;
    bool partial = false;
    bool statsWaiting = false;
    bool sending = false;
};

void Server::Loop() {
    std::vector<pollfd> fds;
    Clock::time_point acceptPausedUntil;
    for (;;) {
        // A turn uses the service; a reload waits for it to end.
        MutexLock turn(gate_);
        const Clock::time_point now = Clock::now();
        int timeout = -1;
        fds.clear();
        fds.push_back({stopFd_, POLLIN, 0});
        if (now >= acceptPausedUntil) {
            fds.push_back({listenFd_, POLLIN, 0});
        } else {
            fds.push_back({-1, 0, 0});
            timeout = Millis(acceptPausedUntil - now);
        }
        for (const auto& c : clients_) {
            Check(*c, now, timeout);
            if (!c->open) {
                fds.push_back({-1, 0, 0});
                fds.push_back({-1, 0, 0});
                continue;
            }
            std::size_t room = 0;
            // A client that goes while it has as many requests waiting as it
            // may is seen going at once, not once the line has served them.
            short events = POLLRDHUP;
            if (c->session->InputSpace(room) != nullptr) {
                events |= POLLIN;
            }
            if (c->session->Unsent() > 0) {
                events |= POLLOUT;
            }
            fds.push_back({c->fd, events, 0});
            fds.push_back({c->session->WakeFd(), POLLIN, 0});
        }
        turn.Unlock();
        const int polled = poll(fds.data(), fds.size(), timeout);
        turn.Lock();
        if (polled < 0) {
            if (errno == EINTR) {
                continue;
            }
            const std::string why = std::string("poll failed: ") + std::strerror(errno);
            Log(LogLevel::Error, "modbus: " + why + "; no new clients are accepted");
            for (const auto& c : clients_) {
                if (c->open) {
                    Close(*c, "error", why, LogLevel::Warning);
                }
            }
            clients_.clear();
            return;
        }
        if (fds[0].revents != 0) {
            Drain();
            return;
        }
        // Only the clients polled this turn: Accept adds after them.
        const std::size_t count = clients_.size();
        for (std::size_t i = 0; i < count; ++i) {
            Client& c = *clients_[i];
            if (c.open) {
                Serve(c, fds[2 + 2 * i].revents, fds[3 + 2 * i].revents);
            }
        }
        clients_.erase(std::remove_if(clients_.begin(), clients_.end(),
                                      [](const std::unique_ptr<Client>& c) { return !c->open; }),
                       clients_.end());
        if ((fds[1].revents & POLLIN) != 0) {
            Accept(acceptPausedUntil);
        }
    }
}

void Server::Accept(Clock::time_point& pausedUntil) {
    // A burst of connections is taken in turns of this many, so that the
    // clients already connected are served between them.
    constexpr int kPerTurn = 64;
    for (int i = 0; i < kPerTurn; ++i) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        const int fd = accept4(listenFd_, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                Log(LogLevel::Warning, std::string("modbus: cannot accept a client: ") +
                                           std::strerror(errno) + "; trying again in 1 s");
                // The waiting connection keeps the socket readable: leave it
                // alone for a while instead of spinning.
                pausedUntil = Clock::now() + std::chrono::seconds(1);
                return;
            }
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                return;
            }
            continue;  // one that went before it was taken, or a signal
        }
        const std::string name = PeerName(peer, length);
        const std::string host = name.substr(0, name.rfind(':'));
        const auto* address = reinterpret_cast<const sockaddr*>(&peer);
        std::string refusal;
        if (!options_.clients.empty() && !AnyBlockContains(options_.clients, address)) {
            refusal = "its address is not in modbus_clients";
        } else if (active_.load() >= options_.maxClients) {
            refusal = std::to_string(options_.maxClients) +
                      " clients are connected, as many as modbus_max_clients allows";
        } else if (std::count_if(clients_.begin(), clients_.end(), [&](const auto& c) {
                       return c->open && c->host == host;
                   }) >= options_.clientsPerAddress) {
            refusal = std::to_string(options_.clientsPerAddress) + " clients from " + host +
                      " are connected, as many as modbus_clients_per_address allows";
        }
        if (!refusal.empty()) {
            stats_.Refused();
            close(fd);
            Log(LogLevel::Warning, "modbus: client " + name + " refused: " += refusal);
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);

        auto client = std::make_unique<Client>();
        client->fd = fd;
        client->name = name;
        client->host = host;
        client->session = std::make_unique<Session>(
            service_, *index_, stats_, fd, name, options_.maxPendingPerClient,
            options_.maxUnsentPerClient, NewSessionId(),
            AnyBlockContains(options_.writeClients, address));
        client->last = Clock::now();
        const int now = ++active_;
        stats_.Accepted(Stats::ClientLabels(name), now);
        Log(LogLevel::Debug, "modbus: client " + name + " connected");
        if (!client->session->Valid()) {
            Close(*client, "error", "no resources for it", LogLevel::Warning);
            continue;
        }
        clients_.push_back(std::move(client));
    }
}

void Server::Serve(Client& client, short socketEvents, short wakeEvents) {
    Session& session = *client.session;
    if ((wakeEvents & POLLIN) != 0) {
        if (!session.Completed()) {
            Close(client, session.CloseReason(), session.CloseDetail(), LogLevel::Warning);
            return;
        }
        // Waiting for the line is not the client's silence: its idle
        // time counts from its last answer too.
        client.last = Clock::now();
    }
    if (session.Unsent() > 0 && (socketEvents & (POLLOUT | POLLERR)) != 0 && !session.Writable()) {
        Close(client, session.CloseReason(), session.CloseDetail(), LogLevel::Warning);
        return;
    }
    std::size_t room = 0;
    std::uint8_t* space = session.InputSpace(room);
    if (space != nullptr && (socketEvents & (POLLIN | POLLHUP | POLLERR)) != 0) {
        const ssize_t n = recv(client.fd, space, room, MSG_DONTWAIT);
        if (n == 0) {
            Close(client, "closed", "", LogLevel::Debug);  // the client closed its side
            return;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            Close(client, "closed", std::strerror(errno), LogLevel::Debug);
            return;
        }
        if (n > 0) {
            client.last = Clock::now();
            if (!session.Received(static_cast<std::size_t>(n))) {
                Close(client, session.CloseReason(), session.CloseDetail(), LogLevel::Warning);
            }
        }
    } else if ((socketEvents & (POLLERR | POLLHUP | POLLRDHUP)) != 0) {
        Close(client, "closed", "", LogLevel::Debug);  // gone while its requests wait
    }
}

void Server::Check(Client& client, Clock::time_point now, int& timeout) {
    Session& session = *client.session;
    auto until = [&](Clock::time_point deadline) {
        const int t = Millis(deadline - now);
        timeout = timeout < 0 ? t : std::min(timeout, t);
    };

    if (session.StatsWaiting() && !client.statsWaiting) {
        client.statsWaiting = true;
        client.statsSince = now;
    }
    if (client.statsWaiting && now - client.statsSince >= options_.statsFlush) {
        session.FlushStats();
        client.statsWaiting = false;
    }
    if (!session.PartialFrame()) {
        client.partial = false;
    } else if (!client.partial || session.Frames() != client.partialFrames) {
        // From when it is first seen: after the read that brought it, or
        // when reading resumes after this client's requests filled up.
        client.partial = true;
        client.partialSince = now;
        client.partialFrames = session.Frames();
    }
    if (session.Unsent() == 0) {
        client.sending = false;
    } else if (!client.sending || session.SentTotal() != client.sentMark) {
        // From the last time its socket took anything.
        client.sending = true;
        client.sendingSince = now;
        client.sentMark = session.SentTotal();
    }

    if (client.partial && now - client.partialSince >= options_.partialFrame) {
        Close(client, "partial_frame",
              "it left a frame unfinished for " + DurationText(options_.partialFrame),
              LogLevel::Warning);
        return;
    }
    // The words a blocking send's time-out gave.
    if (client.sending && now - client.sendingSince >= options_.partialFrame) {
        Close(client, "send_failed",
              std::string("its reply could not be sent: ") + std::strerror(EAGAIN),
              LogLevel::Warning);
        return;
    }
    const bool idling = session.Idle() && options_.idle.count() > 0;
    if (idling && now - client.last >= options_.idle) {
        Close(client, "idle", "silent for " + DurationText(options_.idle) + " (modbus_idle_s)",
              LogLevel::Info);
        return;
    }
    if (idling) {
        until(client.last + options_.idle);
    }
    if (client.partial) {
        until(client.partialSince + options_.partialFrame);
    }
    if (client.sending) {
        until(client.sendingSince + options_.partialFrame);
    }
    if (client.statsWaiting) {
        until(client.statsSince + options_.statsFlush);
    }
}

void Server::Drain() {
    // Replies the line has given already still go out: the daemon stops its
    // front ends only once the writes queued before a SIGTERM have been
    // made, and each one's client gets its answer. A client that takes none
    // of them holds the others up for partialFrame at most, as long as a
    // blocking send would have waited for it.
    for (const auto& c : clients_) {
        if (c->open) {
            c->session->Completed();
        }
    }
    const Clock::time_point deadline = Clock::now() + options_.partialFrame;
    std::vector<pollfd> fds;
    std::vector<Client*> waiting;
    for (;;) {
        fds.clear();
        waiting.clear();
        for (const auto& c : clients_) {
            if (c->open && c->session->Unsent() > 0) {
                fds.push_back({c->fd, POLLOUT, 0});
                waiting.push_back(c.get());
            }
        }
        const Clock::time_point now = Clock::now();
        if (fds.empty() || now >= deadline) {
            break;
        }
        if (poll(fds.data(), fds.size(), Millis(deadline - now)) < 0 && errno != EINTR) {
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents != 0 && !waiting[i]->session->SendUnsent()) {
                Client& c = *waiting[i];
                Close(c, c.session->CloseReason(), c.session->CloseDetail(), LogLevel::Warning);
            }
        }
    }
    for (const auto& c : clients_) {
        if (c->open) {
            Close(*c, "shutdown", "", LogLevel::Debug);
        }
    }
    clients_.clear();
}

void Server::Close(Client& client, const char* reason, const std::string& detail, LogLevel level) {
    client.open = false;
    // Counted before the client can see the connection end.
    client.session->FlushStats();
    stats_.Disconnected(Stats::ClientLabels(client.name), reason, --active_);
    shutdown(client.fd, SHUT_RDWR);
    close(client.fd);
    // What it still has waiting for a line would only keep the line from
    // the clients that stay.
    service_.Forget(client.session->Id());
    Log(level, "modbus: client " + client.name + " closed" +
                   (detail.empty() ? std::string() : ": " + detail));
}

std::unique_ptr<FrontEnd> MakeModbusFrontEnd(const GatewayConfig& config, Service& service) {
    if (config.modbus.empty()) {
        return nullptr;
    }
    return std::make_unique<Server>(service, OptionsFromPlant(config));
}

}  // namespace westnet::gateway::modbus
