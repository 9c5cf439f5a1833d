#include "modbus/plant_index.h"

#include <algorithm>
#include <limits>

namespace westnet::gateway::modbus {

PlantIndex::PlantIndex(const Plant& plant, std::vector<std::string>* warnings) {
    auto warn = [&](const std::string& text) {
        if (warnings != nullptr) {
            warnings->push_back(text);
        }
    };
    for (std::size_t l = 0; l < plant.lines.size(); ++l) {
        const LineConfig& line = plant.lines[l];
        for (std::size_t p = 0; p < line.points.size(); ++p) {
            const PointConfig& point = line.points[p];
            const int id = line.modbusUnitOffset + point.station;
            if (id < 0 || id >= kUnits) {
                warn("line " + line.name + ": station " + std::to_string(point.station) +
                     " would be unit " + std::to_string(id) +
                     ", outside Modbus's 0-255: not served (lower modbus_unit_offset)");
                continue;
            }
            std::optional<Unit>& unit = units_[static_cast<std::size_t>(id)];
            if (!unit) {
                unit = Unit{l, point.station, line.writes, line.maxGap, {}, {}, {}};
            } else if (unit->line != l) {
                // The plant reader refuses overlapping unit ranges; should two
                // lines still meet here, the first keeps the unit.
                warn("line " + line.name + ": unit " + std::to_string(id) + " is already line " +
                     plant.lines[unit->line].name + "'s: not served");
                continue;
            }
            if (point.IsBit() && point.coil) {
                const Coil coil{p, point.reg, point.bit};
                if (!unit->coils.emplace(*point.coil, coil).second) {
                    warn("line " + line.name + ": coil " + std::to_string(*point.coil) +
                         " of unit " + std::to_string(id) + " is given twice: the first is served");
                }
            }
            if (point.writable) {
                if (point.IsBit()) {
                    unit->writableBits.push_back(point.reg * 16 + point.bit);
                } else {
                    unit->writableWords.emplace_back(point.reg, point.reg + point.Words());
                }
            }
        }
    }
    for (std::optional<Unit>& unit : units_) {
        if (!unit) {
            continue;
        }
        std::sort(unit->writableBits.begin(), unit->writableBits.end());
        std::vector<std::pair<int, int>>& words = unit->writableWords;
        std::sort(words.begin(), words.end());
        std::vector<std::pair<int, int>> merged;
        for (const auto& range : words) {
            if (!merged.empty() && range.first <= merged.back().second) {
                merged.back().second = std::max(merged.back().second, range.second);
            } else {
                merged.push_back(range);
            }
        }
        words = std::move(merged);
    }
}

const Unit* PlantIndex::Find(int unit) const {
    if (unit < 0 || unit >= kUnits) {
        return nullptr;
    }
    const std::optional<Unit>& u = units_[static_cast<std::size_t>(unit)];
    return u ? &*u : nullptr;
}

bool PlantIndex::WordsWritable(const Unit& unit, int reg, int count) {
    switch (unit.writes) {
        case WritePolicy::Any:
            return true;
        case WritePolicy::None:
            return false;
        case WritePolicy::Points:
            break;
    }
    // The merged range that starts at or before `reg` must reach its end.
    const auto& words = unit.writableWords;
    auto it = std::upper_bound(words.begin(), words.end(),
                               std::make_pair(reg, std::numeric_limits<int>::max()));
    if (it == words.begin()) {
        return false;
    }
    --it;
    return it->first <= reg && reg + count <= it->second;
}

bool PlantIndex::BitWritable(const Unit& unit, int reg, int bit) {
    if (unit.writes != WritePolicy::Points) {
        return unit.writes == WritePolicy::Any;
    }
    return std::binary_search(unit.writableBits.begin(), unit.writableBits.end(), reg * 16 + bit) ||
           WordsWritable(unit, reg, 1);
}

}  // namespace westnet::gateway::modbus
