// A point's sample as the plant means it: the raw words of the cache decoded
// through the point's type and scale (typed_value.h), the same way for every
// front end that shows engineering values (HTTP, MQTT, the page's API).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plant/plant.h"
#include "typed_value.h"

namespace westnet::gateway {

struct EngineeringValue {
    double value = 0;
    values::Decoded state = values::Decoded::Ok;  // NotAValue: `value` means nothing
};

// One value for a word or bit point, count of them for a block; empty when
// the sample holds no value yet, or fewer words than the point has.
std::vector<EngineeringValue> EngineeringValues(const PointConfig& point,
                                                const std::vector<std::uint16_t>& words);

// A value as JSON text: whole numbers as integers ("1234", not "1234.0"),
// others as the shortest text that reads back the same; null for no value.
std::string ValueJsonText(const EngineeringValue& value);

}  // namespace westnet::gateway
