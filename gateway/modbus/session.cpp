#include "modbus/session.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "log/log.h"

namespace westnet::gateway::modbus {
namespace {

int Word(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}

std::string SendError(int error) {
    return std::string("its reply could not be sent: ") +
           (error == EMBBADDATA ? "sent in part" : std::strerror(error));
}

}  // namespace

Mailbox::Mailbox() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Mailbox::~Mailbox() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Mailbox::Post(std::uint64_t request, const LineOpResult& result) {
    {
        MutexLock lock(mutex_);
        results_.emplace_back(request, result);
    }
    posted_.store(true);
    const std::uint64_t one = 1;
    // Cannot block (non-blocking, and the counter never nears its limit).
    [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
}

std::vector<std::pair<std::uint64_t, LineOpResult>> Mailbox::Take() {
    std::vector<std::pair<std::uint64_t, LineOpResult>> taken;
    if (!posted_.exchange(false)) {
        return taken;
    }
    MutexLock lock(mutex_);
    taken.swap(results_);
    return taken;
}

void Mailbox::ClearWake() {
    // Every post sets the flag before the event, so a result posted after
    // this read wakes its reader again and none is left behind.
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = read(fd_, &count, sizeof count);
}

Session::Session(Service& service, const PlantIndex& index, Stats& stats, int fd,
                 std::string client, std::size_t maxPending, std::size_t maxUnsent,
                 std::uint64_t id, bool mayWrite)
    : service_(service),
      exchange_(service, index),
      stats_(stats),
      fd_(fd),
      client_(std::move(client)),
      id_(id),
      mayWrite_(mayWrite),
      clientLabels_(Stats::ClientLabels(client_)),
      maxPending_(maxPending < 1 ? 1 : maxPending),
      mailbox_(std::make_shared<Mailbox>()),
      // Room for at least one reply below half the bound, or nothing is
      // ever taken.
      maxUnsent_(maxUnsent < 2 * kMaxFrame ? 2 * kMaxFrame : maxUnsent) {
    // libmodbus builds the replies and writes them to the pair's one end;
    // the address given here is never connected to. Both ends are
    // non-blocking: a reply is read out as soon as it is written, so a send
    // that would wait is a fault, not a wait.
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0) {
        return;
    }
    replyOut_ = pair[0];
    replyIn_ = pair[1];
    ctx_ = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    if (ctx_ != nullptr) {
        modbus_set_socket(ctx_, replyOut_);
    }
}

Session::~Session() {
    if (ctx_ != nullptr) {
        modbus_set_socket(ctx_, -1);
        modbus_free(ctx_);
    }
    if (replyOut_ >= 0) {
        close(replyOut_);
        close(replyIn_);
    }
}

bool Session::Paused() const {
    return pending_.size() >= maxPending_ || Unsent() >= maxUnsent_ / 2;
}

std::uint8_t* Session::InputSpace(std::size_t& room) {
    if (Paused()) {
        room = 0;
        return nullptr;
    }
    if (kInput - end_ < kMaxFrame && begin_ > 0) {
        std::memmove(input_.data(), input_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    room = kInput - end_;
    return room == 0 ? nullptr : input_.data() + end_;
}

bool Session::Received(std::size_t n) {
    end_ += n < kInput - end_ ? n : kInput - end_;
    return Pump();
}

bool Session::Completed() {
    mailbox_->ClearWake();
    return Pump();
}

bool Session::Writable() {
    return Pump();
}

bool Session::Send() {
    while (sent_ < output_.size()) {
        const ssize_t n =
            send(fd_, output_.data() + sent_, output_.size() - sent_, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
            sentTotal_ += static_cast<std::uint64_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            return Fail("send_failed", SendError(n < 0 ? errno : EPIPE));
        }
    }
    if (sent_ == output_.size()) {
        output_.clear();
        sent_ = 0;
    } else if (sent_ >= output_.size() / 2) {
        output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(sent_));
        sent_ = 0;
    }
    // Takes none of its replies while more keep coming: what a blocking send
    // would have given up on after its time-out, with the same words.
    if (Unsent() > maxUnsent_) {
        return Fail("send_failed", SendError(EAGAIN));
    }
    return true;
}

bool Session::PartialFrame() const {
    if (begin_ == end_ || Paused()) {
        return false;
    }
    const std::size_t avail = end_ - begin_;
    return avail < kHeaderSize ||
           avail < 6 + static_cast<std::size_t>(Word(input_.data() + begin_ + 4));
}

bool Session::Fail(const char* reason, std::string detail) {
    // The first cause stands: a send tried on the way out does not hide it.
    if (!failed_) {
        failed_ = true;
        closeReason_ = reason;
        closeDetail_ = std::move(detail);
    }
    return false;
}

bool Session::Pump() {
    // A completion may come back inside Submit (a line that is down answers
    // at once), so go on until neither the input nor the mailbox has more.
    for (;;) {
        const bool paused = Paused();
        bool took = false;
        if (!TakeFrames(took)) {
            // The replies to the requests before the broken header still go
            // out, as far as the socket takes them now.
            Send();
            return false;
        }
        auto results = mailbox_->Take();
        for (auto& [id, result] : results) {
            for (Pending& p : pending_) {
                if (p.id != id || p.ready) {
                    continue;
                }
                if (exchange_.Continue(p.request, p.job, result, p.answer)) {
                    p.ready = true;
                } else {
                    Submit(p);
                }
                break;
            }
        }
        if (!Flush() || !Send()) {
            return false;
        }
        // Once the socket has taken enough, the requests held back are due.
        if (!took && results.empty() && (!paused || Paused())) {
            return true;
        }
    }
}

bool Session::TakeFrames(bool& took) {
    while (!Paused() && end_ - begin_ >= kHeaderSize) {
        const std::uint8_t* header = input_.data() + begin_;
        const int protocol = Word(header + 2);
        const int length = Word(header + 4);
        // Past a header that breaks these rules nothing tells where the next
        // frame starts: the connection cannot go on.
        if (protocol != 0) {
            return Fail("bad_header", "its frame header names protocol " +
                                          std::to_string(protocol) + ", not Modbus (0)");
        }
        if (length < kMinLengthField || length > kMaxLengthField) {
            return Fail("bad_header", "its frame header gives a length of " +
                                          std::to_string(length) + " (Modbus allows 2 to 254)");
        }
        const std::size_t size = 6 + static_cast<std::size_t>(length);
        if (end_ - begin_ < size) {
            break;
        }
        ++frames_;
        took = true;
        const bool sent = Handle(header, size);
        begin_ += size;
        if (!sent) {
            return false;
        }
    }
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
    return true;
}

bool Session::Handle(const std::uint8_t* frame, std::size_t length) {
    Request request;
    Answer answer;
    Job job;
    bool ready = true;
    answer.exception = Decode(frame[6], frame + kHeaderSize, length - kHeaderSize, request);
    if (answer.exception == Exception::None && request.IsWrite() && !mayWrite_) {
        // As for a function not served: this client has no writes at all.
        answer.exception = Exception::IllegalFunction;
        Log(LogLevel::Warning, "modbus: client " + client_ + ": write refused (function " +
                                   std::to_string(request.function) +
                                   "): its address is not in modbus_write_clients");
        // On record as every write attempt, when it names a register of the
        // plant at all.
        Answer ignored;
        Job refused;
        if (!exchange_.Begin(request, ignored, refused) && !refused.ops.empty()) {
            LineOp op = refused.ops.front();
            op.by = Requester{"modbus", "", client_, id_};
            service_.AuditRefused(refused.line, nullptr, op, "not-allowed");
        }
    }
    if (answer.exception == Exception::None) {
        ready = exchange_.Begin(request, answer, job);
    }
    if (ready && pending_.empty()) {
        return Reply(frame, length, request, answer);
    }
    Pending& p = pending_.emplace_back();
    p.id = nextId_++;
    std::memcpy(p.frame.data(), frame, length);
    p.length = length;
    p.request = std::move(request);
    p.answer = std::move(answer);
    p.job = std::move(job);
    p.ready = ready;
    if (!ready) {
        Submit(p);
    }
    return true;
}

void Session::Submit(Pending& pending) {
    std::shared_ptr<Mailbox> mailbox = mailbox_;
    const std::uint64_t id = pending.id;
    LineOp op = pending.job.ops[pending.job.next];
    op.by = Requester{"modbus", "", client_, id_};
    const bool queued =
        service_.Submit(pending.job.line, std::move(op),
                        [mailbox, id](const LineOpResult& result) { mailbox->Post(id, result); });
    if (!queued) {
        // The line's queue is full: the client may try again shortly.
        pending.answer = Answer{};
        pending.answer.exception = Exception::Busy;
        pending.ready = true;
    }
}

bool Session::Flush() {
    while (!pending_.empty() && pending_.front().ready) {
        Pending& p = pending_.front();
        const bool sent = Reply(p.frame.data(), p.length, p.request, p.answer);
        pending_.pop_front();
        if (!sent) {
            return false;
        }
    }
    return true;
}

// libmodbus builds every reply: modbus_reply from a mapping that holds just
// the request's range, filled with what the cache or the line gave, and
// modbus_reply_exception for the rest. modbus_reply is only ever handed a
// request that has passed every check here, since its own exception path
// sleeps and flushes its socket's input. Both write into the reply pair,
// whence Capture takes the bytes into the output.
bool Session::Reply(const std::uint8_t* frame, std::size_t length, const Request& request,
                    Answer& answer) {
    const auto count = static_cast<std::size_t>(request.count);
    if (answer.exception == Exception::None) {
        const bool bits =
            request.Code() == Function::ReadCoils || request.Code() == Function::ReadDiscreteInputs;
        const bool words = request.Code() == Function::ReadHoldingRegisters ||
                           request.Code() == Function::ReadInputRegisters;
        if ((bits && answer.bits.size() != count) || (words && answer.registers.size() != count)) {
            answer.exception = Exception::DeviceFailure;  // never a short reply
        }
    }
    tally_.Answered(frame[kHeaderSize], answer.exception, answer.fromCache);
    if (answer.exception != Exception::None && frame[kHeaderSize] >= 0x80) {
        // A "request" in an exception's own function code: libmodbus would
        // add 0x80 and wrap around to another code; the reply keeps it.
        const std::uint8_t reply[9] = {frame[0],
                                       frame[1],
                                       0,
                                       0,
                                       0,
                                       3,
                                       frame[6],
                                       frame[kHeaderSize],
                                       static_cast<std::uint8_t>(answer.exception)};
        output_.insert(output_.end(), reply, reply + sizeof reply);
        return true;
    }
    int sent = -1;
    if (answer.exception != Exception::None) {
        sent = modbus_reply_exception(ctx_, frame, static_cast<unsigned>(answer.exception));
    } else {
        modbus_mapping_t map{};
        const int n = static_cast<int>(count);
        switch (request.Code()) {
            case Function::ReadCoils:
                map.nb_bits = n;
                map.start_bits = request.address;
                map.tab_bits = answer.bits.data();
                break;
            case Function::ReadDiscreteInputs:
                map.nb_input_bits = n;
                map.start_input_bits = request.address;
                map.tab_input_bits = answer.bits.data();
                break;
            case Function::ReadHoldingRegisters:
                map.nb_registers = n;
                map.start_registers = request.address;
                map.tab_registers = answer.registers.data();
                break;
            case Function::ReadInputRegisters:
                map.nb_input_registers = n;
                map.start_input_registers = request.address;
                map.tab_input_registers = answer.registers.data();
                break;
            case Function::WriteSingleCoil:
            case Function::WriteMultipleCoils:
                map.nb_bits = n;
                map.start_bits = request.address;
                map.tab_bits = scratchBits_.data();
                break;
            default:  // FC 6, 16 and 22 echo their request
                map.nb_registers = n;
                map.start_registers = request.address;
                map.tab_registers = scratchWords_.data();
                break;
        }
        sent = modbus_reply(ctx_, frame, static_cast<int>(length), &map);
    }
    return Capture(sent);
}

bool Session::Capture(int sent) {
    if (sent <= 0) {
        return Fail("send_failed", SendError(errno));
    }
    const std::size_t want = static_cast<std::size_t>(sent);
    const std::size_t at = output_.size();
    output_.resize(at + want);
    std::size_t got = 0;
    while (got < want) {
        const ssize_t n = recv(replyIn_, output_.data() + at + got, want - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            // Cannot be: libmodbus wrote the whole reply just now.
            output_.resize(at + got);
            return Fail("send_failed", SendError(EMBBADDATA));
        }
    }
    return true;
}

}  // namespace westnet::gateway::modbus
