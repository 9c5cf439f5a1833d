#include "plant/reader.h"

#include <sys/stat.h>

#include <toml++/toml.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "history/target.h"
#include "plant/exposure.h"
#include "plant/listen.h"

namespace westnet::gateway {
namespace {

constexpr long long kBauds[] = {50,   75,   110,  134,  150,  200,   300,   600,
                                1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600};

const std::vector<std::string> kGatewayKeys = {"http",
                                               "http_tls_cert",
                                               "http_tls_key",
                                               "http_hosts",
                                               "http_public_read",
                                               "users_file",
                                               "audit_file",
                                               "audit_max_mb",
                                               "read_only",
                                               "modbus",
                                               "modbus_max_clients",
                                               "modbus_clients_per_address",
                                               "modbus_idle_s",
                                               "modbus_clients",
                                               "modbus_write_clients",
                                               "modbus_readthrough_share",
                                               "mqtt",
                                               "mqtt_prefix",
                                               "mqtt_client_id",
                                               "mqtt_username",
                                               "mqtt_password_file",
                                               "mqtt_ca_file",
                                               "mqtt_cert_file",
                                               "mqtt_key_file",
                                               "mqtt_republish_s",
                                               "mqtt_buffer_mb",
                                               "mqtt_buffer_file",
                                               "sparkplug",
                                               "sparkplug_group",
                                               "sparkplug_node",
                                               "sparkplug_primary_host",
                                               "sparkplug_aliases",
                                               "opcua",
                                               "opcua_allow_none",
                                               "opcua_trust_clients",
                                               "opcua_pki",
                                               "history",
                                               "history_keep_days",
                                               "history_max_mb",
                                               "history_spool"};
const std::vector<std::string> kLineKeys = {
    "name",      "device",  "baud",   "format", "timeout_ms",         "demote_after",
    "demote_ms", "max_gap", "writes", "point",  "modbus_unit_offset", "confirm"};
const std::vector<std::string> kPointKeys = {"address",
                                             "name",
                                             "scan_ms",
                                             "writable",
                                             "count",
                                             "deadband",
                                             "coil",
                                             "type",
                                             "word_order",
                                             "scale",
                                             "clamp",
                                             "unit",
                                             "decimals",
                                             "history",
                                             "history_deadband",
                                             "history_keepalive_s"};

// Modbus unit identifiers a station may be served under (0 is broadcast,
// 248 to 255 are reserved).
constexpr int kUnitMin = 1;
constexpr int kUnitMax = 247;

// The most words one block read carries, and so a block point's most.
constexpr int kBlockWordsMax = 64;

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

std::string Quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '"' || c == '\\') {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", u);
            out += escaped;
        } else {
            out += c;
        }
        if (out.size() > 80) {
            out += "...";
            break;
        }
    }
    return out + "\"";
}

const char* TypeName(toml::node_type type) {
    switch (type) {
        case toml::node_type::table:
            return "a table";
        case toml::node_type::array:
            return "an array";
        case toml::node_type::string:
            return "a string";
        case toml::node_type::integer:
            return "an integer";
        case toml::node_type::floating_point:
            return "a number with a fraction";
        case toml::node_type::boolean:
            return "true or false";
        case toml::node_type::date:
        case toml::node_type::time:
        case toml::node_type::date_time:
            return "a date or time";
        case toml::node_type::none:
            break;
    }
    return "nothing";
}

bool LineNameOk(const std::string& name) {
    if (name.empty() || name.size() > 32) {
        return false;
    }
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '_';
    });
}

// Point names become URL paths and MQTT topics: printable ASCII without the
// MQTT wildcards and the characters a URL or a JSON text would have to
// escape, no empty level, and no level that the MQTT front end uses itself.
std::string PointNameFault(const std::string& name) {
    if (name.empty() || name.size() > 100) {
        return "must be 1 to 100 characters long";
    }
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u >= 0x7F || c == '+' || c == '#' || c == '"' || c == '\\' || c == '?' ||
            c == '%') {
            return "may hold printable ASCII characters other than + # \" \\ ? %";
        }
    }
    if (name.front() == '/' || name.back() == '/' || name.find("//") != std::string::npos) {
        return "must not start or end with '/' or hold \"//\" (no empty level)";
    }
    if (name.front() == ' ' || name.back() == ' ') {
        return "must not start or end with a space";
    }
    const std::size_t slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    if (last == "set" || last == "result") {
        return "must not end in a level \"set\" or \"result\" (the MQTT front end's write topics)";
    }
    if (name.rfind("station/", 0) == 0) {
        return "must not start with \"station/\" (the MQTT front end's station topics)";
    }
    return "";
}

class Reader {
public:
    Reader(const std::string& path, host::Session& parser, std::vector<std::string>& errors)
        : path_(path), parser_(parser), errors_(errors) {}

    void Read(const toml::table& root, Plant& plant) {
        plant.path = path_;
        CheckKeys(root, "", {"gateway", "line"});
        if (const toml::node* node = root.get("gateway")) {
            if (const toml::table* gateway = TableOf(*node, "gateway")) {
                ReadGateway(*gateway, plant.gateway);
            }
        }
        const toml::node* lines = root.get("line");
        if (lines == nullptr) {
            Error(1, "line", "the plant has no [[line]]: name at least one line and its points");
        } else if (const toml::array* array = ArrayOfTables(*lines, "line", "[[line]]")) {
            for (const toml::node& entry : *array) {
                LineConfig line;
                ReadLine(*entry.as_table(), line);
                plant.lines.push_back(std::move(line));
            }
        }
        CheckAcrossLines(plant);
    }

private:
    static int LineOf(const toml::node& node) { return static_cast<int>(node.source().begin.line); }

    void Error(int line, const std::string& key, const std::string& what) {
        errors_.push_back(path_ + ":" + std::to_string(std::max(line, 1)) + ": " + key + ": " +
                          what);
    }

    static std::string Join(const std::string& prefix, const std::string& key) {
        return prefix.empty() ? key : prefix + "." + key;
    }

    void CheckKeys(const toml::table& table, const std::string& prefix,
                   const std::vector<std::string>& allowed) {
        for (auto&& [key, node] : table) {
            const std::string name(key.str());
            if (std::find(allowed.begin(), allowed.end(), name) != allowed.end()) {
                continue;
            }
            const int line = static_cast<int>(key.source().begin.line);
            if (name == "mqtt_password") {
                Error(line, Join(prefix, name),
                      "the plant file holds no passwords: put the password alone in a file "
                      "readable only by the gateway and name that file in mqtt_password_file");
                continue;
            }
            std::string hint;
            std::size_t best = 3;
            for (const std::string& candidate : allowed) {
                const std::size_t d = EditDistance(name, candidate);
                if (d < best) {
                    best = d;
                    hint = "; did you mean " + candidate + "?";
                }
            }
            std::string known;
            for (const std::string& candidate : allowed) {
                known += (known.empty() ? "" : ", ") + candidate;
            }
            Error(line, Join(prefix, name),
                  "unknown key" + (hint.empty() ? " (known here: " + known + ")" : hint));
            (void)node;
        }
    }

    const toml::table* TableOf(const toml::node& node, const std::string& key) {
        if (const toml::table* table = node.as_table()) {
            return table;
        }
        Error(LineOf(node), key,
              std::string("must be a table ([") + key + "]), not " + TypeName(node.type()));
        return nullptr;
    }

    const toml::array* ArrayOfTables(const toml::node& node, const std::string& key,
                                     const std::string& header) {
        const toml::array* array = node.as_array();
        if (array == nullptr || !array->is_array_of_tables()) {
            Error(LineOf(node), key,
                  "must be written as one " + header + " table per entry, not " +
                      TypeName(node.type()));
            return nullptr;
        }
        return array;
    }

    bool Integer(const toml::table& table, const std::string& prefix, const char* key,
                 long long low, long long high, int& out, const char* unit = "") {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return false;
        }
        const auto* value = node->as_integer();
        if (value == nullptr) {
            Error(LineOf(*node), Join(prefix, key),
                  std::string("must be an integer, not ") + TypeName(node->type()));
            return false;
        }
        const long long v = value->get();
        if (v < low || v > high) {
            Error(LineOf(*node), Join(prefix, key),
                  "must be " + std::to_string(low) + " to " + std::to_string(high) + unit +
                      ", not " + std::to_string(v));
            return false;
        }
        out = static_cast<int>(v);
        return true;
    }

    bool Boolean(const toml::table& table, const std::string& prefix, const char* key, bool& out) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return false;
        }
        const auto* value = node->as_boolean();
        if (value == nullptr) {
            Error(LineOf(*node), Join(prefix, key),
                  std::string("must be true or false, not ") + TypeName(node->type()));
            return false;
        }
        out = value->get();
        return true;
    }

    bool String(const toml::table& table, const std::string& prefix, const char* key,
                std::string& out) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return false;
        }
        const auto* value = node->as_string();
        if (value == nullptr) {
            Error(LineOf(*node), Join(prefix, key),
                  std::string("must be a string in quotes, not ") + TypeName(node->type()));
            return false;
        }
        out = value->get();
        return true;
    }

    int KeyLine(const toml::table& table, const char* key) {
        const toml::node* node = table.get(key);
        return node != nullptr ? LineOf(*node) : LineOf(table);
    }

    // An array of strings; false (with an error) for anything else.
    bool Strings(const toml::table& table, const char* key, std::vector<std::string>& out) {
        const toml::node* node = table.get(key);
        if (node == nullptr) {
            return false;
        }
        const toml::array* array = node->as_array();
        std::vector<std::string> values;
        if (array != nullptr) {
            for (const toml::node& entry : *array) {
                if (const auto* text = entry.as_string()) {
                    values.push_back(text->get());
                } else {
                    array = nullptr;
                    break;
                }
            }
        }
        if (array == nullptr) {
            Error(LineOf(*node), Join("gateway", key),
                  "must be a list of strings, e.g. [\"a\", \"b\"], not " +
                      std::string(TypeName(node->type())));
            return false;
        }
        out = std::move(values);
        return true;
    }

    void AddressBlocks(const toml::table& table, const char* key, std::vector<AddressBlock>& out,
                       std::vector<std::string>& text) {
        std::vector<std::string> entries;
        if (!Strings(table, key, entries)) {
            return;
        }
        std::vector<AddressBlock> blocks;
        for (const std::string& entry : entries) {
            AddressBlock block;
            std::string why;
            if (!ParseAddressBlock(entry, block, why)) {
                Error(KeyLine(table, key), Join("gateway", key), why);
                return;
            }
            blocks.push_back(block);
        }
        out = std::move(blocks);
        text = std::move(entries);
    }

    void Listen(const toml::table& table, const char* key, std::string& out) {
        if (String(table, "gateway", key, out) && !out.empty()) {
            ListenAddress address;
            std::string why;
            if (!ParseListenAddress(out, address, why)) {
                Error(KeyLine(table, key), Join("gateway", key), why + "; \"\" turns it off");
            }
        }
    }

    void ReadGateway(const toml::table& table, GatewayConfig& g) {
        CheckKeys(table, "gateway", kGatewayKeys);
        Listen(table, "http", g.http);
        String(table, "gateway", "http_tls_cert", g.httpTlsCert);
        String(table, "gateway", "http_tls_key", g.httpTlsKey);
        if (g.httpTlsCert.empty() != g.httpTlsKey.empty()) {
            Error(KeyLine(table, g.httpTlsCert.empty() ? "http_tls_key" : "http_tls_cert"),
                  g.httpTlsCert.empty() ? "gateway.http_tls_key" : "gateway.http_tls_cert",
                  "HTTPS needs both http_tls_cert and http_tls_key (PEM files)");
        }
        if (Strings(table, "http_hosts", g.httpHosts)) {
            for (const std::string& host : g.httpHosts) {
                if (host.empty() || host.find_first_of(" /:@\t") != std::string::npos) {
                    Error(KeyLine(table, "http_hosts"), "gateway.http_hosts",
                          Quote(host) + " is not a host name (no port, no scheme)");
                }
            }
        }
        Boolean(table, "gateway", "http_public_read", g.httpPublicRead);
        String(table, "gateway", "users_file", g.usersFile);
        String(table, "gateway", "audit_file", g.auditFile);
        Integer(table, "gateway", "audit_max_mb", 1, 65536, g.auditMaxMb, " MB");
        Boolean(table, "gateway", "read_only", g.readOnly);
        Listen(table, "modbus", g.modbus);
        Integer(table, "gateway", "modbus_max_clients", 1, 1024, g.modbusMaxClients);
        Integer(table, "gateway", "modbus_clients_per_address", 1, 1024, g.modbusClientsPerAddress);
        Integer(table, "gateway", "modbus_idle_s", 1, 86400, g.modbusIdleS, " s");
        AddressBlocks(table, "modbus_clients", g.modbusClients, g.modbusClientsText);
        AddressBlocks(table, "modbus_write_clients", g.modbusWriteClients,
                      g.modbusWriteClientsText);
        if (const toml::node* node = table.get("modbus_readthrough_share")) {
            const std::optional<double> share = node->value<double>();
            if (!share || !(*share > 0.0) || *share > 1.0) {
                Error(LineOf(*node), "gateway.modbus_readthrough_share",
                      "must be a number above 0 and at most 1 (the share of a line's time "
                      "reads of registers no point covers may take)");
            } else {
                g.modbusReadthroughShare = *share;
            }
        }
        if (String(table, "gateway", "mqtt", g.mqtt) && !g.mqtt.empty()) {
            BrokerAddress broker;
            std::string why;
            if (!ParseBrokerUrl(g.mqtt, broker, why)) {
                Error(KeyLine(table, "mqtt"), "gateway.mqtt", why + "; \"\" turns it off");
            }
        }
        if (String(table, "gateway", "mqtt_prefix", g.mqttPrefix)) {
            const std::string& p = g.mqttPrefix;
            if (p.empty() || p.front() == '/' || p.back() == '/' ||
                p.find_first_of("+# ") != std::string::npos || p.find("//") != std::string::npos) {
                Error(KeyLine(table, "mqtt_prefix"), "gateway.mqtt_prefix",
                      Quote(p) +
                          " is not a topic prefix: one or more levels separated by '/', "
                          "without spaces, '+' or '#'");
            }
        }
        if (String(table, "gateway", "mqtt_client_id", g.mqttClientId)) {
            const std::string& id = g.mqttClientId;
            const bool printable = std::all_of(id.begin(), id.end(), [](char c) {
                return static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F;
            });
            if (id.size() > 128 || !printable) {
                Error(KeyLine(table, "mqtt_client_id"), "gateway.mqtt_client_id",
                      "must be up to 128 printable ASCII characters without spaces (\"\": "
                      "westnet-gateway-HOSTNAME)");
            }
        }
        String(table, "gateway", "mqtt_username", g.mqttUsername);
        String(table, "gateway", "mqtt_password_file", g.mqttPasswordFile);
        String(table, "gateway", "mqtt_ca_file", g.mqttCaFile);
        String(table, "gateway", "mqtt_cert_file", g.mqttCertFile);
        String(table, "gateway", "mqtt_key_file", g.mqttKeyFile);
        if (g.mqttCertFile.empty() != g.mqttKeyFile.empty()) {
            Error(KeyLine(table, g.mqttCertFile.empty() ? "mqtt_key_file" : "mqtt_cert_file"),
                  g.mqttCertFile.empty() ? "gateway.mqtt_key_file" : "gateway.mqtt_cert_file",
                  "a client certificate needs both mqtt_cert_file and mqtt_key_file");
        }
        if (!g.mqttPasswordFile.empty() && g.mqttUsername.empty()) {
            Error(KeyLine(table, "mqtt_password_file"), "gateway.mqtt_password_file",
                  "a password needs its mqtt_username");
        }
        Integer(table, "gateway", "mqtt_republish_s", 1, 86400, g.mqttRepublishS, " s");
        Integer(table, "gateway", "mqtt_buffer_mb", 0, 65536, g.mqttBufferMb, " MB");
        String(table, "gateway", "mqtt_buffer_file", g.mqttBufferFile);
        if (String(table, "gateway", "sparkplug", g.sparkplug) && !g.sparkplug.empty()) {
            BrokerAddress broker;
            std::string why;
            if (!ParseBrokerUrl(g.sparkplug, broker, why)) {
                Error(KeyLine(table, "sparkplug"), "gateway.sparkplug",
                      why + "; \"\" turns it off");
            }
        }
        // Each is one level of a Sparkplug topic.
        const std::pair<const char*, std::string*> ids[] = {
            {"sparkplug_group", &g.sparkplugGroup},
            {"sparkplug_node", &g.sparkplugNode},
            {"sparkplug_primary_host", &g.sparkplugPrimaryHost}};
        for (const auto& [key, value] : ids) {
            if (String(table, "gateway", key, *value)) {
                const bool optional = std::string(key) == "sparkplug_primary_host";
                if ((value->empty() && !optional) ||
                    value->find_first_of("/+#") != std::string::npos) {
                    Error(KeyLine(table, key), std::string("gateway.") + key,
                          Quote(*value) +
                              " is not a Sparkplug id: one topic level, not empty, "
                              "without '/', '+' or '#'");
                }
            }
        }
        Boolean(table, "gateway", "sparkplug_aliases", g.sparkplugAliases);
        ReadOpcua(table, g);
        if (String(table, "gateway", "history", g.history) && !g.history.empty()) {
            HistoryTarget target;
            std::string why;
            if (!ParseHistoryTarget(g.history, target, why)) {
                Error(KeyLine(table, "history"), "gateway.history", why + "; \"\" turns it off");
            }
        }
        Integer(table, "gateway", "history_keep_days", 1, 36500, g.historyKeepDays, " days");
        Integer(table, "gateway", "history_max_mb", 1, 16777216, g.historyMaxMb, " MB");
        if (String(table, "gateway", "history_spool", g.historySpool) && g.historySpool.empty()) {
            Error(KeyLine(table, "history_spool"), "gateway.history_spool",
                  "must name a file (where rows wait while the history's server is away)");
        }
        gatewayLine_ = LineOf(table);
    }

    void ReadOpcua(const toml::table& table, GatewayConfig& g) {
        Listen(table, "opcua", g.opcua);
        Boolean(table, "gateway", "opcua_allow_none", g.opcuaAllowNone);
        ListenAddress address;
        std::string why;
        // Without security anyone on the network reads the plant and, with a
        // password sniffed on the way, writes it: only a bench on this machine.
        if (g.opcuaAllowNone && !g.opcua.empty() && ParseListenAddress(g.opcua, address, why) &&
            !IsLoopbackHost(address.host)) {
            Error(KeyLine(table, "opcua_allow_none"), "gateway.opcua_allow_none",
                  "an endpoint without security is for a test bench on this machine: "
                  "opcua must then listen on a loopback address, not " +
                      Quote(address.host));
        }
        if (String(table, "gateway", "opcua_trust_clients", g.opcuaTrustClients) &&
            g.opcuaTrustClients != "listed" && g.opcuaTrustClients != "all") {
            Error(KeyLine(table, "opcua_trust_clients"), "gateway.opcua_trust_clients",
                  Quote(g.opcuaTrustClients) + " is neither \"listed\" nor \"all\"");
        }
        if (String(table, "gateway", "opcua_pki", g.opcuaPki) && g.opcuaPki.empty()) {
            Error(KeyLine(table, "opcua_pki"), "gateway.opcua_pki",
                  "must name a folder for the OPC UA certificates");
        }
    }

    void ReadFormat(const toml::table& table, LineConfig& line) {
        if (!String(table, "line", "format", line.format)) {
            return;
        }
        const std::string& f = line.format;
        const std::string parities = "NOEMS";
        const std::size_t parity = f.size() >= 3
                                       ? parities.find(static_cast<char>(std::toupper(f[1])))
                                       : std::string::npos;
        const std::string stop = f.size() >= 3 ? f.substr(2) : "";
        if (f.size() < 3 || f[0] < '5' || f[0] > '8' || parity == std::string::npos ||
            (stop != "1" && stop != "1.5" && stop != "2")) {
            Error(KeyLine(table, "format"), "line.format",
                  Quote(f) +
                      " is not a character format: data bits 5 to 8, parity N, O, E, M or S, "
                      "stop bits 1, 1.5 or 2, as \"8O2\"");
            return;
        }
        line.dataBits = f[0] - '0';
        line.parityCode = static_cast<int>(parity);
        line.stopBitsCode = stop == "1" ? 0 : stop == "1.5" ? 1 : 2;
        // What a UART can send, and so what the serial layer accepts.
        if (line.stopBitsCode == 1 && line.dataBits != 5) {
            Error(KeyLine(table, "format"), "line.format",
                  "1.5 stop bits exist only with 5 data bits");
        } else if (line.stopBitsCode == 2 && line.dataBits == 5) {
            Error(KeyLine(table, "format"), "line.format",
                  "5 data bits take 1 or 1.5 stop bits, not 2");
        }
    }

    void ReadLine(const toml::table& table, LineConfig& line) {
        line.fileLine = LineOf(table);
        CheckKeys(table, "line", kLineKeys);
        if (!String(table, "line", "name", line.name)) {
            if (table.get("name") == nullptr) {
                Error(line.fileLine, "line.name", "every [[line]] needs a name");
            }
        } else if (!LineNameOk(line.name)) {
            Error(KeyLine(table, "name"), "line.name",
                  Quote(line.name) + " may hold only letters, digits, '-' and '_' (1 to 32)");
        }
        if (!String(table, "line", "device", line.device)) {
            if (table.get("device") == nullptr) {
                Error(line.fileLine, "line.device",
                      "every [[line]] needs the device its serial port opens as");
            }
        } else if (line.device.empty()) {
            Error(KeyLine(table, "device"), "line.device", "must name a serial device");
        }
        int baud = line.baud;
        if (const toml::node* node = table.get("baud")) {
            const auto* value = node->as_integer();
            if (value == nullptr) {
                Error(LineOf(*node), "line.baud",
                      std::string("must be an integer, not ") + TypeName(node->type()));
            } else if (!BaudRateSupported(value->get())) {
                Error(LineOf(*node), "line.baud",
                      std::to_string(value->get()) +
                          " is not a rate the line can run at: one of 50, 75, 110, 134, 150, "
                          "200, 300, 600, 1200, 1800, 2400, 4800, 9600, 19200, 38400, 57600 "
                          "(the driver's line parameters hold the rate in 16 bits)");
            } else {
                baud = static_cast<int>(value->get());
            }
        }
        line.baud = baud;
        ReadFormat(table, line);
        Integer(table, "line", "timeout_ms", 10, 60000, line.timeoutMs, " ms");
        Integer(table, "line", "demote_after", 1, 1000, line.demoteAfter);
        Integer(table, "line", "demote_ms", 100, 86400000, line.demoteMs, " ms");
        Integer(table, "line", "max_gap", 0, 63, line.maxGap);
        Integer(table, "line", "modbus_unit_offset", 0, kUnitMax, line.modbusUnitOffset);
        std::string writes;
        if (String(table, "line", "writes", writes)) {
            if (writes == "points") {
                line.writes = WritePolicy::Points;
            } else if (writes == "any") {
                line.writes = WritePolicy::Any;
            } else if (writes == "none") {
                line.writes = WritePolicy::None;
            } else {
                Error(KeyLine(table, "writes"), "line.writes",
                      Quote(writes) + " must be \"points\", \"any\" or \"none\"");
            }
        }
        std::string confirm;
        if (String(table, "line", "confirm", confirm)) {
            if (confirm == "auto") {
                line.confirm = ConfirmPolicy::Auto;
            } else if (confirm == "always") {
                line.confirm = ConfirmPolicy::Always;
            } else if (confirm == "never") {
                line.confirm = ConfirmPolicy::Never;
            } else {
                Error(KeyLine(table, "confirm"), "line.confirm",
                      Quote(confirm) + " must be \"auto\", \"always\" or \"never\"");
            }
        }
        const toml::node* points = table.get("point");
        if (points == nullptr) {
            Error(line.fileLine, "line.point",
                  "the line has no [[line.point]]: a line is scanned for its points");
            return;
        }
        if (const toml::array* array = ArrayOfTables(*points, "line.point", "[[line.point]]")) {
            coilLines_.clear();
            for (const toml::node& entry : *array) {
                PointConfig point;
                if (ReadPoint(*entry.as_table(), point)) {
                    line.points.push_back(std::move(point));
                    coilLines_.push_back(KeyLine(*entry.as_table(), "coil"));
                }
            }
        }
        CheckPoints(table, line);
    }

    // Checks the text as the driver will read it and decodes it with the
    // driver's own parse command.
    bool Address(const toml::table& table, PointConfig& point) {
        const int at = KeyLine(table, "address");
        const std::string& text = point.address;
        if (text.size() < 7 || text.size() > 12) {
            Error(at, "line.point.address",
                  Quote(text) +
                      " is not an address: two station digits and five register digits "
                      "(\"0140001\"), for a bit point followed by a space and the bit number "
                      "1 to 16 (\"0140002 3\"), 12 characters at most");
            return false;
        }
        const bool bit = text.size() > 7;
        if (bit) {
            // The driver ends the bit number at the first character that is
            // not a digit and ignores the rest; here the rest is a typo.
            std::size_t i = 7;
            while (i < text.size() && text[i] == ' ') {
                ++i;
            }
            const std::string number = text.substr(i);
            if (number.empty() || !std::all_of(number.begin(), number.end(),
                                               [](char c) { return c >= '0' && c <= '9'; })) {
                Error(at, "line.point.address",
                      Quote(text) +
                          ": after the seven address characters only spaces and the "
                          "bit number 1 to 16 may follow");
                return false;
            }
            if (point.count > 0) {
                Error(KeyLine(table, "count"), "line.point.count",
                      "a bit point is one bit: count is for blocks of words");
                return false;
            }
        }
        // The driver checks a block by its words: count values of the type's width.
        const int words = point.count * point.format.Width();
        if (words > kBlockWordsMax) {
            Error(KeyLine(table, "count"), "line.point.count",
                  std::to_string(point.count) + " " + values::TypeName(point.format.type) +
                      " values take " + std::to_string(words) +
                      " words; a block reads 64 words at most");
            return false;
        }
        const host::ParsedPoint parsed = parser_.Parse(text, bit, words);
        if (parsed.result != ResOk) {
            Error(at, "line.point.address",
                  Quote(text) + " refused by the driver's address check (result " +
                      std::to_string(parsed.result) +
                      "): station 00 to 99, register 00001 to 65535" +
                      (bit ? ", bit 1 to 16" : "") +
                      (point.count > 0 ? ", a block of 1 to 64 words" : ""));
            return false;
        }
        point.station = parsed.record.station;
        point.reg = parsed.record.reg;
        point.bit = bit ? parsed.record.bit : -1;
        // The file names registers 00001 to 65535: a two-register value
        // needs its second half there too.
        if (!point.IsBlock() && point.Words() == 2 && point.reg + 1 >= 65535) {
            Error(KeyLine(table, "type"), "line.point.type",
                  std::string(values::TypeName(point.format.type)) + " takes two registers, and " +
                      Quote(text) + " is the last one (65535): start it a register lower");
            return false;
        }
        if (point.reg + point.Words() > 65536) {
            if (point.IsBlock()) {
                Error(KeyLine(table, "count"), "line.point.count",
                      "the block of " + std::to_string(point.Words()) + " words from " +
                          Quote(text) + " runs past register 65535");
            } else {
                Error(KeyLine(table, "type"), "line.point.type",
                      std::string(values::TypeName(point.format.type)) +
                          " takes two registers, and " + Quote(text) +
                          " is the last one (65535): start it a register lower");
            }
            return false;
        }
        return true;
    }

    bool ReadPoint(const toml::table& table, PointConfig& point) {
        point.fileLine = LineOf(table);
        CheckKeys(table, "line.point", kPointKeys);
        bool ok = true;
        if (!String(table, "line.point", "address", point.address)) {
            if (table.get("address") == nullptr) {
                Error(point.fileLine, "line.point.address",
                      "every [[line.point]] needs an address, as \"0140001\"");
            }
            ok = false;
        }
        if (String(table, "line.point", "name", point.name)) {
            const std::string fault = PointNameFault(point.name);
            if (!fault.empty()) {
                Error(KeyLine(table, "name"), "line.point.name", Quote(point.name) + " " + fault);
                ok = false;
            }
        } else {
            point.name = point.address;
        }
        Integer(table, "line.point", "scan_ms", 10, 86400000, point.scanMs, " ms");
        Boolean(table, "line.point", "writable", point.writable);
        if (table.get("count") != nullptr &&
            !Integer(table, "line.point", "count", 1, 64, point.count, " values")) {
            ok = false;
        }
        if (const toml::node* node = table.get("deadband")) {
            const auto* f = node->as_floating_point();
            const auto* i = node->as_integer();
            const double value = f != nullptr   ? f->get()
                                 : i != nullptr ? static_cast<double>(i->get())
                                                : -1.0;
            if ((f == nullptr && i == nullptr) || !std::isfinite(value) || value < 0) {
                Error(LineOf(*node), "line.point.deadband", "must be a number of 0 or more");
            } else {
                point.deadband = value;
            }
        }
        Boolean(table, "line.point", "history", point.history);
        if (const toml::node* node = table.get("history_deadband")) {
            double value = -1;
            if (!Number(*node, value) || !std::isfinite(value) || value < 0) {
                Error(LineOf(*node), "line.point.history_deadband",
                      "must be a number of 0 or more (engineering units)");
            } else {
                point.historyDeadband = value;
            }
        }
        Integer(table, "line.point", "history_keepalive_s", 0, 86400, point.historyKeepaliveS,
                " s");
        int coil = 0;
        if (Integer(table, "line.point", "coil", 0, 65535, coil)) {
            point.coil = coil;
        }
        if (!ReadFormat(table, point)) {
            ok = false;
        }
        if (ok && !Address(table, point)) {
            ok = false;
        }
        if (ok && !CheckFormat(table, point)) {
            ok = false;
        }
        if (ok && point.coil && !point.IsBit()) {
            Error(KeyLine(table, "coil"), "line.point.coil",
                  "only a bit point (an address with a bit number) can be a coil");
        }
        if (ok && point.name == point.address && !PointNameFault(point.name).empty()) {
            Error(point.fileLine, "line.point.name", "the address makes no usable name: give one");
        }
        return ok;
    }

    // A number of the file, integer or not.
    static bool Number(const toml::node& node, double& out) {
        if (const auto* f = node.as_floating_point()) {
            out = f->get();
            return true;
        }
        if (const auto* i = node.as_integer()) {
            out = static_cast<double>(i->get());
            return true;
        }
        return false;
    }

    // type, word_order, scale, clamp, unit, decimals: each key alone. What
    // they mean together, and with the address, CheckFormat checks.
    bool ReadFormat(const toml::table& table, PointConfig& point) {
        bool ok = true;
        values::Format& f = point.format;
        std::string text;
        if (String(table, "line.point", "type", text) && !values::ParseType(text, f.type)) {
            Error(KeyLine(table, "type"), "line.point.type",
                  Quote(text) + " is not a type; types are " + values::TypeNames());
            ok = false;
        }
        if (String(table, "line.point", "word_order", text) &&
            !values::ParseWordOrder(text, f.order)) {
            Error(KeyLine(table, "word_order"), "line.point.word_order",
                  Quote(text) + " must be \"low-first\" or \"high-first\"");
            ok = false;
        }
        if (const toml::node* node = table.get("scale")) {
            const toml::array* array = node->as_array();
            double ends[4] = {};
            bool shape = array != nullptr && array->size() == 4;
            for (std::size_t i = 0; shape && i < 4; ++i) {
                const toml::node* end = array->get(i);
                shape = end != nullptr && Number(*end, ends[i]) && std::isfinite(ends[i]);
            }
            if (!shape) {
                Error(LineOf(*node), "line.point.scale",
                      "must be four numbers [raw low, raw high, engineering low, engineering "
                      "high], e.g. [0, 10000, 0.0, 100.0]");
                ok = false;
            } else if (ends[0] == ends[1] || ends[2] == ends[3]) {
                Error(LineOf(*node), "line.point.scale",
                      ends[0] == ends[1] ? "the raw ends are equal: no line runs through them"
                                         : "the engineering ends are equal: every raw value "
                                           "would mean the same");
                ok = false;
            } else {
                f.scaled = true;
                f.scale = {ends[0], ends[1], ends[2], ends[3]};
            }
        }
        Boolean(table, "line.point", "clamp", f.clamp);
        if (String(table, "line.point", "unit", point.unit)) {
            const bool printable = point.unit.size() <= 32 &&
                                   std::none_of(point.unit.begin(), point.unit.end(), [](char c) {
                                       const auto u = static_cast<unsigned char>(c);
                                       return u < 0x20 || u == 0x7F || c == '"' || c == '\\';
                                   });
            if (!printable) {
                Error(KeyLine(table, "unit"), "line.point.unit",
                      Quote(point.unit) +
                          " must be at most 32 bytes without control characters, quotes or "
                          "backslashes");
                ok = false;
            }
        }
        if (table.get("decimals") != nullptr &&
            !Integer(table, "line.point", "decimals", 0, 10, point.decimals)) {
            ok = false;
        }
        return ok;
    }

    // The keys of ReadFormat together, once the address says whether the
    // point is a bit.
    bool CheckFormat(const toml::table& table, PointConfig& point) {
        values::Format& f = point.format;
        const bool typed = table.get("type") != nullptr;
        if (point.IsBit()) {
            if (typed && f.type != values::Type::Bool) {
                Error(KeyLine(table, "type"), "line.point.type",
                      std::string("a bit point is one bit: its type is bool, not ") +
                          values::TypeName(f.type));
                return false;
            }
            f.type = values::Type::Bool;
            for (const char* key : {"scale", "clamp", "word_order"}) {
                if (table.get(key) != nullptr) {
                    Error(KeyLine(table, key), std::string("line.point.") + key,
                          "a bit point is 0 or 1: it takes no " + std::string(key));
                    return false;
                }
            }
            return true;
        }
        if (f.type == values::Type::Bool) {
            Error(KeyLine(table, "type"), "line.point.type",
                  "bool is the type of a bit point: give the address its bit number, as "
                  "\"0140002 3\"");
            return false;
        }
        if (table.get("word_order") != nullptr && f.Width() != 2) {
            Error(KeyLine(table, "word_order"), "line.point.word_order",
                  std::string(values::TypeName(f.type)) +
                      " is one register: word_order is for uint32, int32 and float32");
            return false;
        }
        if (f.clamp && !f.scaled) {
            Error(KeyLine(table, "clamp"), "line.point.clamp",
                  "clamps to the scale's engineering range: give a scale too");
            return false;
        }
        if (f.scaled) {
            const double low = values::RawMin(f.type);
            const double high = values::RawMax(f.type);
            for (const double end : {f.scale.rawLo, f.scale.rawHi}) {
                if (end < low || end > high) {
                    Error(KeyLine(table, "scale"), "line.point.scale",
                          "raw end " + values::FormatValue(end) + " is outside what " +
                              values::TypeName(f.type) + " holds (" + values::FormatValue(low) +
                              " to " + values::FormatValue(high) + ")");
                    return false;
                }
            }
        }
        return true;
    }

    // What only the points of one line together can get wrong.
    void CheckPoints(const toml::table& table, LineConfig& line) {
        std::map<std::string, int> names;
        std::map<std::pair<int, int>, int> coils;
        std::set<int> stations;
        for (std::size_t i = 0; i < line.points.size(); ++i) {
            const PointConfig& p = line.points[i];
            stations.insert(p.station);
            const auto name = names.emplace(p.name, p.fileLine);
            if (!name.second) {
                Error(p.fileLine, "line.point.name",
                      Quote(p.name) + " names a point of line " + Quote(line.name) +
                          " already (line " + std::to_string(name.first->second) +
                          "); point names are unique per line");
            }
            if (p.coil) {
                const auto coil = coils.emplace(std::make_pair(p.station, *p.coil), coilLines_[i]);
                if (!coil.second) {
                    Error(coilLines_[i], "line.point.coil",
                          "coil " + std::to_string(*p.coil) + " of station " +
                              std::to_string(p.station) + " is given already (line " +
                              std::to_string(coil.first->second) + ")");
                }
            }
        }
        if (stations.count(0) != 0 && stations.size() > 1) {
            Error(line.fileLine, "line.point.address",
                  "station 00 shares line " + Quote(line.name) +
                      " with other stations: the driver never selects station 00, so its "
                      "commands would reach whichever station the line selected last; give "
                      "station 00 a line of its own");
        }
        lineStations_.push_back({line.fileLine, KeyLine(table, "modbus_unit_offset"), stations});
    }

    void CheckAcrossLines(const Plant& plant) {
        std::map<std::string, int> names;
        std::map<std::string, int> devices;
        for (const LineConfig& line : plant.lines) {
            if (!line.name.empty()) {
                const auto name = names.emplace(line.name, line.fileLine);
                if (!name.second) {
                    Error(line.fileLine, "line.name",
                          Quote(line.name) + " names a line already (line " +
                              std::to_string(name.first->second) + ")");
                }
            }
            if (!line.device.empty()) {
                char resolved[4096];
                const std::string key =
                    realpath(line.device.c_str(), resolved) != nullptr ? resolved : line.device;
                const auto device = devices.emplace(key, line.fileLine);
                if (!device.second) {
                    Error(line.fileLine, "line.device",
                          Quote(line.device) + " is the device of another line already (line " +
                              std::to_string(device.first->second) +
                              "): a serial port has one owner");
                }
            }
        }
        if (plant.gateway.modbus.empty() || lineStations_.size() != plant.lines.size()) {
            return;
        }
        // Modbus clients reach a station as unit offset + station: no unit
        // may stand for two stations.
        struct Range {
            int low;
            int high;
            std::size_t line;
        };
        std::vector<Range> ranges;
        for (std::size_t i = 0; i < plant.lines.size(); ++i) {
            const LineConfig& line = plant.lines[i];
            const std::set<int>& stations = lineStations_[i].stations;
            if (stations.empty()) {
                continue;
            }
            const int low = line.modbusUnitOffset + *stations.begin();
            const int high = line.modbusUnitOffset + *stations.rbegin();
            if (low < kUnitMin || high > kUnitMax) {
                Error(lineStations_[i].offsetLine, "line.modbus_unit_offset",
                      "stations " + std::to_string(*stations.begin()) + " to " +
                          std::to_string(*stations.rbegin()) + " of line " + Quote(line.name) +
                          " would be Modbus units " + std::to_string(low) + " to " +
                          std::to_string(high) +
                          "; units are 1 to 247 (unit = "
                          "modbus_unit_offset + station)");
                continue;
            }
            for (const Range& other : ranges) {
                if (low <= other.high && other.low <= high) {
                    Error(lineStations_[i].offsetLine, "line.modbus_unit_offset",
                          "Modbus units " + std::to_string(low) + " to " + std::to_string(high) +
                              " of line " + Quote(line.name) + " overlap units " +
                              std::to_string(other.low) + " to " + std::to_string(other.high) +
                              " of line " + Quote(plant.lines[other.line].name) +
                              " (unit = modbus_unit_offset + station): give one of them "
                              "another offset, or turn Modbus off with modbus = \"\"");
                }
            }
            ranges.push_back({low, high, i});
        }
        ListenAddress http;
        ListenAddress modbus;
        std::string why;
        if (!plant.gateway.http.empty() && ParseListenAddress(plant.gateway.http, http, why) &&
            ParseListenAddress(plant.gateway.modbus, modbus, why) && http.port != 0 &&
            http.port == modbus.port && http.host == modbus.host) {
            Error(gatewayLine_, "gateway.modbus", "listens where gateway.http does");
        }
    }

    struct LineStations {
        int headerLine;
        int offsetLine;
        std::set<int> stations;
    };

    std::string path_;
    host::Session& parser_;
    std::vector<std::string>& errors_;
    int gatewayLine_ = 1;
    std::vector<int> coilLines_;  // of the line being read, by point
    std::vector<LineStations> lineStations_;
};

}  // namespace

bool BaudRateSupported(long long baud) {
    return std::find(std::begin(kBauds), std::end(kBauds), baud) != std::end(kBauds);
}

bool ReadPlantText(const std::string& text, const std::string& path, host::Session& parser,
                   Plant& plant, std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    Plant read;
    try {
        const toml::table root = toml::parse(text, path);
        Reader(path, parser, errors).Read(root, read);
    } catch (const toml::parse_error& e) {
        errors.push_back(path + ":" + std::to_string(e.source().begin.line) + ": " +
                         "TOML: " + std::string(e.description()));
    }
    if (errors.size() != before) {
        return false;
    }
    plant = std::move(read);
    return true;
}

bool ReadPlantFile(const std::string& path, host::Session& parser, Plant& plant,
                   std::vector<std::string>& errors) {
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        errors.push_back(path + ": cannot read the plant file: " + std::strerror(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        errors.push_back(path + ": is not a plant file but a directory or device");
        return false;
    }
    if (static_cast<std::size_t>(info.st_size) > kPlantFileMax) {
        errors.push_back(path + ": " + std::to_string(info.st_size) +
                         " bytes is too big for a plant file (at most " +
                         std::to_string(kPlantFileMax) + ")");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in.good() && !in.eof()) {
        errors.push_back(path + ": cannot read the plant file");
        return false;
    }
    return ReadPlantText(text.str(), path, parser, plant, errors);
}

}  // namespace westnet::gateway
