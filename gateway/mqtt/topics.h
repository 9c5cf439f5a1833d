// Every topic the MQTT front end publishes or listens to, built once from the
// plant:
//
//   PREFIX/status                       online, or offline (the last will)
//   PREFIX/LINE/station/NN/state        ok, demoted or down
//   PREFIX/LINE/NAME                    a point's value (NAME may hold '/')
//   PREFIX/LINE/NAME/set                writes to the point come in here
//   PREFIX/LINE/NAME/result             and how each ended goes out here
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway::mqtt {

class TopicTable {
public:
    struct PointTopics {
        std::size_t line = 0;
        std::size_t point = 0;
        std::string value;
        std::string set;
        std::string result;
    };
    struct StationTopic {
        std::size_t line = 0;
        int station = 0;
        std::string state;
    };

    // False, with the point or key to change, when a name makes a topic MQTT
    // refuses (wildcards '+' and '#', a NUL, bad UTF-8) or when two topics
    // would be the same, e.g. point "pump" and point "pump/set".
    bool Build(const Plant& plant, std::string& error);

    const std::string& Status() const { return status_; }
    // Points are numbered over all lines, line by line in file order.
    std::size_t PointCount() const { return points_.size(); }
    std::size_t Index(std::size_t line, std::size_t point) const {
        return firstOfLine_[line] + point;
    }
    const PointTopics& Point(std::size_t index) const { return points_[index]; }
    // Each line's stations, from its points, in ascending order.
    const std::vector<StationTopic>& Stations() const { return stations_; }
    const StationTopic* Station(std::size_t line, int station) const;
    // The point whose /set topic this is.
    bool FindSet(const std::string& topic, std::size_t& index) const;
    // Topics that can wait in the outgoing queue at once: one per topic.
    std::size_t OutgoingTopics() const { return 1 + stations_.size() + 2 * points_.size(); }

private:
    std::string status_;
    std::vector<std::size_t> firstOfLine_;
    std::vector<PointTopics> points_;
    std::vector<StationTopic> stations_;
    std::map<std::pair<std::size_t, int>, std::size_t> stationIndex_;
    std::unordered_map<std::string, std::size_t> setIndex_;
};

}  // namespace westnet::gateway::mqtt
