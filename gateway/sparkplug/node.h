// The gateway as a Sparkplug B edge node, without the network: which
// devices and metrics the plant makes, and the state machine that decides
// what goes out when (births, deaths, data, the primary host's state,
// rebirth requests). The front end (sparkplug.h) feeds it the service's
// events and the broker's messages under its lock and publishes what it
// queues, in order.
//
// Sequence numbers: bdSeq counts connections (the NDEATH set as the will
// and the NBIRTH of a connection carry the same one); seq runs 0 to 255 and
// round again over every message of the node after the NBIRTH, which has 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scan/service.h"
#include "sparkplug/payload.h"
#include "sparkplug/topics.h"

namespace westnet::gateway::sparkplug {

constexpr const char* kRebirthMetric = "Node Control/Rebirth";
constexpr const char* kBdSeqMetric = "bdSeq";

// A point's Sparkplug type: Boolean for a bit point, Double for a scaled
// one, else the point's own type (Float for float32; BCD as UInt16).
DataType TypeOf(const PointConfig& point);

// One metric of a device: a point, or one value of a block ("NAME/3").
struct MetricDef {
    std::string name;
    std::uint64_t alias = 0;  // unique in the node; sent only with sparkplug_aliases
    DataType type = DataType::Unknown;
    std::size_t point = 0;  // within its line
    int value = 0;          // within a block; 0 for a single point
    bool writable = false;
};

// A station: LINE-sNN with its points' metrics in the plant's order.
struct Device {
    std::size_t line = 0;
    int station = 0;
    std::string id;
    std::vector<MetricDef> metrics;
};

class NodeModel {
public:
    // False with what to change when two metrics of a device would share a
    // name or an id cannot be a topic level.
    bool Build(const Plant& plant, std::string& error);
    const std::vector<Device>& Devices() const { return devices_; }
    // -1 when the station has no points.
    int DeviceIndex(std::size_t line, int station) const;
    int DeviceById(const std::string& id) const;
    // The metrics of a point: device, first metric index, how many.
    struct PointMetrics {
        int device = -1;
        std::size_t first = 0;
        std::size_t count = 0;
    };
    PointMetrics OfPoint(std::size_t line, std::size_t point) const;
    // A device's metric by name or, when the name is "", by alias; null when none.
    const MetricDef* Find(const Device& device, const std::string& name,
                          std::optional<std::uint64_t> alias) const;

private:
    std::vector<Device> devices_;
    std::map<std::pair<std::size_t, int>, int> byStation_;
    std::map<std::string, int> byId_;
    std::vector<std::vector<PointMetrics>> byPoint_;  // [line][point]
};

// The metric of a point's value now, with its quality property; null when
// the point has no value yet or its words are not a value of its type.
Metric PointMetric(const PointConfig& point, const MetricDef& def, const PointSample& sample);

// A message to publish, in the order queued.
struct Outgoing {
    MessageType type = MessageType::NDATA;
    std::string topic;
    std::string payload;
    std::size_t metrics = 0;  // how many it carries (for the statistics)
};

struct NodeSettings {
    std::string group = "westnet";
    std::string node = "gateway-1";
    bool aliases = true;
    bool waitForHost = false;  // sparkplug_primary_host set
    // The most metric values kept while no host can take them; the oldest go
    // first.
    std::size_t historyMax = 10000;
};

// What the edge node asks of the service: a point's sample and whether a
// station is alive (ok, on a line that is up).
struct NodeSource {
    std::function<PointSample(std::size_t line, std::size_t point)> sample;
    std::function<bool(std::size_t line, int station)> alive;
    std::function<std::uint64_t()> nowMs;  // wall clock, ms since 1970
};

class EdgeNode {
public:
    EdgeNode(NodeSettings settings, NodeSource source);

    // The plant and its model (a reload: births again when connected).
    void Adopt(std::shared_ptr<const Plant> plant, NodeModel model);

    // The NDEATH that stands as the will of a connection with this bdSeq.
    std::string DeathTopic() const;
    std::string DeathPayload(std::uint64_t bdSeq) const;

    // The broker took a connection whose will carries bdSeq.
    void Connected(std::uint64_t bdSeq);
    void Disconnected();
    // The primary host's STATE. One older than the latest seen (by its
    // timestamp) is ignored: a retained message of a host that has since
    // come back, say. Offline while the host was online on this connection:
    // an NDEATH goes out and the connection is to be dropped and made again
    // (RestartWanted), so that the next births carry a new bdSeq; what
    // changes meanwhile is held and sent as history after them.
    enum class HostAction { Taken, Ignored, Restart };
    HostAction HostState(const HostStatus& state);
    // True once after an offline STATE: the front end disconnects after
    // handing over what is queued (the NDEATH last).
    bool TakeRestart();
    bool Restarting() const { return restart_; }
    // An NCMD: true when it asked for a rebirth (births again, same bdSeq).
    bool Command(const Payload& payload);

    void PointUpdated(std::size_t line, std::size_t point, const PointSample& sample);
    void StationChanged(std::size_t line, int station);

    // Takes what is queued.
    std::vector<Outgoing> Take();
    bool Pending() const { return !out_.empty(); }

    bool Born() const { return born_; }
    std::uint64_t BdSeq() const { return bdSeq_; }
    std::size_t HistoryQueued() const { return history_.size(); }
    std::uint64_t HistoryDropped() const { return historyDropped_; }
    const NodeModel& Model() const { return model_; }
    const Plant& PlantConfig() const { return *plant_; }

private:
    struct Last {
        bool any = false;
        bool null = true;
        double value = 0;
        Quality quality = Quality::Bad;
    };
    struct Held {
        int device = 0;
        Metric metric;
    };
    void Births();
    void BirthOf(int device);
    void DeathOf(int device);
    void Queue(MessageType type, const std::string& device, Payload payload);
    std::uint64_t NextSeq();
    // The metric as a data message carries it: by alias alone with aliases.
    Metric DataMetric(const MetricDef& def, Metric metric) const;

    NodeSettings settings_;
    NodeSource source_;
    std::shared_ptr<const Plant> plant_;
    NodeModel model_;
    bool connected_ = false;
    bool hostOnline_ = false;
    std::optional<std::uint64_t> hostTimestamp_;  // of the latest STATE taken
    bool restart_ = false;
    bool born_ = false;
    std::uint64_t bdSeq_ = 0;
    std::uint64_t seq_ = 0;
    std::vector<bool> alive_;              // per device: born on this connection
    std::vector<std::vector<Last>> last_;  // per device, per metric: as last sent
    std::deque<Held> history_;
    std::uint64_t historyDropped_ = 0;
    std::vector<Outgoing> out_;
};

}  // namespace westnet::gateway::sparkplug
