// Which points of a line cover which registers, and which points each
// station has. Built once from the line's settings and never changed after,
// so every thread may read it without a lock.
#pragma once

#include <cstddef>
#include <map>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway {

class PointMap {
public:
    // Keeps a reference to `points`: they must outlive the map.
    explicit PointMap(const std::vector<PointConfig>& points);

    // The points that cover one register, in the order of the plant file.
    const std::vector<std::size_t>& Covering(int station, int reg) const;
    // The points that cover any of reg .. reg + count - 1 (registers past
    // 65535 are none): a point covering several of them comes once for each.
    std::vector<std::size_t> CoveringAny(int station, int reg, int count) const;
    // Whether every one of these registers belongs to a word or block point
    // marked writable.
    bool WordsWritable(int station, int reg, int count) const;

    // The stations with points, in ascending number, each with its points.
    const std::map<int, std::vector<std::size_t>>& Stations() const { return stations_; }
    const std::vector<std::size_t>& OfStation(int station) const;

private:
    const std::vector<PointConfig>& points_;
    // Register (station << 16 | reg) -> the points that cover it.
    std::map<long, std::vector<std::size_t>> cover_;
    std::map<int, std::vector<std::size_t>> stations_;
};

}  // namespace westnet::gateway
