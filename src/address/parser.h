// Point address texts: two station digits, five register digits and, for a
// bit point, a bit number. Commands 3 and 4 are declared in entry/commands.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "entry/records.h"

namespace westnet {

constexpr std::size_t ADDRESS_TEXT_SIZE = 12;
constexpr std::int32_t DATA_TYPE_BIT = 6;
constexpr std::int32_t WORD_POINT_BIT = 255;

// The parse both commands share: ResOk or ResBad, fields written as it goes.
std::int32_t ParseAddress(PointAddress& address);

}  // namespace westnet
