#include "modbus/session.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace westnet::gateway::modbus {
namespace {

int Word(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
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
        std::lock_guard<std::mutex> lock(mutex_);
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
    std::lock_guard<std::mutex> lock(mutex_);
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
                 std::string client, std::size_t maxPending)
    : service_(service),
      exchange_(service, index),
      stats_(stats),
      fd_(fd),
      client_(std::move(client)),
      clientLabels_(Stats::ClientLabels(client_)),
      maxPending_(maxPending < 1 ? 1 : maxPending),
      mailbox_(std::make_shared<Mailbox>()) {
    // libmodbus builds the replies and writes them to our socket; the address
    // given here is never connected to.
    ctx_ = modbus_new_tcp("127.0.0.1", MODBUS_TCP_DEFAULT_PORT);
    if (ctx_ != nullptr) {
        modbus_set_socket(ctx_, fd_);
    }
}

Session::~Session() {
    if (ctx_ != nullptr) {
        modbus_set_socket(ctx_, -1);
        modbus_free(ctx_);
    }
}

std::uint8_t* Session::InputSpace(std::size_t& room) {
    if (pending_.size() >= maxPending_) {
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

bool Session::PartialFrame() const {
    if (begin_ == end_ || pending_.size() >= maxPending_) {
        return false;
    }
    const std::size_t avail = end_ - begin_;
    return avail < kHeaderSize ||
           avail < 6 + static_cast<std::size_t>(Word(input_.data() + begin_ + 4));
}

bool Session::Fail(const char* reason, std::string detail) {
    closeReason_ = reason;
    closeDetail_ = std::move(detail);
    return false;
}

bool Session::Pump() {
    // A completion may come back inside Submit (a line that is down answers
    // at once), so go on until neither the input nor the mailbox has more.
    for (;;) {
        bool took = false;
        if (!TakeFrames(took)) {
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
        if (!Flush()) {
            return false;
        }
        if (!took && results.empty()) {
            return true;
        }
    }
}

bool Session::TakeFrames(bool& took) {
    while (pending_.size() < maxPending_ && end_ - begin_ >= kHeaderSize) {
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
    const bool queued =
        service_.Submit(pending.job.line, pending.job.ops[pending.job.next],
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
// sleeps and flushes the socket's input (pipelined requests included).
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
    int sent = -1;
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
        const ssize_t n = send(fd_, reply, sizeof reply, MSG_NOSIGNAL);
        sent = n == static_cast<ssize_t>(sizeof reply) ? 9 : -1;
        if (n >= 0 && n != static_cast<ssize_t>(sizeof reply)) {
            errno = EMBBADDATA;
        }
    } else if (answer.exception != Exception::None) {
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
    if (sent <= 0) {
        return Fail("send_failed",
                    std::string("its reply could not be sent: ") +
                        (errno == EMBBADDATA ? "sent in part" : std::strerror(errno)));
    }
    return true;
}

}  // namespace westnet::gateway::modbus
