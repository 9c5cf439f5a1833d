// One Modbus TCP client's connection, without threads of its own: the bytes
// it sends are cut into frames by their MBAP header, each frame is decoded
// and answered (at once from the cache, or once the line has served it), and
// the replies go back in the order the requests came.
//
// Whoever runs the session (the front end's one thread, or the fuzz target)
// reads the socket into InputSpace(), calls Received(), calls Completed()
// whenever WakeFd() is readable (that is how a line worker's completion
// reaches the front end's thread) and Writable() when the socket takes more
// while Unsent() is not zero.
//
// Nothing here blocks: one thread serves every client, so a client that does
// not take its replies must stall no one else. Replies go into a bounded
// buffer and out with non-blocking sends; while half the bound is waiting,
// no more requests are taken from that client (TCP holds them back), and
// should replies still pile up past the bound the connection is closed.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <modbus/modbus.h>

#include "modbus/exchange.h"
#include "modbus/plant_index.h"
#include "modbus/request.h"
#include "modbus/stats.h"
#include "scan/service.h"
#include "sync/mutex.h"

namespace westnet::gateway::modbus {

// Where line workers leave their results for one client. Shared with every
// completion handed to the service, so a completion that comes after the
// client has gone (or the front end has stopped) lands here harmlessly.
class Mailbox {
public:
    Mailbox();
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    bool Valid() const { return fd_ >= 0; }
    int Fd() const { return fd_; }  // readable once a result was posted
    void Post(std::uint64_t request, const LineOpResult& result) EXCLUDES(mutex_);
    // The results posted so far; cheap (no system call) when there are none.
    std::vector<std::pair<std::uint64_t, LineOpResult>> Take() EXCLUDES(mutex_);
    // Makes Fd() unreadable again; before the Take that follows a wake-up.
    void ClearWake();

private:
    int fd_ = -1;
    // Set by Post, cleared by Take: spares Take a lock on every request
    // when nothing came back.
    std::atomic<bool> posted_{false};
    Mutex mutex_;
    std::vector<std::pair<std::uint64_t, LineOpResult>> results_ GUARDED_BY(mutex_);
};

class Session {
public:
    // Replies waiting for the client's socket, at most (see Unsent()).
    static constexpr std::size_t kDefaultMaxUnsent = std::size_t{64} * 1024;

    // `fd` is the client's connected socket; the session sends its replies
    // to it (never blocking, whatever the socket's mode) and never closes it.
    // `id` names the connection in every request it sends the line
    // (Requester::session; 0 for none), so that the line takes its reads in
    // turn with other clients' and drops them when it goes (Service::Forget,
    // the front end's to call). A client that may not write (its address is
    // not in modbus_write_clients) has every write answered 01.
    Session(Service& service, const PlantIndex& index, Stats& stats, int fd, std::string client,
            std::size_t maxPending, std::size_t maxUnsent = kDefaultMaxUnsent, std::uint64_t id = 0,
            bool mayWrite = true);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool Valid() const { return ctx_ != nullptr && replyIn_ >= 0 && mailbox_->Valid(); }
    int WakeFd() const { return mailbox_->Fd(); }
    const std::string& Client() const { return client_; }
    std::uint64_t Id() const { return id_; }

    // Where to put bytes read from the client; nullptr while the client has
    // as many requests waiting as it may, or half the bound of replies unsent
    // (reading more would only queue without bound: TCP holds the rest back).
    std::uint8_t* InputSpace(std::size_t& room);
    // `n` bytes were put at InputSpace(). False when the connection must be
    // closed; CloseReason() says why.
    bool Received(std::size_t n);
    // Results may have come back from the line. False: close.
    bool Completed();
    // The socket takes more: sends what waits, then takes the requests held
    // back while it waited. False: close.
    bool Writable();
    // Sends what waits and takes no new request (for a front end stopping).
    bool SendUnsent() { return Send(); }

    // Bytes of replies built but not yet taken by the socket.
    std::size_t Unsent() const { return output_.size() - sent_; }
    // Bytes the socket has taken so far: the client's progress, which a
    // stalled reader does not make.
    std::uint64_t SentTotal() const { return sentTotal_; }

    // Nothing buffered, nothing waiting and nothing unsent: the client is
    // silent.
    bool Idle() const { return pending_.empty() && begin_ == end_ && Unsent() == 0; }
    // Bytes of a frame not yet complete are buffered (while reading goes on).
    bool PartialFrame() const;
    // Frames taken so far; a partial frame's clock restarts when it changes.
    std::uint64_t Frames() const { return frames_; }
    // Counts of answered requests not yet in the statistics registry.
    bool StatsWaiting() const { return !tally_.Empty(); }
    void FlushStats() { stats_.Flush(clientLabels_, tally_); }
    const char* CloseReason() const { return closeReason_; }
    const std::string& CloseDetail() const { return closeDetail_; }

private:
    struct Pending {
        std::uint64_t id = 0;
        std::array<std::uint8_t, kMaxFrame> frame{};
        std::size_t length = 0;
        Request request;
        Answer answer;
        Job job;
        bool ready = false;
    };

    bool Pump();
    // No more requests are taken: too many wait for the line, or too many
    // replies for the socket.
    bool Paused() const;
    bool Send();
    // Moves what libmodbus wrote (`sent` bytes, or -1) into the output.
    bool Capture(int sent);
    // Takes the complete frames from the input while the client may have
    // more requests waiting. False on a frame header that breaks the rules.
    bool TakeFrames(bool& took);
    bool Handle(const std::uint8_t* frame, std::size_t length);
    void Submit(Pending& pending);
    bool Flush();
    bool Reply(const std::uint8_t* frame, std::size_t length, const Request& request,
               Answer& answer);
    bool Fail(const char* reason, std::string detail);

    Service& service_;
    Exchange exchange_;
    Stats& stats_;
    int fd_;
    std::string client_;
    std::uint64_t id_;
    bool mayWrite_;
    StatsRegistry::Labels clientLabels_;
    Tally tally_;
    std::size_t maxPending_;
    modbus_t* ctx_ = nullptr;
    // libmodbus writes each reply into this socket pair's one end (ctx_'s
    // socket) and Capture reads it from the other: the bytes are libmodbus's
    // own, and only ever sent without blocking.
    int replyOut_ = -1;
    int replyIn_ = -1;
    std::shared_ptr<Mailbox> mailbox_;

    // Input: the bytes of frames not yet taken, from begin_ to end_.
    static constexpr std::size_t kInput = 4096;
    std::array<std::uint8_t, kInput> input_{};
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    std::uint64_t frames_ = 0;

    std::deque<Pending> pending_;  // in the order the requests came
    std::uint64_t nextId_ = 1;

    // Output: replies built, sent from sent_ on.
    std::size_t maxUnsent_;
    std::vector<std::uint8_t> output_;
    std::size_t sent_ = 0;
    std::uint64_t sentTotal_ = 0;

    // What write replies are built over: libmodbus writes the values it
    // echoes into a mapping, which nothing reads afterwards.
    std::array<std::uint16_t, kMaxWriteRegisters> scratchWords_{};
    std::array<std::uint8_t, kMaxWriteBits> scratchBits_{};

    bool failed_ = false;
    const char* closeReason_ = "closed";
    std::string closeDetail_;
};

}  // namespace westnet::gateway::modbus
