#include "values/engineering.h"

namespace westnet::gateway {

std::vector<EngineeringValue> EngineeringValues(const PointConfig& point,
                                                const std::vector<std::uint16_t>& words) {
    // A bit point's sample is its bit; anything else holds its registers.
    const auto width = point.IsBit() ? 1 : static_cast<std::size_t>(point.format.Width());
    const std::size_t wanted = point.IsBit() ? 1 : static_cast<std::size_t>(point.Words());
    if (words.size() != wanted) {
        return {};
    }
    values::Format format = point.format;
    if (point.IsBit()) {
        format = values::Format{};
        format.type = values::Type::Bool;
    }
    std::vector<EngineeringValue> out(words.size() / width);
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i].state = values::Decode(format, words.data() + i * width, out[i].value);
    }
    return out;
}

std::string ValueJsonText(const EngineeringValue& value) {
    if (value.state == values::Decoded::NotAValue) {
        return "null";
    }
    return values::FormatValue(value.value);
}

}  // namespace westnet::gateway
