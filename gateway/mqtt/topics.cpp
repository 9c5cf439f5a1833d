#include "mqtt/topics.h"

#include <mosquitto.h>

#include <cstdio>
#include <set>

namespace westnet::gateway::mqtt {

namespace {

// What a topic is checked for before anything is published: MQTT forbids
// wildcards in a published topic, a NUL anywhere and text that is not UTF-8.
bool TopicValid(const std::string& topic, std::string& why) {
    if (topic.find('\0') != std::string::npos) {
        why = "it contains a NUL character";
        return false;
    }
    if (mosquitto_validate_utf8(topic.c_str(), static_cast<int>(topic.size())) !=
        MOSQ_ERR_SUCCESS) {
        why = "it is not valid UTF-8 or longer than 65535 bytes";
        return false;
    }
    if (mosquitto_pub_topic_check(topic.c_str()) != MOSQ_ERR_SUCCESS) {
        why = "'+' and '#' are MQTT wildcards and cannot stand in a published topic";
        return false;
    }
    return true;
}

std::string Where(const Plant& plant, const LineConfig& line, const PointConfig& point) {
    return plant.path + ":" + std::to_string(point.fileLine) + ": line " + line.name +
           ", point \"" + point.name + "\"";
}

}  // namespace

bool TopicTable::Build(const Plant& plant, std::string& error) {
    TopicTable built;
    const std::string& prefix = plant.gateway.mqttPrefix;
    std::string why;
    if (prefix.empty()) {
        error =
            plant.path + ": mqtt_prefix is empty; every topic starts with it (e.g. \"westnet\")";
        return false;
    }
    if (!TopicValid(prefix, why)) {
        error = plant.path + ": mqtt_prefix = \"" + prefix + "\": " + why;
        return false;
    }
    built.status_ = prefix + "/status";

    // Who owns each topic, to name both sides of a clash.
    std::map<std::string, std::string> owners;
    auto claim = [&](const std::string& topic, const std::string& owner) {
        auto [it, added] = owners.emplace(topic, owner);
        if (!added) {
            error = owner + ": its MQTT topic " + topic + " is also the topic of " + it->second +
                    "; rename one of the points";
        }
        return added;
    };
    claim(built.status_, "the gateway's status");

    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        const LineConfig& line = plant.lines[l];
        built.firstOfLine_.push_back(built.points_.size());
        std::set<int> stations;
        for (std::size_t p = 0; p < line.points.size(); ++p) {
            const PointConfig& point = line.points[p];
            PointTopics topics;
            topics.line = l;
            topics.point = p;
            topics.value = prefix + "/" + line.name + "/" + point.name;
            topics.set = topics.value + "/set";
            topics.result = topics.value + "/result";
            if (!TopicValid(topics.value, why)) {
                error = Where(plant, line, point) + ": the name cannot be an MQTT topic: " + why;
                return false;
            }
            const std::string owner = Where(plant, line, point);
            if (!claim(topics.value, owner) || !claim(topics.set, owner + " (its /set)") ||
                !claim(topics.result, owner + " (its /result)")) {
                return false;
            }
            built.setIndex_.emplace(topics.set, built.points_.size());
            built.points_.push_back(std::move(topics));
            stations.insert(point.station);
        }
        for (int station : stations) {
            char number[16];
            std::snprintf(number, sizeof number, "%02d", station);
            StationTopic topic{l, station,
                               prefix + "/" + line.name + "/station/" + number + "/state"};
            if (!claim(topic.state, "line " + line.name + ", station " + number + "'s state")) {
                return false;
            }
            built.stationIndex_.emplace(std::make_pair(l, station), built.stations_.size());
            built.stations_.push_back(std::move(topic));
        }
    }
    *this = std::move(built);
    return true;
}

const TopicTable::StationTopic* TopicTable::Station(std::size_t line, int station) const {
    auto it = stationIndex_.find({line, station});
    return it == stationIndex_.end() ? nullptr : &stations_[it->second];
}

bool TopicTable::FindSet(const std::string& topic, std::size_t& index) const {
    auto it = setIndex_.find(topic);
    if (it == setIndex_.end()) {
        return false;
    }
    index = it->second;
    return true;
}

}  // namespace westnet::gateway::mqtt
