// The HTTP front end alone, over the fake service and a real loopback
// socket: routes, point names with '/', what a write answers for each way a
// line request can end, and the Prometheus text.
#include <gtest/gtest.h>
#include <httplib.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "http/http_front_end.h"
#include "support/fake_service.h"

namespace westnet::gateway {
namespace {

using nlohmann::json;
using testing::FakeService;

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
    return plant;
}

class GatewayHttp : public ::testing::Test {
protected:
    void SetUp() override {
        frontEnd_ = http::MakeHttpFrontEnd(service_.PlantConfig().gateway, service_);
        ASSERT_TRUE(frontEnd_);
        std::string error;
        ASSERT_TRUE(frontEnd_->Start(error)) << error;
        client_ = std::make_unique<httplib::Client>("127.0.0.1", http::BoundPort(*frontEnd_));
    }
    void TearDown() override { frontEnd_->Stop(); }

    // A PUT that the service answers with `result` once it was submitted.
    httplib::Result PutAnswered(const std::string& path, const std::string& body,
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
    std::unique_ptr<httplib::Client> client_;
};

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
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html; charset=utf-8");
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
        client_ = std::make_unique<httplib::Client>("127.0.0.1", http::BoundPort(*frontEnd_));
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

// The guard here never looks, so only the front end's own check can refuse:
// headers a fast client sent whole are refused just the same.
TEST_F(GatewayHttp, HeadersOverTheRequestLimitAreRefusedEvenBeforeTheGuardLooks) {
    frontEnd_->Stop();
    http::RequestLimits limits;
    limits.bytes = std::size_t{16} * 1024;
    limits.check = std::chrono::hours(1);
    frontEnd_ = http::MakeHttpFrontEndWithLimits(service_.PlantConfig().gateway, service_, limits);
    std::string error;
    ASSERT_TRUE(frontEnd_->Start(error)) << error;
    httplib::Client client("127.0.0.1", http::BoundPort(*frontEnd_));
    for (const auto& [count, status] : {std::pair{100, 200}, std::pair{400, 431}}) {
        httplib::Headers headers;
        for (int i = 0; i < count; ++i) {
            headers.emplace("X-" + std::to_string(i), std::string(50, 'v'));
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
    httplib::Client kept("127.0.0.1", http::BoundPort(*frontEnd_));
    kept.set_keep_alive(true);
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        auto g = kept.Get("/api/status");
        ASSERT_TRUE(g) << "request " << i;
        EXPECT_EQ(g->status, 200);
    }
}

}  // namespace
}  // namespace westnet::gateway
