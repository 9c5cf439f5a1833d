// The MQTT front end against a real mosquitto started by each test, with the
// fake service in place of the scan: what subscribers see, the deadband,
// republishing, writes on /set and their results, the broker restarted under
// the front end, the last will, TLS with credentials.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <filesystem>
#include <mutex>

#include "../support/fake_service.h"
#include "broker.h"
#include "mqtt/mqtt.h"
#include "test_plant.h"

namespace westnet::gateway {
namespace {

using testing::Eventually;
using testing::TestBroker;
using testing::TestSubscriber;
using namespace testing;  // the point indices

// Quick reconnections: a test restarts its broker within a second.
const MqttTuning kTuning{std::chrono::milliseconds(50), std::chrono::milliseconds(500), 30,
                         std::chrono::milliseconds(2000)};

PointSample Good(std::vector<std::uint16_t> values, Quality quality = Quality::Good) {
    PointSample sample;
    sample.values = std::move(values);
    sample.quality = quality;
    sample.goodTime = WallTime(std::chrono::milliseconds(1796799600123LL));
    return sample;
}

double StatOf(Service& service, const std::string& name, const StatsRegistry::Labels& labels = {}) {
    for (const StatsRegistry::Series& s : service.FrontEndStats().Snapshot()) {
        if (s.name == name && s.labels == labels) {
            return s.value;
        }
    }
    return -1;
}

const char* const kTopics[] = {"westnet/north/boiler/temperature", "westnet/north/pump",
                               "westnet/north/block", "westnet/north/level"};

class MqttBroker : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(broker_.Running()) << "mosquitto did not start"; }

    // The fake service with the test plant, a value in every point but the
    // read-only one, and the front end started on it.
    void StartFrontEnd(int republishS = 60) {
        Plant plant = TestPlant(broker_.Url());
        plant.gateway.mqttRepublishS = republishS;
        service_ = std::make_unique<testing::FakeService>(plant);
        service_->SetSample(0, kTemperature, Good({215}));
        service_->SetSample(0, kPump, Good({1}));
        service_->SetSample(0, kBlock, Good({1, 2, 3}));
        service_->SetState(0, 2, StationState::Demoted);
        front_ = MakeMqttFrontEnd(*service_, kTuning);
        std::string error;
        ASSERT_TRUE(front_->Start(error)) << error;
        // "online" comes after the front end's subscriptions: /set works now.
        TestSubscriber status(broker_.Port(), "westnet/status");
        ASSERT_TRUE(status.AwaitPayload("westnet/status", "online"));
    }
    double Stat(const std::string& name, const StatsRegistry::Labels& labels = {}) {
        return StatOf(*service_, name, labels);
    }
    // The statistics are flushed every 200 ms: a write's count shows that a
    // flush came after everything before it.
    void FlushAndExpectNoReconnect() {
        ASSERT_TRUE(Eventually([&] {
            return Stat("westnet_mqtt_writes_total", {{"result", "ok"}}) >= 1;
        }));
        EXPECT_EQ(Stat("westnet_mqtt_reconnects_total"), 0);
        EXPECT_EQ(Stat("westnet_mqtt_connected"), 1);
    }
    // Everything the front end publishes, as a fresh subscriber finds it
    // retained.
    void ExpectRetainedPlant() {
        // The first subscriber waits for everything to be there, live or
        // retained; the second, subscribing afterwards, gets it all retained.
        for (int pass = 0; pass < 2; ++pass) {
            TestSubscriber watch(broker_.Port(), "westnet/#");
            ASSERT_TRUE(watch.Ready());
            const std::string time = R"("time": "2026-12-09T07:00:00.123Z"})";
            const std::pair<std::string, std::string> expected[] = {
                {"westnet/status", "online"},
                {"westnet/north/station/01/state", "ok"},
                {"westnet/north/station/02/state", "demoted"},
                {kTopics[kTemperature], R"({"value": 215, "quality": "good", )" + time},
                {kTopics[kPump], R"({"value": 1, "quality": "good", )" + time},
                {kTopics[kBlock], R"({"values": [1, 2, 3], "quality": "good", )" + time},
                {kTopics[kLevel], R"({"value": null, "quality": "bad", "time": null})"},
            };
            for (const auto& [topic, payload] : expected) {
                EXPECT_TRUE(watch.AwaitPayload(topic, payload)) << topic << " " << payload;
                if (pass == 1) {
                    EXPECT_TRUE(watch.On(topic).front().retain) << topic;
                }
            }
        }
    }

    TestBroker broker_;
    std::unique_ptr<testing::FakeService> service_;
    std::unique_ptr<FrontEnd> front_;
};

TEST_F(MqttBroker, PublishesThePlantRetained) {
    StartFrontEnd();
    ExpectRetainedPlant();
    front_->Stop();
    TestSubscriber after(broker_.Port(), "westnet/status");
    EXPECT_TRUE(after.AwaitPayload("westnet/status", "offline")) << "a clean stop says offline";
}

TEST_F(MqttBroker, PublishesChangesPastTheDeadbandAndQualityChanges) {
    StartFrontEnd();
    TestSubscriber watch(broker_.Port(), "westnet/#");
    const std::string temperature = kTopics[kTemperature];
    ASSERT_NE(watch.Await(temperature), "");
    const std::size_t before = watch.On(temperature).size();

    // 215 -> 219 stays inside the deadband of 5. The block's change behind
    // it is the marker: once it has arrived, so would have the temperature.
    service_->SetSample(0, kTemperature, Good({219}));
    service_->SetSample(0, kBlock, Good({1, 2, 4}));
    ASSERT_NE(watch.Await(kTopics[kBlock], 2), "");
    EXPECT_EQ(watch.On(temperature).size(), before);

    service_->SetSample(0, kTemperature, Good({221}));  // 6 past the 215 published
    EXPECT_NE(watch.Await(temperature, before + 1).find("\"value\": 221"), std::string::npos);
    service_->SetSample(0, kTemperature, Good({221}, Quality::Stale));
    EXPECT_NE(watch.Await(temperature, before + 2).find("\"quality\": \"stale\""),
              std::string::npos);

    service_->SetState(0, 1, StationState::Down);
    EXPECT_TRUE(watch.AwaitPayload("westnet/north/station/01/state", "down"));
    // Unread, the pump ages to bad in the cache, and no listener call says so.
    service_->SetSample(0, kPump, Good({1}, Quality::Bad), false);
    EXPECT_NE(watch.Await(kTopics[kPump], 2).find("\"quality\": \"bad\""), std::string::npos);
}

TEST_F(MqttBroker, RepublishesEveryValueEachPeriod) {
    StartFrontEnd(1);
    TestSubscriber watch(broker_.Port(), kTopics[kLevel]);
    // Retained on subscription, then twice more without any reading.
    EXPECT_NE(watch.Await(kTopics[kLevel], 3), "");
}

TEST_F(MqttBroker, WritesFromSetTopicsAndTheirResults) {
    StartFrontEnd();
    TestSubscriber client(broker_.Port(), "westnet/north/+/result");
    struct Case {
        TestPoints point;
        std::string payload;
        std::vector<std::uint16_t> written;  // empty: nothing may be written
        Outcome outcome;
        std::string result;
    };
    const Case cases[] = {
        {kPump, "0", {0}, Outcome::Ok, "ok"},
        {kPump, "1", {1}, Outcome::Refused, "refused"},
        {kBlock, "[7, 8, 9]", {7, 8, 9}, Outcome::LineFailure, "line-failure"},
        {kBlock, "[7, 8]", {}, Outcome::Ok, "bad-payload"},
        {kPump, "on", {}, Outcome::Ok, "bad-payload"},
        {kPump, "2", {}, Outcome::Ok, "bad-payload"},
        {kLevel, "5", {5}, Outcome::NotWritable, "not-writable"},
        {kPump, "1", {1}, Outcome::Demoted, "line-failure"},
    };
    std::size_t submitted = 0;
    std::map<std::string, std::size_t> results;
    for (const Case& c : cases) {
        const std::string topic = kTopics[c.point];
        client.Publish(topic + "/set", c.payload);
        if (!c.written.empty()) {
            ASSERT_TRUE(Eventually([&] { return service_->SubmittedCount() == submitted + 1; }))
                << c.payload;
            testing::FakeService::Submitted s = service_->SubmittedAt(submitted);
            EXPECT_TRUE(s.byPoint);
            EXPECT_EQ(s.point, static_cast<std::size_t>(c.point));
            EXPECT_EQ(s.op.values, c.written);
            LineOpResult done;
            done.outcome = c.outcome;
            service_->Finish(submitted++, done);
        }
        const std::string payload = client.Await(topic + "/result", ++results[topic]);
        EXPECT_NE(payload.find("\"result\": \"" + c.result + "\""), std::string::npos)
            << c.payload << " -> " << payload;
        EXPECT_EQ(service_->SubmittedCount(), submitted) << c.payload << " wrote nothing";
    }
    for (const TestSubscriber::Received& r : client.Messages()) {
        EXPECT_FALSE(r.retain) << "results are not retained";
    }
    EXPECT_TRUE(Eventually([&] {
        return Stat("westnet_mqtt_writes_total", {{"result", "bad-payload"}}) == 3;
    }));
}

TEST_F(MqttBroker, IgnoresRetainedSetCommands) {
    // Left retained by some client: the broker hands it to every new
    // subscription, the front end's first one included.
    TestSubscriber client(broker_.Port(), "westnet/#");
    const std::string set = std::string(kTopics[kPump]) + "/set";
    client.Publish(set, "1", true);
    ASSERT_NE(client.Await(set), "") << "the broker holds it";
    StartFrontEnd();
    client.Publish(set, "0");  // live, and delivered after the retained one
    ASSERT_TRUE(Eventually([&] { return service_->SubmittedCount() >= 1; }));
    service_->Finish(0, {});
    EXPECT_NE(client.Await(std::string(kTopics[kPump]) + "/result").find("ok"), std::string::npos);
    EXPECT_EQ(service_->SubmittedCount(), 1u);
    EXPECT_EQ(service_->SubmittedAt(0).op.values, (std::vector<std::uint16_t>{0}));
}

// Another client with the id older gateways used: the broker would throw
// out whichever client had the id before, so the gateway's own id must be
// another (westnet-gateway-HOSTNAME by default).
TEST_F(MqttBroker, AClientWithTheOldIdDoesNotThrowTheGatewayOff) {
    StartFrontEnd();
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connected") == 1; }));
    struct Impostor {
        std::mutex mutex;
        bool connected = false;
    } impostor;
    mosquitto* other = mosquitto_new("westnet-gateway", true, &impostor);
    ASSERT_NE(other, nullptr);
    mosquitto_connect_callback_set(other, [](mosquitto*, void* self, int rc) {
        auto* me = static_cast<Impostor*>(self);
        std::lock_guard<std::mutex> lock(me->mutex);
        me->connected = rc == 0;
    });
    ASSERT_EQ(mosquitto_connect(other, "127.0.0.1", broker_.Port(), 30), MOSQ_ERR_SUCCESS);
    mosquitto_loop_start(other);
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard<std::mutex> lock(impostor.mutex);
        return impostor.connected;
    }));
    // A write's round trip after the impostor's CONNACK: the broker dealt
    // with the id before it answered.
    TestSubscriber client(broker_.Port(), "westnet/north/+/result");
    client.Publish(std::string(kTopics[kPump]) + "/set", "0");
    ASSERT_TRUE(Eventually([&] { return service_->SubmittedCount() == 1; }));
    service_->Finish(0, {});
    EXPECT_NE(client.Await(std::string(kTopics[kPump]) + "/result").find("ok"), std::string::npos);
    FlushAndExpectNoReconnect();
    mosquitto_disconnect(other);
    mosquitto_loop_stop(other, false);
    mosquitto_destroy(other);
}

TEST_F(MqttBroker, RepublishesEverythingAfterTheBrokerRestarts) {
    StartFrontEnd();
    ExpectRetainedPlant();
    // Without persistence the restarted broker has forgotten every retained
    // message: only the front end can bring them back.
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connected") == 1; }));
    broker_.Kill();
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connected") == 0; }));
    service_->SetSample(0, kTemperature, Good({230}));
    service_->SetSample(0, kTemperature, Good({215}));  // supersedes 230 while away
    ASSERT_TRUE(broker_.Start());
    ExpectRetainedPlant();
    EXPECT_TRUE(Eventually([&] { return Stat("westnet_mqtt_reconnects_total") == 1; }));
    EXPECT_EQ(Stat("westnet_mqtt_connected"), 1);
    EXPECT_GE(Stat("westnet_mqtt_messages_superseded_total"), 1);
}

TEST_F(MqttBroker, IdlesWhileTheBrokerIsAway) {
    StartFrontEnd(1);  // a republish falls due while away
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connected") == 1; }));
    broker_.Kill();
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connected") == 0; }));
    const double cpu = testing::FrontEndCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(Eventually([&] { return Stat("westnet_mqtt_connect_failures_total") >= 6; }));
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ASSERT_GT(elapsed, 1.0);
    // Waiting is sleeping: a thread that spun would use one CPU-second a second.
    EXPECT_LT((testing::FrontEndCpuSeconds() - cpu) / elapsed, 0.25);
}

TEST_F(MqttBroker, LastWillWhenThePublisherIsKilled) {
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        StartFrontEnd();
        pause();  // until the SIGKILL
        _exit(1);
    }
    TestSubscriber watch(broker_.Port(), "westnet/status");
    const bool online = watch.AwaitPayload("westnet/status", "online");
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(online);
    EXPECT_TRUE(watch.AwaitPayload("westnet/status", "offline"));
    TestSubscriber late(broker_.Port(), "westnet/status");
    EXPECT_TRUE(late.AwaitPayload("westnet/status", "offline")) << "the will is retained";
}

TEST(MqttConnect, GivesUpOnABrokerThatNeverAnswers) {
    // The kernel completes the connection; nobody ever reads the CONNECT.
    int server = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(server, 64), 0);
    ASSERT_EQ(getsockname(server, reinterpret_cast<sockaddr*>(&address), &length), 0);
    testing::FakeService service(
        TestPlant("mqtt://127.0.0.1:" + std::to_string(ntohs(address.sin_port))));
    MqttTuning tuning = kTuning;
    tuning.connectTimeout = std::chrono::milliseconds(100);
    std::unique_ptr<FrontEnd> front = MakeMqttFrontEnd(service, tuning);
    std::string error;
    ASSERT_TRUE(front->Start(error)) << error;
    auto openFiles = [] {
        std::size_t n = 0;
        for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
            n += entry.is_symlink() ? 1 : 0;
        }
        return n;
    };
    auto failures = [&] { return StatOf(service, "westnet_mqtt_connect_failures_total"); };
    ASSERT_TRUE(Eventually([&] { return failures() >= 2; }));
    const std::size_t open = openFiles();
    ASSERT_TRUE(Eventually([&] { return failures() >= 8; }));
    EXPECT_LE(openFiles(), open + 1) << "every abandoned attempt's socket is closed";
    front->Stop();
    close(server);
}

// mqtts:// with a CA file, a user and a password file, against a broker that
// lets in no one else.
class MqttTls : public ::testing::Test {
protected:
    static std::string MakeCertificates(const testing::ScratchDir& dir) {
        const std::string& d = dir.Path();
        dir.Write("san.ext", "subjectAltName=IP:127.0.0.1\n");
        const std::string script =
            "cd '" + d +
            "' && openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout ca.key -out ca.pem -days 2 -subj /CN=westnet-test-ca && "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout server.key -out server.csr -subj /CN=127.0.0.1 && "
            "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out server.pem -days 2 -extfile san.ext && "
            "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes "
            "-keyout client.key -out client.csr -subj /CN=gateway && "
            "openssl x509 -req -in client.csr -CA ca.pem -CAkey ca.key -CAcreateserial "
            "-out client.pem -days 2 && chmod 600 client.key && "
            "mosquitto_passwd -c -b passwords gateway s3cret && chmod 644 passwords "
            "server.key";
        return std::system((script + " >/dev/null 2>&1").c_str()) == 0 ? d : "";
    }
    testing::ScratchDir certs_;
    std::string dir_ = MakeCertificates(certs_);
};

TEST_F(MqttTls, ConnectsWithCaFileAndCredentials) {
    ASSERT_FALSE(dir_.empty()) << "openssl or mosquitto_passwd failed";
    TestBroker broker("allow_anonymous false\npassword_file " + dir_ + "/passwords\ncafile " +
                      dir_ + "/ca.pem\ncertfile " + dir_ + "/server.pem\nkeyfile " + dir_ +
                      "/server.key\n");
    ASSERT_TRUE(broker.Running());
    TestSubscriber watch(broker.Port(), "westnet/status", dir_ + "/ca.pem", "gateway", "s3cret");
    ASSERT_TRUE(watch.Ready());

    for (const std::string& password : {std::string("wrong"), std::string("s3cret")}) {
        Plant plant = TestPlant("mqtts://127.0.0.1:" + std::to_string(broker.Port()));
        plant.gateway.mqttUsername = "gateway";
        plant.gateway.mqttPasswordFile = certs_.Write("gateway.secret", password + "\n");
        plant.gateway.mqttCaFile = dir_ + "/ca.pem";
        testing::FakeService service(plant);
        std::unique_ptr<FrontEnd> front = MakeMqttFrontEnd(service, kTuning);
        std::string error;
        ASSERT_TRUE(front->Start(error)) << error;
        if (password == "wrong") {
            // Refused, and it keeps trying: nothing reaches the subscriber.
            EXPECT_TRUE(Eventually(
                [&] { return StatOf(service, "westnet_mqtt_connect_failures_total") >= 2; }));
            front->Stop();
            EXPECT_TRUE(watch.Messages().empty());
        } else {
            EXPECT_TRUE(watch.AwaitPayload("westnet/status", "online"));
        }
    }
}

// A broker that asks every client for a certificate of its CA: the gateway
// gets in with mqtt_cert_file and mqtt_key_file, and not without.
TEST_F(MqttTls, ConnectsWithAClientCertificate) {
    ASSERT_FALSE(dir_.empty()) << "openssl or mosquitto_passwd failed";
    TestBroker broker(
        "allow_anonymous false\nrequire_certificate true\n"
        "use_identity_as_username true\ncafile " +
        dir_ + "/ca.pem\ncertfile " + dir_ + "/server.pem\nkeyfile " + dir_ + "/server.key\n");
    ASSERT_TRUE(broker.Running());
    for (const bool withCertificate : {false, true}) {
        Plant plant = TestPlant("mqtts://127.0.0.1:" + std::to_string(broker.Port()));
        plant.gateway.mqttCaFile = dir_ + "/ca.pem";
        if (withCertificate) {
            plant.gateway.mqttCertFile = dir_ + "/client.pem";
            plant.gateway.mqttKeyFile = dir_ + "/client.key";
        }
        testing::FakeService service(plant);
        std::unique_ptr<FrontEnd> front = MakeMqttFrontEnd(service, kTuning);
        std::string error;
        ASSERT_TRUE(front->Start(error)) << error;
        if (withCertificate) {
            EXPECT_TRUE(Eventually([&] { return StatOf(service, "westnet_mqtt_connected") == 1; }));
        } else {
            EXPECT_TRUE(Eventually(
                [&] { return StatOf(service, "westnet_mqtt_connect_failures_total") >= 2; }));
            EXPECT_EQ(StatOf(service, "westnet_mqtt_connected"), 0);
        }
        front->Stop();
    }
}

}  // namespace
}  // namespace westnet::gateway
