// Bounds on what one HTTP client may cost while it sends a request. The
// library reads a request's header lines without a limit on their number and
// waits up to its read time-out between any two bytes, so one client could
// send headers until the daemon runs out of memory, or trickle a byte every
// few seconds and keep a worker for ever. The guard watches every connection
// from outside the library: one that has sent more than a request may hold,
// or taken longer than the request time to send it, is shut down (the
// library then sees the connection end and lets its worker go). Time in a
// handler (a write waiting for its station) does not count.
//
// The library does not hand its accepted sockets to anyone, so the guard's
// task queue finds each new one, on the accepting thread, as the only socket
// on the front end's port it does not know yet.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "http/http_front_end.h"

namespace westnet::gateway::http {

class RequestGuard {
public:
    explicit RequestGuard(RequestLimits limits);
    ~RequestGuard();
    RequestGuard(const RequestGuard&) = delete;
    RequestGuard& operator=(const RequestGuard&) = delete;

    // The port the front end listens on; before the first connection.
    void SetPort(int port) { port_ = port; }
    // A task queue of `workers` threads that registers each connection with
    // the guard; for httplib::Server::new_task_queue.
    httplib::TaskQueue* NewTaskQueue(std::size_t workers);

    // From the handlers: the request of this peer is being answered (its time
    // and bytes no longer count), and has been answered (they count afresh).
    void Handling(const std::string& addr, int port);
    void Answered(const std::string& addr, int port);

    // Connections shut down so far for sending too much, or too slowly.
    std::uint64_t Oversized() const;
    std::uint64_t Overdue() const;

private:
    struct Connection {
        int fd = -1;
        std::string peer;  // "ADDR PORT", as the handlers see it
        std::chrono::steady_clock::time_point since;
        std::uint64_t bytesAtStart = 0;
        bool handling = false;
        bool shut = false;
    };
    using Entry = std::list<Connection>::iterator;
    class Queue;

    Entry Adopt();  // on the accepting thread: the socket accepted last
    void Release(Entry entry);
    void Watch();

    RequestLimits limits_;
    std::atomic<int> port_{0};  // read by the watcher
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::list<Connection> connections_;
    std::uint64_t oversized_ = 0;
    std::uint64_t overdue_ = 0;
    std::thread watcher_;
};

// The bytes the system has received on a TCP socket so far (0 when it cannot
// tell); in a file of its own, since the system's tcp_info that has them
// clashes with the C library's.
std::uint64_t SocketBytesReceived(int fd);

}  // namespace westnet::gateway::http
