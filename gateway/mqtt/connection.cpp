#include "mqtt/connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include <mosquitto.h>

#include "log/log.h"

namespace westnet::gateway::mqtt {

namespace {

bool ReadFirstLine(const std::string& path, std::string& line, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    std::getline(in, line);
    if (in.bad()) {
        error = "read error";
        return false;
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    return true;
}

// A file the gateway's user can open and read, and that is a file.
bool Readable(const std::string& key, const std::string& path, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = key + " = \"" + path + "\": cannot read it (" + std::strerror(errno) +
                "); the gateway reads it at start, so it must be readable by its user";
        return false;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        error = key + " = \"" + path + "\": not a file";
        return false;
    }
    char first = 0;
    if (!in.get(first)) {
        error = key + " = \"" + path + "\": empty; it should hold PEM text";
        return false;
    }
    return true;
}

}  // namespace

bool LoadConnectionSettings(const GatewayConfig& config, ConnectionSettings& settings,
                            std::string& error) {
    ConnectionSettings loaded;
    if (!ParseBrokerUrl(config.mqtt, loaded.broker, error)) {
        return false;
    }
    loaded.clientId = config.mqttClientId;
    if (loaded.clientId.empty()) {
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        std::string name = host;
        // A client id of printable characters only; brokers refuse others.
        for (char& c : name) {
            if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
                c = '_';
            }
        }
        loaded.clientId = "westnet-gateway-" + (name.empty() ? std::string("unnamed") : name);
        if (loaded.clientId.size() > 128) {
            loaded.clientId.resize(128);
        }
    }
    loaded.username = config.mqttUsername;

    if (!config.mqttPasswordFile.empty()) {
        const std::string& path = config.mqttPasswordFile;
        if (loaded.username.empty()) {
            error =
                "mqtt_password_file is set but mqtt_username is empty: MQTT sends a "
                "password only with a user name";
            return false;
        }
        std::string reason;
        if (!ReadFirstLine(path, loaded.password, reason)) {
            error = "mqtt_password_file = \"" + path + "\": cannot read it (" + reason +
                    "); the gateway reads it at start, so it must be readable by its user";
            return false;
        }
        if (loaded.password.empty()) {
            error = "mqtt_password_file = \"" + path +
                    "\": the first line, which holds the password, is empty";
            return false;
        }
        loaded.hasPassword = true;
        struct stat info {};
        if (stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            Log(LogLevel::Warning, "mqtt: " + path +
                                       " can be read by other users; restrict it with "
                                       "chmod 600");
        }
    }

    if (!config.mqttCaFile.empty()) {
        if (!loaded.broker.tls) {
            Log(LogLevel::Warning,
                "mqtt: mqtt_ca_file is used only with an mqtts:// broker; ignored");
        } else {
            std::ifstream ca(config.mqttCaFile);
            if (!ca) {
                error = "mqtt_ca_file = \"" + config.mqttCaFile + "\": cannot read it (" +
                        std::strerror(errno) + ")";
                return false;
            }
            loaded.caFile = config.mqttCaFile;
        }
    }
    const std::string& cert = config.mqttCertFile;
    const std::string& key = config.mqttKeyFile;
    if (!cert.empty() || !key.empty()) {
        if (!loaded.broker.tls) {
            error = std::string(cert.empty() ? "mqtt_key_file" : "mqtt_cert_file") +
                    " is set but mqtt = \"" + config.mqtt +
                    "\" is not TLS: a client certificate is sent only over mqtts://";
            return false;
        }
        if (cert.empty() || key.empty()) {
            error = std::string(cert.empty() ? "mqtt_key_file is set without mqtt_cert_file"
                                             : "mqtt_cert_file is set without mqtt_key_file") +
                    ": a client certificate needs both, the certificate and its private key";
            return false;
        }
        if (!Readable("mqtt_cert_file", cert, error) || !Readable("mqtt_key_file", key, error)) {
            return false;
        }
        struct stat info {};
        if (stat(key.c_str(), &info) == 0 && (info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
            Log(LogLevel::Warning, "mqtt: " + key +
                                       " (mqtt_key_file) can be read by other users; restrict it "
                                       "with chmod 600");
        }
        loaded.certFile = cert;
        loaded.keyFile = key;
    }
    settings = loaded;
    return true;
}

bool ApplyConnectionSettings(mosquitto* client, const ConnectionSettings& settings,
                             const std::string& who, std::string& error) {
    if (!settings.username.empty() &&
        mosquitto_username_pw_set(client, settings.username.c_str(),
                                  settings.hasPassword ? settings.password.c_str() : nullptr) !=
            MOSQ_ERR_SUCCESS) {
        error = who + ": mqtt_username is not valid UTF-8";
        return false;
    }
    if (!settings.broker.tls) {
        return true;
    }
    const char* cert = settings.certFile.empty() ? nullptr : settings.certFile.c_str();
    const char* key = settings.keyFile.empty() ? nullptr : settings.keyFile.c_str();
    int rc = MOSQ_ERR_SUCCESS;
    if (settings.caFile.empty()) {
        rc = mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
    }
    // The library wants a CA file or folder with a client certificate;
    // the system's folder stands in when mqtt_ca_file is "".
    if (rc == MOSQ_ERR_SUCCESS && (!settings.caFile.empty() || cert != nullptr)) {
        rc = settings.caFile.empty()
                 ? mosquitto_tls_set(client, nullptr, "/etc/ssl/certs", cert, key, nullptr)
                 : mosquitto_tls_set(client, settings.caFile.c_str(), nullptr, cert, key, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = who + ": cannot use TLS with mqtt_ca_file = \"" + settings.caFile +
                "\", mqtt_cert_file = \"" + settings.certFile + "\", mqtt_key_file = \"" +
                settings.keyFile + "\": " + mosquitto_strerror(rc) +
                (cert != nullptr ? " (is the key the certificate's, in PEM, without a pass phrase?)"
                                 : "");
        return false;
    }
    return true;
}

}  // namespace westnet::gateway::mqtt
