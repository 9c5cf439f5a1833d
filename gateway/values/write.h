// What a front end's write of a point may say, decoded the same way for
// every front end (an HTTP PUT body, an MQTT /set payload): the words that go
// to the line, or what is wrong in words a user can act on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "plant/plant.h"

namespace westnet::gateway {

// The longest write text looked at; a block of 64 words fits many times.
constexpr std::size_t kMaxWriteText = 4096;

// A JSON number in the point's engineering units (for a plain uint16 word
// point a whole number 0 to 65535: 2.0 and 1e3 are whole), converted through
// its type and scale and rounded to the raw step; 0, 1, false or true for a
// bit point; for a block a JSON array of exactly its count of such numbers.
// What the raw type cannot hold is refused with a reason starting
// "out-of-range: " that names the limits. Surrounding white space and a
// leading '+' are allowed. `words` (the point's registers, in order) is left
// alone unless the text decodes.
bool DecodeWrite(const PointConfig& point, const std::string& text,
                 std::vector<std::uint16_t>& words, std::string& reason);

}  // namespace westnet::gateway
