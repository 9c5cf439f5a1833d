#include "http/http_front_end.h"

#include <httplib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <future>
#include <thread>

#include "http/page.h"
#include "http/render.h"
#include "http/request_guard.h"
#include "log/log.h"
#include "plant/listen.h"
#include "sync/mutex.h"
#include "values/write.h"

namespace westnet::gateway::http {
namespace {

using json = nlohmann::ordered_json;

constexpr std::size_t kBodyMax = std::size_t{64} * 1024;
// Requests served at once. A client holds its worker for as long as it takes
// to send its request (each pause up to the 5 s read time-out), so a few slow
// or stalled clients would otherwise take every worker of the library's
// default pool (8 on a small box) and leave the page and the API unanswered.
constexpr std::size_t kWorkers = 32;
// A write answers when the station acknowledged it; the driver's retries
// bound that to a few seconds, this only guards against a lost answer.
constexpr std::chrono::seconds kWriteWaitMax{60};

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(body.dump(2) + "\n", "application/json; charset=utf-8");
}

void SendError(httplib::Response& res, int status, const std::string& error,
               const std::string& message) {
    SendJson(res, status, {{"error", error}, {"message", message}});
}

// What a request's line and headers took on the wire, near enough.
std::size_t HeadBytes(const httplib::Request& req) {
    std::size_t n = req.method.size() + req.target.size() + req.version.size() + 4;
    for (const auto& [name, value] : req.headers) {
        n += name.size() + value.size() + 4;
    }
    return n;
}

int HttpStatusOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return 200;
        case Outcome::NotWritable:
        case Outcome::ReadOnly:
            return 403;
        case Outcome::BadRequest:
            return 400;
        case Outcome::Refused:
        case Outcome::LineFailure:
            return 502;
        case Outcome::Demoted:
        case Outcome::LineDown:
        case Outcome::ShuttingDown:
            break;
    }
    return 503;
}

std::string OutcomeMessage(Outcome outcome, std::int32_t driverResult) {
    switch (outcome) {
        case Outcome::Ok:
            return "the station acknowledged the write";
        case Outcome::NotWritable:
            return "the point is not writable: mark it writable = true in the plant file";
        case Outcome::ReadOnly:
            return "the gateway is read only ([gateway] read_only = true)";
        case Outcome::BadRequest:
            return "the values do not fit the point";
        case Outcome::Refused:
            return "the station's replies failed their checksum on every attempt (driver result " +
                   std::to_string(driverResult) + "); the write may or may not have landed";
        case Outcome::LineFailure:
            return "no acknowledgement within the reply time-out on every attempt (driver "
                   "result " +
                   std::to_string(driverResult) + "); the write may or may not have landed";
        case Outcome::Demoted:
            return "the station is demoted (it stopped answering): not tried";
        case Outcome::LineDown:
            return "the line is down: not tried";
        case Outcome::ShuttingDown:
            break;
    }
    return "the gateway is stopping: not tried";
}

class HttpFrontEnd : public FrontEnd {
public:
    HttpFrontEnd(const GatewayConfig& config, Service& service, RequestLimits limits)
        : config_(config), service_(service), limits_(limits) {}
    ~HttpFrontEnd() override { HttpFrontEnd::Stop(); }

    std::string Name() const override { return "http"; }
    int Port() const { return port_; }

    // A reload keeps the listener and every connection when the address
    // stays: requests wait at the gate while the plant changes.
    bool Keeps(const GatewayConfig& next) const override {
        return server_ != nullptr && next.http == config_.http;
    }
    void Pause() override ACQUIRE(gate_) { gate_.Lock(); }
    bool Resume() override RELEASE(gate_) {
        gate_.Unlock();
        return true;
    }

    bool Start(std::string& error) override {
        ListenAddress address;
        if (!ParseListenAddress(config_.http, address, error)) {
            error = "http = \"" + config_.http + "\": " + error;
            return false;
        }
        guard_ = std::make_unique<RequestGuard>(limits_);
        server_ = std::make_unique<httplib::Server>();
        server_->new_task_queue = [this] { return guard_->NewTaskQueue(kWorkers); };
        server_->set_payload_max_length(kBodyMax);
        server_->set_read_timeout(5, 0);
        server_->set_write_timeout(5, 0);
        // SO_REUSEADDR alone: a restart may bind while old connections linger,
        // but a second gateway on the same port is refused (the library's
        // default, SO_REUSEPORT, would let both listen and share clients).
        server_->set_socket_options([](socket_t sock) {
            int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
        Routes();
        int port = address.port;
        errno = 0;
        if (port == 0) {
            port = server_->bind_to_any_port(address.host);
        } else if (!server_->bind_to_port(address.host, port)) {
            port = -1;
        }
        if (port < 0) {
            error = "http: cannot listen on " + address.host + ":" + std::to_string(address.port) +
                    (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string()) +
                    " (a port in use, or an address not on this machine: change [gateway] http)";
            server_.reset();
            guard_.reset();
            return false;
        }
        guard_->SetPort(port);
        const std::string host =
            address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
        Log(LogLevel::Info, "http: listening on http://" + host + ":" + std::to_string(port) + "/");
        port_ = port;
        listenDone_ = false;
        thread_ = std::thread([this] {
            server_->listen_after_bind();
            listenDone_ = true;
        });
        return true;
    }

    void Stop() override {
        if (server_ && thread_.joinable()) {
            // A stop before the listener runs would be lost: wait for it.
            while (!server_->is_running() && !listenDone_) {
                std::this_thread::yield();
            }
            server_->stop();
        }
        if (thread_.joinable()) {
            thread_.join();
        }
        server_.reset();
        guard_.reset();
        port_ = 0;
    }

private:
    static WallTime Now() { return std::chrono::system_clock::now(); }

    void Routes() {
        httplib::Server& s = *server_;
        // From here the request is in: its handler's time (a write waiting
        // for its station) is not the client's. Once answered, the client's
        // next request on the connection is timed and counted afresh.
        s.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            // Headers over the request limit are refused whether or not the
            // guard saw them arrive: the library may read a fast client's
            // headers whole before the guard looks.
            if (HeadBytes(req) > limits_.bytes) {
                SendError(res, 431, "headers-too-large",
                          "the request's line and headers exceed " +
                              std::to_string(limits_.bytes / 1024) +
                              " KB: send fewer or shorter headers");
                return httplib::Server::HandlerResponse::Handled;
            }
            // With a body, the client is still sending it: the handler marks it.
            if (!req.has_header("Content-Length") && !req.has_header("Transfer-Encoding")) {
                guard_->Handling(req.remote_addr, req.remote_port);
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        s.set_logger([this](const httplib::Request& req, const httplib::Response&) {
            guard_->Answered(req.remote_addr, req.remote_port);
        });
        s.Get("/", [](const httplib::Request&, httplib::Response& res) {
            res.set_header("Cache-Control", "no-store");
            res.set_content(kStatusPage, "text/html; charset=utf-8");
        });
        s.Get("/api/status", [this](const httplib::Request&, httplib::Response& res) {
            ReaderLock gate(gate_);
            SendJson(res, 200, StatusJson(service_, Now()));
        });
        s.Get("/api/points", [this](const httplib::Request&, httplib::Response& res) {
            ReaderLock gate(gate_);
            SendJson(res, 200, PointsJson(service_, Now()));
        });
        s.Get(R"(/api/points/([^/]+)/(.+))",
              [this](const httplib::Request& req, httplib::Response& res) {
                  ReaderLock gate(gate_);
                  std::size_t line = 0;
                  std::size_t point = 0;
                  if (!FindPoint(service_, req.matches[1], req.matches[2], line, point)) {
                      NoSuchPoint(req, res);
                      return;
                  }
                  SendJson(res, 200, PointJson(service_, line, point, Now()));
              });
        s.Put(R"(/api/points/([^/]+)/(.+))",
              [this](const httplib::Request& req, httplib::Response& res) { Write(req, res); });
        s.Get("/metrics", [this](const httplib::Request&, httplib::Response& res) {
            ReaderLock gate(gate_);
            res.set_header("Cache-Control", "no-store");
            res.set_content(Metrics(service_, Now()), "text/plain; version=0.0.4; charset=utf-8");
        });
        s.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty()) {
                SendError(res, res.status, "http-" + std::to_string(res.status),
                          res.status == 404 ? "no such page: try /, /api/status, /api/points or "
                                              "/metrics"
                                            : "the request was refused");
            }
        });
    }

    void NoSuchPoint(const httplib::Request& req, httplib::Response& res) {
        SendError(res, 404, "no-such-point",
                  "no point named \"" + std::string(req.matches[2]) + "\" on a line named \"" +
                      std::string(req.matches[1]) + "\"");
    }

    void Write(const httplib::Request& req, httplib::Response& res) {
        guard_->Handling(req.remote_addr, req.remote_port);
        auto answer = std::make_shared<std::promise<LineOpResult>>();
        std::future<LineOpResult> result = answer->get_future();
        std::vector<std::uint16_t> written;
        std::string lineName;
        std::string pointName;
        {
            // Found and submitted with no reload in between; the wait for the
            // station is outside the gate, and uses names, not positions.
            ReaderLock gate(gate_);
            std::size_t line = 0;
            std::size_t point = 0;
            if (!FindPoint(service_, req.matches[1], req.matches[2], line, point)) {
                NoSuchPoint(req, res);
                return;
            }
            const PointConfig& config = service_.PlantConfig().lines[line].points[point];
            lineName = service_.PlantConfig().lines[line].name;
            pointName = config.name;
            std::string why;
            if (!DecodeWrite(config, req.body, written, why)) {
                SendError(res, 400, "bad-body", why);
                return;
            }
            if (!service_.WritePoint(line, point, written,
                                     [answer](const LineOpResult& r) { answer->set_value(r); })) {
                res.set_header("Retry-After", "1");
                SendError(res, 503, "busy", "the line's queue is full: try again");
                return;
            }
        }
        if (result.wait_for(kWriteWaitMax) != std::future_status::ready) {
            SendError(res, 504, "no-answer", "the line did not answer the write in time");
            return;
        }
        const LineOpResult r = result.get();
        json body = {{"result", OutcomeName(r.outcome)},
                     {"message", OutcomeMessage(r.outcome, r.driverResult)},
                     {"line", lineName},
                     {"name", pointName}};
        if (r.outcome == Outcome::Ok) {
            body["values"] = written;
        }
        if (r.outcome == Outcome::Refused || r.outcome == Outcome::LineFailure) {
            body["driver_result"] = r.driverResult;
        }
        // A failed write names its trouble under "error", as every other
        // answer that is not a success does, so that a client reads one key
        // whatever refused it; "result" stays in every write's answer.
        if (HttpStatusOf(r.outcome) >= 400) {
            body["error"] = OutcomeName(r.outcome);
        }
        const std::string who = req.remote_addr + " wrote " + pointName;
        LogLine(r.outcome == Outcome::Ok ? LogLevel::Info : LogLevel::Warning, lineName,
                "http: " + who + ": " + OutcomeName(r.outcome));
        SendJson(res, HttpStatusOf(r.outcome), body);
    }

    const GatewayConfig config_;
    Service& service_;
    const RequestLimits limits_;
    std::unique_ptr<RequestGuard> guard_;  // outlives server_
    std::unique_ptr<httplib::Server> server_;
    // Held shared by every request that uses the service, alone by a reload.
    SharedMutex gate_;
    std::thread thread_;
    std::atomic<bool> listenDone_{false};
    int port_ = 0;
};

}  // namespace

int BoundPort(const FrontEnd& frontEnd) {
    const auto* http = dynamic_cast<const HttpFrontEnd*>(&frontEnd);
    return http != nullptr ? http->Port() : 0;
}

std::unique_ptr<FrontEnd> MakeHttpFrontEnd(const GatewayConfig& config, Service& service) {
    return MakeHttpFrontEndWithLimits(config, service, RequestLimits{});
}

std::unique_ptr<FrontEnd> MakeHttpFrontEndWithLimits(const GatewayConfig& config, Service& service,
                                                     RequestLimits limits) {
    if (config.http.empty()) {
        return nullptr;
    }
    return std::make_unique<HttpFrontEnd>(config, service, limits);
}

}  // namespace westnet::gateway::http
