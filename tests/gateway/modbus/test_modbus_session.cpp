// One client's session over a socket pair whose far end the test reads (or
// does not): replies that the client does not take wait in the session's
// bounded buffer, hold its further requests back, and close it past the bound.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "modbus/plant_index.h"
#include "modbus/session.h"
#include "modbus/stats.h"
#include "support/fake_service.h"

namespace westnet::gateway::modbus {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::FakeService;

Plant OneLine() {
    Plant plant;
    LineConfig north;
    north.name = "north";
    PointConfig a;
    a.station = 1;
    a.reg = 40000;
    PointConfig b = a;
    b.station = 2;
    north.points = {a, b};
    plant.lines = {north};
    return plant;
}

// FC 3 of 125 registers from 40000: a reply of 259 bytes.
Bytes Read125(std::uint16_t tid, std::uint8_t unit) {
    return {static_cast<std::uint8_t>(tid >> 8),
            static_cast<std::uint8_t>(tid),
            0,
            0,
            0,
            6,
            unit,
            0x03,
            0x9C,
            0x40,
            0,
            125};
}
constexpr std::size_t kReply = 9 + 250;

// A session over one end of a socket pair whose small buffer the test has
// filled: the session's socket takes nothing until the test reads.
struct Fixture {
    explicit Fixture(std::size_t maxPending, std::size_t maxUnsent) {
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        const int small = 4096;
        setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const Bytes zeros(1024, 0);
        for (;;) {
            const ssize_t n = send(pair[0], zeros.data(), zeros.size(), MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            filled += static_cast<std::size_t>(n);
        }
        session = std::make_unique<Session>(service, index, stats, pair[0], "test", maxPending,
                                            maxUnsent);
        EXPECT_TRUE(session->Valid());
    }
    ~Fixture() {
        session.reset();
        close(pair[0]);
        close(pair[1]);
    }
    bool Feed(const Bytes& bytes) {
        std::size_t room = 0;
        std::uint8_t* space = session->InputSpace(room);
        EXPECT_NE(space, nullptr);
        EXPECT_GE(room, bytes.size());
        std::memcpy(space, bytes.data(), bytes.size());
        return session->Received(bytes.size());
    }
    // Everything the session's socket took, past the filling (skipped once).
    Bytes Drain() {
        Bytes all;
        std::uint8_t buffer[4096];
        for (;;) {
            const ssize_t n = recv(pair[1], buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) {
                break;
            }
            all.insert(all.end(), buffer, buffer + n);
        }
        EXPECT_GE(all.size(), filled);
        const std::size_t skip = std::min(filled, all.size());
        filled = 0;
        return Bytes(all.begin() + static_cast<long>(skip), all.end());
    }
    // The transaction ids of whole 259-byte replies, in order.
    static std::vector<int> Tids(const Bytes& replies) {
        std::vector<int> tids;
        for (std::size_t at = 0; at + kReply <= replies.size(); at += kReply) {
            EXPECT_EQ(replies[at + 7], 0x03);
            EXPECT_EQ(replies[at + 8], 250);
            tids.push_back(replies[at] << 8 | replies[at + 1]);
        }
        EXPECT_EQ(replies.size() % kReply, 0u);
        return tids;
    }

    FakeService service{OneLine()};
    PlantIndex index{service.PlantConfig()};
    Stats stats{service.FrontEndStats()};
    int pair[2] = {-1, -1};
    std::size_t filled = 0;
    std::unique_ptr<Session> session;
};

// Eight line reads come back while the client takes nothing: 2072 bytes of
// replies. Within the bound they wait (and hold further requests back);
// past it the client is closed as a send that timed out was.
TEST(ModbusSession, RepliesTheClientDoesNotTakeAreBounded) {
    struct Case {
        std::size_t maxUnsent;
        bool open;
    };
    for (const Case c : {Case{4096, true}, Case{1024, false}}) {
        Fixture f(8, c.maxUnsent);
        Bytes requests;
        for (std::uint16_t tid = 1; tid <= 8; ++tid) {
            const Bytes r = Read125(tid, 2);
            requests.insert(requests.end(), r.begin(), r.end());
        }
        ASSERT_TRUE(f.Feed(requests));
        ASSERT_EQ(f.service.SubmittedCount(), 8u);
        for (std::size_t i = 0; i < 8; ++i) {
            LineOpResult ok;
            ok.outcome = Outcome::Ok;
            ok.values.assign(125, static_cast<std::uint16_t>(i));
            f.service.Finish(i, ok);
        }
        EXPECT_EQ(f.session->Completed(), c.open) << c.maxUnsent;
        if (!c.open) {
            EXPECT_STREQ(f.session->CloseReason(), "send_failed");
            EXPECT_EQ(f.session->CloseDetail(),
                      std::string("its reply could not be sent: ") + std::strerror(EAGAIN));
            continue;
        }
        EXPECT_EQ(f.session->Unsent(), 8 * kReply);
        EXPECT_FALSE(f.session->Idle());
        std::size_t room = 0;
        EXPECT_EQ(f.session->InputSpace(room), nullptr) << "half the bound waits: nothing is read";
        // The client reads again: every reply, in order.
        Bytes replies = f.Drain();
        ASSERT_TRUE(f.session->Writable());
        const Bytes rest = f.Drain();
        replies.insert(replies.end(), rest.begin(), rest.end());
        EXPECT_EQ(Fixture::Tids(replies), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8}));
        EXPECT_EQ(f.session->Unsent(), 0u);
        EXPECT_EQ(f.session->SentTotal(), 8 * kReply);
    }
}

// Cached reads pipelined by a client that does not read: taken only until
// half the bound waits; the rest stay in the input, not counted as a frame
// left unfinished, and are answered once the socket takes the first.
TEST(ModbusSession, PipelinedRequestsWaitForRoomForTheirReplies) {
    Fixture f(16, 1024);
    f.service.SetRegisters(0, 1, 40000, std::vector<std::uint16_t>(125, 0x1234));
    Bytes requests;
    for (std::uint16_t tid = 1; tid <= 10; ++tid) {
        const Bytes r = Read125(tid, 1);
        requests.insert(requests.end(), r.begin(), r.end());
    }
    // Half an eleventh: reading stops before it too.
    requests.insert(requests.end(), {0, 11, 0, 0, 0, 6});
    ASSERT_TRUE(f.Feed(requests));
    EXPECT_EQ(f.session->Unsent(), 2 * kReply);
    EXPECT_EQ(f.session->Frames(), 2u);
    EXPECT_FALSE(f.session->PartialFrame());
    std::size_t room = 0;
    EXPECT_EQ(f.session->InputSpace(room), nullptr);

    // Once the socket has room, the requests held back are taken at once:
    // the client has sent them already and will send nothing more.
    Bytes replies = f.Drain();
    ASSERT_TRUE(f.session->Writable());
    EXPECT_GT(f.session->Frames(), 2u);
    for (int turn = 0; turn < 20 && (f.session->Frames() < 10 || f.session->Unsent() > 0); ++turn) {
        const Bytes got = f.Drain();
        replies.insert(replies.end(), got.begin(), got.end());
        ASSERT_TRUE(f.session->Writable());
    }
    const Bytes rest = f.Drain();
    replies.insert(replies.end(), rest.begin(), rest.end());
    EXPECT_EQ(Fixture::Tids(replies), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    EXPECT_TRUE(f.session->PartialFrame()) << "reading resumed: the half frame is the client's";
    EXPECT_NE(f.session->InputSpace(room), nullptr);
}

}  // namespace
}  // namespace westnet::gateway::modbus
