#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <thread>
#include <utility>

#include "log/log.h"
#include "mqtt/connection.h"
#include "sparkplug/node.h"
#include "sparkplug/sparkplug.h"
#include "sync/mutex.h"
#include "typed_value.h"
#include "values/write.h"

namespace westnet::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using sparkplug::MessageType;

// The will and the subscriptions (commands, the host's STATE) want their
// delivery; every other message is QoS 0, as Sparkplug hosts expect.
constexpr int kWillQos = 1;
constexpr int kDataQos = 0;
constexpr auto kStatsEvery = std::chrono::milliseconds(500);
constexpr auto kLeaveWait = std::chrono::seconds(2);

// bdSeq counts the connections of the process, not of one front end: a
// reload that starts the front end again (a changed setting) goes on from the
// last, so that a host never sees a new session with an old bdSeq.
std::atomic<std::uint64_t> nextBdSeq{0};

const char* const kWriteResults[] = {"ok",           "refused",     "line-failure",
                                     "not-writable", "bad-payload", "unknown-metric"};

std::uint64_t NowMs() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

const char* WriteResultOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return "ok";
        case Outcome::NotWritable:
        case Outcome::ReadOnly:
            return "not-writable";
        case Outcome::Refused:
            return "refused";
        case Outcome::BadRequest:
            return "bad-payload";
        default:
            return "line-failure";
    }
}

struct Counts {
    std::map<std::string, std::uint64_t> messages;  // by message type
    std::uint64_t metrics = 0;
    std::uint64_t rebirths = 0;
    std::uint64_t reconnects = 0;
    std::uint64_t connectFailures = 0;
    std::uint64_t badCommands = 0;
    std::map<std::string, std::uint64_t> writes;
};

// What the listener, the callbacks and both threads share. Write completions
// hold it by shared_ptr: one may come after Stop.
class Core final : public Listener {
public:
    Core(sparkplug::NodeSettings settings, Service& service)
        : node(std::move(settings),
               sparkplug::NodeSource{[&service](std::size_t line, std::size_t point) {
                                         return service.Sample(line, point);
                                     },
                                     // Down while its line is down; ok before
                                     // the line's first open, so that the
                                     // births come at once, values to follow.
                                     [&service](std::size_t line, int station) {
                                         return service.State(line, station) == StationState::Ok;
                                     },
                                     &NowMs}) {}

    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override {
        MutexLock lock(mutex);
        if (paused) {
            return;
        }
        node.PointUpdated(line, point, sample);
        if (node.Pending()) {
            wake.notify_all();
        }
    }
    void StationChanged(std::size_t line, int station, StationState) override {
        MutexLock lock(mutex);
        if (paused) {
            return;
        }
        node.StationChanged(line, station);
        if (node.Pending()) {
            wake.notify_all();
        }
    }

    void CountWrite(const std::string& result) EXCLUDES(mutex) {
        MutexLock lock(mutex);
        ++counts.writes[result];
    }

    Mutex mutex;
    sparkplug::EdgeNode node GUARDED_BY(mutex);
    std::condition_variable wake;
    bool paused GUARDED_BY(mutex) = false;
    bool connected GUARDED_BY(mutex) = false;
    bool accepted GUARDED_BY(mutex) = false;
    bool everAccepted GUARDED_BY(mutex) = false;
    bool closing GUARDED_BY(mutex) = false;
    // The gateway dropped the connection itself (the primary host went
    // offline): made again at once.
    bool restarting GUARDED_BY(mutex) = false;
    std::uint64_t bdSeq GUARDED_BY(mutex) = 0;  // of the connection under way
    Counts counts GUARDED_BY(mutex);
};

class SparkplugFrontEnd final : public FrontEnd {
public:
    SparkplugFrontEnd(Service& service, const SparkplugTuning& tuning)
        : service_(service), tuning_(tuning) {}
    ~SparkplugFrontEnd() override { Stop(); }
    SparkplugFrontEnd(const SparkplugFrontEnd&) = delete;
    SparkplugFrontEnd& operator=(const SparkplugFrontEnd&) = delete;

    std::string Name() const override { return "sparkplug"; }
    bool Start(std::string& error) override;
    void Stop() override;
    bool Keeps(const GatewayConfig& next) const override;
    void Pause() override;
    bool Resume() override;

private:
    void NetworkLoop();
    void PublishLoop();
    void RegisterStats();
    void FlushStats();
    std::string Broker() const {
        return settings_.broker.host + ":" + std::to_string(settings_.broker.port);
    }
    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnDisconnect(mosquitto* mosq, void* self, int rc);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
    static void OnPublish(mosquitto* mosq, void* self, int mid);
    // Publishes an NDEATH at QoS 1; the DISCONNECT follows its
    // acknowledgement, from the network thread. False when it cannot be sent.
    bool Leave(const std::string& topic, const std::string& death) EXCLUDES(leaving_);
    void Connected(int rc);
    void Message(const mosquitto_message& message);
    void Write(const sparkplug::ParsedTopic& topic, const sparkplug::Payload& payload);

    Service& service_;
    SparkplugTuning tuning_;
    mqtt::ConnectionSettings settings_;
    GatewayConfig gateway_;
    std::shared_ptr<Core> core_;
    mosquitto* mosq_ = nullptr;
    // Held while a batch is handed to the library: a lost connection is
    // recorded only after it, so that nothing of it goes out on the next.
    Mutex publishing_;
    // The message id of the NDEATH whose acknowledgement ends the connection
    // (-1: none). Set under the lock around the publish, so that an
    // acknowledgement cannot come before it is known.
    Mutex leaving_;
    int leaveAfter_ GUARDED_BY(leaving_) = -1;
    std::thread network_;
    std::thread publisher_;
    bool started_ = false;
    std::atomic<bool> closing_{false};
    bool stopPublisher_ GUARDED_BY(core_->mutex) = false;
    Counts flushed_;
    std::uint64_t flushedDropped_ = 0;
};

bool SparkplugFrontEnd::Start(std::string& error) {
    if (started_) {
        return true;
    }
    std::shared_ptr<const Plant> plant = service_.Snapshot();
    const GatewayConfig& g = plant->gateway;
    if (g.sparkplug.empty()) {
        error = "sparkplug: no broker set ([gateway] sparkplug = \"mqtt://HOST:PORT\")";
        return false;
    }
    // The broker's credentials and certificates are the mqtt_* keys'; only
    // the address is its own.
    GatewayConfig connection = g;
    connection.mqtt = g.sparkplug;
    if (!mqtt::LoadConnectionSettings(connection, settings_, error)) {
        error = "sparkplug: " + error;
        return false;
    }
    // Not the MQTT front end's session: a second client with one id would
    // throw the other off the broker.
    settings_.clientId += "-sparkplug";
    if (settings_.clientId.size() > 128) {
        settings_.clientId.erase(0, settings_.clientId.size() - 128);
    }
    if (!sparkplug::CheckId("sparkplug_group", g.sparkplugGroup, error) ||
        !sparkplug::CheckId("sparkplug_node", g.sparkplugNode, error)) {
        error = "sparkplug: " + error;
        return false;
    }
    sparkplug::NodeModel model;
    if (!model.Build(*plant, error)) {
        error = "sparkplug: " + error;
        return false;
    }
    sparkplug::NodeSettings settings;
    settings.group = g.sparkplugGroup;
    settings.node = g.sparkplugNode;
    settings.aliases = g.sparkplugAliases;
    settings.waitForHost = !g.sparkplugPrimaryHost.empty();
    settings.historyMax = tuning_.historyMax;

    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    mosq_ = mosquitto_new(settings_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) {
        error = std::string("sparkplug: cannot create the client: ") + std::strerror(errno);
        return false;
    }
    auto fail = [&](const std::string& why) {
        error = why;
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
        return false;
    };
    mosquitto_threaded_set(mosq_, true);
    mosquitto_int_option(mosq_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    {
        std::string why;
        if (!mqtt::ApplyConnectionSettings(mosq_, settings_, "sparkplug", why)) {
            return fail(why);
        }
    }
    mosquitto_connect_callback_set(mosq_, &SparkplugFrontEnd::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &SparkplugFrontEnd::OnDisconnect);
    mosquitto_message_callback_set(mosq_, &SparkplugFrontEnd::OnMessage);
    mosquitto_publish_callback_set(mosq_, &SparkplugFrontEnd::OnPublish);

    const std::size_t devices = model.Devices().size();
    core_ = std::make_shared<Core>(settings, service_);
    {
        MutexLock lock(core_->mutex);
        core_->node.Adopt(plant, std::move(model));
        stopPublisher_ = false;
    }
    gateway_ = g;
    closing_ = false;
    RegisterStats();
    service_.AddListener(core_.get());
    network_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "spb-network");
        NetworkLoop();
    });
    publisher_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "spb-publisher");
        PublishLoop();
    });
    started_ = true;
    Log(LogLevel::Info, "sparkplug: edge node " + g.sparkplugGroup + "/" + g.sparkplugNode +
                            " with " + std::to_string(devices) + " devices on " +
                            (settings_.broker.tls ? "mqtts://" : "mqtt://") + Broker() +
                            (g.sparkplugPrimaryHost.empty()
                                 ? std::string()
                                 : ", waiting for primary host " + g.sparkplugPrimaryHost));
    return true;
}

void SparkplugFrontEnd::Stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    service_.RemoveListener(core_.get());
    {
        MutexLock lock(core_->mutex);
        stopPublisher_ = true;
    }
    core_->wake.notify_all();
    publisher_.join();
    closing_ = true;
    {
        MutexLock lock(core_->mutex);
        core_->closing = true;
    }
    core_->wake.notify_all();
    // A clean DISCONNECT keeps the broker from sending the will: the host is
    // told of the death by the NDEATH sent first.
    bool connected = false;
    std::string topic;
    std::string death;
    {
        MutexLock lock(core_->mutex);
        connected = core_->connected;
        topic = core_->node.DeathTopic();
        death = core_->node.DeathPayload(core_->bdSeq);
    }
    if (!connected || !Leave(topic, death)) {
        mosquitto_disconnect(mosq_);
    } else {
        // A broker that does not acknowledge it soon is left all the same
        // (its will then tells the host).
        const Clock::time_point give_up = Clock::now() + kLeaveWait;
        MutexLock lock(core_->mutex);
        while (core_->connected && lock.WaitUntil(core_->wake, give_up)) {
        }
        if (core_->connected) {
            mosquitto_disconnect(mosq_);
        }
    }
    network_.join();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    {
        MutexLock lock(core_->mutex);
        core_->connected = false;
    }
    FlushStats();
}

bool SparkplugFrontEnd::Keeps(const GatewayConfig& next) const {
    if (!started_ || next.sparkplug != gateway_.sparkplug ||
        next.sparkplugGroup != gateway_.sparkplugGroup ||
        next.sparkplugNode != gateway_.sparkplugNode ||
        next.sparkplugPrimaryHost != gateway_.sparkplugPrimaryHost ||
        next.sparkplugAliases != gateway_.sparkplugAliases ||
        next.mqttClientId != gateway_.mqttClientId || next.mqttUsername != gateway_.mqttUsername ||
        next.mqttPasswordFile != gateway_.mqttPasswordFile ||
        next.mqttCaFile != gateway_.mqttCaFile || next.mqttCertFile != gateway_.mqttCertFile ||
        next.mqttKeyFile != gateway_.mqttKeyFile) {
        return false;
    }
    GatewayConfig connection = next;
    connection.mqtt = next.sparkplug;
    mqtt::ConnectionSettings now;
    std::string error;
    return mqtt::LoadConnectionSettings(connection, now, error) &&
           now.password == settings_.password && now.hasPassword == settings_.hasPassword;
}

void SparkplugFrontEnd::Pause() {
    MutexLock lock(core_->mutex);
    core_->paused = true;
}

// The new plant's devices and metrics: the old devices die, the new ones are
// born (a host learns of renamed or new points only from a birth).
bool SparkplugFrontEnd::Resume() {
    std::shared_ptr<const Plant> plant = service_.Snapshot();
    sparkplug::NodeModel model;
    std::string error;
    if (!model.Build(*plant, error)) {
        Log(LogLevel::Error, "sparkplug: " + error);
        return false;
    }
    {
        MutexLock lock(core_->mutex);
        core_->node.Adopt(std::move(plant), std::move(model));
        core_->paused = false;
    }
    core_->wake.notify_all();
    return true;
}

// --- the connection thread ---------------------------------------------------

void SparkplugFrontEnd::NetworkLoop() {
    auto delay = tuning_.reconnectMin;
    bool first = true;
    std::string reported;
    while (!closing_) {
        std::string topic;
        std::string death;
        // bdSeq counts connections (0 to 255): the NDEATH the broker sends
        // for this one and its NBIRTH carry the same.
        std::uint64_t bdSeq = nextBdSeq.load();
        while (!nextBdSeq.compare_exchange_weak(bdSeq, (bdSeq + 1) % 256)) {
        }
        {
            MutexLock lock(core_->mutex);
            core_->accepted = false;
            core_->restarting = false;
            core_->bdSeq = bdSeq;
            topic = core_->node.DeathTopic();
            death = core_->node.DeathPayload(bdSeq);
        }
        int rc = mosquitto_will_set(mosq_, topic.c_str(), static_cast<int>(death.size()),
                                    death.data(), kWillQos, false);
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = first ? mosquitto_connect(mosq_, settings_.broker.host.c_str(),
                                           settings_.broker.port, tuning_.keepaliveS)
                       : mosquitto_reconnect(mosq_);
        }
        const int failedErrno = errno;
        first = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            while ((rc = mosquitto_loop(mosq_, 1000, 1)) == MOSQ_ERR_SUCCESS) {
            }
        }
        if (closing_) {
            break;
        }
        bool accepted = false;
        bool restarting = false;
        {
            MutexLock lock(core_->mutex);
            accepted = core_->accepted;
            restarting = core_->restarting;
            if (!accepted) {
                ++core_->counts.connectFailures;
            }
        }
        if (restarting) {
            delay = tuning_.reconnectMin;
            Log(LogLevel::Info, "sparkplug: NDEATH sent and disconnected as the primary host " +
                                    gateway_.sparkplugPrimaryHost +
                                    " is offline; connecting again to wait for it");
            continue;
        }
        const std::string problem =
            rc == MOSQ_ERR_ERRNO ? std::strerror(failedErrno) : mosquitto_strerror(rc);
        if (accepted) {
            delay = tuning_.reconnectMin;
            Log(LogLevel::Warning,
                "sparkplug: lost the broker at " + Broker() + " (" + problem + "); reconnecting");
            reported.clear();
        } else if (problem != reported) {
            Log(LogLevel::Warning, "sparkplug: cannot connect to the broker at " + Broker() + " (" +
                                       problem + "); retrying");
            reported = problem;
        }
        const Clock::time_point retry = Clock::now() + delay;
        MutexLock lock(core_->mutex);
        while (!core_->closing && lock.WaitUntil(core_->wake, retry)) {
        }
        delay = std::min(delay * 2, tuning_.reconnectMax);
    }
}

void SparkplugFrontEnd::OnConnect(mosquitto*, void* self, int rc) {
    static_cast<SparkplugFrontEnd*>(self)->Connected(rc);
}

void SparkplugFrontEnd::Connected(int rc) {
    if (rc != 0) {
        Log(LogLevel::Warning, std::string("sparkplug: the broker refused the connection: ") +
                                   mosquitto_connack_string(rc));
        return;
    }
    const std::string group = gateway_.sparkplugGroup;
    const std::string node = gateway_.sparkplugNode;
    // Commands, and the primary host's STATE, before the births: a rebirth
    // request or a write may follow them at once.
    const std::string ncmd = sparkplug::Topic(group, MessageType::NCMD, node);
    const std::string dcmd = sparkplug::Topic(group, MessageType::DCMD, node, "+");
    // At QoS 1, as Sparkplug hosts expect commands to be delivered.
    mosquitto_subscribe(mosq_, nullptr, ncmd.c_str(), kWillQos);
    mosquitto_subscribe(mosq_, nullptr, dcmd.c_str(), kWillQos);
    if (!gateway_.sparkplugPrimaryHost.empty()) {
        const std::string state = sparkplug::StateTopic(gateway_.sparkplugPrimaryHost);
        mosquitto_subscribe(mosq_, nullptr, state.c_str(), kWillQos);
    }
    Log(LogLevel::Info, "sparkplug: connected to the broker at " + Broker());
    {
        // An NDEATH of the last connection never acknowledged is not awaited.
        MutexLock leaving(leaving_);
        leaveAfter_ = -1;
    }
    MutexLock order(publishing_);
    MutexLock lock(core_->mutex);
    core_->connected = true;
    core_->accepted = true;
    if (core_->everAccepted) {
        ++core_->counts.reconnects;
    }
    core_->everAccepted = true;
    if (!core_->paused) {
        core_->node.Connected(core_->bdSeq);
    }
    core_->wake.notify_all();
}

void SparkplugFrontEnd::OnDisconnect(mosquitto*, void* self, int) {
    auto* front = static_cast<SparkplugFrontEnd*>(self);
    MutexLock order(front->publishing_);
    MutexLock lock(front->core_->mutex);
    front->core_->connected = false;
    front->core_->node.Disconnected();
    front->core_->wake.notify_all();
}

bool SparkplugFrontEnd::Leave(const std::string& topic, const std::string& death) {
    MutexLock lock(leaving_);
    int mid = 0;
    if (mosquitto_publish(mosq_, &mid, topic.c_str(), static_cast<int>(death.size()), death.data(),
                          kWillQos, false) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    leaveAfter_ = mid;
    return true;
}

// A DISCONNECT asked for from another thread while the network thread is in
// the library's loop was seen to close the socket before the broker read it
// (so that the will went out after the NDEATH); from the loop's own callback
// it goes out in order.
void SparkplugFrontEnd::OnPublish(mosquitto* mosq, void* self, int mid) {
    auto* front = static_cast<SparkplugFrontEnd*>(self);
    MutexLock lock(front->leaving_);
    if (mid == front->leaveAfter_) {
        front->leaveAfter_ = -1;
        mosquitto_disconnect(mosq);
    }
}

void SparkplugFrontEnd::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    static_cast<SparkplugFrontEnd*>(self)->Message(*message);
}

void SparkplugFrontEnd::Message(const mosquitto_message& message) {
    if (message.topic == nullptr) {
        return;
    }
    const std::string topic = message.topic;
    const auto size = static_cast<std::size_t>(std::max(0, message.payloadlen));
    if (!gateway_.sparkplugPrimaryHost.empty() &&
        topic == sparkplug::StateTopic(gateway_.sparkplugPrimaryHost)) {
        sparkplug::HostStatus state;
        if (!sparkplug::ParseHostState(message.payload, size, state)) {
            Log(LogLevel::Warning, "sparkplug: a STATE payload that is not {\"online\": ...}",
                "sparkplug: ignored the STATE of " + gateway_.sparkplugPrimaryHost +
                    ": not {\"online\": true|false, ...}");
            return;
        }
        const std::string when =
            state.timestamp ? " (timestamp " + std::to_string(*state.timestamp) + ")" : "";
        MutexLock lock(core_->mutex);
        switch (core_->node.HostState(state)) {
            case sparkplug::EdgeNode::HostAction::Ignored:
                Log(LogLevel::Info, "sparkplug: ignored a STATE of primary host " +
                                        gateway_.sparkplugPrimaryHost + when +
                                        " older than the latest taken");
                return;
            case sparkplug::EdgeNode::HostAction::Restart:
                Log(LogLevel::Info, "sparkplug: primary host " + gateway_.sparkplugPrimaryHost +
                                        " is offline" + when +
                                        "; the edge node dies and connects again");
                break;
            case sparkplug::EdgeNode::HostAction::Taken:
                Log(LogLevel::Info, "sparkplug: primary host " + gateway_.sparkplugPrimaryHost +
                                        " is " + (state.online ? "online" : "offline") + when);
                break;
        }
        core_->wake.notify_all();
        return;
    }
    sparkplug::ParsedTopic parsed;
    if (!sparkplug::ParseTopic(topic, parsed) || parsed.group != gateway_.sparkplugGroup ||
        parsed.node != gateway_.sparkplugNode) {
        return;
    }
    sparkplug::Payload payload;
    std::string error;
    if (!sparkplug::Decode(message.payload, size, payload, error)) {
        Log(LogLevel::Warning, "sparkplug: a bad command",
            "sparkplug: ignored a message on " + topic + ": " + error);
        MutexLock lock(core_->mutex);
        ++core_->counts.badCommands;
        return;
    }
    if (parsed.type == MessageType::NCMD) {
        MutexLock lock(core_->mutex);
        if (core_->node.Command(payload)) {
            ++core_->counts.rebirths;
            Log(LogLevel::Info, "sparkplug: rebirth asked for; births again with bdSeq " +
                                    std::to_string(core_->bdSeq));
        }
        core_->wake.notify_all();
        return;
    }
    if (parsed.type == MessageType::DCMD) {
        Write(parsed, payload);
    }
}

// Each metric of a DCMD is a write of its point, through the service (which
// checks it is writable and records it in the audit).
void SparkplugFrontEnd::Write(const sparkplug::ParsedTopic& topic,
                              const sparkplug::Payload& payload) {
    struct Job {
        std::size_t line = 0;
        std::size_t point = 0;
        std::vector<std::uint16_t> words;
        std::string name;
    };
    std::vector<Job> jobs;
    std::vector<std::pair<std::string, std::string>> refused;  // result, message
    {
        MutexLock lock(core_->mutex);
        if (core_->paused) {
            refused.emplace_back("line-failure",
                                 "a write on " + topic.device + " during a reload: not made");
        } else {
            const sparkplug::NodeModel& model = core_->node.Model();
            const int d = model.DeviceById(topic.device);
            for (const sparkplug::Metric& metric : payload.metrics) {
                const std::string label =
                    topic.device + "/" +
                    (metric.name.empty() ? "alias " + std::to_string(metric.alias.value_or(0))
                                         : metric.name);
                const sparkplug::MetricDef* def =
                    d < 0 ? nullptr
                          : model.Find(model.Devices()[static_cast<std::size_t>(d)], metric.name,
                                       metric.alias);
                if (def == nullptr) {
                    refused.emplace_back("unknown-metric",
                                         "a write to " + label + ": no such metric");
                    continue;
                }
                const sparkplug::Device& device = model.Devices()[static_cast<std::size_t>(d)];
                const PointConfig& point =
                    core_->node.PlantConfig().lines[device.line].points[def->point];
                if (!def->writable) {
                    refused.emplace_back("not-writable",
                                         "a write to " + label + ": the point is not writable" +
                                             (point.IsBlock() ? " value by value" : ""));
                    continue;
                }
                if (metric.null || metric.type == sparkplug::DataType::String) {
                    refused.emplace_back("bad-payload", "a write to " + label + ": no number");
                    continue;
                }
                // The same decoding as every other front end's writes: the
                // engineering value through the point's type and scale.
                const std::string text = metric.type == sparkplug::DataType::Boolean
                                             ? (metric.integer != 0 ? "1" : "0")
                                             : values::FormatValue(metric.Number());
                Job job;
                std::string reason;
                if (!DecodeWrite(point, text, job.words, reason)) {
                    refused.emplace_back("bad-payload", "a write to " + label + ": ");
                    refused.back().second += reason;
                    continue;
                }
                job.line = device.line;
                job.point = def->point;
                job.name = label;
                jobs.push_back(std::move(job));
            }
        }
    }
    for (const auto& [result, text] : refused) {
        Log(LogLevel::Warning, "sparkplug: write " + result, "sparkplug: " + text);
        core_->CountWrite(result);
    }
    std::shared_ptr<Core> core = core_;
    for (Job& job : jobs) {
        const std::string name = job.name;
        const bool queued = service_.WritePoint(
            job.line, job.point, std::move(job.words),
            Requester{"sparkplug", "", gateway_.sparkplug, 0}, [core, name](const LineOpResult& r) {
                const char* result = WriteResultOf(r.outcome);
                const std::string text = std::string("sparkplug: write to ") + name + ": " +
                                         result + " (" + OutcomeName(r.outcome) + ")";
                if (r.outcome == Outcome::Ok) {
                    Log(LogLevel::Info, text);
                } else {
                    Log(LogLevel::Warning, std::string("sparkplug: write ") + result, text);
                }
                core->CountWrite(result);
            });
        if (!queued) {
            Log(LogLevel::Warning, "sparkplug: write line-failure",
                "sparkplug: write to " + name + ": the line's queue is full");
            core_->CountWrite("line-failure");
        }
    }
}

// --- the publisher thread ----------------------------------------------------

void SparkplugFrontEnd::PublishLoop() {
    Clock::time_point nextStats = Clock::now();
    while (true) {
        {
            MutexLock lock(core_->mutex);
            while (!stopPublisher_ &&
                   !(core_->connected && (core_->node.Pending() || core_->node.Restarting())) &&
                   lock.WaitUntil(core_->wake, nextStats)) {
            }
            if (stopPublisher_) {
                break;
            }
        }
        {
            // Taken and handed over under publishing_: a lost connection is
            // recorded (and its queue dropped) before or after, never between.
            MutexLock order(publishing_);
            std::vector<sparkplug::Outgoing> batch;
            bool restart = false;
            {
                MutexLock lock(core_->mutex);
                if (core_->connected) {
                    batch = core_->node.Take();
                    restart = core_->node.TakeRestart();
                    core_->restarting = core_->restarting || restart;
                }
            }
            std::map<std::string, std::uint64_t> sent;
            std::uint64_t metrics = 0;
            for (const sparkplug::Outgoing& m : batch) {
                // The NDEATH before a restart (always the last of its batch)
                // ends the connection once the broker has it.
                const int rc =
                    restart && m.type == MessageType::NDEATH
                        ? (Leave(m.topic, m.payload) ? MOSQ_ERR_SUCCESS : MOSQ_ERR_NO_CONN)
                        : mosquitto_publish(mosq_, nullptr, m.topic.c_str(),
                                            static_cast<int>(m.payload.size()), m.payload.data(),
                                            kDataQos, false);
                if (rc == MOSQ_ERR_SUCCESS) {
                    ++sent[sparkplug::MessageTypeName(m.type)];
                    metrics += m.metrics;
                }
            }
            if (!batch.empty()) {
                MutexLock lock(core_->mutex);
                for (const auto& [type, n] : sent) {
                    core_->counts.messages[type] += n;
                }
                core_->counts.metrics += metrics;
            }
        }
        if (Clock::now() >= nextStats) {
            FlushStats();
            nextStats = Clock::now() + kStatsEvery;
        }
    }
}

// --- statistics --------------------------------------------------------------

void SparkplugFrontEnd::RegisterStats() {
    StatsRegistry& stats = service_.FrontEndStats();
    for (const char* type : {"NBIRTH", "NDEATH", "DBIRTH", "DDEATH", "DDATA"}) {
        stats.Add("westnet_sparkplug_messages_total", "Sparkplug messages handed to the broker",
                  {{"type", type}}, 0);
    }
    stats.Add("westnet_sparkplug_metrics_total", "Metric values in Sparkplug messages sent", {}, 0);
    stats.Add("westnet_sparkplug_rebirths_total", "Rebirth requests (NCMD) answered", {}, 0);
    stats.Add("westnet_sparkplug_reconnects_total",
              "Connections to the Sparkplug broker after the first", {}, 0);
    stats.Add("westnet_sparkplug_connect_failures_total",
              "Attempts to connect to the Sparkplug broker that failed", {}, 0);
    stats.Add("westnet_sparkplug_bad_commands_total",
              "NCMD and DCMD messages that were not Sparkplug payloads", {}, 0);
    for (const char* result : kWriteResults) {
        stats.Add("westnet_sparkplug_writes_total", "Writes received in DCMD messages, by result",
                  {{"result", result}}, 0);
    }
    stats.Add("westnet_sparkplug_history_dropped_total",
              "Metric values dropped from the history held while no host could take them", {}, 0);
    flushed_ = Counts{};
    FlushStats();
}

void SparkplugFrontEnd::FlushStats() {
    Counts now;
    double connected = 0;
    double born = 0;
    double bdSeq = 0;
    double held = 0;
    std::uint64_t dropped = 0;
    {
        MutexLock lock(core_->mutex);
        now = core_->counts;
        connected = core_->connected ? 1 : 0;
        born = core_->node.Born() ? 1 : 0;
        bdSeq = static_cast<double>(core_->bdSeq);
        held = static_cast<double>(core_->node.HistoryQueued());
        dropped = core_->node.HistoryDropped();
    }
    StatsRegistry& stats = service_.FrontEndStats();
    auto add = [&](const char* name, const StatsRegistry::Labels& labels, std::uint64_t then,
                   std::uint64_t value) {
        if (value > then) {
            stats.Add(name, "", labels, static_cast<double>(value - then));
        }
    };
    for (const auto& [type, n] : now.messages) {
        add("westnet_sparkplug_messages_total", {{"type", type}}, flushed_.messages[type], n);
    }
    add("westnet_sparkplug_metrics_total", {}, flushed_.metrics, now.metrics);
    add("westnet_sparkplug_rebirths_total", {}, flushed_.rebirths, now.rebirths);
    add("westnet_sparkplug_reconnects_total", {}, flushed_.reconnects, now.reconnects);
    add("westnet_sparkplug_connect_failures_total", {}, flushed_.connectFailures,
        now.connectFailures);
    add("westnet_sparkplug_bad_commands_total", {}, flushed_.badCommands, now.badCommands);
    for (const auto& [result, n] : now.writes) {
        add("westnet_sparkplug_writes_total", {{"result", result}}, flushed_.writes[result], n);
    }
    add("westnet_sparkplug_history_dropped_total", {}, flushedDropped_, dropped);
    flushedDropped_ = dropped;
    stats.Set("westnet_sparkplug_connected", "1 while connected to the Sparkplug broker", {},
              connected);
    stats.Set("westnet_sparkplug_born",
              "1 while the edge node's births are out (a host may use them)", {}, born);
    stats.Set("westnet_sparkplug_bdseq", "The bdSeq of the Sparkplug connection under way", {},
              bdSeq);
    stats.Set("westnet_sparkplug_history_queued",
              "Metric values held until a Sparkplug host can take them", {}, held);
    flushed_ = now;
}

}  // namespace

std::unique_ptr<FrontEnd> MakeSparkplugFrontEnd(Service& service, const SparkplugTuning& tuning) {
    return std::make_unique<SparkplugFrontEnd>(service, tuning);
}

std::unique_ptr<FrontEnd> sparkplug::MakeSparkplugFrontEnd(const GatewayConfig& config,
                                                           Service& service) {
    if (config.sparkplug.empty()) {
        return nullptr;
    }
    return gateway::MakeSparkplugFrontEnd(service);
}

}  // namespace westnet::gateway
