#include "scan/point_map.h"

#include <algorithm>

namespace westnet::gateway {
namespace {

long RegisterKey(int station, int reg) {
    return (static_cast<long>(station) << 16) | reg;
}

const std::vector<std::size_t>& None() {
    static const std::vector<std::size_t> none;
    return none;
}

}  // namespace

PointMap::PointMap(const std::vector<PointConfig>& points) : points_(points) {
    for (std::size_t i = 0; i < points_.size(); ++i) {
        const PointConfig& p = points_[i];
        stations_[p.station].push_back(i);
        for (int r = p.reg; r < p.reg + p.Words(); ++r) {
            cover_[RegisterKey(p.station, r)].push_back(i);
        }
    }
}

const std::vector<std::size_t>& PointMap::Covering(int station, int reg) const {
    const auto found = cover_.find(RegisterKey(station, reg));
    return found != cover_.end() ? found->second : None();
}

std::vector<std::size_t> PointMap::CoveringAny(int station, int reg, int count) const {
    std::vector<std::size_t> out;
    for (int r = std::max(reg, 0); r < reg + count && r < 65536; ++r) {
        const std::vector<std::size_t>& covering = Covering(station, r);
        out.insert(out.end(), covering.begin(), covering.end());
    }
    return out;
}

bool PointMap::WordsWritable(int station, int reg, int count) const {
    if (count < 1 || reg < 0 || count > 65536 - reg) {
        return false;
    }
    for (int r = reg; r < reg + count; ++r) {
        const std::vector<std::size_t>& covering = Covering(station, r);
        if (std::none_of(covering.begin(), covering.end(), [&](std::size_t i) {
                return points_[i].writable && !points_[i].IsBit();
            })) {
            return false;
        }
    }
    return true;
}

const std::vector<std::size_t>& PointMap::OfStation(int station) const {
    const auto found = stations_.find(station);
    return found != stations_.end() ? found->second : None();
}

}  // namespace westnet::gateway
