// The plant file of westnet-gateway: what users write (TOML), as the rest of
// the daemon sees it once it has been read and checked. Every key of the
// file has a field here; the names follow the file's keys.
//
//   [gateway]            http, http_tls_cert, http_tls_key, http_hosts,
//                        http_public_read, users_file, audit_file,
//                        audit_max_mb, read_only, modbus, modbus_max_clients,
//                        modbus_clients_per_address, modbus_idle_s,
//                        modbus_clients, modbus_write_clients,
//                        modbus_readthrough_share, mqtt, mqtt_prefix,
//                        mqtt_client_id, mqtt_username, mqtt_password_file,
//                        mqtt_ca_file, mqtt_cert_file, mqtt_key_file,
//                        mqtt_republish_s, mqtt_buffer_mb, mqtt_buffer_file,
//                        sparkplug, sparkplug_group,
//                        sparkplug_node, sparkplug_primary_host,
//                        sparkplug_aliases, opcua, opcua_allow_none,
//                        opcua_trust_clients, opcua_pki, history, history_keep_days,
//                        history_max_mb, history_spool
//   [[line]]             name, device, baud, format, timeout_ms, demote_after,
//                        demote_ms, max_gap, modbus_unit_offset, writes
//   [[line.point]]       address, name, scan_ms, writable, count, deadband, coil,
//                        type, word_order, scale, clamp, unit, decimals,
//                        history, history_deadband, history_keepalive_s
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "plant/address_block.h"
#include "typed_value.h"

namespace westnet::gateway {

// Which registers a Modbus client may write on a line.
enum class ConfirmPolicy { Auto, Always, Never };

enum class WritePolicy {
    Points,  // only registers of points marked writable
    Any,     // every register
    None,    // nothing
};

struct PointConfig {
    std::string address;  // as written in the file, e.g. "0140002 3"
    std::string name;     // the key in the API and in topics; default the address
    int scanMs = 1000;
    bool writable = false;
    // The `count` key: 0 for a single point; for a block its number of
    // values, each of its type's width (count x width is 64 words at most).
    int count = 0;
    double deadband = 0;      // in engineering units
    std::optional<int> coil;  // bit points only: their Modbus coil address
    // What the registers mean (type, word_order, scale, clamp); a bit point's
    // type is bool, a word point's uint16 unless the file says otherwise.
    values::Format format;
    std::string unit;   // shown beside the value, e.g. "°C"; "" for none
    int decimals = -1;  // how text outputs round the value; -1: not set (as it comes)
    // What the history records of it (while [gateway] history is on): a row
    // when the value moves by more than historyDeadband (engineering units),
    // when its quality changes, and at least every historyKeepaliveS (0: no
    // rows without a change).
    bool history = true;
    double historyDeadband = 0;
    int historyKeepaliveS = 600;

    // Decoded by the driver's own parse commands when the file is read.
    int station = 0;
    int reg = 0;   // zero-based first register
    int bit = -1;  // 0 to 15 for a bit point, -1 for a word point or a block

    int fileLine = 0;  // where the point stands in the file, for messages

    bool IsBit() const { return bit >= 0; }
    bool IsBlock() const { return count > 0; }
    // Values the point holds: its block's count, else one.
    int Values() const { return count > 0 ? count : 1; }
    // Registers the point covers: each value's width, times the count of a block.
    int Words() const { return IsBit() ? 1 : Values() * format.Width(); }
};

struct LineConfig {
    std::string name;    // letters, digits, '-' and '_'
    std::string device;  // any path; resolved again at every reopen
    int baud = 9600;
    std::string format = "8O2";
    // `format` decoded into the driver's line codes.
    int dataBits = 8;
    int parityCode = 1;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    int stopBitsCode = 2;  // 0 one, 1 one and a half, 2 two
    int timeoutMs = 100;   // rounded up to tens of ms when the channel opens
    int demoteAfter = 3;
    int demoteMs = 10000;
    int maxGap = 8;
    int modbusUnitOffset = 0;
    WritePolicy writes = WritePolicy::Points;
    // Whether a changed value is read a second time before it is served good:
    // the header checksum lets a reply read out of step through one time in
    // 256. Auto: while the line has shown trouble in the last 10 minutes.
    ConfirmPolicy confirm = ConfirmPolicy::Auto;
    std::vector<PointConfig> points;

    int fileLine = 0;
};

struct GatewayConfig {
    // Listening addresses: "HOST:PORT"; a bare ":PORT" or "PORT" means
    // 127.0.0.1; "" turns the front end off.
    std::string http = "127.0.0.1:8080";
    // PEM files; both set: HTTPS only.
    std::string httpTlsCert;
    std::string httpTlsKey;
    // Host names the HTTP front end answers to besides its listen address
    // and localhost (a foreign Host is DNS rebinding: 421).
    std::vector<std::string> httpHosts;
    bool httpPublicRead = false;  // reads without login; writes never
    std::string usersFile = "/etc/westnet/users";
    std::string auditFile = "/var/lib/westnet/audit.jsonl";  // "" keeps the journal alone
    int auditMaxMb = 64;
    bool readOnly = false;

    std::string modbus = "127.0.0.1:5020";
    int modbusMaxClients = 32;
    int modbusClientsPerAddress = 4;
    int modbusIdleS = 60;
    // Who may connect ([] = anyone) and who may write.
    std::vector<AddressBlock> modbusClients;
    std::vector<AddressBlock> modbusWriteClients = {LoopbackBlock()};
    std::vector<std::string> modbusClientsText;  // as written, for messages
    std::vector<std::string> modbusWriteClientsText = {"127.0.0.1"};
    // The most of a line's time that reads of registers no point covers take.
    double modbusReadthroughShare = 0.25;

    // "mqtt://HOST[:PORT]" or "mqtts://HOST[:PORT]"; "" (the default) is off.
    std::string mqtt;
    std::string mqttPrefix = "westnet";
    // "" (the default): westnet-gateway-HOSTNAME, so that two gateways on one
    // broker, or another client, do not take each other's session.
    std::string mqttClientId;
    std::string mqttUsername;
    std::string mqttPasswordFile;  // never the password itself in the file
    std::string mqttCaFile;
    std::string mqttCertFile;  // a client certificate over mqtts://, with its key
    std::string mqttKeyFile;
    int mqttRepublishS = 60;
    // Changes kept on disk while the broker is away, published in order once
    // it is back; 0 turns it off. The file: "" is mqtt-buffer in systemd's
    // $STATE_DIRECTORY, else /var/lib/westnet/mqtt-buffer.
    int mqttBufferMb = 256;
    std::string mqttBufferFile;

    // Sparkplug B on a connection of its own: "mqtt://HOST[:PORT]" or
    // "mqtts://HOST[:PORT]"; "" (the default) is off. Its credentials and
    // certificates are the mqtt_* keys'.
    std::string sparkplug;
    std::string sparkplugGroup = "westnet";
    std::string sparkplugNode = "gateway-1";  // the edge node id
    // A host id: no births until its STATE says online; data waits meanwhile.
    std::string sparkplugPrimaryHost;
    bool sparkplugAliases = true;
    // OPC UA: an endpoint without security too (loopback only); beside the
    // other flag for the struct's packing, the rest of its keys below.
    bool opcuaAllowNone = false;

    // OPC UA, served by a Node.js program of ours that the gateway runs:
    // "HOST:PORT" as the other listeners; "" (the default) is off.
    std::string opcua;
    std::string opcuaTrustClients = "listed";  // "listed": the trust list; "all": any certificate
    std::string opcuaPki = "/var/lib/westnet/opcua/pki";

    // The history's store: "sqlite:PATH" or "postgresql://USER@HOST[:PORT]/DB";
    // "" (the default) is off. Rows older than historyKeepDays go, and the
    // oldest go first while the store is larger than historyMaxMb.
    std::string history;
    int historyKeepDays = 30;
    int historyMaxMb = 1024;
    // Where rows for a PostgreSQL server wait while it cannot be reached.
    std::string historySpool = "/var/lib/westnet/history-spool.db";
};

struct Plant {
    std::string path;  // the file it was read from
    GatewayConfig gateway;
    std::vector<LineConfig> lines;
};

}  // namespace westnet::gateway
