// The Modbus TCP front end over real loopback sockets, against the recording
// fake of the service: the test decides what is cached and when, and how,
// the line answers.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "modbus/server.h"
#include "support/fake_service.h"

namespace westnet::gateway::modbus {
namespace {

using Bytes = std::vector<std::uint8_t>;
using testing::FakeService;

constexpr int kWait = 10000;  // ms: generous; only a fault comes near it

bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWait);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

PointConfig Point(int station, int reg, int bit = -1, bool writable = false) {
    PointConfig p;
    p.station = station;
    p.reg = reg;
    p.bit = bit;
    p.writable = writable;
    return p;
}

// Line 0 "north" (units 1-2, writes = points), line 1 "south" (unit 11,
// writes = none), line 2 "east" (unit 23, writes = any).
Plant TestPlant() {
    Plant plant;
    LineConfig north;
    north.name = "north";
    PointConfig coil = Point(1, 40001, 3, true);
    coil.coil = 7;
    north.points = {Point(1, 40000, -1, true), coil, Point(1, 40010), Point(2, 40000)};
    north.points[2].count = 3;
    LineConfig south;
    south.name = "south";
    south.modbusUnitOffset = 10;
    south.writes = WritePolicy::None;
    south.points = {Point(1, 40000, -1, true)};
    LineConfig east;
    east.name = "east";
    east.modbusUnitOffset = 20;
    east.writes = WritePolicy::Any;
    east.points = {Point(3, 0)};
    plant.lines = {north, south, east};
    return plant;
}

struct Gateway {
    explicit Gateway(Plant plant = TestPlant(), ServerOptions options = {})
        : service(std::move(plant)), server(service, Listen(std::move(options))) {
        std::string error;
        EXPECT_TRUE(server.Start(error)) << error;
    }
    ~Gateway() { server.Stop(); }
    static ServerOptions Listen(ServerOptions options) {
        options.listen = "127.0.0.1:0";
        options.statsFlush = std::chrono::milliseconds(10);
        return options;
    }
    int Port() const { return server.Address().port; }
    double Series(const std::string& name, const StatsRegistry::Labels& labels) {
        for (const auto& s : service.FrontEndStats().Snapshot()) {
            if (s.name == name && s.labels == labels) {
                return s.value;
            }
        }
        return -1;  // absent
    }

    FakeService service;
    Server server;
};

class Client {
public:
    explicit Client(int port) : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    }
    ~Client() { close(fd_); }
    void Send(const Bytes& bytes) {
        ASSERT_EQ(send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  static_cast<ssize_t>(bytes.size()));
    }
    // One whole reply frame; empty when none came in time or the server closed.
    Bytes Receive(int timeoutMs = kWait) {
        Bytes frame;
        while (frame.size() < 7 || frame.size() < 6u + ((frame[4] << 8) | frame[5])) {
            pollfd p{fd_, POLLIN, 0};
            std::uint8_t byte = 0;
            if (poll(&p, 1, timeoutMs) != 1 || recv(fd_, &byte, 1, 0) != 1) {
                return {};
            }
            frame.push_back(byte);
        }
        return frame;
    }
    // The server closed the connection (within the generous deadline).
    bool Closed() {
        pollfd p{fd_, POLLIN, 0};
        std::uint8_t byte = 0;
        return poll(&p, 1, kWait) == 1 && recv(fd_, &byte, 1, 0) <= 0;
    }
    std::string Name() const {
        sockaddr_in a{};
        socklen_t length = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        return "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
    bool NothingYet() {
        pollfd p{fd_, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }

private:
    int fd_;
};

Bytes Frame(std::uint16_t tid, std::uint8_t unit, const Bytes& pdu) {
    Bytes f = {static_cast<std::uint8_t>(tid >> 8),
               static_cast<std::uint8_t>(tid),
               0,
               0,
               static_cast<std::uint8_t>((pdu.size() + 1) >> 8),
               static_cast<std::uint8_t>(pdu.size() + 1),
               unit};
    f.insert(f.end(), pdu.begin(), pdu.end());
    return f;
}
Bytes Pdu(std::uint8_t fc, int a, int b) {
    return {fc, static_cast<std::uint8_t>(a >> 8), static_cast<std::uint8_t>(a),
            static_cast<std::uint8_t>(b >> 8), static_cast<std::uint8_t>(b)};
}
int ExceptionOf(const Bytes& reply) {
    return reply.size() == 9 && (reply[7] & 0x80) != 0 ? reply[8] : 0;
}
std::vector<int> Words(const Bytes& reply) {
    std::vector<int> w;
    for (std::size_t i = 9; i + 1 < reply.size(); i += 2) {
        w.push_back((reply[i] << 8) | reply[i + 1]);
    }
    return w;
}

LineOpResult Result(Outcome outcome, std::vector<std::uint16_t> values = {}) {
    LineOpResult r;
    r.outcome = outcome;
    r.driverResult = outcome == Outcome::Refused ? 1 : outcome == Outcome::LineFailure ? 2 : 0;
    r.values = std::move(values);
    return r;
}

TEST(ModbusServer, EveryExceptionFromItsCause) {
    struct Case {
        const char* name;
        std::function<void(FakeService&)> setup;
        std::uint8_t unit;
        Bytes pdu;
        const Outcome* lineAnswers;  // the line's answer, when the request reaches it
        int expected;
        bool readOnly = false;
    };
    static const Outcome refused = Outcome::Refused;
    static const Outcome failure = Outcome::LineFailure;
    auto none = [](FakeService&) {};
    const Case cases[] = {
        {"function not served", none, 1, Pdu(0x08, 0, 0), nullptr, 0x01},
        {"read past 65535", none, 1, Pdu(0x03, 65530, 10), nullptr, 0x02},
        {"write to a point not writable", none, 1, Pdu(0x06, 40010, 5), nullptr, 0x02},
        {"write where writes = none", none, 11, Pdu(0x06, 40000, 5), nullptr, 0x02},
        {"write while read_only", none, 23, Pdu(0x06, 0, 5), nullptr, 0x02, true},
        {"coil that no point carries", none, 1, Pdu(0x01, 8, 1), nullptr, 0x02},
        {"count over 125", none, 1, Pdu(0x03, 0, 126), nullptr, 0x03},
        {"mask changing two bits",
         none,
         1,
         {0x16, 0x9C, 0x40, 0xFF, 0xF3, 0x00, 0x0C},
         nullptr,
         0x03},
        {"driver's result 1", none, 1, Pdu(0x03, 40000, 1), &refused, 0x04},
        {"line queue full", [](FakeService& s) { s.SetQueueFull(true); }, 1, Pdu(0x03, 40000, 1),
         nullptr, 0x06},
        {"unit of no line", none, 99, Pdu(0x03, 0, 1), nullptr, 0x0A},
        {"line down", [](FakeService& s) { s.SetLineUp(0, false); }, 1, Pdu(0x03, 40000, 1),
         nullptr, 0x0A},
        {"driver's result 2", none, 2, Pdu(0x04, 40000, 1), &failure, 0x0B},
        {"station demoted", [](FakeService& s) { s.SetState(0, 2, StationState::Demoted); }, 2,
         Pdu(0x03, 40000, 1), nullptr, 0x0B},
    };
    for (const Case& c : cases) {
        Plant plant = TestPlant();
        plant.gateway.readOnly = c.readOnly;
        Gateway gw(plant);
        c.setup(gw.service);
        Client client(gw.Port());
        client.Send(Frame(1, c.unit, c.pdu));
        if (c.lineAnswers != nullptr) {
            ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; })) << c.name;
            gw.service.Finish(0, Result(*c.lineAnswers));
        }
        EXPECT_EQ(ExceptionOf(client.Receive()), c.expected) << c.name;
        if (c.lineAnswers == nullptr) {
            EXPECT_EQ(gw.service.SubmittedCount(), 0u) << c.name << ": answered without the line";
        }
        char code[4];
        std::snprintf(code, sizeof code, "%02X", c.expected);
        EXPECT_TRUE(WaitFor([&] {
            return gw.Series("westnet_modbus_exceptions_total",
                             {{"function", std::to_string(c.pdu[0])}, {"code", code}}) == 1;
        })) << c.name;
    }
}

TEST(ModbusServer, CachedReadsAndReadThrough) {
    Gateway gw;
    gw.service.SetRegisters(0, 1, 40000, {1234, 0x0008});
    Client client(gw.Port());
    client.Send(Frame(5, 1, Pdu(0x03, 40000, 2)));
    Bytes reply = client.Receive();
    EXPECT_EQ(Words(reply), (std::vector<int>{1234, 8}));
    EXPECT_EQ(reply[0] << 8 | reply[1], 5);
    // Coil 7 is bit 3 of register 40001, served from the same cached word.
    client.Send(Frame(6, 1, Pdu(0x01, 7, 1)));
    reply = client.Receive();
    ASSERT_EQ(reply.size(), 10u);
    EXPECT_EQ(reply[9], 1);
    EXPECT_EQ(gw.service.SubmittedCount(), 0u);

    // Not all cached: one read of the whole range goes to the line.
    client.Send(Frame(7, 1, Pdu(0x04, 39999, 3)));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
    const LineOp op = gw.service.SubmittedAt(0).op;
    EXPECT_EQ(op.kind, LineOp::Kind::ReadRegisters);
    EXPECT_EQ(op.station, 1);
    EXPECT_EQ(op.reg, 39999);
    EXPECT_EQ(op.count, 3);
    gw.service.Finish(0, Result(Outcome::Ok, {7, 1234, 8}));
    EXPECT_EQ(Words(client.Receive()), (std::vector<int>{7, 1234, 8}));
    EXPECT_TRUE(WaitFor([&] {
        return gw.Series("westnet_modbus_cache_reads_total", {{"function", "3"}}) == 1;
    }));
}

TEST(ModbusServer, WritesAnswerOnlyOnceAcknowledged) {
    Gateway gw;
    Client client(gw.Port());
    // FC 16 of 100 words to unit 23 (writes = any): one request, in order;
    // the core splits it into block writes.
    Bytes pdu = {0x10, 0x00, 0x00, 0x00, 100, 200};
    for (int i = 0; i < 100; ++i) {
        pdu.push_back(0);
        pdu.push_back(static_cast<std::uint8_t>(i));
    }
    client.Send(Frame(1, 23, pdu));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
    const FakeService::Submitted w = gw.service.SubmittedAt(0);
    EXPECT_EQ(w.line, 2u);
    EXPECT_EQ(w.op.kind, LineOp::Kind::WriteRegisters);
    ASSERT_EQ(w.op.values.size(), 100u);
    EXPECT_EQ(w.op.values[99], 99);
    EXPECT_TRUE(client.NothingYet());
    gw.service.Finish(0, Result(Outcome::Ok));
    EXPECT_EQ(client.Receive(), Frame(1, 23, {0x10, 0x00, 0x00, 0x00, 100}));

    // FC 22 setting bit 3 of 40001 and FC 5 on coil 7 both become its bit write.
    client.Send(Frame(2, 1, {0x16, 0x9C, 0x41, 0xFF, 0xF7, 0x00, 0x08}));
    client.Send(Frame(3, 1, Pdu(0x05, 7, 0x0000)));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 3; }));
    for (std::size_t i : {1u, 2u}) {
        const LineOp bit = gw.service.SubmittedAt(i).op;
        EXPECT_EQ(bit.kind, LineOp::Kind::WriteBit);
        EXPECT_EQ(bit.reg, 40001);
        EXPECT_EQ(bit.bit, 3);
        EXPECT_EQ(bit.values, (std::vector<std::uint16_t>{static_cast<std::uint16_t>(i == 1)}));
        gw.service.Finish(i, Result(Outcome::Ok));
    }
    EXPECT_EQ(client.Receive(), Frame(2, 1, {0x16, 0x9C, 0x41, 0xFF, 0xF7, 0x00, 0x08}));
    EXPECT_EQ(client.Receive(), Frame(3, 1, Pdu(0x05, 7, 0x0000)));
}

// Every request sent to the line names its client and connection (the
// audit record's, and what the line shares its time by), and a client that
// goes has its connection's waiting reads dropped.
TEST(ModbusServer, RequestsNameTheirConnectionWhichIsForgottenWhenItGoes) {
    Gateway gw;
    auto a = std::make_unique<Client>(gw.Port());
    Client b(gw.Port());
    a->Send(Frame(1, 2, Pdu(0x03, 40000, 1)));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
    b.Send(Frame(1, 1, Pdu(0x06, 40000, 7)));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 2; }));
    const Requester read = gw.service.SubmittedAt(0).op.by;
    const Requester write = gw.service.SubmittedAt(1).op.by;
    EXPECT_EQ(read.frontEnd, "modbus");
    EXPECT_EQ(read.who, "");
    EXPECT_EQ(read.client, a->Name());
    EXPECT_EQ(write.frontEnd, "modbus");
    EXPECT_EQ(write.client, b.Name());
    EXPECT_NE(read.session, 0u);
    EXPECT_NE(write.session, 0u);
    EXPECT_NE(read.session, write.session);

    EXPECT_TRUE(gw.service.Forgotten().empty());
    a.reset();
    ASSERT_TRUE(WaitFor([&] { return !gw.service.Forgotten().empty(); }));
    EXPECT_EQ(gw.service.Forgotten(), std::vector<std::uint64_t>{read.session});
    gw.service.Finish(0, Result(Outcome::ShuttingDown));  // lands nowhere, harmlessly
    gw.service.Finish(1, Result(Outcome::Ok));
    EXPECT_EQ(b.Receive(), Frame(1, 1, Pdu(0x06, 40000, 7)));
}

TEST(ModbusServer, AddressListsAndThePerAddressLimit) {
    AddressBlock elsewhere;
    std::string error;
    ASSERT_TRUE(ParseAddressBlock("10.0.0.0/8", elsewhere, error)) << error;
    {
        // 127.0.0.1 not among modbus_clients: closed at once.
        ServerOptions options;
        options.clients = {elsewhere};
        Gateway gw(TestPlant(), options);
        Client refused(gw.Port());
        EXPECT_TRUE(refused.Closed());
        EXPECT_EQ(gw.Series("westnet_modbus_connections_total", {{"result", "refused"}}), 1);
    }
    {
        // Two connections from one address at most: a third is closed, the
        // two stay; none of them may write.
        ServerOptions options;
        options.clients = {elsewhere, LoopbackBlock()};
        options.clientsPerAddress = 2;
        options.writeClients = {elsewhere};
        Gateway gw(TestPlant(), options);
        gw.service.SetRegisters(0, 1, 40000, {42});
        Client a(gw.Port());
        Client b(gw.Port());
        ASSERT_TRUE(WaitFor([&] { return gw.server.ClientCount() == 2; }));
        Client third(gw.Port());
        EXPECT_TRUE(third.Closed());
        const Bytes writes[] = {Pdu(0x06, 40000, 5),
                                Pdu(0x05, 7, 0xFF00),
                                {0x10, 0x9C, 0x40, 0x00, 0x01, 0x02, 0x00, 0x05},
                                {0x0F, 0x00, 0x07, 0x00, 0x01, 0x01, 0x01},
                                {0x16, 0x9C, 0x41, 0xFF, 0xF7, 0x00, 0x08}};
        for (const Bytes& pdu : writes) {
            a.Send(Frame(1, 1, pdu));
            EXPECT_EQ(ExceptionOf(a.Receive()), 0x01) << "function " << int{pdu[0]};
        }
        EXPECT_EQ(gw.service.SubmittedCount(), 0u);
        for (Client* c : {&a, &b}) {
            c->Send(Frame(2, 1, Pdu(0x03, 40000, 1)));
            EXPECT_EQ(Words(c->Receive()), (std::vector<int>{42}));
        }
    }
}

TEST(ModbusServer, RepliesKeepTheOrderOfPipelinedRequests) {
    Gateway gw;
    gw.service.SetRegisters(0, 1, 40000, {1});
    Client client(gw.Port());
    Bytes both = Frame(1, 1, Pdu(0x06, 40000, 2));
    const Bytes read = Frame(2, 1, Pdu(0x03, 40000, 1));
    both.insert(both.end(), read.begin(), read.end());
    client.Send(both);
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
    // The cached read waits behind this client's own write.
    EXPECT_TRUE(client.NothingYet());
    gw.service.Finish(0, Result(Outcome::Ok));
    const Bytes first = client.Receive();
    const Bytes second = client.Receive();
    ASSERT_EQ(first.size(), 12u);
    EXPECT_EQ(first[1], 1);
    ASSERT_EQ(second.size(), 11u);
    EXPECT_EQ(second[1], 2);
}

TEST(ModbusServer, DeadStationDelaysNoOtherClient) {
    Gateway gw;
    gw.service.SetRegisters(0, 1, 40000, {42});
    Client waiting(gw.Port());
    waiting.Send(Frame(1, 2, Pdu(0x03, 40000, 1)));  // station 2 is silent
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
    Client other(gw.Port());
    other.Send(Frame(9, 1, Pdu(0x03, 40000, 1)));
    EXPECT_EQ(Words(other.Receive()), (std::vector<int>{42}));
    gw.service.Finish(0, Result(Outcome::LineFailure));
    EXPECT_EQ(ExceptionOf(waiting.Receive()), 0x0B);
}

TEST(ModbusServer, HalfAFrameBlocksNobodyAndTimesOut) {
    ServerOptions options;
    options.partialFrame = std::chrono::milliseconds(300);
    Gateway gw(TestPlant(), options);
    gw.service.SetRegisters(0, 1, 40000, {42});
    Client stalled(gw.Port());
    const Bytes frame = Frame(1, 1, Pdu(0x03, 40000, 1));
    stalled.Send(Bytes(frame.begin(), frame.begin() + 5));
    Client other(gw.Port());
    other.Send(Frame(2, 1, Pdu(0x03, 40000, 1)));
    EXPECT_EQ(Words(other.Receive()), (std::vector<int>{42}));
    EXPECT_TRUE(stalled.Closed());
    EXPECT_TRUE(WaitFor([&] {
        return gw.Series("westnet_modbus_disconnects_total", {{"reason", "partial_frame"}}) == 1;
    }));
}

TEST(ModbusServer, BrokenHeadersCloseTheConnection) {
    Gateway gw;
    const Bytes headers[] = {
        {0, 1, 0, 1, 0, 6, 1, 0x03, 0, 0, 0, 1},  // protocol id 1
        {0, 1, 0, 0, 1, 0, 1},                    // length 256
        {0, 1, 0, 0, 0, 1, 1},                    // length 1: no function code
    };
    for (const Bytes& h : headers) {
        Client client(gw.Port());
        client.Send(h);
        EXPECT_TRUE(client.Closed());
    }
    EXPECT_TRUE(WaitFor([&] {
        return gw.Series("westnet_modbus_disconnects_total", {{"reason", "bad_header"}}) == 3;
    }));
}

TEST(ModbusServer, ClientCapAndIdleTimeOut) {
    ServerOptions options;
    options.maxClients = 2;
    options.idle = std::chrono::milliseconds(300);
    Gateway gw(TestPlant(), options);
    gw.service.SetRegisters(0, 1, 40000, {42});
    auto a = std::make_unique<Client>(gw.Port());
    Client b(gw.Port());
    ASSERT_TRUE(WaitFor([&] { return gw.server.ClientCount() == 2; }));
    Client refused(gw.Port());
    EXPECT_TRUE(refused.Closed());
    EXPECT_EQ(gw.Series("westnet_modbus_connections_total", {{"result", "refused"}}), 1);
    // A slot is free again once a client has gone.
    a.reset();
    ASSERT_TRUE(WaitFor([&] { return gw.server.ClientCount() == 1; }));
    Client c(gw.Port());
    c.Send(Frame(1, 1, Pdu(0x03, 40000, 1)));
    EXPECT_EQ(Words(c.Receive()), (std::vector<int>{42}));
    // Both stay silent now: both are closed for it.
    EXPECT_TRUE(b.Closed());
    EXPECT_TRUE(c.Closed());
    EXPECT_TRUE(WaitFor([&] {
        return gw.Series("westnet_modbus_disconnects_total", {{"reason", "idle"}}) == 2;
    }));
}

TEST(ModbusServer, WaitingRequestsPerClientAreBounded) {
    ServerOptions options;
    options.maxPendingPerClient = 2;
    Gateway gw(TestPlant(), options);
    auto client = std::make_unique<Client>(gw.Port());
    Bytes three;
    for (std::uint16_t tid = 1; tid <= 3; ++tid) {
        const Bytes f = Frame(tid, 2, Pdu(0x03, 40000, 1));
        three.insert(three.end(), f.begin(), f.end());
    }
    client->Send(three);
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 2; }));
    EXPECT_EQ(gw.service.SubmittedCount(), 2u);
    gw.service.Finish(0, Result(Outcome::Ok, {1}));
    ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 3; }));
    gw.service.Finish(1, Result(Outcome::Ok, {2}));
    gw.service.Finish(2, Result(Outcome::Ok, {3}));
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(Words(client->Receive()), (std::vector<int>{i}));
    }
    // The client's own series stand while it is connected, and go with it.
    const StatsRegistry::Labels self = {{"client", client->Name()}};
    EXPECT_TRUE(
        WaitFor([&] { return gw.Series("westnet_modbus_client_requests_total", self) == 3; }));
    client.reset();
    EXPECT_TRUE(
        WaitFor([&] { return gw.Series("westnet_modbus_client_requests_total", self) == -1; }));
    EXPECT_EQ(gw.Series("westnet_modbus_requests_total", {{"function", "3"}}), 3);
}

// A client that sends reads and takes none of its replies: once its socket
// is full it is read no more, the one thread goes on serving every other
// client at once, and it is closed when it has taken nothing for the
// partial-frame time-out.
TEST(ModbusServer, DeafClientStallsNobodyAndIsClosed) {
    ServerOptions options;
    options.partialFrame = std::chrono::milliseconds(1500);
    Gateway gw(TestPlant(), options);
    gw.service.SetRegisters(0, 1, 40000, std::vector<std::uint16_t>(125, 7));
    const int deaf = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    const int small = 4096;  // before connecting: a small window from the start
    setsockopt(deaf, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(gw.Port()));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int connected = connect(deaf, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ASSERT_TRUE(connected == 0 || errno == EINPROGRESS) << std::strerror(errno);
    Bytes reads;
    for (std::uint16_t tid = 0; tid < 256; ++tid) {
        const Bytes f = Frame(tid, 1, Pdu(0x03, 40000, 125));
        reads.insert(reads.end(), f.begin(), f.end());
    }
    // Until the gateway takes no more of its requests for 200 ms.
    std::size_t sent = 0;
    for (int i = 0; i < 20000; ++i) {
        pollfd p{deaf, POLLOUT, 0};
        if (poll(&p, 1, 200) != 1) {
            break;
        }
        const ssize_t n = send(deaf, reads.data(), reads.size(), MSG_NOSIGNAL);
        ASSERT_TRUE(n > 0 || errno == EAGAIN) << std::strerror(errno);
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    ASSERT_GT(sent, 0u);
    const StatsRegistry::Labels sendFailed = {{"reason", "send_failed"}};
    Client other(gw.Port());
    other.Send(Frame(1, 1, Pdu(0x03, 40000, 1)));
    EXPECT_EQ(Words(other.Receive()), (std::vector<int>{7}));
    EXPECT_NE(gw.Series("westnet_modbus_disconnects_total", sendFailed), 1)
        << "the other client waited for the deaf one to be closed";
    EXPECT_TRUE(
        WaitFor([&] { return gw.Series("westnet_modbus_disconnects_total", sendFailed) == 1; }));
    EXPECT_EQ(gw.server.ClientCount(), 1);
    close(deaf);
}

// The requests before a broken header are answered before it closes the
// connection, as they were when each reply was sent as it was built.
TEST(ModbusServer, RepliesBeforeABrokenHeaderGoOut) {
    Gateway gw;
    gw.service.SetRegisters(0, 1, 40000, {42});
    Client client(gw.Port());
    Bytes both = Frame(3, 1, Pdu(0x03, 40000, 1));
    const Bytes broken = {0, 4, 0, 1, 0, 6, 1, 0x03, 0, 0, 0, 1};  // protocol id 1
    both.insert(both.end(), broken.begin(), broken.end());
    client.Send(both);
    const Bytes reply = client.Receive();
    EXPECT_EQ(Words(reply), (std::vector<int>{42}));
    EXPECT_TRUE(client.Closed());
}

// A reply the line gave before the front end stops still reaches its
// client, however the stop and the completion meet.
TEST(ModbusServer, RepliesGivenBeforeStopGoOut) {
    for (int round = 0; round < 5; ++round) {
        Gateway gw;
        Client client(gw.Port());
        client.Send(Frame(static_cast<std::uint16_t>(round), 2, Pdu(0x03, 40000, 1)));
        ASSERT_TRUE(WaitFor([&] { return gw.service.SubmittedCount() == 1; }));
        gw.service.Finish(0, Result(Outcome::Ok, {99}));
        gw.server.Stop();
        const Bytes reply = client.Receive();
        EXPECT_EQ(Words(reply), (std::vector<int>{99})) << round;
        EXPECT_TRUE(client.Closed()) << round;
    }
}

}  // namespace
}  // namespace westnet::gateway::modbus
