// What a reload of the plant file compares to tell which lines it keeps: two
// readings of the same key are the same setting wherever they stand in the
// file, so an edit that only moves a line's text (a comment added above it)
// changes nothing.
#pragma once

#include "plant/plant.h"

namespace westnet::gateway {

// Every key of the line and of each of its points, in order; not where
// they stand in the file. A new key of the plant file belongs here too.
bool SameLine(const LineConfig& a, const LineConfig& b);

}  // namespace westnet::gateway
