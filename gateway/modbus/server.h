// The Modbus TCP front end of westnet-gateway. One thread accepts; every
// client gets a thread of its own, which reads its requests, answers cached
// reads at once and, for what needs the line, waits in poll() for the line
// worker's completion while other clients, and other lines, go on.
//
// Limits that keep the daemon up: at most modbus_max_clients connections
// (one more is closed at once), a client silent for modbus_idle_s is closed,
// so is one that leaves a frame unfinished for the partial-frame time-out,
// one whose MBAP header breaks the rules, and one that does not take its
// replies within that same time-out; each client has at most
// maxPendingPerClient requests waiting (then TCP holds the rest back).
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "modbus/plant_index.h"
#include "modbus/stats.h"
#include "plant/listen.h"
#include "scan/service.h"

namespace westnet::gateway::modbus {

struct ServerOptions {
    std::string listen = "127.0.0.1:5020";  // "" turns the front end off
    int maxClients = 32;
    std::chrono::milliseconds idle{60000};  // 0: never closed for silence
    std::chrono::milliseconds partialFrame{5000};
    std::size_t maxPendingPerClient = 16;
    // How long a client's counts may wait before they go to the registry.
    std::chrono::milliseconds statsFlush{250};
};

// The [gateway] keys modbus, modbus_max_clients and modbus_idle_s.
ServerOptions OptionsFromPlant(const GatewayConfig& gateway);

class Server : public FrontEnd {
public:
    Server(Service& service, ServerOptions options);
    ~Server() override;

    std::string Name() const override { return "modbus"; }
    bool Start(std::string& error) override;
    void Stop() override;

    // After Start: the address listened on (its port chosen by the system
    // when the options asked for port 0).
    const ListenAddress& Address() const { return address_; }
    int ClientCount() const { return active_.load(); }

private:
    struct Client {
        int fd = -1;
        std::string name;  // "IP:PORT"
        std::thread thread;
        std::atomic<bool> finished{false};
    };

    void Shutdown();
    void AcceptLoop();
    void Serve(Client& client);
    void Reap(bool all);

    Service& service_;
    ServerOptions options_;
    std::unique_ptr<PlantIndex> index_;  // built at Start
    Stats stats_;
    ListenAddress address_;
    int listenFd_ = -1;
    int stopFd_ = -1;  // readable once Stop has begun; never reset
    std::thread acceptThread_;
    std::mutex clientsMutex_;
    std::list<std::unique_ptr<Client>> clients_;
    std::atomic<int> active_{0};
    bool started_ = false;
};

// What main builds from the plant's [gateway] keys; null when modbus is ""
// (turned off).
std::unique_ptr<FrontEnd> MakeModbusFrontEnd(const GatewayConfig& config, Service& service);

}  // namespace westnet::gateway::modbus
