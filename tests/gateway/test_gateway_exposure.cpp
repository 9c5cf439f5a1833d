// The warnings at start for what the [gateway] keys expose beyond this
// machine without protection.
#include <gtest/gtest.h>

#include "plant/exposure.h"

namespace westnet::gateway {
namespace {

TEST(Exposure, LoopbackHosts) {
    const std::pair<const char*, bool> cases[] = {
        {"127.0.0.1", true}, {"127.5.6.7", true},     {"::1", true},        {"localhost", true},
        {"LocalHost", true}, {"0.0.0.0", false},      {"::", false},        {"10.0.0.1", false},
        {"fe80::1", false},  {"broker.plant", false}, {"128.0.0.1", false}, {"", false},
    };
    for (const auto& [host, loopback] : cases) {
        EXPECT_EQ(IsLoopbackHost(host), loopback) << host;
    }
}

struct Blocks {
    AddressBlock all;   // 0.0.0.0/0
    AddressBlock all6;  // ::/0
    AddressBlock lan;   // 10.1.2.0/24
};

TEST(Exposure, OneWarningPerExposureSayingWhatToDo) {
    Blocks b;
    std::string error;
    ASSERT_TRUE(ParseAddressBlock("0.0.0.0/0", b.all, error)) << error;
    ASSERT_TRUE(ParseAddressBlock("::/0", b.all6, error)) << error;
    ASSERT_TRUE(ParseAddressBlock("10.1.2.0/24", b.lan, error)) << error;

    struct Case {
        const char* name;
        void (*set)(GatewayConfig&, const Blocks&);
        std::vector<std::string> mentions;  // one entry per warning, in order
    };
    const Case cases[] = {
        {"the defaults", [](GatewayConfig&, const Blocks&) {}, {}},
        {"password to a remote broker",
         [](GatewayConfig& c, const Blocks&) {
             c.mqtt = "mqtt://broker.plant";
             c.mqttUsername = "gw";
             c.mqttPasswordFile = "/etc/westnet/mqtt.secret";
         },
         {"use mqtts://"}},
        {"password over mqtts, or to a local broker, or no password",
         [](GatewayConfig& c, const Blocks&) {
             c.mqtt = "mqtts://broker.plant";
             c.mqttUsername = "gw";
             c.mqttPasswordFile = "/etc/westnet/mqtt.secret";
         },
         {}},
        {"local broker",
         [](GatewayConfig& c, const Blocks&) {
             c.mqtt = "mqtt://127.0.0.1:1883";
             c.mqttUsername = "gw";
             c.mqttPasswordFile = "/etc/westnet/mqtt.secret";
         },
         {}},
        {"HTTP on every interface without TLS",
         [](GatewayConfig& c, const Blocks&) { c.http = "0.0.0.0:8080"; },
         {"set http_tls_cert"}},
        {"HTTP on every interface with TLS",
         [](GatewayConfig& c, const Blocks&) {
             c.http = "[::]:8443";
             c.httpTlsCert = "/etc/westnet/tls.pem";
             c.httpTlsKey = "/etc/westnet/tls.key";
         },
         {}},
        {"Modbus open to every writer",
         [](GatewayConfig& c, const Blocks& in) {
             c.modbus = "0.0.0.0:502";
             c.modbusWriteClients = {in.all};
             c.modbusWriteClientsText = {"0.0.0.0/0"};
         },
         {"0.0.0.0/0: anyone who reaches the port can write"}},
        {"Modbus open to every IPv6 writer",
         [](GatewayConfig& c, const Blocks& in) {
             c.modbus = "[::]:502";
             c.modbusWriteClients = {in.lan, in.all6};
             c.modbusWriteClientsText = {"10.1.2.0/24", "::/0"};
         },
         {"::/0"}},
        {"Modbus on loopback open to every writer; HTTPS on the network",
         [](GatewayConfig& c, const Blocks& in) {
             c.modbus = "127.0.0.1:5020";
             c.modbusWriteClients = {in.all};
             c.http = "10.1.2.3:8080";
             c.httpTlsCert = "/etc/westnet/tls.pem";
         },
         {}},
        {"everything at once",
         [](GatewayConfig& c, const Blocks& in) {
             c.mqtt = "mqtt://10.0.0.5";
             c.mqttUsername = "gw";
             c.mqttPasswordFile = "/etc/westnet/mqtt.secret";
             c.http = "8080.example:80";
             c.modbus = "10.1.2.3:502";
             c.modbusWriteClients = {in.all};
             c.modbusWriteClientsText = {"0.0.0.0/0"};
         },
         {"mqtt:", "http:", "modbus:"}},
    };
    for (const Case& c : cases) {
        GatewayConfig config;
        c.set(config, b);
        const std::vector<std::string> warnings = ExposureWarnings(config);
        ASSERT_EQ(warnings.size(), c.mentions.size()) << c.name;
        for (std::size_t i = 0; i < warnings.size(); ++i) {
            EXPECT_NE(warnings[i].find(c.mentions[i]), std::string::npos)
                << c.name << ": " << warnings[i];
            EXPECT_EQ(warnings[i].find('\n'), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace westnet::gateway
