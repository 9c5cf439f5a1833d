// The Modbus TCP front end of westnet-gateway: one thread, one poll() over
// the listening socket, the stop event and every client's socket and wake
// event. A client's requests are answered at once from the cache or, for
// what needs the line, once the line worker's completion wakes the loop;
// meanwhile other clients, and other lines, go on. Nothing in the loop
// blocks: client sockets are non-blocking, and each client's replies wait in
// a bounded buffer of its own for its socket to take them.
//
// Who may connect: an address modbus_clients lists (any, when it lists
// none), with at most modbus_clients_per_address connections from one
// address; any other connection is closed at once. Who may write: an
// address modbus_write_clients lists; another's writes are answered 01.
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
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "modbus/plant_index.h"
#include "modbus/stats.h"
#include "plant/address_block.h"
#include "plant/listen.h"
#include "scan/service.h"
#include "sync/mutex.h"

namespace westnet::gateway::modbus {

struct ServerOptions {
    std::string listen = "127.0.0.1:5020";  // "" turns the front end off
    int maxClients = 32;
    std::chrono::milliseconds idle{60000};  // 0: never closed for silence
    std::chrono::milliseconds partialFrame{5000};
    std::size_t maxPendingPerClient = 16;
    int clientsPerAddress = 4;
    std::vector<AddressBlock> clients;  // none: anyone
    std::vector<AddressBlock> writeClients = {LoopbackBlock()};
    std::vector<std::string> clientsText;  // as the plant file wrote them
    std::vector<std::string> writeClientsText = {"127.0.0.1"};
    // Bytes of replies a client may leave untaken; past that it is closed.
    std::size_t maxUnsentPerClient = std::size_t{64} * 1024;
    // How long a client's counts may wait before they go to the registry.
    std::chrono::milliseconds statsFlush{250};
};

// The [gateway] keys modbus, modbus_max_clients, modbus_idle_s,
// modbus_clients, modbus_write_clients and modbus_clients_per_address.
ServerOptions OptionsFromPlant(const GatewayConfig& gateway);

class Server : public FrontEnd {
public:
    Server(Service& service, ServerOptions options);
    ~Server() override;

    std::string Name() const override { return "modbus"; }
    bool Start(std::string& error) override;
    void Stop() override;
    // A reload keeps the listener and every client when its own keys stay;
    // the loop waits out the swap at its next turn, and the register map is
    // built anew from the new plant.
    bool Keeps(const GatewayConfig& next) const override;
    void Pause() override ACQUIRE(gate_);
    bool Resume() override RELEASE(gate_);

    // After Start: the address listened on (its port chosen by the system
    // when the options asked for port 0).
    const ListenAddress& Address() const { return address_; }
    int ClientCount() const { return active_.load(); }

private:
    struct Client;
    using Clock = std::chrono::steady_clock;

    void Shutdown();
    void Loop();
    void Accept(Clock::time_point& pausedUntil);
    // What poll() said of the client's socket and of its wake event.
    void Serve(Client& client, short socketEvents, short wakeEvents);
    // Closes the client when one of its time-outs has passed; else lowers
    // `timeout` (ms, -1: none) to the next of them.
    void Check(Client& client, Clock::time_point now, int& timeout);
    // The last replies go out (for at most partialFrame), then every client
    // is closed.
    void Drain();
    void Close(Client& client, const char* reason, const std::string& detail, LogLevel level);

    Service& service_;
    ServerOptions options_;
    // Held by the loop for each turn (all but its poll), and by a reload.
    Mutex gate_;
    std::unique_ptr<PlantIndex> index_;  // built at Start, anew at each Resume
    Stats stats_;
    ListenAddress address_;
    int listenFd_ = -1;
    int stopFd_ = -1;  // readable once Stop has begun; never reset
    std::thread thread_;
    // Only the loop's thread touches these (Start and Shutdown do before it
    // starts and after it has ended): no lock.
    std::vector<std::unique_ptr<Client>> clients_;
    std::atomic<int> active_{0};
    bool started_ = false;
};

// What main builds from the plant's [gateway] keys; null when modbus is ""
// (turned off).
std::unique_ptr<FrontEnd> MakeModbusFrontEnd(const GatewayConfig& config, Service& service);

}  // namespace westnet::gateway::modbus
