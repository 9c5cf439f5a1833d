// The HTTP front end alone, over the fake service and a real loopback
// socket: routes, point names with '/', what a write answers for each way a
// line request can end, and the Prometheus text.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "auth/users.h"
#include "http/http_front_end.h"
#include "support/fake_service.h"
#include "support/http_client.h"

namespace westnet::gateway {
namespace {

using nlohmann::json;
using testing::FakeService;
using testing::HttpClient;
using testing::HttpReply;

// Who the tests are: a token per role, and one user with a password, in a
// users file of their own.
constexpr const char* kOperatorToken = "wn_operator-token-of-the-tests";
constexpr const char* kViewerToken = "wn_viewer-token-of-the-tests";
constexpr const char* kAdminToken = "wn_admin-token-of-the-tests";
constexpr const char* kPassword = "a-long-enough-password";

void RemoveUsersFile();

const std::string& UsersFile() {
    static const std::string path = [] {
        char name[] = "/tmp/westnet-users-XXXXXX";
        const int fd = mkstemp(name);
        const std::string text = "# the tests' users\ntoken ops operator " +
                                 auth::HashToken(kOperatorToken) + "\ntoken eyes viewer " +
                                 auth::HashToken(kViewerToken) + "\ntoken boss admin " +
                                 auth::HashToken(kAdminToken) + "\nuser anna operator " +
                                 auth::HashPassword(kPassword) + "\n";
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
        std::atexit(RemoveUsersFile);
        return std::string(name);
    }();
    return path;
}

void RemoveUsersFile() {
    unlink(UsersFile().c_str());
}

HttpClient::Headers Bearer(const char* token) {
    return {{"Authorization", std::string("Bearer ") + token}};
}

Plant TestPlant() {
    Plant plant;
    plant.path = "test.toml";
    LineConfig line;
    line.name = "north";
    auto point = [](const char* name, int reg, int count, bool writable) {
        PointConfig p;
        p.name = name;
        p.address = name;
        p.station = 1;
        p.reg = reg;
        p.count = count;
        p.writable = writable;
        return p;
    };
    line.points = {point("boiler/temperature", 40000, 0, true),
                   point("tank/levels", 40009, 3, true), point("0140002 3", 40001, 0, false)};
    line.points[2].bit = 2;
    plant.lines.push_back(line);
    plant.gateway.http = "127.0.0.1:0";
    plant.gateway.usersFile = UsersFile();
    return plant;
}

class GatewayHttp : public ::testing::Test {
protected:
    void SetUp() override {
        frontEnd_ = http::MakeHttpFrontEnd(service_.PlantConfig().gateway, service_);
        ASSERT_TRUE(frontEnd_);
        std::string error;
        ASSERT_TRUE(frontEnd_->Start(error)) << error;
        client_ = std::make_unique<HttpClient>(http::BoundPort(*frontEnd_));
        client_->SetDefaultHeaders(Bearer(kOperatorToken));
    }
    void TearDown() override { frontEnd_->Stop(); }

    // A PUT that the service answers with `result` once it was submitted.
    std::optional<HttpReply> PutAnswered(const std::string& path, const std::string& body,
                                         const LineOpResult& result) {
        const std::size_t before = service_.SubmittedCount();
        auto put = std::async(std::launch::async,
                              [&] { return client_->Put(path, body, "application/json"); });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (service_.SubmittedCount() == before && std::chrono::steady_clock::now() < deadline &&
               put.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
        }
        if (service_.SubmittedCount() > before) {
            service_.Finish(before, result);
        }
        return put.get();
    }

    FakeService service_{TestPlant()};
    std::unique_ptr<FrontEnd> frontEnd_;
    std::unique_ptr<HttpClient> client_;
};

// Each request as the front end must decide it: by role, by the Host it
// was sent to (DNS rebinding) and by the Origin of the page that sent it.
TEST_F(GatewayHttp, EachRequestIsDecidedByRoleHostAndOrigin) {
    const std::string self = "127.0.0.1:" + std::to_string(http::BoundPort(*frontEnd_));
    const std::string put = "PUT /api/points/north/boiler/temperature HTTP/1.1\r\n";
    const std::string body = "Content-Type: application/json\r\nContent-Length: 3\r\n\r\n742";
    auto request = [&](const std::string& head, const std::string& host, const std::string& more) {
        return head + "Host: " + host + "\r\nConnection: close\r\n" + more +
               (head.rfind("PUT", 0) == 0 ? body : "\r\n");
    };
    const std::string get = "GET /api/points HTTP/1.1\r\n";
    const std::string auth = "Authorization: Bearer ";
    struct Case {
        std::string name;
        std::string bytes;
        int status;
    };
    const Case cases[] = {
        {"read without credentials", request(get, self, ""), 401},
        {"read by a viewer", request(get, self, auth + kViewerToken + "\r\n"), 200},
        {"read with an unknown token", request(get, self, auth + "wn_nobody\r\n"), 401},
        {"read with a malformed header", request(get, self, "Authorization: Basic !\r\n"), 400},
        {"write without credentials", request(put, self, ""), 401},
        {"write by a viewer", request(put, self, auth + kViewerToken + "\r\n"), 403},
        {"write from another site's page",
         request(put, self, auth + kOperatorToken + "\r\nOrigin: http://attacker.example\r\n"),
         403},
        {"DNS rebinding", request(put, "attacker.example:8080", auth + kOperatorToken + "\r\n"),
         421},
        {"rebinding a read", request(get, "attacker.example", auth + kAdminToken + "\r\n"), 421},
        {"audit by an operator",
         request("GET /api/audit HTTP/1.1\r\n", self, auth + kOperatorToken + "\r\n"), 403},
        {"audit by an admin",
         request("GET /api/audit HTTP/1.1\r\n", self, auth + kAdminToken + "\r\n"), 200},
        {"the page itself", request("GET / HTTP/1.1\r\n", self, ""), 200},
    };
    for (const Case& c : cases) {
        const std::optional<HttpReply> reply = client_->Raw(c.bytes);
        ASSERT_TRUE(reply) << c.name;
        EXPECT_EQ(reply->status, c.status) << c.name << ": " << reply->body;
        // Every answer, refusals too, carries the security headers.
        EXPECT_EQ(reply->Header("X-Frame-Options"), "DENY") << c.name;
        EXPECT_EQ(reply->Header("X-Content-Type-Options"), "nosniff") << c.name;
        EXPECT_EQ(reply->Header("Referrer-Policy"), "no-referrer") << c.name;
        EXPECT_NE(reply->Header("Content-Security-Policy").find("script-src 'self'"),
                  std::string::npos)
            << c.name;
    }
    EXPECT_EQ(service_.SubmittedCount(), 0u);  // none of them was written

    // The page runs no inline script: its script and style are files.
    const std::optional<HttpReply> page = client_->Get("/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<script src=\"/app.js\"></script>"), std::string::npos);
    EXPECT_EQ(page->body.find("<script>"), std::string::npos);
    EXPECT_EQ(page->body.find("<style>"), std::string::npos);
    EXPECT_EQ(page->body.find(" style="), std::string::npos);
    const std::optional<HttpReply> script = client_->Get("/app.js");
    ASSERT_TRUE(script);
    EXPECT_EQ(script->status, 200);
    EXPECT_EQ(script->Header("Content-Type"), "text/javascript; charset=utf-8");
}

// A browser logs in once: the session cookie is HttpOnly and SameSite=Strict,
// it carries the user's writes (named in the audit) and ends at logout.
TEST_F(GatewayHttp, ALoginOpensAStrictSessionThatWritesUnderTheUsersName) {
    client_->SetDefaultHeaders({});
    const std::string login = R"({"user": "anna", "password": ")" + std::string(kPassword) + "\"}";
    const std::optional<HttpReply> wrong = client_->Send(
        "POST", "/api/login", R"({"user": "anna", "password": "guess"})", "application/json", {});
    ASSERT_TRUE(wrong);
    EXPECT_EQ(wrong->status, 401);
    EXPECT_TRUE(wrong->Header("Set-Cookie").empty());

    const std::optional<HttpReply> in =
        client_->Send("POST", "/api/login", login, "application/json", {});
    ASSERT_TRUE(in);
    ASSERT_EQ(in->status, 200) << in->body;
    const std::string cookie = in->Header("Set-Cookie");
    EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos) << cookie;
    EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos) << cookie;
    EXPECT_EQ(cookie.find("Secure"), std::string::npos) << cookie;  // plain HTTP here
    const std::string session = cookie.substr(0, cookie.find(';'));
    client_->SetDefaultHeaders({{"Cookie", session}});

    const std::optional<HttpReply> who = client_->Get("/api/whoami");
    ASSERT_TRUE(who);
    EXPECT_EQ(json::parse(who->body)["role"], "operator");
    const std::optional<HttpReply> written =
        PutAnswered("/api/points/north/boiler/temperature", "742", LineOpResult{});
    ASSERT_TRUE(written);
    EXPECT_EQ(written->status, 200) << written->body;
    const LineOp op = service_.SubmittedAt(service_.SubmittedCount() - 1).op;
    EXPECT_EQ(op.by.frontEnd, "http");
    EXPECT_EQ(op.by.who, "anna");
    EXPECT_EQ(op.by.client.rfind("127.0.0.1:", 0), 0u) << op.by.client;

    ASSERT_TRUE(client_->Send("POST", "/api/logout", "", "application/json", {}));
    const std::size_t before = service_.SubmittedCount();
    const std::optional<HttpReply> after =
        client_->Put("/api/points/north/boiler/temperature", "742", "application/json");
    ASSERT_TRUE(after);
    EXPECT_EQ(after->status, 401);
    EXPECT_EQ(service_.SubmittedCount(), before);
}

// /api/points is sent as it is written and pages on request; a name that is
// not UTF-8 is answered as any unknown name, never with an internal error.
TEST_F(GatewayHttp, PointsArePagedAndBadBytesInANameAreJustUnknown) {
    const std::optional<HttpReply> page = client_->Get("/api/points?offset=1&limit=1");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    const json body = json::parse(page->body);
    EXPECT_EQ(body["total"], 3);
    ASSERT_EQ(body["points"].size(), 1u);
    EXPECT_EQ(body["points"][0]["name"], "tank/levels");
    const std::optional<HttpReply> all = client_->Get("/api/points");
    ASSERT_TRUE(all);
    EXPECT_EQ(json::parse(all->body)["points"].size(), 3u);

    const std::optional<HttpReply> bad = client_->Get("/api/points/north/%C3%28%FF");
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 404);
    EXPECT_TRUE(json::accept(bad->body)) << bad->body;
}

TEST_F(GatewayHttp, PointsByNameEvenWithSlashesAndSpaces) {
    PointSample sample;
    sample.values = {1234};
    sample.quality = Quality::Good;
    service_.SetSample(0, 0, sample);
    auto r = client_->Get("/api/points/north/boiler/temperature");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const json one = json::parse(r->body);
    EXPECT_EQ(one["value"], 1234);
    EXPECT_EQ(one["quality"], "good");
    EXPECT_EQ(one["register"], 40001);

    r = client_->Get("/api/points/north/0140002%203");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(json::parse(r->body)["bit"], 3);
    EXPECT_TRUE(json::parse(r->body)["value"].is_null());  // never read

    r = client_->Get("/api/points/north/boiler");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(json::parse(r->body)["error"], "no-such-point");

    r = client_->Get("/api/points");
    ASSERT_TRUE(r);
    const json all = json::parse(r->body);
    ASSERT_EQ(all["points"].size(), 3u);
    EXPECT_TRUE(all["points"][1]["values"].is_null());  // a block has "values"

    r = client_->Get("/");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("<title>westnet-gateway</title>"), std::string::npos);
    EXPECT_EQ(r->Header("Content-Type"), "text/html; charset=utf-8");
}

TEST_F(GatewayHttp, AWriteAnswersWithWhatTheLineDid) {
    struct Case {
        const char* path;
        const char* body;
        Outcome outcome;
        std::int32_t driverResult;
        int status;
        std::vector<std::uint16_t> submitted;
    };
    const Case cases[] = {
        {"/api/points/north/boiler/temperature", "4321", Outcome::Ok, 0, 200, {4321}},
        {"/api/points/north/tank/levels", "[1, 2, 3]", Outcome::Ok, 0, 200, {1, 2, 3}},
        {"/api/points/north/0140002%203", "true", Outcome::Ok, 0, 200, {1}},
        {"/api/points/north/boiler/temperature", "5", Outcome::LineFailure, 2, 502, {5}},
        {"/api/points/north/boiler/temperature", "5", Outcome::Refused, 1, 502, {5}},
        {"/api/points/north/0140002%203", "1", Outcome::NotWritable, 0, 403, {1}},
        {"/api/points/north/boiler/temperature", "5", Outcome::ReadOnly, 0, 403, {5}},
        {"/api/points/north/boiler/temperature", "5", Outcome::Demoted, 0, 503, {5}},
    };
    for (const Case& c : cases) {
        LineOpResult result;
        result.outcome = c.outcome;
        result.driverResult = c.driverResult;
        const std::size_t index = service_.SubmittedCount();
        auto r = PutAnswered(c.path, c.body, result);
        ASSERT_TRUE(r) << c.path;
        EXPECT_EQ(r->status, c.status) << c.path << " " << c.body;
        ASSERT_EQ(service_.SubmittedCount(), index + 1) << c.path;
        EXPECT_EQ(service_.SubmittedAt(index).op.values, c.submitted);
        const json body = json::parse(r->body);
        EXPECT_EQ(body["result"], OutcomeName(c.outcome));
        // A failure is named under "error" too, as the gateway's own
        // refusals are; a success has no "error".
        if (c.status >= 400) {
            ASSERT_TRUE(body.contains("error")) << c.path;
            EXPECT_EQ(body["error"], OutcomeName(c.outcome)) << c.path;
        } else {
            EXPECT_FALSE(body.contains("error")) << c.path;
        }
        if (c.status == 502) {
            EXPECT_EQ(body["driver_result"], c.driverResult);
        }
    }
}

TEST_F(GatewayHttp, ABadBodyIsRefusedAndNothingIsWritten) {
    const std::pair<const char*, const char*> cases[] = {
        {"/api/points/north/boiler/temperature", "hot"},
        {"/api/points/north/boiler/temperature", "70000"},
        {"/api/points/north/boiler/temperature", "-1"},
        {"/api/points/north/boiler/temperature", "1.5"},
        {"/api/points/north/boiler/temperature", "[1, 2]"},
        {"/api/points/north/boiler/temperature", "[1]"},
        {"/api/points/north/0140002%203", "[true]"},
        {"/api/points/north/tank/levels", "[1, 2]"},
        {"/api/points/north/tank/levels", "{\"value\": 1}"},
        {"/api/points/north/0140002%203", "2"},
    };
    for (const auto& c : cases) {
        auto r = client_->Put(c.first, c.second, "application/json");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 400) << c.first << " " << c.second;
        EXPECT_EQ(json::parse(r->body)["error"], "bad-body");
    }
    EXPECT_EQ(service_.SubmittedCount(), 0u);
    service_.SetQueueFull(true);
    auto r = client_->Put("/api/points/north/boiler/temperature", "1", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
}

// A typed point is served in engineering units beside its raw words, and
// written in them: the write lands as the words its type and scale make.
TEST(GatewayHttpTyped, EngineeringValuesBothWays) {
    Plant plant = TestPlant();
    LineConfig& line = plant.lines[0];
    PointConfig& kiln = line.points[0];  // boiler/temperature, register 40001
    kiln.format.type = values::Type::Int16;
    kiln.format.scaled = true;
    kiln.format.scale = {0, 10, 0, 1};
    kiln.unit = "°C";
    kiln.decimals = 1;
    PointConfig& flows = line.points[1];  // tank/levels: 3 float32 values, high word first
    flows.format.type = values::Type::Float32;
    flows.format.order = values::WordOrder::HighFirst;
    FakeService service{plant};
    auto frontEnd = http::MakeHttpFrontEnd(service.PlantConfig().gateway, service);
    ASSERT_TRUE(frontEnd);
    std::string error;
    ASSERT_TRUE(frontEnd->Start(error)) << error;
    HttpClient client(http::BoundPort(*frontEnd));
    client.SetDefaultHeaders(Bearer(kOperatorToken));

    PointSample sample;
    sample.values = {0xFD8F};  // -625 tenths
    sample.quality = Quality::Good;
    service.SetSample(0, 0, sample);
    sample.values = {0x4292, 0x8000, 0xC0A0, 0x0000, 0x7FC0, 0x0000};  // 73.25, -5, NaN
    service.SetSample(0, 1, sample);
    auto r = client.Get("/api/points/north/boiler/temperature");
    ASSERT_TRUE(r);
    json one = json::parse(r->body);
    EXPECT_DOUBLE_EQ(one["value"].get<double>(), -62.5) << r->body;
    EXPECT_EQ(one["raw"], 0xFD8F);
    EXPECT_EQ(one["unit"], "°C");
    EXPECT_EQ(one["decimals"], 1);
    EXPECT_EQ(one["type"], "int16");
    r = client.Get("/api/points/north/tank/levels");
    ASSERT_TRUE(r);
    one = json::parse(r->body);
    EXPECT_EQ(one["values"], json::parse("[73.25, -5, null]")) << r->body;
    EXPECT_EQ(one["raw"].size(), 6u);
    EXPECT_EQ(one["count"], 3);
    EXPECT_EQ(one["registers"], 6);

    auto put = std::async(std::launch::async, [&] {
        return client.Put("/api/points/north/tank/levels", "[73.25, 0, -1]", "application/json");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (service.SubmittedCount() == 0 && std::chrono::steady_clock::now() < deadline &&
           put.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    }
    ASSERT_EQ(service.SubmittedCount(), 1u);
    EXPECT_EQ(service.SubmittedAt(0).op.values,
              (std::vector<std::uint16_t>{0x4292, 0x8000, 0, 0, 0xBF80, 0}));
    service.Finish(0, LineOpResult{});
    ASSERT_TRUE(put.get());

    r = client.Put("/api/points/north/boiler/temperature", "3276.8", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 400);
    EXPECT_NE(r->body.find("out-of-range: this int16 point (scaled) takes -3276.8 to 3276.7"),
              std::string::npos)
        << r->body;
    EXPECT_EQ(service.SubmittedCount(), 1u);
    frontEnd->Stop();
}

TEST_F(GatewayHttp, MetricsInThePrometheusTextFormat) {
    PointSample sample;
    sample.values = {7, 8, 9};
    sample.quality = Quality::Good;
    service_.SetSample(0, 1, sample);
    service_.FrontEndStats().Add("westnet_modbus_requests_total", "Requests by function",
                                 {{"function", "3"}}, 2);
    service_.FrontEndStats().Add("westnet_modbus_requests_total", "Requests by function",
                                 {{"function", "6"}}, 1);
    auto r = client_->Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const std::string& text = r->body;
    for (const char* line : {
             "westnet_line_up{line=\"north\"} 1\n",
             "westnet_point_value{line=\"north\",point=\"tank/levels\",index=\"2\"} 9\n",
             "westnet_point_good{line=\"north\",point=\"tank/levels\"} 1\n",
             "# TYPE westnet_modbus_requests_total counter\n",
             "westnet_modbus_requests_total{function=\"3\"} 2\n",
             "westnet_modbus_requests_total{function=\"6\"} 1\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "in\n" << text;
    }
    // One HELP and TYPE per metric, however many series it has.
    std::size_t helps = 0;
    for (std::size_t at = 0;
         (at = text.find("# HELP westnet_point_value ", at)) != std::string::npos; ++at) {
        ++helps;
    }
    EXPECT_EQ(helps, 1u);
    // Every line is a comment or "name{labels} value".
    std::size_t start = 0;
    while (start < text.size()) {
        const std::size_t end = text.find('\n', start);
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        if (line.rfind("# ", 0) == 0) {
            continue;
        }
        const std::size_t space = line.rfind(' ');
        ASSERT_NE(space, std::string::npos) << line;
        EXPECT_NO_THROW((void)std::stod(line.substr(space + 1))) << line;
    }
}

TEST_F(GatewayHttp, AnAddressInUseIsAnErrorThatSaysSo) {
    GatewayConfig config;
    config.http = "127.0.0.1:" + std::to_string(http::BoundPort(*frontEnd_));
    auto second = http::MakeHttpFrontEnd(config, service_);
    std::string error;
    EXPECT_FALSE(second->Start(error));
    EXPECT_NE(error.find("cannot listen on 127.0.0.1:"), std::string::npos) << error;
    config.http = "";
    EXPECT_FALSE(http::MakeHttpFrontEnd(config, service_));
}

// A client's request is bounded in size and in the time it takes to send;
// a handler's own time, and the next request on a kept-alive connection, are
// not held against it.
class GatewayHttpLimits : public GatewayHttp {
protected:
    void SetUp() override {
        http::RequestLimits limits;
        limits.bytes = std::size_t{64} * 1024;
        limits.time = std::chrono::milliseconds(500);
        limits.check = std::chrono::milliseconds(20);
        frontEnd_ =
            http::MakeHttpFrontEndWithLimits(service_.PlantConfig().gateway, service_, limits);
        std::string error;
        ASSERT_TRUE(frontEnd_->Start(error)) << error;
        client_ = std::make_unique<HttpClient>(http::BoundPort(*frontEnd_));
        client_->SetDefaultHeaders(Bearer(kOperatorToken));
    }

    int Connect() {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(http::BoundPort(*frontEnd_)));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        return fd;
    }

    // Sends `chunk` again and again (every `pause`, 0: as fast as it goes)
    // until the gateway closes the connection or `within` has passed; the
    // bytes sent, or -1 when it was still open.
    long long SendUntilClosed(int fd, const std::string& chunk, std::chrono::milliseconds pause,
                              std::chrono::milliseconds within) {
        const auto deadline = std::chrono::steady_clock::now() + within;
        long long sent = 0;
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd in{fd, POLLIN, 0};
            poll(&in, 1, static_cast<int>(pause.count()));
            char buf[256];
            if ((in.revents & (POLLIN | POLLHUP | POLLERR)) != 0 &&
                recv(fd, buf, sizeof buf, MSG_DONTWAIT) <= 0) {
                return sent;
            }
            pollfd out{fd, POLLOUT, 0};
            if (poll(&out, 1, 100) > 0 && (out.revents & POLLOUT) != 0) {
                const ssize_t n = send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
                sent += n > 0 ? n : 0;
            }
        }
        return -1;
    }
};

TEST_F(GatewayHttpLimits, EndlessHeadersAreCutOff) {
    const int fd = Connect();
    std::string headers;
    for (int i = 0; i < 100; ++i) {
        headers += "X-" + std::to_string(i) + ": " + std::string(80, 'v') + "\r\n";
    }
    ASSERT_GT(send(fd, "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL), 0);
    const long long sent =
        SendUntilClosed(fd, headers, std::chrono::milliseconds(0), std::chrono::seconds(20));
    close(fd);
    EXPECT_GE(sent, 0) << "still open after 20 s";
    EXPECT_LT(sent, 64LL << 20);
    auto r = client_->Get("/api/status");  // and the others are served
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

// Headers a fast client sent whole, within what the connection may hold,
// are refused by the front end's own check, with an answer that says why.
TEST_F(GatewayHttp, HeadersOverTheRequestLimitAreRefusedWithAnAnswerThatSaysWhy) {
    frontEnd_->Stop();
    http::RequestLimits limits;
    limits.bytes = std::size_t{16} * 1024;
    limits.check = std::chrono::hours(1);
    frontEnd_ = http::MakeHttpFrontEndWithLimits(service_.PlantConfig().gateway, service_, limits);
    std::string error;
    ASSERT_TRUE(frontEnd_->Start(error)) << error;
    HttpClient client(http::BoundPort(*frontEnd_));
    client.SetDefaultHeaders(Bearer(kOperatorToken));
    for (const auto& [count, status] : {std::pair{100, 200}, std::pair{400, 431}}) {
        HttpClient::Headers headers;
        for (int i = 0; i < count; ++i) {
            headers.emplace_back("X-" + std::to_string(i), std::string(50, 'v'));
        }
        auto r = client.Get("/api/status", headers);
        ASSERT_TRUE(r) << count << " headers";
        EXPECT_EQ(r->status, status) << count << " headers";
        if (status == 431) {
            EXPECT_EQ(json::parse(r->body).at("error"), "headers-too-large");
        }
    }
}

TEST_F(GatewayHttpLimits, ARequestTrickledInIsClosedAfterTheRequestTime) {
    const int fd = Connect();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_GT(send(fd, "GET /api/status HTTP/1.1\r\nX", 27, MSG_NOSIGNAL), 0);
    const long long sent =
        SendUntilClosed(fd, "x", std::chrono::milliseconds(50), std::chrono::seconds(5));
    const auto took = std::chrono::steady_clock::now() - start;
    close(fd);
    EXPECT_GE(sent, 0) << "still open after 5 s";
    EXPECT_GE(took, std::chrono::milliseconds(500));
}

TEST_F(GatewayHttpLimits, AWriteWaitingForItsStationAndKeptAliveRequestsAreNotCut) {
    auto put = std::async(std::launch::async, [&] {
        return client_->Put("/api/points/north/boiler/temperature", "7", "application/json");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (service_.SubmittedCount() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(service_.SubmittedCount(), 1u);
    // The station takes longer than a request may take to arrive.
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    LineOpResult ok;
    ok.outcome = Outcome::Ok;
    service_.Finish(0, ok);
    auto r = put.get();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);

    // Three requests on one connection, 300 ms apart: each answered.
    HttpClient kept(http::BoundPort(*frontEnd_));
    kept.SetDefaultHeaders(Bearer(kOperatorToken));
    kept.SetKeepAlive(true);
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        auto g = kept.Get("/api/status");
        ASSERT_TRUE(g) << "request " << i;
        EXPECT_EQ(g->status, 200);
    }
}

// What the connection carried back, read until the gateway closed it.
std::string AllUntilClosed(int port, const std::string& bytes) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
    (void)send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string in;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0) {
            ADD_FAILURE() << "still open after 10 s: " << in;
            break;
        }
        char buf[4096];
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            break;
        }
        in.append(buf, static_cast<std::size_t>(n));
    }
    close(fd);
    return in;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) {
        ++n;
    }
    return n;
}

// A request whose body's length two readers could take two ways is refused
// and never executed, and the connection ends with the refusal: what the
// client sent behind it (here a second request) is not served either.
TEST_F(GatewayHttp, AmbiguouslyFramedRequestsAreRefusedAndNeverExecuted) {
    const std::string put = "PUT /api/points/north/boiler/temperature HTTP/1.1\r\n";
    const std::string next =
        "GET /api/status HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
    const std::pair<const char*, std::string> cases[] = {
        {"two different Content-Length",
         put + "Host: localhost\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n77"},
        {"Content-Length with chunked",
         put + "Host: localhost\r\nContent-Length: 6\r\nTransfer-Encoding: "
               "chunked\r\n\r\n1\r\n7\r\n0\r\n\r\n"},
        {"Content-Length not a number", put + "Host: localhost\r\nContent-Length: 1abc\r\n\r\n7"},
        {"Content-Length negative", put + "Host: localhost\r\nContent-Length: -1\r\n\r\n7"},
        {"Content-Length as a list", put + "Host: localhost\r\nContent-Length: 1, 1\r\n\r\n7"},
        {"an unknown Transfer-Encoding",
         put + "Host: localhost\r\nTransfer-Encoding: gzip\r\n\r\n7"},
        {"chunked behind another coding",
         put + "Host: localhost\r\nTransfer-Encoding: gzip, chunked\r\n\r\n1\r\n7\r\n0\r\n\r\n"},
        {"no Host", put + "Content-Length: 1\r\n\r\n7"},
        {"two Host", put + "Host: a\r\nHost: b\r\nContent-Length: 1\r\n\r\n7"},
    };
    for (const auto& [name, request] : cases) {
        const std::string answer = AllUntilClosed(http::BoundPort(*frontEnd_), request + next);
        EXPECT_EQ(answer.rfind("HTTP/1.1 400 ", 0), 0u) << name << ":\n" << answer;
        EXPECT_EQ(Count(answer, " 200 OK\r\n"), 0u) << name << ": served what followed:\n"
                                                    << answer;
    }
    EXPECT_EQ(service_.SubmittedCount(), 0u);
    // The same write, framed one way, goes through.
    LineOpResult ok;
    ok.outcome = Outcome::Ok;
    const auto r = PutAnswered("/api/points/north/boiler/temperature", "7", ok);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(service_.SubmittedCount(), 1u);
}

// A NUL in the request line would cut the path short ("/api/status\0x"
// served as /api/status): refused; a query or an escape is no such cut.
TEST_F(GatewayHttp, ANulInThePathIsRefused) {
    using namespace std::string_literals;
    const std::pair<std::string, int> cases[] = {
        {"GET /api/status\0x HTTP/1.1\r\n"s, 400},
        {"GET /api/status\0 HTTP/1.1\r\n"s, 400},
        {"GET /api/status?x=1 HTTP/1.1\r\n", 200},
        {"GET /api/points/north/0140002%203?a=b&c HTTP/1.1\r\n", 200},
    };
    for (const auto& [line, status] : cases) {
        const auto r = client_->Raw(line + "Host: localhost\r\nAuthorization: Bearer " +
                                    kOperatorToken + "\r\nConnection: close\r\n\r\n");
        ASSERT_TRUE(r) << line;
        EXPECT_EQ(r->status, status) << line;
    }
}

// One bounded answer whatever the Range header asks: no part answers (206),
// no multipart document that repeats the body once per range.
TEST_F(GatewayHttp, RangeHeadersAreIgnored) {
    const auto whole = client_->Get("/api/points");
    ASSERT_TRUE(whole);
    for (const char* range : {"bytes=0-9", "bytes=0-9,10-19", "bytes=0-,0-,0-,0-,0-,0-"}) {
        auto r = client_->Get("/api/points", {{"Range", range}});
        ASSERT_TRUE(r) << range;
        EXPECT_EQ(r->status, 200) << range;
        EXPECT_EQ(json::parse(r->body)["points"], json::parse(whole->body)["points"]) << range;
        EXPECT_EQ(r->Header("Content-Range"), "") << range;
    }
}

// A write waits for its line without holding anything the others need:
// more connections than the old worker pool had, each in the middle of a
// request, and a write waiting, and a new client is still answered; a write
// whose answer never comes is answered 504 after the write wait.
TEST_F(GatewayHttp, WaitingWritesAndStalledClientsDoNotHoldUpOthers) {
    frontEnd_->Stop();
    http::RequestLimits limits;
    limits.writeWait = std::chrono::milliseconds(300);
    frontEnd_ = http::MakeHttpFrontEndWithLimits(service_.PlantConfig().gateway, service_, limits);
    std::string error;
    ASSERT_TRUE(frontEnd_->Start(error)) << error;
    const int port = http::BoundPort(*frontEnd_);
    std::vector<int> stalled;
    for (int i = 0; i < 40; ++i) {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to), 0);
        ASSERT_GT(send(fd, "GET /api/status HTTP/1.1\r\nHo", 28, MSG_NOSIGNAL), 0);
        stalled.push_back(fd);
    }
    HttpClient writer(port);
    writer.SetDefaultHeaders(Bearer(kOperatorToken));
    auto put = std::async(std::launch::async, [&] {
        return writer.Put("/api/points/north/boiler/temperature", "7", "application/json");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (service_.SubmittedCount() == 0 && std::chrono::steady_clock::now() < deadline &&
           put.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
    }
    ASSERT_EQ(service_.SubmittedCount(), 1u);
    HttpClient other(port);
    other.SetDefaultHeaders(Bearer(kOperatorToken));
    auto r = other.Get("/api/status");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    const auto w = put.get();  // never finished by the line
    ASSERT_TRUE(w);
    EXPECT_EQ(w->status, 504);
    EXPECT_EQ(json::parse(w->body)["error"], "no-answer");
    // Its completion, late, changes nothing and touches nothing freed.
    LineOpResult ok;
    ok.outcome = Outcome::Ok;
    service_.Finish(0, ok);
    for (const int fd : stalled) {
        close(fd);
    }
}

// Stopping with a write still waiting for its line ends at once; the
// completion that comes after finds the front end gone and does nothing.
TEST_F(GatewayHttp, StopWithAWriteWaitingDoesNotWaitForIt) {
    HttpClient writer(http::BoundPort(*frontEnd_));
    writer.SetDefaultHeaders(Bearer(kOperatorToken));
    auto put = std::async(std::launch::async, [&] {
        return writer.Put("/api/points/north/boiler/temperature", "7", "application/json");
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (service_.SubmittedCount() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
    ASSERT_EQ(service_.SubmittedCount(), 1u);
    const auto start = std::chrono::steady_clock::now();
    frontEnd_->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    const auto r = put.get();
    if (r) {  // answered before the library closed the connection
        EXPECT_EQ(r->status, 503);
    }
    LineOpResult ok;
    ok.outcome = Outcome::Ok;
    service_.Finish(0, ok);
}

}  // namespace
}  // namespace westnet::gateway
