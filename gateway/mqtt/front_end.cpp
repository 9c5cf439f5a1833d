#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <thread>
#include <utility>

#include "log/log.h"
#include "mqtt/buffer.h"
#include "mqtt/connection.h"
#include "mqtt/mqtt.h"
#include "mqtt/outbox.h"
#include "mqtt/payload.h"
#include "mqtt/topics.h"
#include "sync/mutex.h"
#include "values/write.h"

namespace westnet::gateway {

namespace {

using Clock = std::chrono::steady_clock;
using mqtt::Outbox;

// Every message at least once: values, states and the status are retained,
// so a duplicate costs nothing, and a write's result is worth the PUBACK.
constexpr int kQos = 1;
// Messages handed to libmosquitto and not yet acknowledged. Everything else
// waits in the outbox, where a newer reading can still replace it; past the
// window libmosquitto would queue without bound.
constexpr int kWindow = 64;

// A QoS 1 publish the library has queued, whatever the answer says about
// sending it now: without a connection it keeps the message and sends it
// after the next CONNACK. Handing it over again would make a duplicate.
bool TakenByLibrary(int rc) {
    return rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_NO_CONN || rc == MOSQ_ERR_CONN_LOST ||
           rc == MOSQ_ERR_ERRNO;
}
constexpr std::size_t kSubscribeBatch = 64;
constexpr auto kLiveWait = std::chrono::seconds(5);
constexpr auto kStatsEvery = std::chrono::milliseconds(200);
// How often the cache is looked at for qualities that changed without a read.
constexpr auto kSweepEvery = std::chrono::seconds(1);

enum Kind : std::uint8_t { kValue, kState, kStatus, kResult, kKinds };
const char* const kKindNames[kKinds] = {"value", "state", "status", "result"};
const char* const kWriteResults[] = {"ok", "refused", "line-failure", "not-writable",
                                     "bad-payload"};

// Counted under the core's lock; the publisher adds them to the registry.
struct Counts {
    std::uint64_t published[kKinds] = {};
    std::uint64_t superseded = 0;
    std::uint64_t dropped = 0;
    std::uint64_t reconnects = 0;
    std::uint64_t connectFailures = 0;
    std::uint64_t replayed = 0;       // buffered messages the broker acknowledged
    std::uint64_t bufferDropped = 0;  // buffered messages lost: the bound, a full disk
    std::map<std::string, std::uint64_t> writes;
};

// What the listener, the write completions and both threads share. A write
// completion holds it by shared_ptr, since one may come after Stop.
class Core final : public Listener {
public:
    Core(std::shared_ptr<const Plant> config, mqtt::TopicTable table)
        : plant(std::move(config)),
          topics(std::move(table)),
          outbox(topics.OutgoingTopics()),
          last(topics.PointCount()),
          publishedAt(topics.PointCount()) {}

    // A reload's new plant, between Pause and Resume: every point and station
    // is published again, as after a reconnection.
    void Adopt(std::shared_ptr<const Plant> config, mqtt::TopicTable table) REQUIRES(mutex) {
        plant = std::move(config);
        topics = std::move(table);
        outbox.SetCapacity(topics.OutgoingTopics());
        last.assign(topics.PointCount(), {});
        publishedAt.assign(topics.PointCount(), {});
        paused = false;
        resync = true;
        wake.notify_all();
    }

    // --- Listener: on line worker threads, quick. While paused the indices
    // may be those of a plant the topics are not yet built from: the resync
    // after Resume publishes what comes meanwhile.
    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) override {
        MutexLock lock(mutex);
        if (paused || line >= plant->lines.size() || point >= plant->lines[line].points.size()) {
            return;
        }
        QueuePoint(topics.Index(line, point), sample, false);
    }
    void StationChanged(std::size_t line, int station, StationState state) override {
        MutexLock lock(mutex);
        if (paused) {
            return;
        }
        const mqtt::TopicTable::StationTopic* topic = topics.Station(line, station);
        if (topic == nullptr) {
            return;
        }
        Put({topic->state, StationStateName(state), true, kState});
    }

    // `always`: whether or not the reading moved.
    void QueuePoint(std::size_t index, const PointSample& sample, bool always) REQUIRES(mutex) {
        const mqtt::TopicTable::PointTopics& topic = topics.Point(index);
        const PointConfig& point = plant->lines[topic.line].points[topic.point];
        mqtt::LastPublished& sent = last[index];
        if (!always && !mqtt::WorthPublishing(point, sent, sample)) {
            return;
        }
        sent.any = true;
        sent.values = sample.values;
        sent.quality = sample.quality;
        publishedAt[index] = Clock::now();
        Put({topic.value, mqtt::PointPayload(point, sample), true, kValue});
    }
    void Put(Outbox::Message message) REQUIRES(mutex) {
        if (diverting && message.kind == kValue) {
            Keep(std::move(message));
            wake.notify_all();
            return;
        }
        switch (outbox.Add(std::move(message))) {
            case Outbox::Put::Queued:
                break;
            case Outbox::Put::Superseded:
                ++counts.superseded;
                break;
            case Outbox::Put::Dropped:
                ++counts.dropped;
                break;
        }
        wake.notify_all();
    }

    // A value for the store-and-forward buffer, on its way to the disk.
    void Keep(Outbox::Message message) REQUIRES(mutex) {
        pendingBytes += message.topic.size() + message.payload.size();
        pending.push_back(std::move(message));
        // The disk stalls: memory is bounded as the file is.
        while (pendingBytes > bufferBytes && pending.size() > 1) {
            pendingBytes -= pending.front().topic.size() + pending.front().payload.size();
            pending.pop_front();
            ++counts.bufferDropped;
        }
    }
    // The broker is away: values go to the buffer from now on, first those
    // the outbox still holds, oldest first, ahead of every change to come.
    // (Those the library holds it sends itself after the next connection.)
    void Divert() REQUIRES(mutex) {
        if (!bufferOn || diverting) {
            return;
        }
        diverting = true;
        std::vector<Outbox::Message> others;
        Outbox::Message m;
        while (outbox.Take(m)) {
            if (m.kind == kValue) {
                Keep(std::move(m));
            } else {
                others.push_back(std::move(m));
            }
        }
        for (Outbox::Message& o : others) {
            outbox.Add(std::move(o));
        }
        wake.notify_all();
    }

    // From any thread, without the lock. By topic, not by index: a write's
    // answer may come after a reload rebuilt the table.
    void PutResult(const std::string& valueTopic, const std::string& resultTopic,
                   const mqtt::WriteResult& result) EXCLUDES(mutex) {
        const std::string text = "mqtt: write to " + valueTopic + ": " + result.result +
                                 (result.detail.empty() ? "" : " (" + result.detail + ")");
        if (result.result == std::string("ok")) {
            Log(LogLevel::Info, text);
        } else {
            // Garbage sprayed over every /set topic is one flood, whatever
            // the topic: its lines fold together.
            Log(LogLevel::Warning, std::string("mqtt: write ") + result.result, text);
        }
        MutexLock lock(mutex);
        ++counts.writes[result.result];
        Put({resultTopic, mqtt::ResultPayload(result, std::chrono::system_clock::now()), false,
             kResult});
    }

    Mutex mutex;
    std::shared_ptr<const Plant> plant GUARDED_BY(mutex);
    mqtt::TopicTable topics GUARDED_BY(mutex);
    // Between Pause and Resume: nothing of the service is called, /set
    // messages wait.
    bool paused GUARDED_BY(mutex) = false;
    std::condition_variable wake;  // what the publisher waits for changed
    Outbox outbox GUARDED_BY(mutex);
    std::vector<mqtt::LastPublished> last GUARDED_BY(mutex);
    std::vector<Clock::time_point> publishedAt GUARDED_BY(mutex);
    bool connected GUARDED_BY(mutex) = false;
    bool accepted GUARDED_BY(mutex) = false;      // the broker took this connection (CONNACK 0)
    bool everAccepted GUARDED_BY(mutex) = false;  // any connection so far: later ones reconnect
    std::string refusal GUARDED_BY(mutex);        // why the broker refused the latest attempt
    bool resync GUARDED_BY(mutex) = false;        // a new connection wants everything again
    bool stopPublisher GUARDED_BY(mutex) = false;
    bool closing GUARDED_BY(mutex) = false;
    int inflight GUARDED_BY(mutex) = 0;
    Counts counts GUARDED_BY(mutex);

    // Store-and-forward (mqtt_buffer_mb): set before the threads start.
    bool bufferOn = false;
    std::uint64_t bufferBytes = 0;
    // Values go to the buffer, not the outbox: from a lost connection until
    // everything buffered has been handed to the broker.
    bool diverting GUARDED_BY(mutex) = false;
    bool announced GUARDED_BY(mutex) = false;               // "online" queued for this connection
    std::deque<Outbox::Message> pending GUARDED_BY(mutex);  // for the publisher to store
    std::uint64_t pendingBytes GUARDED_BY(mutex) = 0;
    // Replayed messages the library has, by message id, until acknowledged.
    std::map<int, std::uint64_t> replayMids GUARDED_BY(mutex);
    std::vector<std::uint64_t> acked GUARDED_BY(mutex);  // for the publisher to commit
    // Acknowledgements that came before their publish returned its id.
    bool sending GUARDED_BY(mutex) = false;
    std::set<int> earlyAcks GUARDED_BY(mutex);
    // Other messages the library has and the broker has not acknowledged.
    // After a lost connection the library sends them again itself, after
    // the CONNACK: the replay waits for them, since they are older, but not
    // longer than kLiveWait after the connection.
    std::set<int> liveMids GUARDED_BY(mutex);
    Clock::time_point connectedAt GUARDED_BY(mutex);
};

// mqtt_buffer_file, or mqtt-buffer in the state directory systemd gives the
// service (the first of a list), or in the package's.
std::string BufferPath(const GatewayConfig& gateway) {
    if (!gateway.mqttBufferFile.empty()) {
        return gateway.mqttBufferFile;
    }
    const char* state = std::getenv("STATE_DIRECTORY");
    std::string dir = state != nullptr && *state != '\0' ? state : "/var/lib/westnet";
    dir = dir.substr(0, dir.find(':'));
    return dir + "/mqtt-buffer";
}

class MqttFrontEnd final : public FrontEnd {
public:
    MqttFrontEnd(Service& service, const MqttTuning& tuning) : service_(service), tuning_(tuning) {}
    ~MqttFrontEnd() override { Stop(); }
    MqttFrontEnd(const MqttFrontEnd&) = delete;
    MqttFrontEnd& operator=(const MqttFrontEnd&) = delete;

    std::string Name() const override { return "mqtt"; }
    bool Start(std::string& error) override;
    void Stop() override;
    bool Keeps(const GatewayConfig& next) const override;
    void Pause() override;
    bool Resume() override;

private:
    void NetworkLoop();
    void PublishLoop();
    bool PublisherHasWork() const REQUIRES(core_->mutex);
    void Resync() REQUIRES(core_->mutex);
    void Sweep() REQUIRES(core_->mutex);
    Clock::time_point Republish(Clock::time_point now) REQUIRES(core_->mutex);
    void SendBatch() REQUIRES(core_->mutex);
    void StoreAndCommit() REQUIRES(core_->mutex);
    bool ReplayDone() const REQUIRES(core_->mutex);
    bool ReplayMayGo() const REQUIRES(core_->mutex);
    void Farewell();
    void RegisterStats();
    void FlushStats();
    std::string Broker() const {
        return settings_.broker.host + ":" + std::to_string(settings_.broker.port);
    }

    static void OnConnect(mosquitto* mosq, void* self, int rc);
    static void OnDisconnect(mosquitto* mosq, void* self, int rc);
    static void OnPublish(mosquitto* mosq, void* self, int mid);
    static void OnMessage(mosquitto* mosq, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto* mosq, void* self, int mid, int count, const int* granted);
    void Connected(int rc);
    void Subscribe(const std::vector<std::string>& topics);
    void Message(const mosquitto_message& message);

    Service& service_;
    MqttTuning tuning_;
    mqtt::ConnectionSettings settings_;
    std::shared_ptr<Core> core_;
    mosquitto* mosq_ = nullptr;
    GatewayConfig gateway_;  // the settings it started with
    std::vector<std::string> setTopics_ GUARDED_BY(core_->mutex);
    std::thread network_;
    std::thread publisher_;
    bool started_ = false;
    std::atomic<bool> closing_{false};
    // The store-and-forward buffer: the publisher thread's alone.
    mqtt::Buffer buffer_;
    bool dropLogged_ = false;    // "dropping" told once per outage
    bool writeFailing_ = false;  // the file refused a message: told once
    Counts flushed_;             // what the registry has been given so far
    bool flushedConnected_ = false;
    Clock::time_point flushedAt_{};
};

bool MqttFrontEnd::Start(std::string& error) {
    if (started_) {
        return true;
    }
    const Plant& plant = service_.PlantConfig();
    if (plant.gateway.mqtt.empty()) {
        error = "mqtt: no broker set ([gateway] mqtt = \"mqtt://HOST:PORT\")";
        return false;
    }
    if (!mqtt::LoadConnectionSettings(plant.gateway, settings_, error)) {
        return false;
    }
    mqtt::TopicTable topics;
    if (!topics.Build(plant, error)) {
        return false;
    }

    static std::once_flag libraryReady;
    std::call_once(libraryReady, [] { mosquitto_lib_init(); });
    const char* id = settings_.clientId.empty() ? nullptr : settings_.clientId.c_str();
    mosq_ = mosquitto_new(id, true, this);
    if (mosq_ == nullptr) {
        error = std::string("mqtt: cannot create the client: ") + std::strerror(errno);
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
    // A value must not wait for Nagle's algorithm on its way out.
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_int_option(mosq_, MOSQ_OPT_SEND_MAXIMUM, kWindow);
    const std::string offline = "offline";
    if (mosquitto_will_set(mosq_, topics.Status().c_str(), static_cast<int>(offline.size()),
                           offline.data(), kQos, true) != MOSQ_ERR_SUCCESS) {
        return fail("mqtt: cannot set the last will on " + topics.Status());
    }
    {
        std::string why;
        if (!mqtt::ApplyConnectionSettings(mosq_, settings_, "mqtt", why)) {
            return fail(why);
        }
    }
    mosquitto_connect_callback_set(mosq_, &MqttFrontEnd::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttFrontEnd::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttFrontEnd::OnPublish);
    mosquitto_message_callback_set(mosq_, &MqttFrontEnd::OnMessage);
    mosquitto_subscribe_callback_set(mosq_, &MqttFrontEnd::OnSubscribe);

    std::vector<std::string> setTopics;
    for (std::size_t i = 0; i < topics.PointCount(); ++i) {
        setTopics.push_back(topics.Point(i).set);
    }
    const std::size_t points = topics.PointCount();
    const std::size_t stations = topics.Stations().size();
    core_ = std::make_shared<Core>(service_.Snapshot(), std::move(topics));
    {
        MutexLock lock(core_->mutex);
        setTopics_ = std::move(setTopics);
    }
    if (plant.gateway.mqttBufferMb > 0) {
        // Without its file the front end still runs, as with the buffer off.
        const std::string path = BufferPath(plant.gateway);
        const std::uint64_t bytes = static_cast<std::uint64_t>(plant.gateway.mqttBufferMb) << 20U;
        std::string report;
        if (buffer_.Open(path, bytes, report)) {
            MutexLock lock(core_->mutex);
            core_->bufferOn = true;
            core_->bufferBytes = bytes;
            // What is left from before goes out first; otherwise values
            // are kept from the first failed attempt on, as after a lost
            // connection.
            core_->diverting = buffer_.Messages() > 0;
            if (!report.empty()) {
                Log(LogLevel::Warning, "mqtt: buffer: " + report);
            }
        } else {
            Log(LogLevel::Error, "mqtt: changes are not kept while the broker is away: " + report +
                                     " (set mqtt_buffer_file, or mqtt_buffer_mb = 0)");
        }
    }
    gateway_ = plant.gateway;
    closing_ = false;
    RegisterStats();
    service_.AddListener(core_.get());
    // Named for top -H and the benchmarks.
    network_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "mqtt-network");
        NetworkLoop();
    });
    publisher_ = std::thread([this] {
        pthread_setname_np(pthread_self(), "mqtt-publisher");
        PublishLoop();
    });
    started_ = true;
    Log(LogLevel::Info, "mqtt: publishing under " + plant.gateway.mqttPrefix + "/ to " +
                            (settings_.broker.tls ? "mqtts://" : "mqtt://") + Broker() + " (" +
                            std::to_string(points) + " points, " + std::to_string(stations) +
                            " stations)");
    return true;
}

void MqttFrontEnd::Stop() {
    if (!started_) {
        return;
    }
    started_ = false;
    service_.RemoveListener(core_.get());
    {
        MutexLock lock(core_->mutex);
        core_->stopPublisher = true;
    }
    core_->wake.notify_all();
    publisher_.join();  // says "offline" and disconnects
    network_.join();
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
    {
        MutexLock lock(core_->mutex);
        core_->connected = false;
    }
    FlushStats();
    buffer_.Close();
}

// Its own keys unchanged, and what they name (the password file's first
// line) too: then the connection stays and only the topics follow the plant.
bool MqttFrontEnd::Keeps(const GatewayConfig& next) const {
    if (!started_ || next.mqtt != gateway_.mqtt || next.mqttPrefix != gateway_.mqttPrefix ||
        next.mqttClientId != gateway_.mqttClientId || next.mqttUsername != gateway_.mqttUsername ||
        next.mqttPasswordFile != gateway_.mqttPasswordFile ||
        next.mqttCaFile != gateway_.mqttCaFile || next.mqttCertFile != gateway_.mqttCertFile ||
        next.mqttKeyFile != gateway_.mqttKeyFile ||
        next.mqttRepublishS != gateway_.mqttRepublishS ||
        next.mqttBufferMb != gateway_.mqttBufferMb ||
        next.mqttBufferFile != gateway_.mqttBufferFile) {
        return false;
    }
    mqtt::ConnectionSettings now;
    std::string error;
    return mqtt::LoadConnectionSettings(next, now, error) && now.password == settings_.password &&
           now.hasPassword == settings_.hasPassword;
}

void MqttFrontEnd::Pause() {
    MutexLock lock(core_->mutex);
    core_->paused = true;
}

// The topics of the new plant; /set topics it no longer has are left, new
// ones subscribed.
bool MqttFrontEnd::Resume() {
    mqtt::TopicTable topics;
    std::string error;
    std::shared_ptr<const Plant> plant = service_.Snapshot();
    if (!topics.Build(*plant, error)) {
        Log(LogLevel::Error, error);
        return false;
    }
    std::vector<std::string> next;
    for (std::size_t i = 0; i < topics.PointCount(); ++i) {
        next.push_back(topics.Point(i).set);
    }
    std::vector<std::string> added;
    std::vector<std::string> gone;
    {
        MutexLock lock(core_->mutex);
        for (const std::string& t : next) {
            if (std::find(setTopics_.begin(), setTopics_.end(), t) == setTopics_.end()) {
                added.push_back(t);
            }
        }
        for (const std::string& t : setTopics_) {
            if (std::find(next.begin(), next.end(), t) == next.end()) {
                gone.push_back(t);
            }
        }
        setTopics_ = std::move(next);
        core_->Adopt(std::move(plant), std::move(topics));
    }
    Subscribe(added);
    for (const std::string& t : gone) {
        mosquitto_unsubscribe(mosq_, nullptr, t.c_str());
    }
    return true;
}

// --- the connection thread ---------------------------------------------------

void MqttFrontEnd::NetworkLoop() {
    auto delay = tuning_.reconnectMin;
    bool first = true;
    std::string reported;  // the problem last logged, so that retries do not repeat it
    while (!closing_) {
        {
            MutexLock lock(core_->mutex);
            core_->accepted = false;
            core_->refusal.clear();
        }
        int rc = first ? mosquitto_connect_async(mosq_, settings_.broker.host.c_str(),
                                                 settings_.broker.port, tuning_.keepaliveS)
                       : mosquitto_reconnect_async(mosq_);
        int failedErrno = errno;
        first = false;
        bool timedOut = false;
        if (rc == MOSQ_ERR_SUCCESS) {
            // Until the connection ends; while closing, only as long as it
            // takes the "offline" and the DISCONNECT out. The next attempt
            // closes the socket of one given up.
            const Clock::time_point attempt = Clock::now();
            int waitMs = 100;  // until accepted, short, to see the time-out pass
            while ((rc = mosquitto_loop(mosq_, waitMs, 1)) == MOSQ_ERR_SUCCESS) {
                MutexLock lock(core_->mutex);
                waitMs = core_->accepted ? 1000 : 100;
                if (closing_ && !core_->connected) {
                    break;
                }
                if (!core_->accepted && Clock::now() - attempt > tuning_.connectTimeout) {
                    timedOut = true;
                    break;
                }
            }
            failedErrno = errno;
        }
        if (closing_) {
            break;
        }
        bool accepted = false;
        std::string problem;
        {
            MutexLock lock(core_->mutex);
            accepted = core_->accepted;
            problem = core_->refusal;
            if (!accepted) {
                ++core_->counts.connectFailures;
                // The broker was not there to begin with.
                core_->Divert();
            }
        }
        if (timedOut) {
            problem = "no answer within " + std::to_string(tuning_.connectTimeout.count()) + " ms";
        } else if (problem.empty()) {
            problem = rc == MOSQ_ERR_ERRNO ? std::strerror(failedErrno) : mosquitto_strerror(rc);
        }
        if (accepted) {
            delay = tuning_.reconnectMin;
            Log(LogLevel::Warning,
                "mqtt: lost the broker at " + Broker() + " (" + problem + "); reconnecting");
            reported.clear();
        } else if (problem != reported) {
            Log(LogLevel::Warning, "mqtt: cannot connect to the broker at " + Broker() + " (" +
                                       problem + "); retrying, at most " +
                                       std::to_string(tuning_.reconnectMax.count()) + " ms apart");
            reported = problem;
        }
        // Messages queued meanwhile wake the publisher, not this wait.
        const Clock::time_point retry = Clock::now() + delay;
        MutexLock lock(core_->mutex);
        while (!core_->closing && lock.WaitUntil(core_->wake, retry)) {
        }
        delay = std::min(delay * 2, tuning_.reconnectMax);
    }
}

void MqttFrontEnd::OnConnect(mosquitto*, void* self, int rc) {
    static_cast<MqttFrontEnd*>(self)->Connected(rc);
}

void MqttFrontEnd::Connected(int rc) {
    if (rc != 0) {
        std::string why = mosquitto_connack_string(rc);
        if (!why.empty() && why.back() == '.') {
            why.pop_back();
        }
        if (rc == CONNACK_REFUSED_BAD_USERNAME_PASSWORD || rc == CONNACK_REFUSED_NOT_AUTHORIZED) {
            why += "; check mqtt_username and mqtt_password_file";
        } else if (rc == CONNACK_REFUSED_IDENTIFIER_REJECTED) {
            why += "; check mqtt_client_id";
        }
        MutexLock lock(core_->mutex);
        core_->refusal = "refused: " + why;
        return;
    }
    Log(LogLevel::Info, "mqtt: connected to the broker at " + Broker());
    // A clean session forgets subscriptions: every connection makes its own,
    // ahead of the "online", so that a client who sees it can write at once.
    std::vector<std::string> topics;
    {
        MutexLock lock(core_->mutex);
        topics = setTopics_;
    }
    Subscribe(topics);
    {
        MutexLock lock(core_->mutex);
        core_->connected = true;
        core_->accepted = true;
        core_->inflight = 0;
        core_->resync = true;
        core_->announced = false;
        core_->connectedAt = Clock::now();
        if (core_->everAccepted) {
            ++core_->counts.reconnects;
        }
        core_->everAccepted = true;
    }
    core_->wake.notify_all();
}

void MqttFrontEnd::Subscribe(const std::vector<std::string>& topics) {
    std::vector<char*> batch;
    std::vector<std::string> copies = topics;  // the library takes char* const*
    for (std::size_t i = 0; i < copies.size(); i += kSubscribeBatch) {
        batch.clear();
        for (std::size_t j = i; j < std::min(copies.size(), i + kSubscribeBatch); ++j) {
            batch.push_back(copies[j].data());
        }
        const int sent = mosquitto_subscribe_multiple(
            mosq_, nullptr, static_cast<int>(batch.size()), batch.data(), kQos, 0, nullptr);
        if (sent != MOSQ_ERR_SUCCESS && sent != MOSQ_ERR_NO_CONN) {
            Log(LogLevel::Warning, std::string("mqtt: cannot subscribe to the /set topics: ") +
                                       mosquitto_strerror(sent));
        }
    }
}

void MqttFrontEnd::OnDisconnect(mosquitto*, void* self, int) {
    auto* front = static_cast<MqttFrontEnd*>(self);
    {
        MutexLock lock(front->core_->mutex);
        front->core_->connected = false;
        front->core_->Divert();
    }
    front->core_->wake.notify_all();
}

void MqttFrontEnd::OnPublish(mosquitto*, void* self, int mid) {
    auto* front = static_cast<MqttFrontEnd*>(self);
    {
        Core& core = *front->core_;
        MutexLock lock(core.mutex);
        core.inflight = std::max(0, core.inflight - 1);
        auto it = core.replayMids.find(mid);
        if (it != core.replayMids.end()) {
            core.acked.push_back(it->second);
            core.replayMids.erase(it);
        } else if (core.liveMids.erase(mid) == 0 && core.sending) {
            core.earlyAcks.insert(mid);
        }
    }
    front->core_->wake.notify_all();
}

void MqttFrontEnd::OnSubscribe(mosquitto*, void*, int, int count, const int* granted) {
    for (int i = 0; i < count; ++i) {
        if (granted[i] > 2) {
            Log(LogLevel::Warning,
                "mqtt: the broker refused to subscribe the gateway to /set topics: writes over "
                "MQTT will not arrive (check the broker's access control for mqtt_client_id "
                "and mqtt_username)");
            return;
        }
    }
}

void MqttFrontEnd::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    static_cast<MqttFrontEnd*>(self)->Message(*message);
}

void MqttFrontEnd::Message(const mosquitto_message& message) {
    if (message.topic == nullptr) {
        return;
    }
    // A reload under way: the write waits for the new plant (its topic may
    // name another point, or none, afterwards).
    MutexLock lock(core_->mutex);
    while (core_->paused && !core_->closing) {
        lock.Wait(core_->wake);
    }
    std::size_t index = 0;
    if (!core_->topics.FindSet(message.topic, index)) {
        return;
    }
    // A retained /set is an old command the broker replays on every
    // subscription: carrying it out again at each reconnection would repeat
    // a write nobody asked for now.
    if (message.retain) {
        Log(LogLevel::Warning, "mqtt: retained /set",
            std::string("mqtt: ignored a retained message on ") + message.topic +
                "; clear it with: mosquitto_pub -r -n -t '" + message.topic + "'");
        return;
    }
    const mqtt::TopicTable::PointTopics topic = core_->topics.Point(index);
    const PointConfig& point = core_->plant->lines[topic.line].points[topic.point];
    std::string payload;
    std::vector<std::uint16_t> words;
    std::string reason;
    if (!mqtt::SetPayloadText(message.payload, message.payloadlen, payload, reason) ||
        !DecodeWrite(point, payload, words, reason)) {
        lock.Unlock();
        core_->PutResult(topic.value, topic.result, {"bad-payload", reason});
        return;
    }
    // Submitted with the lock held, so that no reload comes between the
    // lookup and the submission; the completion runs on another thread.
    std::shared_ptr<Core> core = core_;
    const bool queued = service_.WritePoint(
        topic.line, topic.point, std::move(words), Requester{"mqtt", "", gateway_.mqtt, 0},
        [core, value = topic.value, result = topic.result](const LineOpResult& r) {
            core->PutResult(value, result, mqtt::ResultOf(r.outcome));
        });
    lock.Unlock();
    if (!queued) {
        core_->PutResult(topic.value, topic.result,
                         {"line-failure", "the line's queue is full; try again"});
    }
}

// --- the publisher thread ----------------------------------------------------

void MqttFrontEnd::PublishLoop() {
    const int republishS = service_.PlantConfig().gateway.mqttRepublishS;
    MutexLock lock(core_->mutex);
    // mqtt_republish_s = 0: never (the sweep's time is always the sooner).
    Clock::time_point nextRepublish =
        republishS > 0 ? Clock::now() + std::chrono::seconds(republishS) : Clock::time_point::max();
    Clock::time_point nextSweep = Clock::now() + kSweepEvery;
    while (!core_->stopPublisher) {
        const Clock::time_point due = std::min(nextRepublish, nextSweep);
        while (!PublisherHasWork() && lock.WaitUntil(core_->wake, due)) {
        }
        if (core_->stopPublisher) {
            break;
        }
        if (core_->bufferOn) {
            StoreAndCommit();
            if (core_->connected && ReplayDone()) {
                // Everything buffered is with the broker: live from here,
                // starting with every point's current value, retained, so
                // that the retained value is the newest and not a replayed one.
                core_->diverting = false;
                core_->resync = true;
                if (dropLogged_ || writeFailing_) {
                    Log(LogLevel::Info, "mqtt: buffer: replayed; " +
                                            std::to_string(core_->counts.bufferDropped) +
                                            " messages dropped so far");
                }
                dropLogged_ = false;
            }
        }
        // While paused the service is not asked: what waits goes out, the
        // rest follows the Resume. While the buffer replays, only the status.
        if (core_->connected && core_->resync && !core_->paused) {
            if (!core_->diverting) {
                core_->resync = false;
                Resync();
            } else if (!core_->announced) {
                core_->announced = true;
                core_->outbox.AddFirst({core_->topics.Status(), "online", true, kStatus});
            }
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextSweep) {
            nextSweep = now + kSweepEvery;
            // Diverting, a quality that changes is a change to keep.
            if ((core_->connected || core_->diverting) && !core_->paused) {
                Sweep();
            }
        }
        if (now >= nextRepublish && !core_->paused) {
            // Away from the broker, the next connection republishes anyway;
            // so does the end of a replay.
            nextRepublish = core_->connected && !core_->diverting
                                ? Republish(now)
                                : now + std::chrono::seconds(republishS);
        }
        SendBatch();
        // The connection gauge at once, the counters every kStatsEvery.
        if (core_->connected != flushedConnected_ || Clock::now() - flushedAt_ >= kStatsEvery) {
            lock.Unlock();
            FlushStats();
            lock.Lock();
        }
    }
    lock.Unlock();
    Farewell();
    // What waits in memory goes to the file for the next start.
    lock.Lock();
    if (core_->bufferOn) {
        StoreAndCommit();
    }
}

bool MqttFrontEnd::PublisherHasWork() const {
    const bool sendable =
        core_->diverting ? core_->outbox.FrontIs(kStatus) || ReplayMayGo() : !core_->outbox.Empty();
    // A resync waits for the end of a replay: only the status goes first.
    return core_->stopPublisher ||
           (core_->connected && core_->resync && !core_->paused &&
            (!core_->diverting || !core_->announced)) ||
           core_->connected != flushedConnected_ ||
           (core_->connected && sendable && core_->inflight < kWindow) || !core_->pending.empty() ||
           !core_->acked.empty() || (core_->connected && core_->diverting && ReplayDone());
}

bool MqttFrontEnd::ReplayMayGo() const {
    if (!core_->diverting || buffer_.Unsent() == 0) {
        return false;
    }
    return core_->liveMids.empty() || Clock::now() - core_->connectedAt >= kLiveWait;
}

bool MqttFrontEnd::ReplayDone() const {
    return core_->diverting && core_->pending.empty() && buffer_.Unsent() == 0;
}

// The buffer's file work, without the lock (which it holds on entry and on
// return): the values waiting in memory are appended, the acknowledged ones
// committed.
void MqttFrontEnd::StoreAndCommit() {
    if (core_->pending.empty() && core_->acked.empty()) {
        return;
    }
    std::deque<Outbox::Message> store;
    store.swap(core_->pending);
    core_->pendingBytes = 0;
    std::vector<std::uint64_t> acked;
    acked.swap(core_->acked);
    core_->mutex.Unlock();
    for (std::uint64_t id : acked) {
        buffer_.Ack(id);
    }
    std::uint64_t dropped = 0;
    std::uint64_t failed = 0;
    std::string error;
    for (Outbox::Message& m : store) {
        std::string why;
        if (buffer_.Append({m.topic, mqtt::ReplayedPayload(m.payload)}, dropped, why)) {
            writeFailing_ = false;
        } else {
            ++failed;
            error = why;
        }
    }
    if (failed > 0 && !writeFailing_) {
        writeFailing_ = true;
        Log(LogLevel::Error, "mqtt: buffer: cannot write to " + buffer_.Path() + " (" + error +
                                 "): changes are dropped until it can");
    }
    if (dropped > 0 && !dropLogged_) {
        dropLogged_ = true;
        Log(LogLevel::Warning, "mqtt: buffer: full (mqtt_buffer_mb); dropping the oldest changes");
    }
    core_->mutex.Lock();
    core_->counts.replayed += acked.size();
    core_->counts.bufferDropped += dropped + failed;
}

// After every (re)connection the status first, then every
// station's state and every point's value, whatever was published before.
void MqttFrontEnd::Resync() {
    // The status goes ahead of anything that waited for the connection
    // (unless it went ahead of a replay already).
    if (!core_->announced) {
        core_->announced = true;
        core_->outbox.AddFirst({core_->topics.Status(), "online", true, kStatus});
    }
    core_->wake.notify_all();
    for (const mqtt::TopicTable::StationTopic& station : core_->topics.Stations()) {
        core_->Put({station.state, StationStateName(service_.State(station.line, station.station)),
                    true, kState});
    }
    for (std::size_t i = 0; i < core_->topics.PointCount(); ++i) {
        const mqtt::TopicTable::PointTopics& topic = core_->topics.Point(i);
        core_->QueuePoint(i, service_.Sample(topic.line, topic.point), true);
    }
}

// A point goes stale or bad when it is not read at all
// (its station demoted, its line down), which no listener call reports; the
// cache says so, and each point whose quality changed is published.
void MqttFrontEnd::Sweep() {
    for (std::size_t i = 0; i < core_->topics.PointCount(); ++i) {
        const mqtt::TopicTable::PointTopics& topic = core_->topics.Point(i);
        core_->QueuePoint(i, service_.Sample(topic.line, topic.point), false);
    }
}

// Every point not published for mqtt_republish_s, again.
// Returns when the next one is due.
Clock::time_point MqttFrontEnd::Republish(Clock::time_point now) {
    const auto period = std::chrono::seconds(service_.PlantConfig().gateway.mqttRepublishS);
    Clock::time_point next = now + period;
    for (std::size_t i = 0; i < core_->topics.PointCount(); ++i) {
        if (now - core_->publishedAt[i] >= period) {
            const mqtt::TopicTable::PointTopics& topic = core_->topics.Point(i);
            core_->QueuePoint(i, service_.Sample(topic.line, topic.point), true);
        }
        next = std::min(next, core_->publishedAt[i] + period);
    }
    return next;
}

// Publishes without the lock, which it holds on entry and on return. While
// the buffer replays, the outbox gives only the status: the rest of it is
// newer than what the buffer holds.
void MqttFrontEnd::SendBatch() {
    std::vector<Outbox::Message> batch;
    Outbox::Message message;
    while (core_->connected && core_->inflight < kWindow &&
           (!core_->diverting || core_->outbox.FrontIs(kStatus)) && core_->outbox.Take(message)) {
        ++core_->inflight;
        batch.push_back(std::move(message));
    }
    int replaySlots = 0;
    if (core_->connected && ReplayMayGo()) {
        replaySlots = std::max(0, kWindow - core_->inflight);
        core_->inflight += replaySlots;
    }
    if (batch.empty() && replaySlots == 0) {
        return;
    }
    core_->sending = true;
    core_->mutex.Unlock();
    std::uint64_t published[kKinds] = {};
    std::vector<Outbox::Message> failed;
    std::vector<int> live;
    for (Outbox::Message& m : batch) {
        int mid = 0;
        int rc = mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                                   m.payload.data(), kQos, m.retain);
        if (TakenByLibrary(rc)) {
            ++published[m.kind];
            live.push_back(mid);
        } else {
            failed.push_back(std::move(m));
        }
    }
    // Replayed values are not retained: the broker's retained value stays
    // the newest, which the end of the replay publishes again.
    std::vector<std::pair<int, std::uint64_t>> replayed;
    int unused = replaySlots;
    std::uint64_t unsendable = 0;
    for (; unused > 0; --unused) {
        mqtt::Buffer::Message m;
        std::uint64_t id = 0;
        if (!buffer_.Next(m, id)) {
            break;
        }
        int mid = 0;
        const int rc =
            mosquitto_publish(mosq_, &mid, m.topic.c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), kQos, false);
        if (!TakenByLibrary(rc)) {
            // Refused for itself (too large, out of memory): it never will
            // be sent, and must not hold up the rest.
            buffer_.Ack(id);
            ++unsendable;
            continue;
        }
        ++published[kValue];
        replayed.emplace_back(mid, id);
    }
    core_->mutex.Lock();
    for (int k = 0; k < kKinds; ++k) {
        core_->counts.published[k] += published[k];
    }
    core_->inflight = std::max(0, core_->inflight - static_cast<int>(failed.size()) - unused -
                                      static_cast<int>(unsendable));
    core_->sending = false;
    for (int mid : live) {
        if (core_->earlyAcks.erase(mid) == 0) {
            core_->liveMids.insert(mid);
        }
    }
    for (const auto& [mid, id] : replayed) {
        if (core_->earlyAcks.erase(mid) > 0) {
            core_->acked.push_back(id);
        } else {
            core_->replayMids[mid] = id;
        }
    }
    core_->earlyAcks.clear();
    core_->counts.bufferDropped += unsendable;
    // Refused by the library (not for the connection: it keeps those): they
    // are tried again, unless something newer has come for their topic.
    for (Outbox::Message& m : failed) {
        core_->outbox.Restore(std::move(m));
    }
}

// The publisher's last act: what still waits in the outbox (a write's
// result, a last value), then the retained "offline" (a clean disconnection
// does not trigger the last will), then the DISCONNECT; all within the
// farewell time.
void MqttFrontEnd::Farewell() {
    const Clock::time_point deadline = Clock::now() + tuning_.farewell;
    MutexLock lock(core_->mutex);
    while (core_->connected && !core_->outbox.Empty() && Clock::now() < deadline) {
        SendBatch();
        while (core_->connected && core_->inflight >= kWindow &&
               lock.WaitUntil(core_->wake, deadline)) {
        }
    }
    if (core_->connected) {
        ++core_->inflight;
        const std::string status = core_->topics.Status();
        lock.Unlock();
        const std::string offline = "offline";
        int rc = mosquitto_publish(mosq_, nullptr, status.c_str(), static_cast<int>(offline.size()),
                                   offline.data(), kQos, true);
        lock.Lock();
        if (rc == MOSQ_ERR_SUCCESS) {
            ++core_->counts.published[kStatus];
            while (core_->inflight != 0 && core_->connected &&
                   lock.WaitUntil(core_->wake, deadline)) {
            }
        }
    }
    core_->closing = true;
    closing_ = true;
    lock.Unlock();
    core_->wake.notify_all();
    mosquitto_disconnect(mosq_);
}

// --- statistics --------------------------------------------------------------

void MqttFrontEnd::RegisterStats() {
    StatsRegistry& stats = service_.FrontEndStats();
    for (const char* kind : kKindNames) {
        stats.Add("westnet_mqtt_messages_published_total", "Messages handed to the MQTT broker",
                  {{"kind", kind}}, 0);
    }
    stats.Add("westnet_mqtt_messages_superseded_total",
              "MQTT messages replaced by a newer one for the same topic before they were sent", {},
              0);
    stats.Add("westnet_mqtt_messages_dropped_total",
              "MQTT messages dropped because the outgoing queue was full", {}, 0);
    for (const char* result : kWriteResults) {
        stats.Add("westnet_mqtt_writes_total", "Writes received on /set topics, by result",
                  {{"result", result}}, 0);
    }
    stats.Add("westnet_mqtt_reconnects_total", "Connections to the MQTT broker after the first", {},
              0);
    stats.Add("westnet_mqtt_connect_failures_total",
              "Attempts to connect to the MQTT broker that failed or were refused", {}, 0);
    if (core_->bufferOn) {
        stats.Add("westnet_mqtt_buffer_replayed_total",
                  "Changes kept while the MQTT broker was away, published later and acknowledged",
                  {}, 0);
        stats.Add("westnet_mqtt_buffer_dropped_total",
                  "Changes kept while the MQTT broker was away and lost: the oldest when the "
                  "buffer was full, or the disk refused them",
                  {}, 0);
    }
    flushed_ = Counts{};
    flushedAt_ = Clock::time_point{};
    FlushStats();
}

void MqttFrontEnd::FlushStats() {
    Counts now;
    double connected = 0;
    double queued = 0;
    double buffered = 0;
    double bufferedBytes = 0;
    bool bufferOn = false;
    {
        MutexLock lock(core_->mutex);
        now = core_->counts;
        connected = core_->connected ? 1 : 0;
        queued = static_cast<double>(core_->outbox.Size());
        bufferOn = core_->bufferOn;
        buffered = static_cast<double>(buffer_.Messages() + core_->pending.size());
        bufferedBytes = static_cast<double>(buffer_.Bytes() + core_->pendingBytes);
    }
    StatsRegistry& stats = service_.FrontEndStats();
    auto add = [&](const char* name, const StatsRegistry::Labels& labels, std::uint64_t then,
                   std::uint64_t value) {
        if (value != then) {
            stats.Add(name, "", labels, static_cast<double>(value - then));
        }
    };
    for (int k = 0; k < kKinds; ++k) {
        add("westnet_mqtt_messages_published_total", {{"kind", kKindNames[k]}},
            flushed_.published[k], now.published[k]);
    }
    add("westnet_mqtt_messages_superseded_total", {}, flushed_.superseded, now.superseded);
    add("westnet_mqtt_messages_dropped_total", {}, flushed_.dropped, now.dropped);
    add("westnet_mqtt_reconnects_total", {}, flushed_.reconnects, now.reconnects);
    add("westnet_mqtt_connect_failures_total", {}, flushed_.connectFailures, now.connectFailures);
    if (bufferOn) {
        add("westnet_mqtt_buffer_replayed_total", {}, flushed_.replayed, now.replayed);
        add("westnet_mqtt_buffer_dropped_total", {}, flushed_.bufferDropped, now.bufferDropped);
        stats.Set("westnet_mqtt_buffer_messages",
                  "Changes waiting in the MQTT store-and-forward buffer", {}, buffered);
        stats.Set("westnet_mqtt_buffer_bytes", "Bytes in the MQTT store-and-forward buffer", {},
                  bufferedBytes);
    }
    for (const auto& [result, count] : now.writes) {
        add("westnet_mqtt_writes_total", {{"result", result}}, flushed_.writes[result], count);
    }
    stats.Set("westnet_mqtt_connected", "1 while the gateway is connected to its MQTT broker", {},
              connected);
    stats.Set("westnet_mqtt_queue_messages", "MQTT messages waiting to be sent", {}, queued);
    flushed_ = now;
    flushedConnected_ = connected > 0;
    flushedAt_ = Clock::now();
}

}  // namespace

std::unique_ptr<FrontEnd> MakeMqttFrontEnd(Service& service, const MqttTuning& tuning) {
    return std::make_unique<MqttFrontEnd>(service, tuning);
}

std::unique_ptr<FrontEnd> mqtt::MakeMqttFrontEnd(const GatewayConfig& config, Service& service) {
    if (config.mqtt.empty()) {
        return nullptr;
    }
    return gateway::MakeMqttFrontEnd(service);
}

}  // namespace westnet::gateway
