#include "sparkplug/node.h"

#include <cmath>
#include <utility>

#include "values/engineering.h"

namespace westnet::gateway::sparkplug {

DataType TypeOf(const PointConfig& point) {
    if (point.IsBit() || point.format.type == values::Type::Bool) {
        return DataType::Boolean;
    }
    if (point.format.scaled) {
        return DataType::Double;
    }
    switch (point.format.type) {
        case values::Type::Int16:
            return DataType::Int16;
        case values::Type::UInt32:
            return DataType::UInt32;
        case values::Type::Int32:
            return DataType::Int32;
        case values::Type::Float32:
            return DataType::Float;
        case values::Type::UInt16:
        case values::Type::Bcd16:
        case values::Type::Bool:
            break;
    }
    return DataType::UInt16;
}

bool NodeModel::Build(const Plant& plant, std::string& error) {
    devices_.clear();
    byStation_.clear();
    byId_.clear();
    byPoint_.assign(plant.lines.size(), {});
    std::uint64_t alias = 1;
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        const LineConfig& line = plant.lines[l];
        byPoint_[l].resize(line.points.size());
        for (std::size_t p = 0; p < line.points.size(); ++p) {
            const PointConfig& point = line.points[p];
            const auto key = std::make_pair(l, point.station);
            auto found = byStation_.find(key);
            if (found == byStation_.end()) {
                Device device;
                device.line = l;
                device.station = point.station;
                device.id = DeviceId(line.name, point.station);
                if (!CheckId("the device of line \"" + line.name + "\"", device.id, error)) {
                    return false;
                }
                found = byStation_.emplace(key, static_cast<int>(devices_.size())).first;
                byId_[device.id] = found->second;
                devices_.push_back(std::move(device));
            }
            Device& device = devices_[static_cast<std::size_t>(found->second)];
            PointMetrics& where = byPoint_[l][p];
            where.device = found->second;
            where.first = device.metrics.size();
            where.count = static_cast<std::size_t>(point.Values());
            for (int v = 0; v < point.Values(); ++v) {
                MetricDef def;
                def.name = point.IsBlock() ? point.name + "/" + std::to_string(v) : point.name;
                def.alias = alias++;
                def.type = TypeOf(point);
                def.point = p;
                def.value = v;
                // A block is written whole: one of its values alone is not.
                def.writable = point.writable && !point.IsBlock();
                for (const MetricDef& other : device.metrics) {
                    if (other.name == def.name) {
                        error = "line \"" + line.name + "\", point \"" + point.name +
                                "\": Sparkplug metric \"" + def.name +
                                "\" is already another point's in device " + device.id +
                                "; rename one of them";
                        return false;
                    }
                }
                device.metrics.push_back(std::move(def));
            }
        }
    }
    return true;
}

int NodeModel::DeviceIndex(std::size_t line, int station) const {
    const auto it = byStation_.find({line, station});
    return it == byStation_.end() ? -1 : it->second;
}

int NodeModel::DeviceById(const std::string& id) const {
    const auto it = byId_.find(id);
    return it == byId_.end() ? -1 : it->second;
}

NodeModel::PointMetrics NodeModel::OfPoint(std::size_t line, std::size_t point) const {
    if (line >= byPoint_.size() || point >= byPoint_[line].size()) {
        return {};
    }
    return byPoint_[line][point];
}

const MetricDef* NodeModel::Find(const Device& device, const std::string& name,
                                 std::optional<std::uint64_t> alias) const {
    for (const MetricDef& def : device.metrics) {
        if (name.empty() ? (alias && def.alias == *alias) : def.name == name) {
            return &def;
        }
    }
    return nullptr;
}

Metric PointMetric(const PointConfig& point, const MetricDef& def, const PointSample& sample) {
    const std::vector<EngineeringValue> values = EngineeringValues(point, sample.values);
    Metric metric;
    const auto index = static_cast<std::size_t>(def.value);
    if (index < values.size() && values[index].state != values::Decoded::NotAValue) {
        metric = NumberMetric(def.name, def.type, values[index].value);
    } else {
        metric.name = def.name;
        metric.type = def.type;
        metric.null = true;
    }
    switch (sample.quality) {
        case Quality::Good:
            metric.quality = kQualityGood;
            break;
        case Quality::Stale:
            metric.quality = kQualityStale;
            break;
        case Quality::Bad:
            metric.quality = kQualityBad;
            break;
    }
    if (sample.goodTime != WallTime{}) {
        metric.timestamp =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           sample.goodTime.time_since_epoch())
                                           .count());
    }
    return metric;
}

EdgeNode::EdgeNode(NodeSettings settings, NodeSource source)
    : settings_(std::move(settings)), source_(std::move(source)) {
    hostOnline_ = !settings_.waitForHost;
}

void EdgeNode::Adopt(std::shared_ptr<const Plant> plant, NodeModel model) {
    // What the host was told of the old plant's devices ends with them.
    if (born_) {
        for (std::size_t d = 0; d < alive_.size(); ++d) {
            if (alive_[d]) {
                DeathOf(static_cast<int>(d));
            }
        }
    }
    plant_ = std::move(plant);
    model_ = std::move(model);
    alive_.assign(model_.Devices().size(), false);
    last_.assign(model_.Devices().size(), {});
    for (std::size_t d = 0; d < model_.Devices().size(); ++d) {
        last_[d].resize(model_.Devices()[d].metrics.size());
    }
    // Held values of the old plant would name metrics the host never saw.
    history_.clear();
    if (born_) {
        Births();
    }
}

std::string EdgeNode::DeathTopic() const {
    return Topic(settings_.group, MessageType::NDEATH, settings_.node);
}

std::string EdgeNode::DeathPayload(std::uint64_t bdSeq) const {
    Payload payload;
    payload.timestamp = source_.nowMs();
    Metric metric = NumberMetric(kBdSeqMetric, DataType::Int64, static_cast<double>(bdSeq));
    metric.integer = static_cast<std::int64_t>(bdSeq);
    payload.metrics.push_back(std::move(metric));
    return Encode(payload);
}

void EdgeNode::Connected(std::uint64_t bdSeq) {
    connected_ = true;
    restart_ = false;
    bdSeq_ = bdSeq;
    born_ = false;
    // A primary host's state comes again with the subscription (retained).
    hostOnline_ = !settings_.waitForHost;
    if (hostOnline_) {
        Births();
    }
}

void EdgeNode::Disconnected() {
    connected_ = false;
    restart_ = false;
    born_ = false;
    alive_.assign(alive_.size(), false);
    // Queued messages of the lost connection belong to its bdSeq: the next
    // connection is born again from the values then.
    out_.clear();
}

EdgeNode::HostAction EdgeNode::HostState(const HostStatus& state) {
    if (!settings_.waitForHost) {
        return HostAction::Ignored;
    }
    // Equal is taken: the same retained message comes again on every
    // connection.
    if (state.timestamp) {
        if (hostTimestamp_ && *state.timestamp < *hostTimestamp_) {
            return HostAction::Ignored;
        }
        hostTimestamp_ = state.timestamp;
    }
    if (state.online == hostOnline_) {
        return HostAction::Taken;
    }
    hostOnline_ = state.online;
    if (!connected_) {
        return HostAction::Taken;
    }
    if (state.online) {
        Births();
        return HostAction::Taken;
    }
    // The host went away while this connection was born (or about to be):
    // the node dies and starts over, as the host expects on its return.
    if (born_) {
        Outgoing death;
        death.type = MessageType::NDEATH;
        death.topic = DeathTopic();
        death.payload = DeathPayload(bdSeq_);
        death.metrics = 1;
        out_.push_back(std::move(death));
        born_ = false;
        alive_.assign(alive_.size(), false);
    }
    restart_ = true;
    return HostAction::Restart;
}

bool EdgeNode::TakeRestart() {
    const bool wanted = restart_;
    restart_ = false;
    return wanted;
}

bool EdgeNode::Command(const Payload& payload) {
    for (const Metric& metric : payload.metrics) {
        if (metric.name == kRebirthMetric && !metric.null && metric.Number() != 0) {
            if (connected_ && hostOnline_) {
                Births();
            }
            return true;
        }
    }
    return false;
}

void EdgeNode::PointUpdated(std::size_t line, std::size_t point, const PointSample& sample) {
    if (!plant_) {
        return;
    }
    const NodeModel::PointMetrics where = model_.OfPoint(line, point);
    if (where.device < 0) {
        return;
    }
    const auto d = static_cast<std::size_t>(where.device);
    const Device& device = model_.Devices()[d];
    const PointConfig& config = plant_->lines[line].points[point];
    Payload payload;
    payload.timestamp = source_.nowMs();
    for (std::size_t i = where.first; i < where.first + where.count; ++i) {
        const MetricDef& def = device.metrics[i];
        Metric metric = PointMetric(config, def, sample);
        Last& last = last_[d][i];
        const double value = metric.null ? 0 : metric.Number();
        const bool moved =
            !last.any || last.null != metric.null || last.quality != sample.quality ||
            (!metric.null && (config.deadband > 0 ? std::fabs(value - last.value) > config.deadband
                                                  : value != last.value));
        if (!moved) {
            continue;
        }
        last.any = true;
        last.null = metric.null;
        last.value = value;
        last.quality = sample.quality;
        if (born_ && alive_[d]) {
            payload.metrics.push_back(DataMetric(def, std::move(metric)));
        } else if (!born_) {
            // No host takes it now: kept, the oldest dropped past the bound,
            // and sent as history after the next births.
            if (history_.size() >= settings_.historyMax) {
                history_.pop_front();
                ++historyDropped_;
            }
            if (settings_.historyMax > 0) {
                metric.historical = true;
                if (metric.timestamp == 0) {
                    metric.timestamp = payload.timestamp;
                }
                history_.push_back({where.device, DataMetric(def, std::move(metric))});
            }
        }
    }
    if (!payload.metrics.empty()) {
        Queue(MessageType::DDATA, device.id, std::move(payload));
    }
}

void EdgeNode::StationChanged(std::size_t line, int station) {
    const int d = model_.DeviceIndex(line, station);
    if (d < 0 || !born_) {
        return;
    }
    const bool alive = source_.alive(line, station);
    if (alive == alive_[static_cast<std::size_t>(d)]) {
        return;
    }
    if (alive) {
        BirthOf(d);
    } else {
        DeathOf(d);
    }
}

std::vector<Outgoing> EdgeNode::Take() {
    std::vector<Outgoing> taken;
    taken.swap(out_);
    return taken;
}

void EdgeNode::Births() {
    if (!plant_ || !connected_ || !hostOnline_) {
        return;
    }
    seq_ = 0;
    const std::uint64_t now = source_.nowMs();
    Payload node;
    node.timestamp = now;
    Metric bdSeq = NumberMetric(kBdSeqMetric, DataType::Int64, 0);
    bdSeq.integer = static_cast<std::int64_t>(bdSeq_);
    node.metrics.push_back(std::move(bdSeq));
    node.metrics.push_back(NumberMetric(kRebirthMetric, DataType::Boolean, 0));
    born_ = true;
    alive_.assign(alive_.size(), false);
    Queue(MessageType::NBIRTH, "", std::move(node));
    for (std::size_t d = 0; d < model_.Devices().size(); ++d) {
        const Device& device = model_.Devices()[d];
        if (source_.alive(device.line, device.station)) {
            BirthOf(static_cast<int>(d));
        }
    }
    // What was kept while no host could take it, by device, as history.
    std::map<int, Payload> held;
    for (Held& h : history_) {
        if (!alive_[static_cast<std::size_t>(h.device)]) {
            continue;
        }
        Payload& p = held[h.device];
        p.timestamp = now;
        p.metrics.push_back(std::move(h.metric));
    }
    history_.clear();
    for (auto& [d, payload] : held) {
        Queue(MessageType::DDATA, model_.Devices()[static_cast<std::size_t>(d)].id,
              std::move(payload));
    }
}

void EdgeNode::BirthOf(int device) {
    const auto d = static_cast<std::size_t>(device);
    const Device& dev = model_.Devices()[d];
    const LineConfig& line = plant_->lines[dev.line];
    Payload payload;
    payload.timestamp = source_.nowMs();
    for (std::size_t i = 0; i < dev.metrics.size(); ++i) {
        const MetricDef& def = dev.metrics[i];
        const PointSample sample = source_.sample(dev.line, def.point);
        Metric metric = PointMetric(line.points[def.point], def, sample);
        if (settings_.aliases) {
            metric.alias = def.alias;
        }
        Last& last = last_[d][i];
        last.any = true;
        last.null = metric.null;
        last.value = metric.null ? 0 : metric.Number();
        last.quality = sample.quality;
        payload.metrics.push_back(std::move(metric));
    }
    alive_[d] = true;
    Queue(MessageType::DBIRTH, dev.id, std::move(payload));
}

void EdgeNode::DeathOf(int device) {
    const auto d = static_cast<std::size_t>(device);
    alive_[d] = false;
    Payload payload;
    payload.timestamp = source_.nowMs();
    Queue(MessageType::DDEATH, model_.Devices()[d].id, std::move(payload));
}

void EdgeNode::Queue(MessageType type, const std::string& device, Payload payload) {
    payload.seq = type == MessageType::NBIRTH ? 0 : NextSeq();
    Outgoing message;
    message.type = type;
    message.topic = Topic(settings_.group, type, settings_.node, device);
    message.metrics = payload.metrics.size();
    message.payload = Encode(payload);
    out_.push_back(std::move(message));
}

std::uint64_t EdgeNode::NextSeq() {
    seq_ = (seq_ + 1) % 256;
    return seq_;
}

Metric EdgeNode::DataMetric(const MetricDef& def, Metric metric) const {
    if (settings_.aliases) {
        metric.name.clear();
        metric.alias = def.alias;
    }
    return metric;
}

}  // namespace westnet::gateway::sparkplug
