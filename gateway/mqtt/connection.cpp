#include "mqtt/connection.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

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
    settings = loaded;
    return true;
}

}  // namespace westnet::gateway::mqtt
