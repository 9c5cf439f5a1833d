#include "sparkplug/topics.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <vector>

namespace westnet::gateway::sparkplug {

namespace {

constexpr const char* kNamespace = "spBv1.0";

constexpr MessageType kTypes[] = {MessageType::NBIRTH, MessageType::NDEATH, MessageType::NDATA,
                                  MessageType::NCMD,   MessageType::DBIRTH, MessageType::DDEATH,
                                  MessageType::DDATA,  MessageType::DCMD};

}  // namespace

const char* MessageTypeName(MessageType type) {
    switch (type) {
        case MessageType::NBIRTH:
            return "NBIRTH";
        case MessageType::NDEATH:
            return "NDEATH";
        case MessageType::NDATA:
            return "NDATA";
        case MessageType::NCMD:
            return "NCMD";
        case MessageType::DBIRTH:
            return "DBIRTH";
        case MessageType::DDEATH:
            return "DDEATH";
        case MessageType::DDATA:
            return "DDATA";
        case MessageType::DCMD:
            return "DCMD";
    }
    return "?";
}

bool DeviceMessage(MessageType type) {
    return type == MessageType::DBIRTH || type == MessageType::DDEATH ||
           type == MessageType::DDATA || type == MessageType::DCMD;
}

bool CheckId(const std::string& key, const std::string& id, std::string& error) {
    if (id.empty()) {
        error = key + " is empty; Sparkplug needs a name here";
        return false;
    }
    for (char c : id) {
        if (c == '/' || c == '+' || c == '#' || c == '\0') {
            error = key;
            error += " = \"" + id + "\": '";
            error += std::string(1, c == '\0' ? '0' : c) +
                     "' cannot stand in a Sparkplug id (it is one topic level, not a filter)";
            return false;
        }
    }
    return true;
}

std::string Topic(const std::string& group, MessageType type, const std::string& node,
                  const std::string& device) {
    std::string topic =
        std::string(kNamespace) + "/" + group + "/" + MessageTypeName(type) + "/" + node;
    if (DeviceMessage(type)) {
        topic += "/" + device;
    }
    return topic;
}

std::string StateTopic(const std::string& hostId) {
    return std::string(kNamespace) + "/STATE/" + hostId;
}

std::string DeviceId(const std::string& line, int station) {
    char number[16];
    std::snprintf(number, sizeof number, "%02d", station);
    return line + "-s" + number;
}

bool ParseTopic(const std::string& topic, ParsedTopic& parsed) {
    std::vector<std::string> levels;
    std::size_t start = 0;
    while (true) {
        const std::size_t slash = topic.find('/', start);
        levels.push_back(topic.substr(start, slash - start));
        if (slash == std::string::npos) {
            break;
        }
        start = slash + 1;
    }
    if (levels.size() < 4 || levels.size() > 5 || levels[0] != kNamespace) {
        return false;
    }
    for (const std::string& level : levels) {
        if (level.empty()) {
            return false;
        }
    }
    for (MessageType type : kTypes) {
        if (levels[2] != MessageTypeName(type)) {
            continue;
        }
        if (levels.size() != (DeviceMessage(type) ? 5u : 4u)) {
            return false;
        }
        parsed.type = type;
        parsed.group = levels[1];
        parsed.node = levels[3];
        parsed.device = levels.size() == 5 ? levels[4] : "";
        return true;
    }
    return false;
}

bool ParseHostState(const void* payload, std::size_t size, HostStatus& state) {
    const std::string text(static_cast<const char*>(payload), size);
    state.timestamp.reset();
    if (text == "ONLINE" || text == "OFFLINE") {
        state.online = text == "ONLINE";
        return true;
    }
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (json.is_discarded() || !json.is_object() || !json.contains("online") ||
        !json["online"].is_boolean()) {
        return false;
    }
    state.online = json["online"].get<bool>();
    // A timestamp that is not a count of ms is left out: the message is
    // taken as the host's latest.
    const auto timestamp = json.find("timestamp");
    if (timestamp != json.end() && timestamp->is_number_unsigned()) {
        state.timestamp = timestamp->get<std::uint64_t>();
    }
    return true;
}

}  // namespace westnet::gateway::sparkplug
