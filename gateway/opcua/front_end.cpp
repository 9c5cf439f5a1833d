#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "auth/throttle.h"
#include "auth/users.h"
#include "http/render.h"
#include "log/log.h"
#include "opcua/opcua.h"
#include "sync/mutex.h"
#include "typed_value.h"
#include "values/write.h"

namespace westnet::gateway::opcua {
namespace {

using json = nlohmann::ordered_json;  // what is sent, in the order /api/points has
using In = nlohmann::json;            // what the program asks
using Clock = std::chrono::steady_clock;

// The pause before the program is started again grows from the first to the
// most; one that ran this long before it ended starts again after the first.
constexpr std::chrono::milliseconds kRestartFirst{500};
constexpr std::chrono::milliseconds kRestartMost{30000};
constexpr std::chrono::seconds kRanLongEnough{30};
// How long the program has to end after SIGTERM before SIGKILL.
constexpr std::chrono::seconds kStopWait{5};
// Changes wait, coalesced, while this much is unsent to a slow program.
constexpr std::size_t kSendBacklog = 4u << 20;
// A line from the program longer than this is cut (log) or refused (link).
constexpr std::size_t kLineMost = 1u << 20;

// What the listener and the write completions (on line threads) hand to the
// front end's thread; completions hold it by shared_ptr, as one may come
// after Stop.
struct Mailbox {
    Mailbox() : wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~Mailbox() {
        if (wake >= 0) {
            close(wake);
        }
    }
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    void Wake() const {
        const std::uint64_t one = 1;
        (void)!write(wake, &one, sizeof one);
    }

    const int wake;
    Mutex mutex;
    std::set<std::pair<std::size_t, std::size_t>> dirty GUARDED_BY(mutex);
    std::map<std::pair<std::size_t, std::size_t>, std::uint64_t> changes GUARDED_BY(mutex);
    std::deque<std::string> messages GUARDED_BY(mutex);    // station changes and replies, in order
    std::vector<std::string> lineNames GUARDED_BY(mutex);  // by line index, for station changes
    bool stopping GUARDED_BY(mutex) = false;
};

// A string member of a request; a malformed request throws, as the
// library's own checks do.
std::string Text(const In& m, const char* key) {
    const auto it = m.find(key);
    if (it == m.end() || !it->is_string()) {
        throw std::invalid_argument(key);
    }
    return it->get<std::string>();
}

std::string LineOf(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// The host of "ADDRESS:PORT" or "[ADDRESS]:PORT": a client's guesses are
// counted per machine, whatever port each connection comes from.
std::string HostOf(const std::string& client) {
    const std::size_t colon = client.rfind(':');
    std::string host = colon == std::string::npos ? client : client.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    return host;
}

// An answer to the program's request `id`, queued for the front end's
// thread to send (from a line thread too, for a write's completion).
void PostReply(Mailbox& mail, const In& id, json reply) {
    reply["type"] = "reply";
    reply["id"] = json::parse(id.dump());
    {
        MutexLock lock(mail.mutex);
        mail.messages.push_back(LineOf(reply));
    }
    mail.Wake();
}

std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) {
        return ".";
    }
    std::string exe(path, static_cast<std::size_t>(n));
    return exe.substr(0, exe.find_last_of('/'));
}

// A line of the program's output in the gateway's log: "LEVEL: text" takes
// that level; any other line is info from stdout, a warning from stderr
// (node's own complaints).
void LogProgramLine(const std::string& line, bool fromStderr) {
    LogLevel level = fromStderr ? LogLevel::Warning : LogLevel::Info;
    std::string text = line;
    const std::size_t colon = line.find(": ");
    if (colon != std::string::npos && colon < 8 && ParseLogLevel(line.substr(0, colon), level)) {
        text = line.substr(colon + 2);
    }
    if (!text.empty()) {
        Log(level, "opcua: " + text);
    }
}

// The child and its three descriptors.
struct Child {
    pid_t pid = -1;
    int link = -1;  // our end of the socket pair
    int out = -1;
    int err = -1;
    std::string linkIn, outIn, errIn;  // partial lines
    std::string linkOut;               // unsent
    Clock::time_point started;

    bool Running() const { return pid > 0; }
};

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

class OpcuaFrontEnd final : public FrontEnd, public Listener {
public:
    OpcuaFrontEnd(const GatewayConfig& config, Service& service)
        : config_(config), service_(service), mail_(std::make_shared<Mailbox>()) {}
    ~OpcuaFrontEnd() override { OpcuaFrontEnd::Stop(); }
    OpcuaFrontEnd(const OpcuaFrontEnd&) = delete;
    OpcuaFrontEnd& operator=(const OpcuaFrontEnd&) = delete;

    std::string Name() const override { return "opcua"; }

    // The program keeps running, with its clients, when its own keys stay;
    // the users file may change (read again on Resume).
    bool Keeps(const GatewayConfig& next) const override {
        return thread_.joinable() && next.opcua == config_.opcua &&
               next.opcuaAllowNone == config_.opcuaAllowNone &&
               next.opcuaTrustClients == config_.opcuaTrustClients &&
               next.opcuaPki == config_.opcuaPki && next.usersFile == config_.usersFile;
    }
    void Pause() override ACQUIRE(gate_) { gate_.Lock(); }
    bool Resume() override RELEASE(gate_) {
        LoadUsers();
        {
            MutexLock lock(mail_->mutex);
            mail_->dirty.clear();
            mail_->changes.clear();
        }
        resendPlant_ = true;
        gate_.Unlock();
        mail_->Wake();
        return true;
    }

    bool Start(std::string& error) override {
        if (mail_->wake < 0) {
            error = std::string("opcua: cannot make an eventfd: ") + std::strerror(errno);
            return false;
        }
        program_ = ProgramPath();
        if (access(program_.c_str(), R_OK) != 0) {
            error = "opcua: the OPC UA server program " + program_ +
                    " is not there (its npm modules are built with the gateway; "
                    "set WESTNET_OPCUA_DIR to its folder)";
            return false;
        }
        {
            MutexLock gate(gate_);
            LoadUsers();
        }
        Child child;
        if (!Spawn(child, error)) {
            return false;
        }
        service_.AddListener(this);
        thread_ = std::thread([this, child]() mutable { Run(child); });
        return true;
    }

    void Stop() override {
        if (!thread_.joinable()) {
            return;
        }
        service_.RemoveListener(this);
        {
            MutexLock lock(mail_->mutex);
            mail_->stopping = true;
        }
        mail_->Wake();
        thread_.join();
    }

    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override {
        {
            MutexLock lock(mail_->mutex);
            std::uint64_t& seen = mail_->changes[{line, point}];
            if (seen == sample.changes && sample.changes != 0) {
                return;  // a read that changed nothing
            }
            seen = sample.changes;
            mail_->dirty.insert({line, point});
        }
        mail_->Wake();
    }

    void StationChanged(std::size_t line, int station, StationState state) override {
        {
            MutexLock lock(mail_->mutex);
            if (line >= mail_->lineNames.size()) {
                return;
            }
            mail_->messages.push_back(LineOf({{"type", "station"},
                                              {"line", mail_->lineNames[line]},
                                              {"station", station},
                                              {"state", StationStateName(state)}}));
        }
        mail_->Wake();
    }

private:
    void LoadUsers() REQUIRES(gate_) {
        std::string error;
        bool missing = false;
        const std::string path = auth::UsersFilePath(config_.usersFile);
        if (!users_.Load(path, error, &missing)) {
            Log(LogLevel::Error, "opcua: " + error + "; nobody can log in over OPC UA");
        } else if (missing) {
            Log(LogLevel::Warning, "opcua: no users file " + path +
                                       ": nobody can log in over OPC UA; add one with: "
                                       "westnet-gateway --users " +
                                       config_.usersFile + " user add NAME --role viewer");
        }
    }

    bool Spawn(Child& child, std::string& error) {
        int pair[2];
        int out[2];
        int err[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            error = std::string("opcua: socketpair: ") + std::strerror(errno);
            return false;
        }
        if (pipe2(out, O_CLOEXEC) != 0) {
            error = std::string("opcua: pipe: ") + std::strerror(errno);
            close(pair[0]);
            close(pair[1]);
            return false;
        }
        if (pipe2(err, O_CLOEXEC) != 0) {
            error = std::string("opcua: pipe: ") + std::strerror(errno);
            close(pair[0]);
            close(pair[1]);
            close(out[0]);
            close(out[1]);
            return false;
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
        posix_spawn_file_actions_adddup2(&actions, err[1], 2);
        posix_spawn_file_actions_adddup2(&actions, pair[1], 3);
        // Nothing else of the gateway's (listening sockets, the lines) is
        // the program's.
        posix_spawn_file_actions_addclosefrom_np(&actions, 4);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGTERM);
        sigaddset(&defaults, SIGINT);
        sigaddset(&defaults, SIGHUP);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const char* nodeEnv = std::getenv("WESTNET_NODE");
        const std::string node = nodeEnv != nullptr && *nodeEnv != '\0' ? nodeEnv : "node";
        std::vector<char*> argv = {const_cast<char*>(node.c_str()),
                                   const_cast<char*>(program_.c_str()), nullptr};
        pid_t pid = -1;
        const int rc =
            posix_spawnp(&pid, node.c_str(), &actions, &attributes, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        close(pair[1]);
        close(out[1]);
        close(err[1]);
        if (rc != 0) {
            close(pair[0]);
            close(out[0]);
            close(err[0]);
            error = "opcua: cannot run " + node + " " + program_ + ": " + std::strerror(rc) +
                    (rc == ENOENT ? " (install nodejs 18 or later)" : "");
            return false;
        }
        for (const int fd : {pair[0], out[0], err[0]}) {
            fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        }
        child = Child{};
        child.pid = pid;
        child.link = pair[0];
        child.out = out[0];
        child.err = err[0];
        child.started = Clock::now();
        Log(LogLevel::Info, "opcua: started the OPC UA server " + program_ + " (pid " +
                                std::to_string(pid) + ") for " + config_.opcua);
        Send(child, LineOf({{"type", "config"},
                            {"listen", config_.opcua},
                            {"allow_none", config_.opcuaAllowNone},
                            {"trust_clients", config_.opcuaTrustClients},
                            {"pki", config_.opcuaPki}}));
        MutexLock gate(gate_);
        SendPlant(child);
        return true;
    }

    static void Send(Child& child, const std::string& line) { child.linkOut += line; }

    // Every point with its current state and every station's: what the
    // program builds its address space from.
    void SendPlant(Child& child) REQUIRES(gate_) {
        const Plant& plant = service_.PlantConfig();
        const WallTime now = std::chrono::system_clock::now();
        json points = json::array();
        json stations = json::array();
        std::vector<std::string> names;
        for (std::size_t l = 0; l < plant.lines.size(); ++l) {
            const LineConfig& line = plant.lines[l];
            names.push_back(line.name);
            std::set<int> seen;
            for (std::size_t p = 0; p < line.points.size(); ++p) {
                json point = http::PointJson(service_, l, p, now);
                if (line.points[p].format.scaled) {
                    // A scaled point's EURange: the engineering values it
                    // can hold (the raw type's limits scaled, within the
                    // scale's ends with clamp), not the scale's two anchor
                    // points, which a gauge would take for its ends.
                    double low = 0;
                    double high = 0;
                    values::EngineeringLimits(line.points[p].format, low, high);
                    point["eu_range"] = {low, high};
                }
                points.push_back(std::move(point));
                if (seen.insert(line.points[p].station).second) {
                    stations.push_back(
                        {{"line", line.name},
                         {"station", line.points[p].station},
                         {"state", StationStateName(service_.State(l, line.points[p].station))}});
                }
            }
        }
        {
            MutexLock lock(mail_->mutex);
            mail_->lineNames = names;
            mail_->dirty.clear();
            // Station changes queued before this are in the snapshot.
            mail_->messages.erase(
                std::remove_if(
                    mail_->messages.begin(), mail_->messages.end(),
                    [](const std::string& m) { return m.rfind("{\"type\":\"station\"", 0) == 0; }),
                mail_->messages.end());
        }
        Send(child, LineOf({{"type", "plant"}, {"points", points}, {"stations", stations}}));
    }

    // Takes what the listener and the completions left, as lines to send.
    void Collect(Child& child) {
        std::vector<std::pair<std::size_t, std::size_t>> dirty;
        std::deque<std::string> messages;
        {
            MutexLock lock(mail_->mutex);
            messages.swap(mail_->messages);
            if (child.linkOut.size() < kSendBacklog) {
                dirty.assign(mail_->dirty.begin(), mail_->dirty.end());
                mail_->dirty.clear();
            }
        }
        if (!child.Running()) {
            return;
        }
        MutexLock gate(gate_);
        if (resendPlant_) {
            resendPlant_ = false;
            SendPlant(child);
            dirty.clear();
        }
        const Plant& plant = service_.PlantConfig();
        const WallTime now = std::chrono::system_clock::now();
        for (const auto& [line, point] : dirty) {
            if (line < plant.lines.size() && point < plant.lines[line].points.size()) {
                Send(child, LineOf({{"type", "point"},
                                    {"point", http::PointJson(service_, line, point, now)}}));
            }
        }
        for (const std::string& m : messages) {
            Send(child, m);
        }
    }

    void Reply(const In& id, json reply) { PostReply(*mail_, id, std::move(reply)); }

    void Handle(const std::string& text) {
        In m;
        try {
            m = In::parse(text);
        } catch (const In::exception&) {
            Log(LogLevel::Warning, "opcua: the OPC UA server sent a line that is not JSON");
            return;
        }
        if (!m.is_object() || !m.contains("id")) {
            return;
        }
        try {
            const std::string type = Text(m, "type");
            MutexLock gate(gate_);
            if (type == "login") {
                Login(m);
            } else if (type == "write") {
                Write(m);
            }
        } catch (const std::exception&) {
            Reply(m["id"], {{"result", "bad-request"}, {"message", "a malformed request"}});
        }
    }

    // A user name and password an OPC UA client presented: checked against
    // the users file; the user may then write as its role allows.
    void Login(const In& m) REQUIRES(gate_) {
        const std::string user = Text(m, "user");
        const std::string address = HostOf(m.contains("client") ? Text(m, "client") : "");
        const auto now = auth::LoginThrottle::Clock::now();
        if (throttle_.Blocked(address, now)) {
            Reply(m["id"], {{"result", "throttled"}});
            return;
        }
        const std::optional<auth::Identity> who = users_.CheckPassword(user, Text(m, "password"));
        if (!who || who->token) {
            // Another session of the same user keeps its login: a wrong
            // password from anyone must not lock a logged-in operator out.
            throttle_.Failed(address, now);
            Reply(m["id"], {{"result", "denied"}});
            return;
        }
        throttle_.Succeeded(address);
        loggedIn_.insert(user);
        Reply(m["id"], {{"result", "ok"}, {"role", auth::RoleName(who->role)}});
    }

    void Write(const In& m) REQUIRES(gate_) {
        const In& id = m["id"];
        const std::string user = Text(m, "user");
        const std::string client = Text(m, "client");
        std::size_t line = 0;
        std::size_t point = 0;
        if (!http::FindPoint(service_, Text(m, "line"), Text(m, "name"), line, point)) {
            Reply(id, {{"result", "unknown-point"}});
            return;
        }
        const PointConfig& config = service_.PlantConfig().lines[line].points[point];
        std::vector<std::uint16_t> words;
        std::string why;
        const bool decoded = DecodeWrite(config, m.at("value").dump(), words, why);
        // The role is the users file's now: a reload that removes the user or
        // makes it a viewer holds for its open sessions too, and one that
        // leaves it alone keeps them writing.
        const std::optional<auth::Role> role =
            loggedIn_.count(user) != 0 ? users_.RoleOf(user) : std::nullopt;
        if (!role || !auth::MayWrite(*role)) {
            // Audited as HTTP audits a write its role may not make.
            LineOp op;
            op.kind = config.IsBit() ? LineOp::Kind::WriteBit : LineOp::Kind::WriteRegisters;
            op.station = config.station;
            op.reg = config.reg;
            op.bit = std::max(config.bit, 0);
            op.values = decoded ? words : std::vector<std::uint16_t>{};
            op.by = Requester{"opcua", user, client, 0};
            service_.AuditRefused(line, &point, op, "forbidden");
            Reply(id, {{"result", "forbidden"}});
            return;
        }
        if (!decoded) {
            Reply(id, {{"result", "bad-value"}, {"message", why}});
            return;
        }
        std::shared_ptr<Mailbox> mail = mail_;
        const bool queued =
            service_.WritePoint(line, point, std::move(words), Requester{"opcua", user, client, 0},
                                [mail, id](const LineOpResult& r) {
                                    PostReply(*mail, id, {{"result", OutcomeName(r.outcome)}});
                                });
        if (!queued) {
            Reply(id, {{"result", "busy"}});
        }
    }

    // Reads what is there on one descriptor; false at its end.
    static bool Drain(int& fd, std::string& partial, const std::function<void(std::string)>& line) {
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(fd, buffer, sizeof buffer);
            if (n > 0) {
                partial.append(buffer, static_cast<std::size_t>(n));
                std::size_t start = 0;
                for (std::size_t nl = partial.find('\n'); nl != std::string::npos;
                     nl = partial.find('\n', start)) {
                    line(partial.substr(start, nl - start));
                    start = nl + 1;
                }
                partial.erase(0, start);
                if (partial.size() > kLineMost) {
                    line(partial.substr(0, kLineMost));
                    partial.clear();
                }
                continue;
            }
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                return true;
            }
            if (!partial.empty()) {
                line(partial);
                partial.clear();
            }
            CloseFd(fd);
            return false;
        }
    }

    // Ends the child (SIGTERM, and SIGKILL after kStopWait) and waits for
    // it; its output still goes to the log.
    // Answers how it ended.
    std::string Reap(Child& child) {
        kill(child.pid, SIGTERM);
        const Clock::time_point killAt = Clock::now() + kStopWait;
        bool killed = false;
        int status = 0;
        for (;;) {
            const pid_t r = waitpid(child.pid, &status, WNOHANG);
            if (r == child.pid || (r < 0 && errno != EINTR)) {
                break;
            }
            if (!killed && Clock::now() >= killAt) {
                Log(LogLevel::Warning, "opcua: the OPC UA server did not end within " +
                                           std::to_string(kStopWait.count()) + " s: SIGKILL");
                kill(child.pid, SIGKILL);
                killed = true;
            }
            PumpOutput(child, 50);
        }
        PumpOutput(child, 0);
        CloseFd(child.link);
        CloseFd(child.out);
        CloseFd(child.err);
        std::string how =
            "(pid " + std::to_string(child.pid) + ") " +
            (WIFSIGNALED(status) ? "was killed by signal " + std::to_string(WTERMSIG(status))
                                 : "ended with status " + std::to_string(WEXITSTATUS(status)));
        child.pid = -1;
        return how;
    }

    void PumpOutput(Child& child, int timeoutMs) {
        pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
        if (poll(fds, 2, timeoutMs) <= 0) {
            return;
        }
        if (child.out >= 0) {
            Drain(child.out, child.outIn, [](const std::string& l) { LogProgramLine(l, false); });
        }
        if (child.err >= 0) {
            Drain(child.err, child.errIn, [](const std::string& l) { LogProgramLine(l, true); });
        }
    }

    bool Stopping() {
        MutexLock lock(mail_->mutex);
        return mail_->stopping;
    }

    void Run(Child child) {
        std::chrono::milliseconds pause = kRestartFirst;
        Clock::time_point restartAt{};
        for (;;) {
            if (!child.Running()) {
                if (Stopping()) {
                    return;
                }
                if (Clock::now() >= restartAt) {
                    std::string error;
                    if (Spawn(child, error)) {
                        mail_->Wake();
                    } else {
                        Log(LogLevel::Error,
                            error + "; tried again in " + std::to_string(pause.count()) + " ms");
                        restartAt = Clock::now() + pause;
                        pause = std::min(pause * 2, kRestartMost);
                    }
                }
            }
            pollfd fds[4] = {
                {mail_->wake, POLLIN, 0},
                {child.link, static_cast<short>(POLLIN | (child.linkOut.empty() ? 0 : POLLOUT)), 0},
                {child.out, POLLIN, 0},
                {child.err, POLLIN, 0}};
            int timeout = 1000;
            if (!child.Running()) {
                timeout = static_cast<int>(std::max<long long>(
                    1,
                    std::chrono::duration_cast<std::chrono::milliseconds>(restartAt - Clock::now())
                        .count()));
            }
            poll(fds, 4, timeout);
            if ((fds[0].revents & POLLIN) != 0) {
                std::uint64_t count = 0;
                (void)!read(mail_->wake, &count, sizeof count);
            }
            if (Stopping()) {
                if (child.Running()) {
                    Log(LogLevel::Info, "opcua: the OPC UA server " + Reap(child));
                }
                return;
            }
            if (!child.Running()) {
                continue;
            }
            Collect(child);
            bool ended = false;
            if (child.out >= 0) {
                Drain(child.out, child.outIn,
                      [](const std::string& l) { LogProgramLine(l, false); });
            }
            if (child.err >= 0) {
                Drain(child.err, child.errIn,
                      [](const std::string& l) { LogProgramLine(l, true); });
            }
            if (!Drain(child.link, child.linkIn, [this](const std::string& l) { Handle(l); })) {
                ended = true;
            }
            while (!ended && !child.linkOut.empty()) {
                const ssize_t n =
                    send(child.link, child.linkOut.data(), child.linkOut.size(), MSG_NOSIGNAL);
                if (n > 0) {
                    child.linkOut.erase(0, static_cast<std::size_t>(n));
                } else {
                    ended = n < 0 && errno != EAGAIN && errno != EINTR;
                    break;
                }
            }
            if (ended) {
                const bool ranLong = Clock::now() - child.started >= kRanLongEnough;
                const std::string how = Reap(child);
                Log(LogLevel::Error, "opcua: the OPC UA server " + how + "; started again in " +
                                         std::to_string((ranLong ? kRestartFirst : pause).count()) +
                                         " ms");
                pause = ranLong ? kRestartFirst : pause;
                restartAt = Clock::now() + pause;
                pause = std::min(pause * 2, kRestartMost);
                MutexLock gate(gate_);
                loggedIn_.clear();
            }
        }
    }

    const GatewayConfig config_;
    Service& service_;
    std::shared_ptr<Mailbox> mail_;
    std::string program_;
    // Held by a reload from Pause to Resume: the plant is changing.
    Mutex gate_;
    bool resendPlant_ GUARDED_BY(gate_) = false;
    auth::UserStore users_;
    // Users whose password this run of the program presented: only they may
    // be named in a write.
    std::set<std::string> loggedIn_ GUARDED_BY(gate_);
    // Failed logins per client machine, as HTTP counts them.
    auth::LoginThrottle throttle_;
    std::thread thread_;
};

}  // namespace

std::string ProgramPath() {
    const char* dir = std::getenv("WESTNET_OPCUA_DIR");
    if (dir != nullptr && *dir != '\0') {
        return std::string(dir) + "/server.js";
    }
    const std::string folder = ExecutableFolder();
    for (const std::string& path :
         {folder + "/opcua/server.js", folder + "/../lib/westnet/opcua/server.js"}) {
        if (access(path.c_str(), R_OK) == 0) {
            return path;
        }
    }
    return "/usr/lib/westnet/opcua/server.js";
}

std::unique_ptr<FrontEnd> MakeOpcuaFrontEnd(const GatewayConfig& config, Service& service) {
    if (config.opcua.empty()) {
        return nullptr;
    }
    return std::make_unique<OpcuaFrontEnd>(config, service);
}

}  // namespace westnet::gateway::opcua
