#include "mqtt/connection.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "log/log.h"

namespace westnet::gateway::mqtt {

namespace {

bool ParsePort(const std::string& text, int& port) {
    if (text.empty() || text.size() > 5) {
        return false;
    }
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535) {
        return false;
    }
    port = value;
    return true;
}

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

bool ParseBrokerUrl(const std::string& url, BrokerAddress& broker, std::string& error) {
    const std::string usage = "use mqtt://HOST[:PORT] or mqtts://HOST[:PORT]";
    BrokerAddress parsed;
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        parsed.tls = true;
        parsed.port = 8883;
    } else {
        error = "mqtt = \"" + url + "\": unknown scheme; " + usage;
        return false;
    }
    if (rest.find('@') != std::string::npos) {
        error = "mqtt = \"" + url +
                "\": no credentials in the URL; set mqtt_username and mqtt_password_file";
        return false;
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    if (rest.find_first_of("/?#") != std::string::npos) {
        error = "mqtt = \"" + url + "\": a broker URL has no path; " + usage;
        return false;
    }
    std::string portText;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            error = "mqtt = \"" + url + "\": unclosed '[' around an IPv6 address";
            return false;
        }
        parsed.host = rest.substr(1, close - 1);
        std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = "mqtt = \"" + url + "\": expected ':PORT' after ']'";
                return false;
            }
            hasPort = true;
            portText = after.substr(1);
        }
    } else {
        std::size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            error = "mqtt = \"" + url + "\": put an IPv6 address in brackets, as [::1]:1883";
            return false;
        }
        parsed.host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            hasPort = true;
            portText = rest.substr(colon + 1);
        }
    }
    if (parsed.host.empty()) {
        error = "mqtt = \"" + url + "\": no host; " + usage;
        return false;
    }
    if (hasPort && !ParsePort(portText, parsed.port)) {
        error = "mqtt = \"" + url + "\": the port must be 1 to 65535";
        return false;
    }
    broker = parsed;
    return true;
}

bool LoadConnectionSettings(const GatewayConfig& config, ConnectionSettings& settings,
                            std::string& error) {
    ConnectionSettings loaded;
    if (!ParseBrokerUrl(config.mqtt, loaded.broker, error)) {
        return false;
    }
    loaded.clientId = config.mqttClientId;
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
