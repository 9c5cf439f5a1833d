// Fuzzes the Modbus TCP front end's handling of one client's stream: the
// input is the bytes the client sends, fed to the session in pieces whose
// sizes the input picks, over a socket pair whose other end collects the
// replies. Requests that reach the line wait in the recording fake service
// and are finished, in order or not, with outcomes and values the input
// picks (short reads included); the cache, the line and station states and
// a full queue are set by the input too.
//
// Checked, besides the sanitizers' own checks:
// - every reply is a well-formed MBAP frame answering the next request in
//   the order sent: same transaction id and unit, the function code or its
//   exception form, protocol id 0, a length that matches, and an exception
//   code the front end uses;
// - the session closes the connection only on a frame header that breaks
//   the rules, and then only there;
// - once the line has finished everything, every complete request before
//   any such header has been answered.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "modbus/plant_index.h"
#include "modbus/session.h"
#include "modbus/stats.h"
#include "support/fake_service.h"

namespace {

using namespace westnet::gateway;
using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const char* what, std::size_t index) {
    std::fprintf(stderr, "fuzz_modbus: reply %zu: %s\n", index, what);
    std::abort();
}

PointConfig Point(int station, int reg, int bit, int coil, bool writable) {
    PointConfig p;
    p.station = station;
    p.reg = reg;
    p.bit = bit;
    p.writable = writable;
    if (coil >= 0) {
        p.coil = coil;
    }
    return p;
}

Plant FuzzPlant() {
    Plant plant;
    LineConfig a;
    a.name = "a";
    a.points = {Point(1, 0, -1, -1, true), Point(1, 1, 0, 0, true), Point(1, 1, 5, 1, false),
                Point(1, 70, 15, 2, true), Point(2, 65535, -1, -1, false)};
    a.points[0].count = 8;
    LineConfig b;
    b.name = "b";
    b.modbusUnitOffset = 10;
    b.writes = WritePolicy::Any;
    b.points = {Point(1, 100, 2, 0, false)};
    plant.lines = {a, b};
    return plant;
}

// The input, read from the front; past its end, zeros.
struct Input {
    const std::uint8_t* data;
    std::size_t size;
    std::size_t at = 0;
    std::uint8_t Byte() { return at < size ? data[at++] : 0; }
};

int Word(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}

struct Expected {
    int tid;
    int unit;
    int function;
};

// The stream cut by the framing rules: the complete frames before any bad
// header, and whether there is one.
std::vector<Expected> Frames(const Bytes& stream, bool& badHeader) {
    std::vector<Expected> frames;
    badHeader = false;
    std::size_t at = 0;
    while (stream.size() - at >= 7) {
        const std::uint8_t* h = stream.data() + at;
        const int length = Word(h + 4);
        if (Word(h + 2) != 0 || length < 2 || length > 254) {
            badHeader = true;
            break;
        }
        if (stream.size() - at < 6 + static_cast<std::size_t>(length)) {
            break;
        }
        frames.push_back({Word(h), h[6], h[7]});
        at += 6 + static_cast<std::size_t>(length);
    }
    return frames;
}

void Drain(int fd, Bytes& replies) {
    std::uint8_t buffer[4096];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        replies.insert(replies.end(), buffer, buffer + n);
    }
}

void Check(const Bytes& replies, const std::vector<Expected>& frames, bool closed, bool badHeader) {
    std::size_t at = 0;
    std::size_t n = 0;
    while (at < replies.size()) {
        if (replies.size() - at < 9) {
            Fail("shorter than a reply", n);
        }
        const std::uint8_t* r = replies.data() + at;
        const std::size_t length = static_cast<std::size_t>(Word(r + 4));
        if (Word(r + 2) != 0 || length < 3 || replies.size() - at < 6 + length) {
            Fail("bad MBAP header", n);
        }
        if (n >= frames.size()) {
            Fail("answers no request", n);
        }
        const Expected& e = frames[n];
        if (Word(r) != e.tid || r[6] != e.unit) {
            Fail("transaction id or unit of another request", n);
        }
        if (r[7] == (e.function | 0x80)) {
            static const int kCodes[] = {0x01, 0x02, 0x03, 0x04, 0x06, 0x0A, 0x0B};
            bool known = false;
            for (int c : kCodes) {
                known = known || r[8] == c;
            }
            if (length != 3 || !known) {
                Fail("bad exception reply", n);
            }
        } else if (r[7] != e.function || e.function >= 0x80) {
            Fail("function code of another request", n);
        }
        at += 6 + length;
        ++n;
    }
    if (closed && !badHeader) {
        Fail("connection closed without a bad header", n);
    }
    if (!closed && badHeader) {
        Fail("a bad header went by", n);
    }
    if (!closed && n != frames.size()) {
        Fail("requests left unanswered", n);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const Plant plant = FuzzPlant();
    static const modbus::PlantIndex index(plant);
    Input in{data, size};

    // The registry outlives the inputs; its series stay few (by function
    // and exception code).
    static StatsRegistry registry;
    static modbus::Stats stats(registry);
    testing::FakeService service(plant);
    const std::uint8_t setup = in.Byte();
    for (int r = 0; r < 8; ++r) {
        if ((setup >> (r % 4)) & 1) {
            service.SetRegisters(0, 1, r, {static_cast<std::uint16_t>(r * 0x1111)});
        }
    }
    service.SetRegisters(0, 1, 1, {0x0021});
    if ((setup & 0x10) != 0) {
        service.SetState(0, 2, StationState::Demoted);
    }
    if ((setup & 0x20) != 0) {
        service.SetLineUp(1, false);
    }
    service.SetQueueFull((setup & 0xC0) == 0xC0);
    const std::size_t chunkMax = 1 + in.Byte() % 64;
    const std::size_t maxPending = 1 + in.Byte() % 4;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return 0;
    }
    fcntl(pair[1], F_SETFL, O_NONBLOCK);
    const Bytes stream(data + in.at, data + size);
    Bytes replies;
    std::vector<bool> finished;
    bool open = true;
    {
        modbus::Session session(service, index, stats, pair[0], "fuzz", maxPending);
        if (!session.Valid()) {
            std::abort();
        }
        // Finishes one waiting request (the input picks which, and how).
        auto finishOne = [&]() {
            finished.resize(service.SubmittedCount(), false);
            std::vector<std::size_t> waiting;
            for (std::size_t i = 0; i < finished.size(); ++i) {
                if (!finished[i]) {
                    waiting.push_back(i);
                }
            }
            if (waiting.empty()) {
                return false;
            }
            const std::uint8_t how = in.Byte();
            const std::size_t i = waiting[(how >> 4) % waiting.size()];
            finished[i] = true;
            LineOpResult result;
            result.outcome = static_cast<Outcome>(how % 12 < 9 ? how % 12 : 0);
            const LineOp op = service.SubmittedAt(i).op;
            if (result.outcome == Outcome::Ok && op.kind == LineOp::Kind::ReadRegisters) {
                const int count = (how & 0x08) != 0 && op.count > 1 ? op.count - 1 : op.count;
                for (int w = 0; w < count; ++w) {
                    result.values.push_back(static_cast<std::uint16_t>(op.reg + w));
                }
            }
            service.Finish(i, result);
            return true;
        };

        std::size_t fed = 0;
        while (open && fed < stream.size()) {
            std::size_t room = 0;
            std::uint8_t* space = session.InputSpace(room);
            if (space == nullptr) {
                if (!finishOne()) {
                    Fail("no room for input while nothing waits for the line", 0);
                }
                open = session.Completed();
            } else {
                std::size_t n = 1 + in.Byte() % chunkMax;
                n = std::min({n, room, stream.size() - fed});
                std::copy(stream.begin() + static_cast<long>(fed),
                          stream.begin() + static_cast<long>(fed + n), space);
                fed += n;
                open = session.Received(n);
                if (open && (in.Byte() & 1) != 0 && finishOne()) {
                    open = session.Completed();
                }
            }
            Drain(pair[1], replies);
        }
        while (open && finishOne()) {
            open = session.Completed();
            Drain(pair[1], replies);
        }
        if (!open && std::string(session.CloseReason()) != "bad_header") {
            std::fprintf(stderr, "fuzz_modbus: closed: %s\n", session.CloseDetail().c_str());
            std::abort();
        }
    }
    Drain(pair[1], replies);
    close(pair[0]);
    close(pair[1]);
    bool badHeader = false;
    const std::vector<Expected> frames = Frames(stream, badHeader);
    Check(replies, frames, !open, badHeader);
    return 0;
}
