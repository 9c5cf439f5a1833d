#include "http/http_front_end.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <tuple>
#include <unordered_set>
#include <utility>
#include <vector>

#include "audit/audit.h"
#include "auth/throttle.h"
#include "http/access.h"
#include "http/event_stream.h"
#include "http/history_api.h"
#include "http/page.h"
#include "http/render.h"
#include "iso_time.h"
#include "log/log.h"
#include "plant/address_block.h"
#include "plant/listen.h"
#include "sync/mutex.h"
#include "values/write.h"

namespace westnet::gateway::http {
namespace {

using json = nlohmann::ordered_json;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kBodyMax = std::size_t{64} * 1024;
// A request line, or one header line, longer than this is refused (414, 400).
constexpr std::size_t kLineMax = std::size_t{8} * 1024;
// Connections held at once, and by one client address: one thread serves
// them all, so a connection costs its memory (at most the request limit and
// the answer) and not a worker, but a single client still may not take
// every place.
constexpr unsigned kConnectionsMax = 256;
constexpr unsigned kConnectionsPerClient = 64;
// A connection that sends nothing, or does not read its answer, for this
// long is closed; a kept-alive one too.
constexpr unsigned kIdleSeconds = 5;
// The connection's memory beyond the request limit: the answer's headers,
// the library's own bookkeeping of each header line.
constexpr std::size_t kConnectionMemoryExtra = std::size_t{64} * 1024;
// The chart library the page draws trends with, from Debian's
// libjs-chart.js: served by the gateway itself, so that the page needs
// nothing from the internet.
constexpr const char* kChartLibrary = "/usr/share/javascript/chart.js/chart.min.js";
// How long a stop waits for the event streams to send their ends.
constexpr std::chrono::milliseconds kEventsEndWait{1000};
// How long Stop gives the library's thread to send the answers of writes
// that have finished (or were just told the gateway stops).
constexpr std::chrono::milliseconds kAnswersEndWait{2000};

struct Answer {
    int status = 200;
    std::string body;
    std::string type;
    std::vector<std::pair<std::string, std::string>> headers;
    bool close = false;  // the connection ends after it
};

Answer Json(int status, const json& body) {
    Answer a;
    a.status = status;
    // Names in an answer may come from the request: bytes that are not
    // UTF-8 are replaced, never thrown on.
    a.body = body.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
    a.type = "application/json; charset=utf-8";
    a.headers.emplace_back("Cache-Control", "no-store");
    return a;
}

Answer Error(int status, const std::string& error, const std::string& message) {
    return Json(status, {{"error", error}, {"message", message}});
}

// A refusal of a request whose end on the wire is not known for certain:
// what follows it on the connection is not read as another request.
Answer Refusal(int status, const std::string& message) {
    Answer a = Error(status, "http-" + std::to_string(status), message);
    a.close = true;
    return a;
}

MHD_Result Queue(MHD_Connection* connection, const Answer& a, MHD_Response* response, bool tls) {
    if (response == nullptr) {
        return MHD_NO;
    }
    for (const auto& [name, value] : SecurityHeaders(tls)) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, a.type.c_str());
    for (const auto& [name, value] : a.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    if (a.close) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(a.status), response);
    MHD_destroy_response(response);
    return queued;
}

MHD_Result Queue(MHD_Connection* connection, const Answer& a, bool tls) {
    return Queue(connection, a,
                 MHD_create_response_from_buffer(a.body.size(), const_cast<char*>(a.body.data()),
                                                 MHD_RESPMEM_MUST_COPY),
                 tls);
}

std::string HeaderValue(MHD_Connection* connection, const char* name) {
    const char* value = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, name);
    return value != nullptr ? value : "";
}

bool ReadFile(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream out;
    out << in.rdbuf();
    text = out.str();
    return !in.bad();
}

bool IsLoopback(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return false;
    }
    return BlockContains(LoopbackBlock(), info->client_addr) ||
           (info->client_addr->sa_family == AF_INET6 &&
            IN6_IS_ADDR_LOOPBACK(
                &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr));
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

std::string Duration(std::chrono::milliseconds d) {
    const long long ms = d.count();
    return ms % 1000 == 0 ? std::to_string(ms / 1000) + " s" : std::to_string(ms) + " ms";
}

bool EqualsNoCase(const std::string& a, const char* b) {
    const std::size_t n = std::strlen(b);
    return a.size() == n && std::equal(a.begin(), a.end(), b, [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

std::string Trimmed(const std::string& s) {
    const std::size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
}

// The request's headers as the client sent them, every repetition kept.
struct Head {
    std::vector<std::pair<std::string, std::string>> fields;
    std::size_t bytes = 0;    // on the wire, near enough
    std::size_t longest = 0;  // the longest header line

    std::vector<std::string> All(const char* name) const {
        std::vector<std::string> values;
        for (const auto& [key, value] : fields) {
            if (EqualsNoCase(key, name)) {
                values.push_back(value);
            }
        }
        return values;
    }
};

MHD_Result CollectHeader(void* cls, MHD_ValueKind, const char* key, size_t keySize,
                         const char* value, size_t valueSize) {
    auto* head = static_cast<Head*>(cls);
    head->fields.emplace_back(std::string(key, keySize),
                              value != nullptr ? std::string(value, valueSize) : std::string());
    head->bytes += keySize + valueSize + 4;
    head->longest = std::max(head->longest, keySize + valueSize + 2);
    return MHD_YES;
}

// Why a request's framing cannot be trusted ("" when it can): the body's
// length must be known one way only, or a proxy in front of the gateway and
// the gateway could each read a different request from the same bytes.
std::string FramingFault(const Head& head, const std::string& version,
                         unsigned long long& contentLength) {
    const std::vector<std::string> hosts = head.All(MHD_HTTP_HEADER_HOST);
    if (hosts.size() > 1 || (hosts.empty() && version == MHD_HTTP_VERSION_1_1)) {
        return "a request names its host once (one Host header)";
    }
    const std::vector<std::string> lengths = head.All(MHD_HTTP_HEADER_CONTENT_LENGTH);
    const std::vector<std::string> codings = head.All(MHD_HTTP_HEADER_TRANSFER_ENCODING);
    if (!lengths.empty() && !codings.empty()) {
        return "Content-Length and Transfer-Encoding together";
    }
    for (const std::string& raw : lengths) {
        const std::string v = Trimmed(raw);
        if (v.empty() || v.size() > 18 ||
            !std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; }) ||
            (raw != lengths.front() && Trimmed(lengths.front()) != v)) {
            return "a Content-Length that is not one number";
        }
        contentLength = std::stoull(v);
    }
    if (!codings.empty() &&
        (codings.size() != 1 || !EqualsNoCase(Trimmed(codings[0]), "chunked"))) {
        return "a Transfer-Encoding other than chunked";
    }
    return "";
}

bool KnownMethod(const std::string& m) {
    for (const char* known :
         {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH", "PRI"}) {
        if (m == known) {
            return true;
        }
    }
    return false;
}

// "/api/points/LINE/NAME": the line (no '/') and the point's name (which
// may hold '/'); false for any other path.
bool PointPath(const std::string& url, std::string& line, std::string& name) {
    static const std::string prefix = "/api/points/";
    if (url.compare(0, prefix.size(), prefix) != 0) {
        return false;
    }
    const std::size_t slash = url.find('/', prefix.size());
    if (slash == std::string::npos || slash == prefix.size() || slash + 1 == url.size()) {
        return false;
    }
    line = url.substr(prefix.size(), slash - prefix.size());
    name = url.substr(slash + 1);
    return name.find_first_of("\r\n") == std::string::npos;
}

// The client's address ("127.0.0.1"), or with its port ("127.0.0.1:40122",
// "[::1]:40122") to tell one connection from another in the audit.
std::string ClientAddress(MHD_Connection* connection, bool withPort = false) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) {
        return "?";
    }
    const socklen_t length =
        info->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    if (getnameinfo(info->client_addr, length, host, sizeof host, port, sizeof port,
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return "?";
    }
    if (!withPort) {
        return host;
    }
    return info->client_addr->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + port
                                                    : std::string(host) + ":" + port;
}

// A write waiting for its line. Shared with the completion, which may come
// after the front end has stopped: it then only records.
struct Waiting {
    bool done = false;
    bool late = false;      // the lost-answer guard gave up on it
    bool stopping = false;  // the front end stopped while it waited
    LineOpResult result;
    MHD_Connection* suspended = nullptr;  // while the connection waits for it
    Clock::time_point deadline;
};

// The writes waiting; their Waiting records are guarded by the same mutex.
struct Waits {
    Mutex mutex;
    std::vector<std::shared_ptr<Waiting>> suspended GUARDED_BY(mutex);
    bool stopping GUARDED_BY(mutex) = false;
    // Write requests taken by a line and not yet ended by the library:
    // their answers are still to be sent.
    std::size_t open GUARDED_BY(mutex) = 0;
    std::condition_variable ended;  // `open` went down

    // The connection goes on and answers what it has.
    void Resume(Waiting& w) REQUIRES(mutex) {
        if (w.suspended != nullptr) {
            MHD_resume_connection(w.suspended);
            w.suspended = nullptr;
        }
        suspended.erase(std::remove_if(suspended.begin(), suspended.end(),
                                       [&](const auto& p) { return p.get() == &w; }),
                        suspended.end());
    }
};

// One connection, as the request-time watch sees it.
struct Connection {
    int fd = -1;
    std::string client;  // its address, for the log
    Clock::time_point since;
    bool handling = false;  // its request is in: the time is the gateway's
    bool shut = false;
};

// One request, from its headers to its answer.
struct Request {
    // The request line's target as it came, up to its first NUL: a NUL
    // inside it would cut the path the handler sees short.
    const char* rawTarget = nullptr;
    std::size_t rawTargetLength = 0;
    bool started = false;
    std::string body;
    bool tooLarge = false;
    bool answered = false;
    std::shared_ptr<Waiting> write;
    std::size_t line = 0;
    std::size_t point = 0;
    // A write's answer comes after its wait, when a reload may have moved
    // the point: it names it as it was found.
    std::string lineName;
    std::string pointName;
    std::vector<std::uint16_t> values;
    std::string who;  // the user or token name; "" for a public read
};

class HttpFrontEnd : public FrontEnd {
public:
    HttpFrontEnd(const GatewayConfig& config, Service& service, RequestLimits limits)
        : config_(config),
          service_(service),
          limits_(limits),
          tls_(!config.httpTlsCert.empty()),
          hosts_(ListenHost(config.http), config.httpHosts) {}
    ~HttpFrontEnd() override { HttpFrontEnd::Stop(); }
    HttpFrontEnd(const HttpFrontEnd&) = delete;
    HttpFrontEnd& operator=(const HttpFrontEnd&) = delete;

    std::string Name() const override { return "http"; }
    int Port() const { return port_; }

    // A reload keeps the listener and every connection when the address
    // stays: a request waits at the gate while the plant changes.
    bool Keeps(const GatewayConfig& next) const override {
        return daemon_ != nullptr && next.http == config_.http &&
               next.httpTlsCert == config_.httpTlsCert && next.httpTlsKey == config_.httpTlsKey &&
               next.httpHosts == config_.httpHosts &&
               next.httpPublicRead == config_.httpPublicRead && next.usersFile == config_.usersFile;
    }
    // Every event stream says "reload" and ends: its client reconnects to
    // the new plant.
    void Pause() override ACQUIRE(gate_) {
        if (events_) {
            events_->Reload();
        }
        gate_.Lock();
    }
    // A reload reads the users file again: a user added, removed or given
    // another role counts from now on, and every browser logs in afresh.
    bool Resume() override RELEASE(gate_) {
        std::string error;
        if (!LoadUsers(error)) {
            Log(LogLevel::Error, error + "; the users read before stay in force");
        } else {
            sessions_.Clear();
        }
        if (events_) {
            events_->Adopt();
        }
        gate_.Unlock();
        return true;
    }

    bool Start(std::string& error) override {
        ListenAddress address;
        if (!ParseListenAddress(config_.http, address, error)) {
            error = "http = \"" + config_.http + "\": " + error;
            return false;
        }
        ListenFailure failure;
        const int fd = OpenListenSocket(address, false, failure);
        if (fd < 0) {
            const std::string why = !failure.resolveError.empty() ? ": " + failure.resolveError
                                    : failure.errorNumber != 0
                                        ? std::string(": ") + std::strerror(failure.errorNumber)
                                        : std::string();
            error = "http: cannot listen on " + address.host + ":" + std::to_string(address.port) +
                    why +
                    " (a port in use, or an address not on this machine: change [gateway] http)";
            return false;
        }
        const int port = BoundPortOf(fd);
        if (!LoadUsers(error)) {
            close(fd);
            return false;
        }
        if (tls_) {
            if (MHD_is_feature_supported(MHD_FEATURE_TLS) != MHD_YES) {
                close(fd);
                error = "http: this libmicrohttpd has no TLS: HTTPS cannot be served";
                return false;
            }
            for (const auto& [key, path, text] :
                 {std::tuple{"http_tls_cert", &config_.httpTlsCert, &certPem_},
                  std::tuple{"http_tls_key", &config_.httpTlsKey, &keyPem_}}) {
                if (!ReadFile(*path, *text)) {
                    close(fd);
                    error = std::string("http: ") + key + " = \"" + *path + "\": cannot read it (" +
                            std::strerror(errno) +
                            "); it must be a PEM file readable by the gateway";
                    return false;
                }
            }
        }
        if (!ReadFile(kChartLibrary, chartScript_)) {
            chartScript_.clear();
            Log(LogLevel::Warning, std::string("http: no chart library at ") + kChartLibrary +
                                       ": the page shows no trends (install libjs-chart.js)");
        }
        waits_ = std::make_shared<Waits>();
        events_ = std::make_unique<EventStreams>(service_, gate_, EventLimits{});
        events_->Start();
        {
            MutexLock lock(watchMutex_);
            stopWatch_ = false;
        }
        const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL |
                               MHD_ALLOW_SUSPEND_RESUME | (tls_ ? MHD_USE_TLS : 0);
        // The certificate and key options only when serving TLS: the library
        // refuses them otherwise. MHD_OPTION_ARRAY lets one call take both.
        MHD_OptionItem tlsOptions[] = {
            {tls_ ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0,
             const_cast<char*>(certPem_.c_str())},
            {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(keyPem_.c_str())},
            {MHD_OPTION_END, 0, nullptr}};
        daemon_ = MHD_start_daemon(
            flags, 0, nullptr, nullptr, &HttpFrontEnd::Access, this, MHD_OPTION_ARRAY, tlsOptions,
            MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, kConnectionsMax,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerClient,
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits_.bytes + kConnectionMemoryExtra,
            MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds, MHD_OPTION_NOTIFY_COMPLETED,
            &HttpFrontEnd::Completed, this, MHD_OPTION_NOTIFY_CONNECTION, &HttpFrontEnd::Notify,
            this, MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontEnd::Target, this, MHD_OPTION_END);
        if (daemon_ == nullptr) {
            events_.reset();
            close(fd);
            error = "http: cannot serve on " + address.host + ":" + std::to_string(port) +
                    " (the HTTP library refused to start)";
            return false;
        }
        watcher_ = std::thread([this] { Watch(); });
        const std::string host =
            address.host.find(':') != std::string::npos ? "[" + address.host + "]" : address.host;
        Log(LogLevel::Info, std::string("http: listening on ") + (tls_ ? "https://" : "http://") +
                                host + ":" + std::to_string(port) + "/");
        port_ = port;
        return true;
    }

    void Stop() override {
        if (daemon_ == nullptr) {
            return;
        }
        {
            MutexLock lock(watchMutex_);
            stopWatch_ = true;
        }
        watchWake_.notify_all();
        watcher_.join();
        // Event streams send what they hold and end (a client that does not
        // read is cut off by the library when it stops).
        events_->Stop(kEventsEndWait);
        {
            // Writes still waiting go on without their answer: the library
            // must have every connection running before it stops.
            MutexLock lock(waits_->mutex);
            waits_->stopping = true;
            while (!waits_->suspended.empty()) {
                const std::shared_ptr<Waiting> w = waits_->suspended.back();
                w->stopping = true;
                w->done = true;
                waits_->Resume(*w);
            }
            // The library stopping now would close connections whose answer
            // is ready but not yet sent (a write that landed, answered
            // nothing): its thread sends them first.
            const auto until = std::chrono::steady_clock::now() + kAnswersEndWait;
            while (waits_->open > 0 && lock.WaitUntil(waits_->ended, until)) {
            }
        }
        MHD_stop_daemon(daemon_);  // closes the listening socket too
        daemon_ = nullptr;
        events_.reset();
        port_ = 0;
    }

private:
    static WallTime Now() { return std::chrono::system_clock::now(); }

    // The library's callbacks, on its one thread.
    static MHD_Result Access(void* cls, MHD_Connection* connection, const char* url,
                             const char* method, const char* version, const char* upload,
                             size_t* uploadSize, void** context) {
        auto* self = static_cast<HttpFrontEnd*>(cls);
        if (*context == nullptr) {
            *context = new Request;
        }
        return self->Serve(connection, url, method, version, version, upload, uploadSize,
                           *static_cast<Request*>(*context));
    }

    // The request line is in, its target not yet decoded.
    static void* Target(void*, const char* uri, MHD_Connection*) {
        auto* request = new Request;
        request->rawTarget = uri;
        request->rawTargetLength = std::strlen(uri);
        return request;
    }

    static void Completed(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode) {
        auto* self = static_cast<HttpFrontEnd*>(cls);
        auto* request = static_cast<Request*>(*context);
        *context = nullptr;
        if (request != nullptr && request->write) {
            // Ended without waiting any more (never while suspended: the
            // front end resumes every connection before the library stops).
            MutexLock lock(self->waits_->mutex);
            request->write->suspended = nullptr;
            self->waits_->Resume(*request->write);
            --self->waits_->open;
            self->waits_->ended.notify_all();
        }
        delete request;
        // The client's next request on the connection is timed afresh.
        self->Handling(connection, false);
    }

    static void Notify(void* cls, MHD_Connection* connection, void** socketContext,
                       MHD_ConnectionNotificationCode code) {
        auto* self = static_cast<HttpFrontEnd*>(cls);
        MutexLock lock(self->watchMutex_);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* c = new Connection;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            c->fd = info != nullptr ? info->connect_fd : -1;
            c->since = Clock::now();
            c->client = ClientAddress(connection);
            self->connections_.insert(c);
            *socketContext = c;
        } else {
            // Before the library closes the socket: the watch never shuts
            // down a descriptor that is already another's.
            auto* c = static_cast<Connection*>(*socketContext);
            self->connections_.erase(c);
            delete c;
            *socketContext = nullptr;
        }
    }

    void Handling(MHD_Connection* connection, bool handling) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        MutexLock lock(watchMutex_);
        auto* c = info != nullptr ? static_cast<Connection*>(info->socket_context) : nullptr;
        if (c != nullptr && connections_.count(c) != 0) {
            c->handling = handling;
            c->since = Clock::now();
        }
    }

    MHD_Result Reply(MHD_Connection* connection, Request& request, const Answer& a) {
        request.answered = true;
        Handling(connection, true);
        return Queue(connection, a, tls_);
    }

    static std::string ListenHost(const std::string& http) {
        ListenAddress address;
        std::string why;
        return ParseListenAddress(http, address, why) ? address.host : "";
    }

    bool LoadUsers(std::string& error) {
        const std::string path = auth::UsersFilePath(config_.usersFile);
        bool missing = false;
        if (!users_.Load(path, error, &missing)) {
            error = "http: " + error;
            return false;
        }
        if (missing) {
            Log(LogLevel::Warning, "http: no users file " + path + ": every write is refused" +
                                       (config_.httpPublicRead ? "" : ", every read too") +
                                       "; add an operator with: westnet-gateway --users " +
                                       config_.usersFile + " user add NAME --role operator");
        }
        return true;
    }

    MHD_Result Serve(MHD_Connection* connection, const std::string& url, const std::string& method,
                     const std::string& version, const char* rawVersion, const char* upload,
                     size_t* uploadSize, Request& request) {
        if (request.answered) {
            *uploadSize = 0;  // the rest of a refused body: not read
            return MHD_YES;
        }
        if (!request.started) {
            request.started = true;
            return Begin(connection, url, method, version, rawVersion, request);
        }
        if (*uploadSize != 0) {
            if (request.body.size() + *uploadSize > kBodyMax) {
                *uploadSize = 0;
                return Reply(connection, request,
                             Refusal(413, "the request's body is longer than " +
                                              std::to_string(kBodyMax / 1024) + " KB"));
            }
            request.body.append(upload, *uploadSize);
            *uploadSize = 0;
            return MHD_YES;
        }
        if (request.write) {
            return WriteAnswered(connection, request);
        }
        return Route(connection, url, method, request);
    }

    // The headers are in: refuse what must not be served before its body.
    MHD_Result Begin(MHD_Connection* connection, const std::string& url, const std::string& method,
                     const std::string& version, const char* rawVersion, Request& request) {
        Head head;
        MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &CollectHeader, &head);
        head.bytes += method.size() + url.size() + version.size() + 4;
        if (!KnownMethod(method)) {
            return Reply(connection, request, Refusal(400, "the request was refused"));
        }
        // The version follows the target and one space in the line the
        // library split in place: anything between them was cut off at a NUL.
        if (request.rawTarget != nullptr &&
            request.rawTarget + request.rawTargetLength + 1 != rawVersion) {
            return Reply(connection, request,
                         Refusal(400, "the request was refused: NUL in the path"));
        }
        // Headers over the request limit are refused whether or not the
        // library had room for them.
        if (head.bytes > limits_.bytes) {
            Answer a = Error(431, "headers-too-large",
                             "the request's line and headers exceed " +
                                 std::to_string(limits_.bytes / 1024) +
                                 " KB: send fewer or shorter headers");
            a.close = true;
            return Reply(connection, request, a);
        }
        if (method.size() + url.size() + version.size() + 2 > kLineMax) {
            return Reply(connection, request, Refusal(414, "the request was refused"));
        }
        if (head.longest > kLineMax) {
            return Reply(connection, request, Refusal(400, "the request was refused"));
        }
        unsigned long long length = 0;
        const std::string fault = FramingFault(head, version, length);
        if (!fault.empty()) {
            return Reply(connection, request, Refusal(400, "the request was refused: " + fault));
        }
        if (length > kBodyMax) {
            return Reply(connection, request,
                         Refusal(413, "the request's body is longer than " +
                                          std::to_string(kBodyMax / 1024) + " KB"));
        }
        return MHD_YES;
    }

    // The request is in whole.
    MHD_Result Route(MHD_Connection* connection, const std::string& url, const std::string& method,
                     Request& request) {
        ReaderLock gate(gate_);  // no reload while the service is asked
        const bool get = method == "GET" || method == "HEAD";  // HEAD: the same, without body
        std::string lineName;
        std::string pointName;
        const std::string host = HeaderValue(connection, MHD_HTTP_HEADER_HOST);
        if (!host.empty() && !hosts_.Allows(host)) {
            Answer a = Error(421, "misdirected",
                             "this gateway does not answer to the name \"" + HostOf(host) +
                                 "\": open it by its own address, or add the name to "
                                 "[gateway] http_hosts");
            a.close = true;
            return Reply(connection, request, a);
        }
        for (const auto& [path, body, type] :
             {std::tuple{"/", kStatusPage, "text/html; charset=utf-8"},
              std::tuple{"/app.js", kPageScript, "text/javascript; charset=utf-8"},
              std::tuple{"/app.css", kPageStyle, "text/css; charset=utf-8"}}) {
            if (get && url == path) {
                Answer a;
                a.body = body;
                a.type = type;
                a.headers.emplace_back("Cache-Control", "no-store");
                return Reply(connection, request, a);
            }
        }
        if (get && url == "/chart.js") {
            Answer a;
            if (chartScript_.empty()) {
                a.status = 404;
                a.body = "// the chart library is not installed on the gateway (libjs-chart.js)\n";
            } else {
                a.body = chartScript_;
                a.headers.emplace_back("Cache-Control", "max-age=3600");
            }
            a.type = "text/javascript; charset=utf-8";
            return Reply(connection, request, a);
        }
        // A request from a page of another site carries its Origin: nothing
        // that changes anything is taken from one.
        const std::string origin = HeaderValue(connection, "Origin");
        if (!get && !origin.empty() && !SameOrigin(origin, host, tls_)) {
            AuditRefusedWrite(connection, url, method, request, "", "cross-origin");
            return Reply(connection, request,
                         Error(403, "cross-origin",
                               "a request from the page of another site (" + origin +
                                   ") may not change anything here"));
        }
        std::optional<auth::Identity> who;
        if (std::optional<Answer> refused = Authenticate(connection, who)) {
            return Reply(connection, request, *refused);
        }
        if (method == "POST" && url == "/api/login") {
            return Login(connection, request);
        }
        if (method == "POST" && url == "/api/logout") {
            return Logout(connection, request);
        }
        if (get && url == "/api/whoami") {
            json body = {{"user", who ? json(who->name) : json(nullptr)},
                         {"role", who ? json(auth::RoleName(who->role)) : json(nullptr)},
                         {"public_read", config_.httpPublicRead},
                         {"tls", tls_}};
            return Reply(connection, request, Json(200, body));
        }
        if (get && url == "/api/audit") {
            if (!who) {
                return Reply(connection, request, Unauthorized());
            }
            if (!auth::MayAudit(who->role)) {
                return Reply(connection, request,
                             Forbidden(*who, "the audit records need the admin role"));
            }
            return Reply(connection, request, AuditAnswer(connection));
        }
        const bool write = method == "PUT";
        if (!who && (write || !config_.httpPublicRead)) {
            return Reply(connection, request, Unauthorized());
        }
        if (write && !auth::MayWrite(who->role)) {
            AuditRefusedWrite(connection, url, method, request, who->name, "forbidden");
            return Reply(connection, request,
                         Forbidden(*who, "writes need the operator or admin role"));
        }
        if (who) {
            request.who = who->name;
        }
        if (get && url == "/api/status") {
            return Reply(connection, request, Json(200, StatusJson(service_, Now())));
        }
        if (get && url == "/api/points") {
            // The library calls the stream back holding a lock of its own,
            // and the stream takes the gate then: never take the library's
            // lock with the gate held, or the two orders could meet.
            std::shared_ptr<const Plant> plant = service_.Snapshot();
            gate.Unlock();
            return StreamPoints(connection, request, std::move(plant));
        }
        if (get && url == "/api/events") {
            gate.Unlock();  // as for /api/points: the library calls the stream back
            return StreamEvents(connection, request);
        }
        if (get && url == "/api/history") {
            const HistoryReply h = AnswerHistory(
                service_,
                [connection](const char* name) {
                    return MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
                },
                Now());
            return Reply(connection, request, Answer{h.status, h.body, h.type, h.headers, false});
        }
        if (get && url == "/metrics") {
            Answer a;
            a.body = Metrics(service_, Now());
            a.type = "text/plain; version=0.0.4; charset=utf-8";
            a.headers.emplace_back("Cache-Control", "no-store");
            return Reply(connection, request, a);
        }
        if ((get || method == "PUT") && PointPath(url, lineName, pointName)) {
            if (!FindPoint(service_, lineName, pointName, request.line, request.point)) {
                return Reply(connection, request,
                             Error(404, "no-such-point",
                                   "no point named \"" + pointName + "\" on a line named \"" +
                                       lineName + "\""));
            }
            if (get) {
                return Reply(connection, request,
                             Json(200, PointJson(service_, request.line, request.point, Now())));
            }
            return Write(connection, request);
        }
        return Reply(
            connection, request,
            Error(404, "http-404",
                  "no such page: try /, /api/status, /api/points, /api/events or /metrics"));
    }

    // /api/points is written as it is sent, a few hundred points at a time,
    // so that its memory stays small however large the plant; ?offset=N and
    // ?limit=M page through it. A reload while it is sent cuts it off (the
    // client sees an incomplete answer, never a mix of two plants).
    struct PointsStream {
        HttpFrontEnd* self = nullptr;
        std::shared_ptr<const Plant> plant;
        WallTime now;
        std::size_t line = 0;
        std::size_t point = 0;
        std::size_t skip = 0;
        std::size_t left = 0;
        std::string buffer;
        std::size_t taken = 0;  // of buffer
        bool opened = false;
        bool closed = false;
    };
    static constexpr std::size_t kPointsPerChunk = 256;

    static std::size_t Argument(MHD_Connection* connection, const char* name,
                                std::size_t fallback) {
        const char* text = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, name);
        if (text == nullptr) {
            return fallback;
        }
        char* end = nullptr;
        const unsigned long long n = std::strtoull(text, &end, 10);
        return end != text && *end == '\0' && text[0] != '-' ? static_cast<std::size_t>(n)
                                                             : fallback;
    }

    MHD_Result StreamPoints(MHD_Connection* connection, Request& request,
                            std::shared_ptr<const Plant> plant) {
        auto* stream = new PointsStream;
        stream->self = this;
        stream->plant = std::move(plant);
        stream->now = Now();
        stream->skip = Argument(connection, "offset", 0);
        stream->left = Argument(connection, "limit", SIZE_MAX);
        MHD_Response* response = MHD_create_response_from_callback(
            MHD_SIZE_UNKNOWN, std::size_t{32} * 1024, &HttpFrontEnd::PointsChunk, stream,
            &HttpFrontEnd::PointsDone);
        if (response == nullptr) {
            delete stream;
            return MHD_NO;
        }
        Answer a;
        a.type = "application/json; charset=utf-8";
        a.headers.emplace_back("Cache-Control", "no-store");
        request.answered = true;
        Handling(connection, true);
        return Queue(connection, a, response, tls_);
    }

    MHD_Result StreamEvents(MHD_Connection* connection, Request& request) {
        const char* snapshot =
            MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "snapshot");
        MHD_Response* response =
            events_->Open(connection, snapshot == nullptr || std::strcmp(snapshot, "0") != 0);
        if (response == nullptr) {
            Answer a = Error(503, "busy",
                             "every place for an event stream is taken (" +
                                 std::to_string(EventLimits{}.streams) +
                                 "): close one, or fetch /api/points instead");
            a.headers.emplace_back("Retry-After", "10");
            return Reply(connection, request, a);
        }
        Answer a;
        a.type = "text/event-stream; charset=utf-8";
        a.headers.emplace_back("Cache-Control", "no-store");
        a.headers.emplace_back("X-Accel-Buffering", "no");  // a proxy in front passes events on
        request.answered = true;
        Handling(connection, true);
        return Queue(connection, a, response, tls_);
    }

    static void PointsDone(void* cls) { delete static_cast<PointsStream*>(cls); }

    static ssize_t PointsChunk(void* cls, uint64_t, char* out, size_t most) {
        auto* s = static_cast<PointsStream*>(cls);
        if (s->taken == s->buffer.size()) {
            if (s->closed) {
                return MHD_CONTENT_READER_END_OF_STREAM;
            }
            s->buffer.clear();
            s->taken = 0;
            if (!s->self->FillPoints(*s)) {
                return MHD_CONTENT_READER_END_WITH_ERROR;
            }
        }
        const std::size_t n = std::min(most, s->buffer.size() - s->taken);
        s->buffer.copy(out, n, s->taken);  // a part of a stream: no terminating NUL
        s->taken += n;
        return static_cast<ssize_t>(n);
    }

    bool FillPoints(PointsStream& s) {
        ReaderLock gate(gate_);
        if (service_.Snapshot().get() != s.plant.get()) {
            return false;  // reloaded meanwhile
        }
        std::size_t total = 0;
        for (const LineConfig& line : s.plant->lines) {
            total += line.points.size();
        }
        if (!s.opened) {
            s.opened = true;
            s.buffer = "{\"time\": \"" + host::IsoTimeUtc(s.now) +
                       "\", \"total\": " + std::to_string(total) + ", \"points\": [";
        }
        std::size_t rendered = 0;
        bool first = s.buffer.size() > 1 && s.buffer.back() == '[';
        while (s.line < s.plant->lines.size() && rendered < kPointsPerChunk) {
            if (s.point >= s.plant->lines[s.line].points.size()) {
                ++s.line;
                s.point = 0;
                continue;
            }
            const std::size_t point = s.point++;
            if (s.skip > 0) {
                --s.skip;
                continue;
            }
            if (s.left == 0) {
                s.line = s.plant->lines.size();
                break;
            }
            --s.left;
            s.buffer += first ? "\n" : ",\n";
            first = false;
            s.buffer += PointJson(service_, s.line, point, s.now)
                            .dump(-1, ' ', false, json::error_handler_t::replace);
            ++rendered;
        }
        if (s.line >= s.plant->lines.size()) {
            s.buffer += "\n]}\n";
            s.closed = true;
        }
        return true;
    }

    // A write to a point refused for who sent it leaves its audit record as
    // well as its answer: who tried to write what is the audit's point.
    // (Writes without credentials are only logged: anyone can send those.)
    void AuditRefusedWrite(MHD_Connection* connection, const std::string& url,
                           const std::string& method, const Request& request,
                           const std::string& who, const std::string& result) {
        std::string lineName;
        std::string pointName;
        std::size_t line = 0;
        std::size_t point = 0;
        if (method != "PUT" || !PointPath(url, lineName, pointName) ||
            !FindPoint(service_, lineName, pointName, line, point)) {
            return;
        }
        LineOp op;
        std::string why;
        if (!DecodeWrite(service_.PlantConfig().lines[line].points[point], request.body, op.values,
                         why)) {
            op.values.clear();
        }
        op.by = Requester{"http", who, ClientAddress(connection, true), 0};
        service_.AuditRefused(line, &point, op, result);
    }

    static Answer Unauthorized() {
        Answer a = Error(401, "unauthorized",
                         "log in on the page, or send Authorization: Bearer TOKEN (westnet-gateway "
                         "token add) or a user's Basic credentials");
        // Not "Basic": a browser would pop up its own dialog over the page's.
        a.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"westnet-gateway\"");
        return a;
    }

    static Answer Forbidden(const auth::Identity& who, const std::string& why) {
        return Error(403, "forbidden",
                     std::string(who.token ? "token " : "user ") + who.name + " is " +
                         (who.role == auth::Role::Admin ? "an " : "a ") + auth::RoleName(who.role) +
                         ": " + why);
    }

    // Who is asking: nobody (no credentials), someone, or a refusal for
    // credentials that do not hold.
    std::optional<Answer> Authenticate(MHD_Connection* connection,
                                       std::optional<auth::Identity>& who) {
        const Credentials c = ParseAuthorization(HeaderValue(connection, "Authorization"));
        const std::string client = ClientAddress(connection);
        const auto now = Clock::now();
        switch (c.kind) {
            case Credentials::Kind::None: {
                const std::string id =
                    CookieValue(HeaderValue(connection, "Cookie"), kSessionCookie);
                if (!id.empty()) {
                    who = sessions_.Find(id, now);
                }
                return std::nullopt;  // an ended session is nobody
            }
            case Credentials::Kind::Malformed:
                return Error(400, "bad-credentials",
                             "the Authorization header is neither \"Bearer TOKEN\" nor Basic "
                             "credentials");
            case Credentials::Kind::Bearer:
                who = users_.CheckToken(c.secret);
                break;
            case Credentials::Kind::Basic:
                if (!tls_ && !IsLoopback(connection)) {
                    return Error(403, "insecure-credentials",
                                 "a password is taken only over HTTPS or from this machine: "
                                 "set http_tls_cert and http_tls_key, or use a token");
                }
                if (throttle_.Blocked(client, now)) {
                    return TooManyFailures();
                }
                who = users_.CheckPassword(c.user, c.secret);
                break;
        }
        if (!who) {
            throttle_.Failed(client, now);
            Log(LogLevel::Warning, "http: " + client + ": credentials refused");
            Answer a = Unauthorized();
            a.body = Error(401, "unauthorized",
                           "the user name and password, or the token, are "
                           "not known here")
                         .body;
            return a;
        }
        return std::nullopt;
    }

    static Answer TooManyFailures() {
        Answer a = Error(429, "too-many-failures",
                         "too many failed logins from this address: wait a minute");
        a.headers.emplace_back("Retry-After", "60");
        return a;
    }

    MHD_Result Login(MHD_Connection* connection, Request& request) {
        const std::string client = ClientAddress(connection);
        const auto now = Clock::now();
        if (!tls_ && !IsLoopback(connection)) {
            return Reply(connection, request,
                         Error(403, "insecure-credentials",
                               "a password is taken only over HTTPS or from this machine: set "
                               "http_tls_cert and http_tls_key"));
        }
        if (throttle_.Blocked(client, now)) {
            return Reply(connection, request, TooManyFailures());
        }
        const json body = json::parse(request.body, nullptr, false);
        if (!body.is_object() || !body.contains("user") || !body["user"].is_string() ||
            !body.contains("password") || !body["password"].is_string()) {
            return Reply(
                connection, request,
                Error(400, "bad-body", "send {\"user\": \"NAME\", \"password\": \"PASSWORD\"}"));
        }
        const std::string user = body["user"].get<std::string>();
        const std::optional<auth::Identity> who =
            users_.CheckPassword(user, body["password"].get<std::string>());
        if (!who) {
            throttle_.Failed(client, now);
            Log(LogLevel::Warning, "http: " + client + ": login refused");
            return Reply(connection, request,
                         Error(401, "unauthorized", "the user name or the password is wrong"));
        }
        throttle_.Succeeded(client);
        const std::string id = sessions_.Open(*who, now);
        Answer a = Json(200, {{"user", who->name}, {"role", auth::RoleName(who->role)}});
        a.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) + "=" + id +
                                                 "; Path=/; HttpOnly; SameSite=Strict" +
                                                 (tls_ ? "; Secure" : ""));
        Log(LogLevel::Info, "http: " + client + ": " + who->name + " logged in");
        return Reply(connection, request, a);
    }

    MHD_Result Logout(MHD_Connection* connection, Request& request) {
        const std::string id = CookieValue(HeaderValue(connection, "Cookie"), kSessionCookie);
        if (!id.empty()) {
            sessions_.Close(id);
        }
        Answer a = Json(200, {{"user", nullptr}});
        a.headers.emplace_back("Set-Cookie", std::string(kSessionCookie) +
                                                 "=; Path=/; Max-Age=0; HttpOnly; SameSite=Strict" +
                                                 (tls_ ? "; Secure" : ""));
        return Reply(connection, request, a);
    }

    Answer AuditAnswer(MHD_Connection* connection) const {
        std::size_t most = 100;
        if (const char* limit =
                MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "limit")) {
            char* end = nullptr;
            const unsigned long n = std::strtoul(limit, &end, 10);
            if (end != limit && *end == '\0') {
                most = std::min<std::size_t>(n, AuditLog::kKept);
            }
        }
        Answer a;
        a.type = "application/json; charset=utf-8";
        a.headers.emplace_back("Cache-Control", "no-store");
        a.body = "{\"records\": [";
        bool first = true;
        for (const std::string& record : service_.RecentAudit(most)) {
            a.body += (first ? "\n" : ",\n") + record;
            first = false;
        }
        a.body += "\n]}\n";
        return a;
    }

    // A write goes to its line; the connection waits, suspended, for the
    // completion (on the line's thread) to resume it, so that the one
    // thread serves the others meanwhile.
    MHD_Result Write(MHD_Connection* connection, Request& request) {
        Handling(connection, true);
        const PointConfig& config =
            service_.PlantConfig().lines[request.line].points[request.point];
        request.lineName = service_.PlantConfig().lines[request.line].name;
        request.pointName = config.name;
        std::string why;
        if (!DecodeWrite(config, request.body, request.values, why)) {
            return Reply(connection, request, Error(400, "bad-body", why));
        }
        auto w = std::make_shared<Waiting>();
        w->deadline = Clock::now() + limits_.writeWait;
        {
            MutexLock lock(waits_->mutex);
            if (waits_->stopping) {
                return Reply(connection, request,
                             Error(503, "stopping", "the gateway is stopping: not tried"));
            }
        }
        std::shared_ptr<Waits> waits = waits_;
        std::vector<std::uint16_t> values = request.values;
        if (!service_.WritePoint(request.line, request.point, std::move(values),
                                 Requester{"http", request.who, ClientAddress(connection, true), 0},
                                 [waits, w](const LineOpResult& r) {
                                     MutexLock lock(waits->mutex);
                                     if (w->done) {
                                         return;
                                     }
                                     w->result = r;
                                     w->done = true;
                                     waits->Resume(*w);
                                 })) {
            Answer a = Error(503, "busy", "the line's queue is full: try again");
            a.headers.emplace_back("Retry-After", "1");
            return Reply(connection, request, a);
        }
        request.write = w;
        {
            MutexLock lock(waits_->mutex);
            ++waits_->open;
            if (!w->done) {
                MHD_suspend_connection(connection);
                w->suspended = connection;
                waits_->suspended.push_back(w);
                return MHD_YES;
            }
        }
        return WriteAnswered(connection, request);
    }

    MHD_Result WriteAnswered(MHD_Connection* connection, Request& request) {
        Waiting w;
        {
            MutexLock lock(waits_->mutex);
            w = *request.write;
        }
        if (w.stopping) {
            return Reply(connection, request,
                         Error(503, "stopping",
                               "the gateway stopped while the write waited for its line: it may "
                               "or may not have landed"));
        }
        if (w.late) {
            return Reply(connection, request,
                         Error(504, "no-answer", "the line did not answer the write in time"));
        }
        const LineOpResult& r = w.result;
        json body = {{"result", OutcomeName(r.outcome)},
                     {"message", OutcomeMessage(r.outcome, r.driverResult)},
                     {"line", request.lineName},
                     {"name", request.pointName}};
        if (r.outcome == Outcome::Ok) {
            body["values"] = request.values;
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
        const std::string who = ClientAddress(connection) +
                                (request.who.empty() ? "" : " (" + request.who + ")") + " wrote " +
                                request.pointName;
        LogLine(r.outcome == Outcome::Ok ? LogLevel::Info : LogLevel::Warning, request.lineName,
                "http: " + who + ": " + OutcomeName(r.outcome));
        return Reply(connection, request, Json(HttpStatusOf(r.outcome), body));
    }

    // Every check: a client that has taken longer than the request time to
    // send its request is closed (the library's own time-out only bounds
    // the pause between two bytes), and a write whose answer was lost is
    // answered.
    void Watch() {
        MutexLock lock(watchMutex_);
        for (;;) {
            const Clock::time_point next = Clock::now() + limits_.check;
            while (!stopWatch_ && lock.WaitUntil(watchWake_, next)) {
            }
            if (stopWatch_) {
                return;
            }
            events_->Tick();
            const Clock::time_point now = Clock::now();
            for (Connection* c : connections_) {
                if (c->handling || c->shut || c->fd < 0 || now - c->since <= limits_.time) {
                    continue;
                }
                // The library sees the connection end and closes it on its
                // thread; the descriptor stays its own until then.
                shutdown(c->fd, SHUT_RDWR);
                c->shut = true;
                Log(LogLevel::Warning, "http: client " + c->client + " closed: it took more than " +
                                           Duration(limits_.time) + " to send its request");
            }
            MutexLock waitsLock(waits_->mutex);
            std::vector<std::shared_ptr<Waiting>> late;
            for (const auto& w : waits_->suspended) {
                if (now >= w->deadline) {
                    late.push_back(w);
                }
            }
            for (const auto& w : late) {
                w->late = true;
                w->done = true;
                waits_->Resume(*w);
            }
        }
    }

    const GatewayConfig config_;
    Service& service_;
    const RequestLimits limits_;
    const bool tls_;
    const HostNames hosts_;
    // Read at start and at every reload, on the main thread while the gate is
    // held alone; asked on the library's thread.
    auth::UserStore users_;
    Sessions sessions_;
    auth::LoginThrottle throttle_;
    std::string certPem_;  // the library reads them while it runs
    std::string keyPem_;
    std::string chartScript_;  // read at start; empty when not installed
    MHD_Daemon* daemon_ = nullptr;
    // Held shared while a request asks the service, alone by a reload.
    SharedMutex gate_;
    std::shared_ptr<Waits> waits_;
    std::unique_ptr<EventStreams> events_;
    Mutex watchMutex_;  // the watch's: the connections and when to stop
    std::condition_variable watchWake_;
    bool stopWatch_ GUARDED_BY(watchMutex_) = false;
    std::unordered_set<Connection*> connections_ GUARDED_BY(watchMutex_);
    std::thread watcher_;
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
