// The plant file reader: a good file as the rest of the daemon sees it, and
// every kind of mistake, each reported with the file, the line and the key.
// Addresses go through the driver's own parse commands.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plant/compare.h"
#include "plant/listen.h"
#include "plant/reader.h"

namespace westnet::gateway {
namespace {

const char* const kLine = R"(
[[line]]
name = "north"
device = "/dev/ttyUSB0"
)";

struct Read {
    bool ok = false;
    Plant plant;
    std::vector<std::string> errors;
};

Read ReadText(const std::string& text) {
    host::Session parser(&ZanMain);
    Read r;
    r.ok = ReadPlantText(text, "plant.toml", parser, r.plant, r.errors);
    return r;
}

TEST(GatewayPlant, AGoodFileIsDecodedByTheDriver) {
    const Read r = ReadText(R"([gateway]
http = ":8081"
modbus = ""
[[line]]
name = "north"
device = "/dev/ttyUSB0"
baud = 19200
format = "7E1"
timeout_ms = 95
[[line.point]]
address = "0140001"
name = "boiler/temperature"
scan_ms = 250
writable = true
[[line.point]]
address = "0540010"
count = 16
[[line.point]]
address = "0140002 16"
coil = 7
deadband = 0.5
)");
    ASSERT_TRUE(r.ok) << (r.errors.empty() ? "" : r.errors.front());
    const LineConfig& line = r.plant.lines.at(0);
    EXPECT_EQ(line.baud, 19200);
    EXPECT_EQ(line.dataBits, 7);
    EXPECT_EQ(line.parityCode, 2);
    EXPECT_EQ(line.stopBitsCode, 0);
    EXPECT_EQ(line.timeoutMs, 95);
    ASSERT_EQ(line.points.size(), 3u);
    const PointConfig& word = line.points[0];
    EXPECT_EQ(word.name, "boiler/temperature");
    EXPECT_EQ(word.station, 1);
    EXPECT_EQ(word.reg, 40000);
    EXPECT_EQ(word.bit, -1);
    EXPECT_TRUE(word.writable);
    EXPECT_EQ(word.fileLine, 10);
    const PointConfig& block = line.points[1];
    EXPECT_EQ(block.name, "0540010");  // the address, when no name is given
    EXPECT_EQ(block.station, 5);
    EXPECT_EQ(block.reg, 40009);
    EXPECT_EQ(block.Words(), 16);
    const PointConfig& bit = line.points[2];
    EXPECT_EQ(bit.bit, 15);
    EXPECT_EQ(bit.coil, 7);
    EXPECT_DOUBLE_EQ(bit.deadband, 0.5);
    EXPECT_EQ(r.plant.gateway.http, ":8081");
}

TEST(GatewayPlant, EveryMistakeNamesItsLineAndKey) {
    struct Case {
        std::string text;     // after a [[line]] header, its name and device (lines 1-3)
        std::string message;  // "LINE: KEY: ..." as it must start, after "plant.toml:"
    };
    const std::string point = "[[line.point]]\n";
    const Case cases[] = {
        {"bauds = 9600\n" + point + "address = \"0140001\"\n",
         "4: line.bauds: unknown key; did you mean baud?"},
        {"baud = 115200\n" + point + "address = \"0140001\"\n",
         "4: line.baud: 115200 is not a rate"},
        {"baud = \"9600\"\n" + point + "address = \"0140001\"\n",
         "4: line.baud: must be an integer"},
        {"format = \"8X2\"\n" + point + "address = \"0140001\"\n",
         "4: line.format: \"8X2\" is not"},
        {"format = \"8N1.5\"\n" + point + "address = \"0140001\"\n",
         "4: line.format: 1.5 stop bits"},
        {"timeout_ms = 5\n" + point + "address = \"0140001\"\n",
         "4: line.timeout_ms: must be 10 to 60000 ms"},
        {"demote_after = 0\n" + point + "address = \"0140001\"\n",
         "4: line.demote_after: must be 1 to"},
        {"max_gap = 64\n" + point + "address = \"0140001\"\n", "4: line.max_gap: must be 0 to 63"},
        {"writes = \"some\"\n" + point + "address = \"0140001\"\n",
         "4: line.writes: \"some\" must be"},
        {"confirm = \"twice\"\n" + point + "address = \"0140001\"\n",
         "4: line.confirm: \"twice\" must be \"auto\", \"always\" or \"never\""},
        {"", "1: line.point: the line has no [[line.point]]"},
        {point + "name = \"x\"\n", "4: line.point.address: every [[line.point]] needs an address"},
        {point + "address = \"0170001\"\n",
         "5: line.point.address: \"0170001\" refused by the driver"},
        {point + "address = \"0100000\"\n",
         "5: line.point.address: \"0100000\" refused by the driver"},
        {point + "address = \"0140002 17\"\n", "5: line.point.address: \"0140002 17\" refused"},
        {point + "address = \"0140002 1 6\"\n",
         "5: line.point.address: \"0140002 1 6\": after the"},
        {point + "address = \"01400011234567\"\n",
         "5: line.point.address: \"01400011234567\" is not an address"},
        {point + "address = \"0140001\"\ncount = 65\n", "6: line.point.count: must be 1 to 64"},
        {point + "address = \"0165530\"\ncount = 8\n", "6: line.point.count: the block of 8 words"},
        {point + "address = \"0140002 3\"\ncount = 2\n",
         "6: line.point.count: a bit point is one bit"},
        {point + "address = \"0140001\"\ncoil = 1\n", "6: line.point.coil: only a bit point"},
        {point + "address = \"0140001\"\nscan_ms = 0\n", "6: line.point.scan_ms: must be 10 to"},
        {point + "address = \"0140001\"\ndeadband = -1\n",
         "6: line.point.deadband: must be a number"},
        {point + "address = \"0140001\"\nwritable = 1\n",
         "6: line.point.writable: must be true or false"},
        {point + "address = \"0140001\"\nname = \"a/set\"\n",
         "6: line.point.name: \"a/set\" must not end"},
        {point + "address = \"0140001\"\nname = \"a//b\"\n",
         "6: line.point.name: \"a//b\" must not start or end"},
        {point + "address = \"0140001\"\nname = \"t#1\"\n", "6: line.point.name: \"t#1\" may hold"},
        {point + "address = \"0140001\"\nscan = 5\n", "6: line.point.scan: unknown key"},
        {point + "address = \"0140001\"\n" + point + "address = \"0140001\"\n",
         "6: line.point.name: \"0140001\" names a point"},
        {point + "address = \"0140002 1\"\ncoil = 4\n" + point +
             "address = \"0140002 2\"\ncoil = 4\n",
         "9: line.point.coil: coil 4 of station 1 is given already (line 6)"},
        {point + "address = \"0040001\"\n" + point + "address = \"0140001\"\n",
         "1: line.point.address: station 00 shares line"},
        {"point = 3\n", "4: line.point: must be written as one [[line.point]] table per entry"},
    };
    for (const Case& c : cases) {
        const Read r = ReadText(std::string(kLine).substr(1) + c.text);
        EXPECT_FALSE(r.ok) << c.text;
        ASSERT_FALSE(r.errors.empty()) << c.text;
        EXPECT_EQ(r.errors.front().rfind("plant.toml:" + c.message, 0), 0u)
            << "got:      " << r.errors.front() << "\nexpected: plant.toml:" << c.message;
    }
}

// What a point's registers mean, and every combination that makes no sense.
TEST(GatewayPlant, TypedPoints) {
    const Read r = ReadText(std::string(kLine).substr(1) + R"([[line.point]]
address = "0140001"
name = "kiln/temperature"
type = "int16"
scale = [0, 10000, 0.0, 100.0]
clamp = true
unit = "°C"
decimals = 1
[[line.point]]
address = "0140003"
name = "counter"
type = "uint32"
word_order = "high-first"
[[line.point]]
address = "0140010"
name = "flows"
type = "float32"
count = 32
[[line.point]]
address = "0140005 2"
name = "run"
[[line.point]]
address = "0165534"
name = "last"
type = "int32"
)");
    ASSERT_TRUE(r.ok) << r.errors.front();
    const std::vector<PointConfig>& p = r.plant.lines.at(0).points;
    EXPECT_EQ(p[0].format.type, values::Type::Int16);
    EXPECT_TRUE(p[0].format.scaled);
    EXPECT_EQ(p[0].format.scale, (values::Scale{0, 10000, 0, 100}));
    EXPECT_TRUE(p[0].format.clamp);
    EXPECT_EQ(p[0].unit, "°C");
    EXPECT_EQ(p[0].decimals, 1);
    EXPECT_EQ(p[0].Words(), 1);
    EXPECT_EQ(p[1].format.order, values::WordOrder::HighFirst);
    EXPECT_EQ(p[1].Words(), 2);
    EXPECT_EQ(p[2].Values(), 32);
    EXPECT_EQ(p[2].Words(), 64);
    EXPECT_EQ(p[3].format.type, values::Type::Bool) << "a bit point is a bool";
    EXPECT_EQ(p[3].decimals, -1);
    EXPECT_EQ(p[4].Words(), 2);

    const std::string point = "[[line.point]]\naddress = \"0140001\"\n";
    const std::string bit = "[[line.point]]\naddress = \"0140001 3\"\n";
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {point + "type = \"float\"\n", "6: line.point.type: \"float\" is not a type; types are"},
        {point + "type = 32\n", "6: line.point.type: must be a string"},
        {bit + "type = \"float32\"\n",
         "6: line.point.type: a bit point is one bit: its type is bool, not float32"},
        {bit + "scale = [0, 1, 0, 10]\n", "6: line.point.scale: a bit point is 0 or 1"},
        {point + "type = \"bool\"\n", "6: line.point.type: bool is the type of a bit point"},
        {point + "scale = [5, 5, 0, 100]\n", "6: line.point.scale: the raw ends are equal"},
        {point + "scale = [0, 10, 3, 3]\n", "6: line.point.scale: the engineering ends are equal"},
        {point + "scale = [0, 10, 3]\n", "6: line.point.scale: must be four numbers"},
        {point + "scale = [0, 10, \"a\", 3]\n", "6: line.point.scale: must be four numbers"},
        {point + "scale = [0, 70000, 0, 1]\n",
         "6: line.point.scale: raw end 70000 is outside what uint16 holds (0 to 65535)"},
        {point + "type = \"int16\"\nscale = [-40000, 0, 0, 1]\n",
         "7: line.point.scale: raw end -40000 is outside what int16 holds"},
        {"[[line.point]]\naddress = \"0165535\"\ntype = \"float32\"\n",
         "6: line.point.type: float32 takes two registers, and \"0165535\" is the last one"},
        {point + "type = \"int32\"\ncount = 33\n",
         "7: line.point.count: 33 int32 values take 66 words; a block reads 64 words at most"},
        {"[[line.point]]\naddress = \"0165530\"\ntype = \"uint32\"\ncount = 4\n",
         "7: line.point.count: the block of 8 words"},
        {point + "word_order = \"big\"\n", "6: line.point.word_order: \"big\" must be"},
        {point + "type = \"int16\"\nword_order = \"high-first\"\n",
         "7: line.point.word_order: int16 is one register"},
        {point + "clamp = true\n", "6: line.point.clamp: clamps to the scale's"},
        {point + "decimals = 11\n", "6: line.point.decimals: must be 0 to 10"},
        {point + "unit = \"a\\tb\"\n", "6: line.point.unit: \"a\\x09b\" must be at most 32"},
        {point + "typ = \"int16\"\n", "6: line.point.typ: unknown key; did you mean type?"},
    };
    for (const Case& c : cases) {
        const Read bad = ReadText(std::string(kLine).substr(1) + c.text);
        EXPECT_FALSE(bad.ok) << c.text;
        ASSERT_FALSE(bad.errors.empty()) << c.text;
        EXPECT_EQ(bad.errors.front().rfind("plant.toml:" + c.message, 0), 0u)
            << "got:      " << bad.errors.front() << "\nexpected: plant.toml:" << c.message;
    }
}

TEST(GatewayPlant, MistakesAcrossTheFile) {
    const std::string point = "[[line.point]]\naddress = \"0140001\"\n";
    struct Case {
        std::string text;
        std::string message;
    };
    const Case cases[] = {
        {"", "plant.toml:1: line: the plant has no [[line]]"},
        {"[gateway]\nhttp = \"localhost\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.http: \"localhost\" has no port number"},
        {"[gateway]\nmodbus = \"1.2.3.4:70000\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.modbus: port \"70000\" is not a number"},
        {"[gateway]\nmqtt = \"tcp://broker\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.mqtt: \"tcp://broker\" does not start with mqtt://"},
        {"[gateway]\nmqtt_password = \"secret\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.mqtt_password: the plant file holds no passwords"},
        {"[gateway]\nmqtt_prefix = \"a/+/b\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.mqtt_prefix: \"a/+/b\" is not a topic prefix"},
        {"[gateway]\nmqtt_buffer_mb = -1\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.mqtt_buffer_mb: must be 0 to 65536 MB, not -1"},
        {"[gateway]\nsparkplug = \"tcp://broker\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.sparkplug: \"tcp://broker\" does not start with mqtt://"},
        {"[gateway]\nsparkplug_node = \"a/b\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.sparkplug_node: \"a/b\" is not a Sparkplug id"},
        {"[gateway]\nsparkplug_group = \"\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.sparkplug_group: \"\" is not a Sparkplug id"},
        {"[gateway]\nsparkplug_primary_host = \"#\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.sparkplug_primary_host: \"#\" is not a Sparkplug id"},
        {"[gateway]\nhistory = \"mysql://db\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.history: must be \"sqlite:PATH\" or \"postgresql://"},
        {"[gateway]\nhistory = \"postgresql://host\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.history: a PostgreSQL server is written"},
        {"[gateway]\nhistory_keep_days = 0\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.history_keep_days: must be 1 to 36500 days"},
        {std::string(kLine) + point + "history_deadband = -0.5\n",
         "plant.toml:7: line.point.history_deadband: must be a number of 0 or more"},
        {std::string(kLine) + point + "history_keepalive_s = 90000\n",
         "plant.toml:7: line.point.history_keepalive_s: must be 0 to 86400 s"},
        {"[gateway]\nsparkplug_aliases = 1\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.sparkplug_aliases: must be true or false"},
        // Without security only on this machine: the same setting on a
        // loopback address is taken.
        {"[gateway]\nopcua = \"0.0.0.0:4840\"\nopcua_allow_none = true\n" + std::string(kLine) +
             point,
         "plant.toml:3: gateway.opcua_allow_none: an endpoint without security is for a test "
         "bench on this machine"},
        {"[gateway]\nopcua_trust_clients = \"some\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.opcua_trust_clients: \"some\" is neither"},
        {"[gateway]\nread_only = \"yes\"\n" + std::string(kLine) + point,
         "plant.toml:2: gateway.read_only: must be true or false"},
        {"[gatewy]\n" + std::string(kLine) + point,
         "plant.toml:1: gatewy: unknown key; did you mean gateway?"},
        {std::string(kLine) + point + kLine + point,
         "plant.toml:8: line.name: \"north\" names a line"},
        {std::string(kLine) + point + "[[line]]\nname = \"south\"\ndevice = \"/dev/ttyUSB0\"\n" +
             point,
         "plant.toml:7: line.device: \"/dev/ttyUSB0\" is the device of another line"},
        {std::string(kLine) + point + "[[line]]\nname = \"south\"\ndevice = \"/dev/ttyUSB1\"\n" +
             point,
         "plant.toml:7: line.modbus_unit_offset: Modbus units 1 to 1 of line \"south\" overlap"},
        {std::string(kLine) + "modbus_unit_offset = 247\n" + point,
         "plant.toml:5: line.modbus_unit_offset: stations 1 to 1 of line \"north\" would be Modbus "
         "units 248"},
        {std::string(kLine) + "name = \"x\"\n" + point, "plant.toml:5: TOML: "},
        {"[[line]]\nname = \"no space\"\ndevice = \"d\"\n" + point,
         "plant.toml:2: line.name: \"no space\" may hold only letters"},
    };
    for (const Case& c : cases) {
        const Read r = ReadText(c.text);
        EXPECT_FALSE(r.ok) << c.text;
        ASSERT_FALSE(r.errors.empty()) << c.text;
        EXPECT_EQ(r.errors.front().rfind(c.message, 0), 0u)
            << "got:      " << r.errors.front() << "\nexpected: " << c.message;
    }
    // Modbus off: two lines may both have a station 1.
    const Read twoLines =
        ReadText("[gateway]\nmodbus = \"\"\n" + std::string(kLine) + point +
                 "[[line]]\nname = \"south\"\ndevice = \"/dev/ttyUSB1\"\n" + point);
    EXPECT_TRUE(twoLines.ok) << (twoLines.errors.empty() ? "" : twoLines.errors.front());
    // Every mistake is reported, not just the first.
    const Read many = ReadText(std::string(kLine) + "baud = 1\ntimeout_ms = 1\n" + point);
    EXPECT_EQ(many.errors.size(), 2u);
}

// A reload restarts a line when any of its keys changed, and for nothing
// else: a key the comparison leaves out would leave a changed setting
// unapplied, and the place of the text would restart lines for a comment.
TEST(GatewayPlant, ALineIsTheSameUnlessOneOfItsKeysChanged) {
    const std::string base = R"([[line]]
name = "north"
device = "/dev/ttyUSB0"
baud = 9600
format = "8O2"
timeout_ms = 100
demote_after = 3
demote_ms = 10000
max_gap = 8
modbus_unit_offset = 0
writes = "points"
confirm = "auto"
[[line.point]]
address = "0140002 3"
name = "p"
scan_ms = 1000
writable = false
deadband = 0
coil = 3
[[line.point]]
address = "0140010"
count = 4
[[line.point]]
address = "0140030"
name = "t"
type = "float32"
word_order = "low-first"
scale = [0, 100, 0.0, 1.0]
clamp = true
unit = "bar"
decimals = 2
)";
    const Read before = ReadText(base);
    ASSERT_TRUE(before.ok) << before.errors.front();
    const Read moved = ReadText("# a comment above it all\n\n" + base);
    ASSERT_TRUE(moved.ok);
    EXPECT_TRUE(SameLine(before.plant.lines[0], moved.plant.lines[0]));

    const std::pair<const char*, const char*> changes[] = {
        {"name = \"north\"", "name = \"south\""},
        {"device = \"/dev/ttyUSB0\"", "device = \"/dev/ttyUSB1\""},
        {"baud = 9600", "baud = 19200"},
        {"format = \"8O2\"", "format = \"8E2\""},
        {"timeout_ms = 100", "timeout_ms = 110"},
        {"demote_after = 3", "demote_after = 4"},
        {"demote_ms = 10000", "demote_ms = 20000"},
        {"max_gap = 8", "max_gap = 2"},
        {"modbus_unit_offset = 0", "modbus_unit_offset = 10"},
        {"writes = \"points\"", "writes = \"none\""},
        {"confirm = \"auto\"", "confirm = \"never\""},
        {"address = \"0140002 3\"", "address = \"0140002 4\""},
        {"address = \"0140010\"", "address = \"0240010\""},
        {"name = \"p\"", "name = \"q\""},
        {"scan_ms = 1000", "scan_ms = 500"},
        {"writable = false", "writable = true"},
        {"deadband = 0", "deadband = 0.5"},
        {"coil = 3", "coil = 4"},
        {"count = 4", "count = 5"},
        {"type = \"float32\"", "type = \"int32\""},
        {"word_order = \"low-first\"", "word_order = \"high-first\""},
        {"scale = [0, 100, 0.0, 1.0]", "scale = [0, 100, 0.0, 2.0]"},
        {"clamp = true", "clamp = false"},
        {"unit = \"bar\"", "unit = \"kPa\""},
        {"decimals = 2", "decimals = 3"},
        {"count = 4\n", "count = 4\n[[line.point]]\naddress = \"0140020\"\n"},
    };
    for (const auto& change : changes) {
        std::string text = base;
        text.replace(text.find(change.first), std::string(change.first).size(), change.second);
        const Read after = ReadText(text);
        ASSERT_TRUE(after.ok) << change.second << ": " << after.errors.front();
        EXPECT_FALSE(SameLine(before.plant.lines[0], after.plant.lines[0])) << change.second;
    }
}

// An endpoint without security is taken on a loopback address alone, where
// the rest of the OPC UA keys keep their defaults.
TEST(GatewayPlant, OpcuaWithoutSecurityOnlyOnThisMachine) {
    const std::string line =
        "[[line]]\nname = \"north\"\ndevice = \"/dev/ttyUSB0\"\n"
        "[[line.point]]\naddress = \"0140001\"\n";
    for (const char* host : {"127.0.0.1:4840", "[::1]:4840", "localhost:4840", "4840"}) {
        const Read r = ReadText("[gateway]\nopcua = \"" + std::string(host) +
                                "\"\nopcua_allow_none = true\n" + line);
        EXPECT_TRUE(r.ok) << host << ": " << (r.errors.empty() ? "" : r.errors.front());
        EXPECT_EQ(r.plant.gateway.opcuaTrustClients, "listed");
        EXPECT_EQ(r.plant.gateway.opcuaPki, "/var/lib/westnet/opcua/pki");
    }
    for (const char* host : {"0.0.0.0:4840", "10.0.0.5:4840", "[::]:4840", "plant-gw:4840"}) {
        EXPECT_FALSE(ReadText("[gateway]\nopcua = \"" + std::string(host) +
                              "\"\nopcua_allow_none = true\n" + line)
                         .ok)
            << host;
    }
}

TEST(GatewayPlant, ListenAddresses) {
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        int port;
    };
    const Case cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {":8080", true, "127.0.0.1", 8080},
        {"0.0.0.0:80", true, "0.0.0.0", 80},
        {"[::1]:9000", true, "::1", 9000},
        {"127.0.0.1:0", true, "127.0.0.1", 0},
        {"host", false, "", 0},
        {"host:", false, "", 0},
        {"::1:80", false, "", 0},
        {"a b:80", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
    };
    for (const Case& c : cases) {
        ListenAddress a;
        std::string why;
        EXPECT_EQ(ParseListenAddress(c.text, a, why), c.ok) << c.text << ": " << why;
        if (c.ok) {
            EXPECT_EQ(a.host, c.host) << c.text;
            EXPECT_EQ(a.port, c.port) << c.text;
        }
    }
    BrokerAddress b;
    std::string why;
    ASSERT_TRUE(ParseBrokerUrl("mqtts://broker.example:8884", b, why));
    EXPECT_TRUE(b.tls);
    EXPECT_EQ(b.port, 8884);
    ASSERT_TRUE(ParseBrokerUrl("mqtt://127.0.0.1", b, why));
    EXPECT_EQ(b.port, 1883);
    EXPECT_FALSE(ParseBrokerUrl("mqtt://:1883", b, why));
}

}  // namespace
}  // namespace westnet::gateway
