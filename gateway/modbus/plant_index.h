// What the Modbus front end looks up for every request, built once from the
// plant: which line and station a unit id reaches (unit = the line's
// modbus_unit_offset + station), the coils of each unit (bit points with a
// `coil` key), and which registers and bits the line's `writes` policy lets
// a client write.
#pragma once

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway::modbus {

constexpr int kUnits = 256;

struct Coil {
    std::size_t point = 0;  // index in its line's points
    int reg = 0;
    int bit = 0;
};

struct Unit {
    std::size_t line = 0;
    int station = 0;
    WritePolicy writes = WritePolicy::Points;
    int maxGap = 8;
    std::map<int, Coil> coils;  // by coil address
    // writes = "points": the registers of writable word points and blocks
    // (half-open ranges, merged and sorted), and the writable bit points as
    // register * 16 + bit.
    std::vector<std::pair<int, int>> writableWords;
    std::vector<int> writableBits;
};

class PlantIndex {
public:
    // Stations whose unit id would lie past 255, and coils given twice, are
    // left out, each with a line in `warnings`.
    explicit PlantIndex(const Plant& plant, std::vector<std::string>* warnings = nullptr);

    // nullptr when no configured line has a station at that unit id.
    const Unit* Find(int unit) const;

    // Whether the unit's `writes` policy lets a client write these whole
    // registers. "points": each must belong to a writable word point or
    // block; a writable bit point does not make its whole word writable.
    static bool WordsWritable(const Unit& unit, int reg, int count);
    // Whether it lets a client write this one bit: under "points" a writable
    // bit point of that bit, or a writable word point or block covering it.
    static bool BitWritable(const Unit& unit, int reg, int bit);

private:
    std::array<std::optional<Unit>, kUnits> units_;
};

}  // namespace westnet::gateway::modbus
