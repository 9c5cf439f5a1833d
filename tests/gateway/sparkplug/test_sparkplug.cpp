// The Sparkplug B front end's pieces that need no broker: the payload's
// bytes and their decoding, the topics, the devices and metrics of a plant,
// and the edge node's state machine driven by hand.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "../mqtt/test_plant.h"
#include "sparkplug/node.h"
#include "sparkplug/payload.h"
#include "sparkplug/topics.h"

namespace westnet::gateway::sparkplug {
namespace {

using testing::TestPoint;

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

Payload RoundTrip(const Payload& in) {
    const std::string bytes = Encode(in);
    Payload out;
    std::string error;
    EXPECT_TRUE(Decode(bytes.data(), bytes.size(), out, error)) << error;
    return out;
}

// The field numbers and wire types every Sparkplug host decodes, checked
// byte by byte rather than through our own decoder.
TEST(SparkplugPayload, WireBytesAreTheSparkplugFields) {
    Payload p;
    p.timestamp = 1;
    p.seq = 2;
    Metric m = NumberMetric("a", DataType::UInt16, 5);
    p.metrics.push_back(m);
    // timestamp (1, varint), metrics (2, length 7: name 1, datatype 4,
    // int_value 10), seq (3, varint).
    EXPECT_EQ(Encode(p),
              Bytes({0x08, 0x01, 0x12, 0x07, 0x0a, 0x01, 'a', 0x20, 0x06, 0x50, 0x05, 0x18, 0x02}));

    // UInt32 in long_value (11), as the Tahu codecs put it.
    Payload u;
    u.timestamp = 1;
    u.metrics.push_back(NumberMetric("u", DataType::UInt32, 1));
    EXPECT_EQ(Encode(u), Bytes({0x08, 0x01, 0x12, 0x07, 0x0a, 0x01, 'u', 0x20, 0x07, 0x58, 0x01}));

    Payload q;
    q.timestamp = 0;
    Metric alias;
    alias.alias = 300;
    alias.type = DataType::Boolean;
    alias.integer = 1;
    alias.historical = true;
    q.metrics.push_back(alias);
    // alias (2, varint 300 = ac 02), datatype 11, is_historical (5),
    // boolean_value (14).
    EXPECT_EQ(Encode(q), Bytes({0x08, 0x00, 0x12, 0x09, 0x10, 0xac, 0x02, 0x20, 0x0b, 0x28, 0x01,
                                0x70, 0x01}));
}

TEST(SparkplugPayload, EveryTypeRoundTripsAtItsLimits) {
    struct Case {
        DataType type;
        double value;
    };
    const Case cases[] = {
        {DataType::Int16, -32768},        {DataType::Int16, 32767},
        {DataType::UInt16, 65535},        {DataType::UInt16, 0},
        {DataType::Int32, -2147483648.0}, {DataType::Int32, 2147483647.0},
        {DataType::UInt32, 4294967295.0}, {DataType::Float, -1.5},
        {DataType::Double, 21.125},       {DataType::Boolean, 1},
        {DataType::Boolean, 0},           {DataType::Int64, 255},
    };
    for (const Case& c : cases) {
        Payload in;
        in.timestamp = 1765000000123ULL;
        in.seq = 255;
        Metric m = NumberMetric("m", c.type, c.value);
        m.alias = 7;
        m.timestamp = 1765000000001ULL;
        m.quality = kQualityStale;
        in.metrics.push_back(m);
        const Payload out = RoundTrip(in);
        ASSERT_EQ(out.metrics.size(), 1u) << DataTypeName(c.type);
        const Metric& got = out.metrics[0];
        EXPECT_EQ(got.type, c.type);
        EXPECT_EQ(got.Number(), c.value) << DataTypeName(c.type);
        EXPECT_EQ(got.name, "m");
        EXPECT_EQ(got.alias, std::optional<std::uint64_t>(7));
        EXPECT_EQ(got.timestamp, 1765000000001ULL);
        EXPECT_EQ(got.quality, std::optional<std::int32_t>(kQualityStale));
        EXPECT_FALSE(got.null);
        EXPECT_EQ(out.timestamp, in.timestamp);
        EXPECT_EQ(out.seq, std::optional<std::uint64_t>(255));
    }
    // Out of its type's range: clamped, never wrapped round.
    EXPECT_EQ(NumberMetric("m", DataType::Int16, 40000).integer, 32767);
    EXPECT_EQ(NumberMetric("m", DataType::UInt16, -3).integer, 0);

    Payload nulls;
    Metric n;
    n.name = "gone";
    n.type = DataType::Float;
    n.null = true;
    n.quality = kQualityBad;
    nulls.metrics.push_back(n);
    const Payload out = RoundTrip(nulls);
    ASSERT_EQ(out.metrics.size(), 1u);
    EXPECT_TRUE(out.metrics[0].null);
    EXPECT_EQ(out.metrics[0].quality, std::optional<std::int32_t>(kQualityBad));
    EXPECT_FALSE(out.seq.has_value());
}

// What hosts send: signed values extended to 32 or 64 bits, or not; values
// in long_value; and what must be refused.
TEST(SparkplugPayload, DecodesWhatHostsSendAndRefusesTheRest) {
    auto metric = [](std::initializer_list<int> fields) {
        std::string m = Bytes(fields);
        return Bytes({0x12, static_cast<int>(m.size())}) + m;
    };
    struct Case {
        const char* what;
        std::string bytes;
        bool ok;
        double value;
    };
    const Case cases[] = {
        {"Int16 -2 as 16 bits", metric({0x20, 0x02, 0x50, 0xfe, 0xff, 0x03}), true, -2},
        {"Int16 -2 as 32 bits", metric({0x20, 0x02, 0x50, 0xfe, 0xff, 0xff, 0xff, 0x0f}), true, -2},
        {"Int16 -2 in long_value",
         metric({0x20, 0x02, 0x58, 0xfe, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x01}),
         true, -2},
        {"UInt16 70000 does not fit", metric({0x20, 0x06, 0x50, 0xf0, 0xa2, 0x04}), false, 0},
        {"UInt32 in int_value", metric({0x20, 0x07, 0x50, 0xff, 0xff, 0xff, 0xff, 0x0f}), true,
         4294967295.0},
        {"UInt32 past 32 bits", metric({0x20, 0x07, 0x58, 0x80, 0x80, 0x80, 0x80, 0x10}), false, 0},
        {"Float value of an Int16", metric({0x20, 0x02, 0x65, 0, 0, 0x80, 0x3f}), false, 0},
        {"no datatype: from the field", metric({0x65, 0, 0, 0x80, 0x3f}), true, 1},
        {"not protobuf", Bytes({0x12, 0x40, 0x01}), false, 0},
    };
    for (const Case& c : cases) {
        Payload out;
        std::string error;
        const bool ok = Decode(c.bytes.data(), c.bytes.size(), out, error);
        EXPECT_EQ(ok, c.ok) << c.what << ": " << error;
        if (ok && c.ok) {
            ASSERT_EQ(out.metrics.size(), 1u) << c.what;
            EXPECT_EQ(out.metrics[0].Number(), c.value) << c.what;
        } else if (!ok) {
            EXPECT_FALSE(error.empty()) << c.what;
        }
    }
}

TEST(SparkplugTopics, NamesAndParses) {
    EXPECT_EQ(Topic("westnet", MessageType::NBIRTH, "gateway-1"),
              "spBv1.0/westnet/NBIRTH/gateway-1");
    EXPECT_EQ(Topic("g", MessageType::DDATA, "n", "plant-s01"), "spBv1.0/g/DDATA/n/plant-s01");
    EXPECT_EQ(StateTopic("scada"), "spBv1.0/STATE/scada");
    EXPECT_EQ(DeviceId("plant", 1), "plant-s01");
    EXPECT_EQ(DeviceId("north", 123), "north-s123");

    struct Case {
        const char* topic;
        bool ok;
        MessageType type;
        const char* device;
    };
    const Case cases[] = {
        {"spBv1.0/g/NCMD/n", true, MessageType::NCMD, ""},
        {"spBv1.0/g/DCMD/n/plant-s01", true, MessageType::DCMD, "plant-s01"},
        {"spBv1.0/g/DCMD/n", false, MessageType::DCMD, ""},
        {"spBv1.0/g/NCMD/n/extra", false, MessageType::NCMD, ""},
        {"spBv1.0/STATE/host", false, MessageType::NCMD, ""},
        {"spAv1.0/g/NCMD/n", false, MessageType::NCMD, ""},
        {"spBv1.0/g/XCMD/n", false, MessageType::NCMD, ""},
        {"spBv1.0//NCMD/n", false, MessageType::NCMD, ""},
    };
    for (const Case& c : cases) {
        ParsedTopic parsed;
        EXPECT_EQ(ParseTopic(c.topic, parsed), c.ok) << c.topic;
        if (c.ok) {
            EXPECT_EQ(parsed.type, c.type) << c.topic;
            EXPECT_EQ(parsed.group, "g");
            EXPECT_EQ(parsed.node, "n");
            EXPECT_EQ(parsed.device, c.device);
        }
    }

    struct State {
        const char* payload;
        bool ok;
        bool online;
        std::optional<std::uint64_t> timestamp;
    };
    const State states[] = {
        {R"({"online": true, "timestamp": 1700000000123})", true, true, 1700000000123},
        {R"({"online":false})", true, false, std::nullopt},
        {R"({"online":false, "timestamp": -5})", true, false, std::nullopt},
        {"ONLINE", true, true, std::nullopt},
        {"OFFLINE", true, false, std::nullopt},
        {R"({"online": "yes"})", false, false, std::nullopt},
        {"online", false, false, std::nullopt},
        {"", false, false, std::nullopt},
    };
    for (const State& s : states) {
        HostStatus state;
        state.online = !s.online;
        state.timestamp = 99;
        EXPECT_EQ(ParseHostState(s.payload, std::string(s.payload).size(), state), s.ok)
            << s.payload;
        if (s.ok) {
            EXPECT_EQ(state.online, s.online) << s.payload;
            EXPECT_EQ(state.timestamp, s.timestamp) << s.payload;
        }
    }
    std::string error;
    EXPECT_TRUE(CheckId("sparkplug_node", "gateway-1", error));
    EXPECT_FALSE(CheckId("sparkplug_node", "a/b", error));
    EXPECT_NE(error.find("sparkplug_node"), std::string::npos);
    EXPECT_FALSE(CheckId("sparkplug_group", "", error));
    EXPECT_FALSE(CheckId("sparkplug_group", "+", error));
}

// --- the edge node -----------------------------------------------------------

// One line "north": station 1 with a scaled int16 temperature (writable) and
// a bit, station 2 with a block of three and a float.
Plant NodePlant() {
    Plant plant;
    LineConfig line;
    line.name = "north";
    PointConfig temperature = TestPoint("boiler/temperature", 1, 0, -1, 0, true, 0.5);
    temperature.format.type = values::Type::Int16;
    temperature.format.scaled = true;
    temperature.format.scale = {0, 10, 0, 1};  // tenths
    PointConfig flow = TestPoint("flow", 2, 30, -1, 0, false);
    flow.format.type = values::Type::Float32;
    line.points = {temperature, TestPoint("pump", 1, 1, 3, 0, true),
                   TestPoint("block", 2, 10, -1, 3, true), flow};
    plant.lines.push_back(line);
    return plant;
}

PointSample Good(std::vector<std::uint16_t> words) {
    PointSample s;
    s.values = std::move(words);
    s.quality = Quality::Good;
    return s;
}

struct Harness {
    explicit Harness(const NodeSettings& settings = {}) {
        plant = std::make_shared<Plant>(NodePlant());
        samples[{0, 0}] = Good({215});  // 21.5
        samples[{0, 1}] = Good({1});
        samples[{0, 2}] = Good({1, 2, 3});
        samples[{0, 3}] = Good({0x0000, 0x3fc0});  // 1.5, low word first
        NodeSource source{[this](std::size_t l, std::size_t p) {
                              return samples[{l, p}];
                          },
                          [this](std::size_t, int station) { return alive[station]; },
                          [] { return std::uint64_t{1765000000000}; }};
        node = std::make_unique<EdgeNode>(settings, source);
        NodeModel model;
        std::string error;
        EXPECT_TRUE(model.Build(*plant, error)) << error;
        node->Adopt(plant, std::move(model));
    }
    struct Seen {
        MessageType type;
        std::string topic;
        Payload payload;
    };
    std::vector<Seen> Take() {
        std::vector<Seen> seen;
        for (Outgoing& o : node->Take()) {
            Seen s{o.type, o.topic, {}};
            std::string error;
            EXPECT_TRUE(Decode(o.payload.data(), o.payload.size(), s.payload, error)) << error;
            EXPECT_EQ(s.payload.metrics.size(), o.metrics);
            seen.push_back(std::move(s));
        }
        return seen;
    }
    std::shared_ptr<Plant> plant;
    std::map<std::pair<std::size_t, std::size_t>, PointSample> samples;
    std::map<int, bool> alive{{1, true}, {2, true}};
    std::unique_ptr<EdgeNode> node;
};

std::string Types(const std::vector<Harness::Seen>& seen) {
    std::string out;
    for (const auto& s : seen) {
        out += std::string(out.empty() ? "" : " ") + MessageTypeName(s.type);
    }
    return out;
}

const Metric* Named(const Payload& p, const std::string& name) {
    for (const Metric& m : p.metrics) {
        if (m.name == name) {
            return &m;
        }
    }
    return nullptr;
}

TEST(SparkplugNode, BirthsCarryEveryMetricTypedWithSequenceNumbers) {
    Harness h;
    EXPECT_TRUE(h.Take().empty());  // nothing before a connection
    h.node->Connected(7);
    const auto seen = h.Take();
    ASSERT_EQ(Types(seen), "NBIRTH DBIRTH DBIRTH");
    EXPECT_EQ(seen[0].topic, "spBv1.0/westnet/NBIRTH/gateway-1");
    EXPECT_EQ(seen[0].payload.seq, std::optional<std::uint64_t>(0));
    const Metric* bdSeq = Named(seen[0].payload, kBdSeqMetric);
    ASSERT_NE(bdSeq, nullptr);
    EXPECT_EQ(bdSeq->type, DataType::Int64);
    EXPECT_EQ(bdSeq->integer, 7);
    ASSERT_NE(Named(seen[0].payload, kRebirthMetric), nullptr);
    EXPECT_EQ(Named(seen[0].payload, kRebirthMetric)->type, DataType::Boolean);

    EXPECT_EQ(seen[1].topic, "spBv1.0/westnet/DBIRTH/gateway-1/north-s01");
    EXPECT_EQ(seen[1].payload.seq, std::optional<std::uint64_t>(1));
    EXPECT_EQ(seen[2].payload.seq, std::optional<std::uint64_t>(2));
    struct Want {
        std::size_t message;
        const char* name;
        DataType type;
        double value;
    };
    const Want wants[] = {
        {1, "boiler/temperature", DataType::Double, 21.5},
        {1, "pump", DataType::Boolean, 1},
        {2, "block/0", DataType::UInt16, 1},
        {2, "block/2", DataType::UInt16, 3},
        {2, "flow", DataType::Float, 1.5},
    };
    std::set<std::uint64_t> aliases;
    for (const Want& w : wants) {
        const Metric* m = Named(seen[w.message].payload, w.name);
        ASSERT_NE(m, nullptr) << w.name;
        EXPECT_EQ(m->type, w.type) << w.name;
        EXPECT_EQ(m->Number(), w.value) << w.name;
        EXPECT_EQ(m->quality, std::optional<std::int32_t>(kQualityGood)) << w.name;
        ASSERT_TRUE(m->alias.has_value()) << w.name;
        EXPECT_TRUE(aliases.insert(*m->alias).second) << "alias twice: " << w.name;
    }
    EXPECT_EQ(seen[2].payload.metrics.size(), 4u);  // three block values and the float
}

TEST(SparkplugNode, DataOnChangeByAliasPastTheDeadbandAndSeqWraps) {
    Harness h;
    h.node->Connected(0);
    const auto births = h.Take();
    const std::uint64_t alias = *Named(births[1].payload, "boiler/temperature")->alias;

    h.node->PointUpdated(0, 0, Good({218}));  // 0.3 within the 0.5 deadband
    EXPECT_TRUE(h.Take().empty());
    h.node->PointUpdated(0, 0, Good({221}));  // 0.6 past it
    auto seen = h.Take();
    ASSERT_EQ(Types(seen), "DDATA");
    EXPECT_EQ(seen[0].topic, "spBv1.0/westnet/DDATA/gateway-1/north-s01");
    ASSERT_EQ(seen[0].payload.metrics.size(), 1u);
    EXPECT_EQ(seen[0].payload.metrics[0].name, "");
    EXPECT_EQ(seen[0].payload.metrics[0].alias, std::optional<std::uint64_t>(alias));
    EXPECT_DOUBLE_EQ(seen[0].payload.metrics[0].Number(), 22.1);
    EXPECT_EQ(seen[0].payload.seq, std::optional<std::uint64_t>(3));

    // The quality alone moving is a change; a bad point without a value is null.
    PointSample bad;
    bad.quality = Quality::Bad;
    h.node->PointUpdated(0, 3, bad);
    seen = h.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].payload.metrics[0].null);
    EXPECT_EQ(seen[0].payload.metrics[0].quality, std::optional<std::int32_t>(kQualityBad));

    // seq runs 0..255 over all messages and round again.
    std::uint64_t last = *seen[0].payload.seq;
    for (int i = 0; i < 300; ++i) {
        h.node->PointUpdated(0, 1, Good({static_cast<std::uint16_t>(i % 2)}));
        for (const auto& s : h.Take()) {
            EXPECT_EQ(*s.payload.seq, (last + 1) % 256);
            last = *s.payload.seq;
        }
    }
    // A block value alone moves only its own metric.
    h.node->PointUpdated(0, 2, Good({1, 9, 3}));
    seen = h.Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].payload.metrics.size(), 1u);
    EXPECT_EQ(seen[0].payload.metrics[0].Number(), 9);
}

TEST(SparkplugNode, DeathAndBirthOfStationsAndRebirthWithTheSameBdSeq) {
    Harness h;
    h.node->Connected(3);
    h.Take();
    h.alive[2] = false;
    h.node->StationChanged(0, 2);
    auto seen = h.Take();
    ASSERT_EQ(Types(seen), "DDEATH");
    EXPECT_EQ(seen[0].topic, "spBv1.0/westnet/DDEATH/gateway-1/north-s02");
    // A dead device's values are not sent.
    h.node->PointUpdated(0, 2, Good({4, 5, 6}));
    EXPECT_TRUE(h.Take().empty());
    h.samples[{0, 2}] = Good({4, 5, 6});
    h.alive[2] = true;
    h.node->StationChanged(0, 2);
    seen = h.Take();
    ASSERT_EQ(Types(seen), "DBIRTH");
    EXPECT_EQ(Named(seen[0].payload, "block/0")->Number(), 4);
    EXPECT_EQ(seen[0].payload.metrics.size(), 4u);
    h.node->StationChanged(0, 2);  // no change: nothing
    EXPECT_TRUE(h.Take().empty());

    Payload rebirth;
    rebirth.metrics.push_back(NumberMetric(kRebirthMetric, DataType::Boolean, 1));
    EXPECT_TRUE(h.node->Command(rebirth));
    seen = h.Take();
    ASSERT_EQ(Types(seen), "NBIRTH DBIRTH DBIRTH");
    EXPECT_EQ(Named(seen[0].payload, kBdSeqMetric)->integer, 3);
    EXPECT_EQ(seen[0].payload.seq, std::optional<std::uint64_t>(0));
    // The births after a rebirth keep names and aliases.
    EXPECT_TRUE(Named(seen[1].payload, "pump")->alias.has_value());
    Payload other;
    other.metrics.push_back(NumberMetric("Node Control/Reboot", DataType::Boolean, 1));
    EXPECT_FALSE(h.node->Command(other));
    EXPECT_TRUE(h.Take().empty());

    // The death the will carries names the bdSeq it is given.
    const std::string will = h.node->DeathPayload(4);
    Payload death;
    std::string error;
    ASSERT_TRUE(Decode(will.data(), will.size(), death, error));
    EXPECT_EQ(Named(death, kBdSeqMetric)->integer, 4);
    EXPECT_FALSE(death.seq.has_value());
    EXPECT_EQ(h.node->DeathTopic(), "spBv1.0/westnet/NDEATH/gateway-1");
}

TEST(SparkplugNode, PrimaryHostGatesBirthsAndHistoryIsBoundedAndSentAfter) {
    NodeSettings settings;
    settings.waitForHost = true;
    settings.historyMax = 2;
    settings.aliases = false;
    Harness h(settings);
    using Action = EdgeNode::HostAction;
    auto host = [&](bool online, std::uint64_t timestamp) {
        return h.node->HostState(HostStatus{online, timestamp});
    };
    h.node->Connected(1);
    EXPECT_TRUE(h.Take().empty());  // the host's STATE not seen yet
    EXPECT_EQ(host(true, 100), Action::Taken);
    ASSERT_EQ(Types(h.Take()), "NBIRTH DBIRTH DBIRTH");
    EXPECT_EQ(host(false, 90), Action::Ignored);  // older than the online
    EXPECT_TRUE(h.Take().empty());
    EXPECT_FALSE(h.node->TakeRestart());

    // Offline: NDEATH, then the connection is made again with a new bdSeq.
    EXPECT_EQ(host(false, 200), Action::Restart);
    const auto death = h.Take();
    ASSERT_EQ(Types(death), "NDEATH");
    EXPECT_EQ(Named(death[0].payload, kBdSeqMetric)->integer, 1);
    EXPECT_TRUE(h.node->TakeRestart());
    EXPECT_FALSE(h.node->TakeRestart());
    h.node->Disconnected();
    h.node->Connected(2);
    EXPECT_EQ(host(false, 200), Action::Taken);   // the retained STATE again
    EXPECT_EQ(host(true, 150), Action::Ignored);  // a stale online births nothing
    EXPECT_TRUE(h.Take().empty());
    h.node->PointUpdated(0, 0, Good({300}));
    h.node->PointUpdated(0, 0, Good({310}));
    h.node->PointUpdated(0, 0, Good({320}));  // the oldest of three goes
    EXPECT_TRUE(h.Take().empty());
    EXPECT_EQ(h.node->HistoryQueued(), 2u);
    EXPECT_EQ(h.node->HistoryDropped(), 1u);

    h.samples[{0, 0}] = Good({320});
    EXPECT_EQ(host(true, 300), Action::Taken);
    const auto seen = h.Take();
    ASSERT_EQ(Types(seen), "NBIRTH DBIRTH DBIRTH DDATA");
    EXPECT_EQ(Named(seen[0].payload, kBdSeqMetric)->integer, 2);
    const Payload& history = seen[3].payload;
    ASSERT_EQ(history.metrics.size(), 2u);
    for (const Metric& m : history.metrics) {
        EXPECT_TRUE(m.historical);
        EXPECT_EQ(m.name, "boiler/temperature");  // no aliases: by name
    }
    EXPECT_DOUBLE_EQ(history.metrics[0].Number(), 31.0);
    EXPECT_DOUBLE_EQ(history.metrics[1].Number(), 32.0);
    EXPECT_EQ(h.node->HistoryQueued(), 0u);

    // A lost connection drops what it had queued; the next is born again.
    h.node->PointUpdated(0, 1, Good({0}));
    h.node->Disconnected();
    EXPECT_TRUE(h.Take().empty());
    h.node->PointUpdated(0, 0, Good({330}));  // held until a host is back
    h.node->Connected(3);
    EXPECT_TRUE(h.Take().empty());  // waits for the host's STATE again
    EXPECT_EQ(host(true, 300), Action::Taken);
    EXPECT_EQ(Types(h.Take()), "NBIRTH DBIRTH DBIRTH DDATA");
}

TEST(SparkplugNode, ModelRefusesTwoMetricsOfOneName) {
    Plant plant = NodePlant();
    plant.lines[0].points.push_back(TestPoint("block/1", 2, 40, -1, 0, false));
    NodeModel model;
    std::string error;
    EXPECT_FALSE(model.Build(plant, error));
    EXPECT_NE(error.find("block/1"), std::string::npos) << error;

    ASSERT_TRUE(model.Build(NodePlant(), error));
    const Device& device = model.Devices()[0];
    EXPECT_EQ(model.Find(device, "pump", std::nullopt)->point, 1u);
    const std::uint64_t alias = model.Find(device, "pump", std::nullopt)->alias;
    EXPECT_EQ(model.Find(device, "", alias)->name, "pump");
    EXPECT_EQ(model.Find(device, "nothing", std::nullopt), nullptr);
    // A block is written whole, never one value of it.
    EXPECT_FALSE(model.Find(model.Devices()[1], "block/0", std::nullopt)->writable);
    EXPECT_TRUE(model.Find(device, "boiler/temperature", std::nullopt)->writable);
}

}  // namespace
}  // namespace westnet::gateway::sparkplug
