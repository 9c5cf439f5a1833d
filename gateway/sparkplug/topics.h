// The Sparkplug B topic namespace as the gateway uses it:
//
//   spBv1.0/GROUP/NBIRTH|NDEATH|NDATA|NCMD/NODE
//   spBv1.0/GROUP/DBIRTH|DDEATH|DDATA|DCMD/NODE/DEVICE
//   spBv1.0/STATE/HOST                 a primary host's state
//
// GROUP is [gateway] sparkplug_group, NODE sparkplug_node, DEVICE one
// station: LINE-sNN.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace westnet::gateway::sparkplug {

enum class MessageType { NBIRTH, NDEATH, NDATA, NCMD, DBIRTH, DDEATH, DDATA, DCMD };
const char* MessageTypeName(MessageType type);  // "NBIRTH", ...
// Whether its topic names a device.
bool DeviceMessage(MessageType type);

// A group, node, device or host id: not empty, and none of '/', '+', '#'
// (they would change the topic's levels or make it a filter). False with what
// is wrong, naming `key`, otherwise.
bool CheckId(const std::string& key, const std::string& id, std::string& error);

// `device` is ignored for the node's messages.
std::string Topic(const std::string& group, MessageType type, const std::string& node,
                  const std::string& device = "");
std::string StateTopic(const std::string& hostId);

// "LINE-s05": a station's device id, the station number with two digits at
// least.
std::string DeviceId(const std::string& line, int station);

struct ParsedTopic {
    MessageType type = MessageType::NCMD;
    std::string group;
    std::string node;
    std::string device;  // device messages only
};
// A topic of a group's message (not STATE); false for anything else, or for
// a device message without its device, or a node message with one.
bool ParseTopic(const std::string& topic, ParsedTopic& parsed);

// A primary host's STATE payload: {"online": true, "timestamp": ...} as
// Sparkplug 3.0 has it (the host's clock, ms since 1970; it orders the
// messages), or the older bare ONLINE / OFFLINE, which has no time. False
// when it is neither.
struct HostStatus {
    bool online = false;
    std::optional<std::uint64_t> timestamp;
};
bool ParseHostState(const void* payload, std::size_t size, HostStatus& state);

}  // namespace westnet::gateway::sparkplug
