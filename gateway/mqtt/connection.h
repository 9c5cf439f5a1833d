// Where and how the MQTT front end reaches its broker: the [gateway] keys
// mqtt, mqtt_client_id, mqtt_username, mqtt_password_file, mqtt_ca_file,
// mqtt_cert_file and mqtt_key_file,
// checked and read once, when the front end starts.
#pragma once

#include <string>

struct mosquitto;

#include "plant/listen.h"
#include "plant/plant.h"

namespace westnet::gateway::mqtt {

struct ConnectionSettings {
    BrokerAddress broker;
    std::string clientId;
    std::string username;  // empty: connect without credentials
    std::string password;  // the first line of mqtt_password_file
    bool hasPassword = false;
    std::string caFile;  // mqtts only; empty: the system's certificate authorities
    // mqtts only, both or neither: the client certificate (PEM) the broker
    // may ask for, and its private key.
    std::string certFile;
    std::string keyFile;
};

// Checks the keys and reads the password file. False, with a message that
// names the key and what to do, when the URL does not parse, a file cannot be
// read, a password comes without a user name, or a client certificate without
// its key (or either over plain mqtt://).
bool LoadConnectionSettings(const GatewayConfig& config, ConnectionSettings& settings,
                            std::string& error);

// Gives a libmosquitto client the user name, password and TLS files of
// `settings`; false, with what to fix (after `who`, "mqtt" or "sparkplug"),
// when the library refuses them.
bool ApplyConnectionSettings(mosquitto* client, const ConnectionSettings& settings,
                             const std::string& who, std::string& error);

}  // namespace westnet::gateway::mqtt
