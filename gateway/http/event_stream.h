// /api/events: Server-Sent Events of every change of a point's value or
// quality, of station and line states, to a bounded number of clients.
//
// Each client's stream is a libmicrohttpd callback response: while the
// client has nothing to be sent its connection is suspended, and the line
// workers (through the Listener) or the keep-alive resume it, so that the
// library's one thread never waits for a change and never spins. The line
// workers only mark what changed in each client's queue (event_queue.h);
// the events are rendered from the value cache on the library's thread when
// they are sent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <sys/types.h>

#include "http/event_queue.h"
#include "scan/service.h"
#include "sync/mutex.h"

struct MHD_Connection;
struct MHD_Response;

namespace westnet::gateway::http {

struct EventLimits {
    // Streams open at once: each one holds a connection for as long as its
    // client stays, out of the front end's 256.
    std::size_t streams = 32;
    // Distinct changes waiting for one client before it is told it
    // overflowed (about 64 bytes each).
    std::size_t waiting = 16384;
    // A comment at least this often on a stream with nothing to send.
    std::chrono::milliseconds keepAlive{10000};
};

class EventStreams final : public Listener {
public:
    // `gate` is the front end's: held shared while a stream asks the service.
    EventStreams(Service& service, SharedMutex& gate, EventLimits limits);
    ~EventStreams() override;
    EventStreams(const EventStreams&) = delete;
    EventStreams& operator=(const EventStreams&) = delete;

    // Starts listening to the service.
    void Start();
    // A stream for this connection (the request asked GET /api/events), or
    // null when the streams are all taken or the front end is stopping.
    MHD_Response* Open(MHD_Connection* connection, bool snapshot);
    // The front end's watch, every tick: keep-alives for idle streams.
    void Tick();
    // A reload is about to change the plant: every stream says so and ends.
    void Reload();
    // The new plant is in place (the gate still held alone).
    void Adopt();
    // Every stream ends; waits (at most `wait`) for the library to have
    // sent their ends, and stops listening. No stream opens after it.
    void Stop(std::chrono::milliseconds wait);

    std::size_t Count() const;

    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override;
    void StationChanged(std::size_t line, int station, StationState state) override;

    struct Stream;

private:
    static ssize_t Chunk(void* cls, std::uint64_t position, char* out, std::size_t most);
    static void Done(void* cls);
    // What the stream sends next into its buffer; false when the stream was
    // suspended with nothing to send.
    bool Fill(Stream& s);
    void Push(const StreamEvent& event) REQUIRES(mutex_);
    void Publish() REQUIRES(mutex_);
    void Tables(std::vector<std::vector<std::uint64_t>>& changes, std::vector<char>& up) const;

    Service& service_;
    SharedMutex& gate_;
    const EventLimits limits_;
    mutable Mutex mutex_;
    std::condition_variable idle_;  // a stream has gone
    std::vector<Stream*> streams_ GUARDED_BY(mutex_);
    bool listening_ GUARDED_BY(mutex_) = false;
    bool stopping_ GUARDED_BY(mutex_) = false;
    bool paused_ GUARDED_BY(mutex_) = false;
    // What the listener last saw: each point's count of changes, each
    // line's state.
    std::vector<std::vector<std::uint64_t>> changes_ GUARDED_BY(mutex_);
    std::vector<char> up_ GUARDED_BY(mutex_);
};

}  // namespace westnet::gateway::http
