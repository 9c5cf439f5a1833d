#include "values/write.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <nlohmann/json.hpp>

#include "typed_value.h"

namespace westnet::gateway {
namespace {

using json = nlohmann::json;

// One value of the point's kind, as its registers hold it (its type's width
// of words at `words`); false with the reason.
bool Value(const json& v, const PointConfig& point, std::uint16_t* words, std::string& reason) {
    const bool bit = point.IsBit();
    if (bit && v.is_boolean()) {
        words[0] = v.get<bool>() ? 1 : 0;
        return true;
    }
    if (!v.is_number()) {
        reason = bit ? "a bit point takes 0, 1, false or true" : "not a number";
        return false;
    }
    // A bit point is 0 or 1, whatever else its format says.
    values::Format bitFormat;
    bitFormat.type = values::Type::Bool;
    return values::Encode(bit ? bitFormat : point.format, v.get<double>(), words, reason);
}

// The parser reads a number beyond a double's range as 0 or infinity: 1e-999
// would be written as 0. Every number outside a string must be in range.
bool NumbersInRange(const std::string& text) {
    bool inString = false;
    bool escaped = false;
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (inString) {
            escaped = !escaped && c == '\\';
            inString = escaped || c != '"';
            ++i;
        } else if (c == '"') {
            inString = true;
            ++i;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            std::size_t j = i;
            while (j < text.size() && std::strchr("+-.0123456789eE", text[j]) != nullptr) {
                ++j;
            }
            double value = 0;
            if (std::from_chars(text.data() + i, text.data() + j, value).ec ==
                std::errc::result_out_of_range) {
                return false;
            }
            i = j;
        } else {
            ++i;
        }
    }
    return true;
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

bool DecodeWrite(const PointConfig& point, const std::string& text,
                 std::vector<std::uint16_t>& words, std::string& reason) {
    if (text.size() > kMaxWriteText) {
        reason = "longer than " + std::to_string(kMaxWriteText) + " bytes";
        return false;
    }
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && IsSpace(text[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(text[end - 1])) {
        --end;
    }
    if (begin == end) {
        reason = "empty: send a number, or for a block an array of numbers";
        return false;
    }
    // People write "+5"; JSON does not.
    if (text[begin] == '+' && end - begin > 1 && text[begin + 1] >= '0' && text[begin + 1] <= '9') {
        ++begin;
    }
    const json j = json::parse(text.begin() + static_cast<std::ptrdiff_t>(begin),
                               text.begin() + static_cast<std::ptrdiff_t>(end), nullptr, false);
    const std::string expected = point.IsBlock() ? "this block takes a JSON array of " +
                                                       std::to_string(point.count) + " values"
                                                 : "this point takes one value";
    if (j.is_discarded()) {
        reason = point.IsBlock() ? expected : "not a number";
        return false;
    }
    if (!NumbersInRange(text)) {
        reason = "a number beyond any word's range";
        return false;
    }
    // The shape must be the point's: an array of one word is not a word, nor
    // a bare number a block of one.
    if (j.is_array() != point.IsBlock()) {
        reason = point.IsBlock() ? expected : expected + ", not an array";
        return false;
    }
    const auto width = static_cast<std::size_t>(point.format.Width());
    std::vector<std::uint16_t> decoded(point.IsBit() ? 1 : static_cast<std::size_t>(point.Words()));
    if (!point.IsBlock()) {
        if (!Value(j, point, decoded.data(), reason)) {
            return false;
        }
    } else {
        if (j.size() != static_cast<std::size_t>(point.count)) {
            reason = expected + ", not " + std::to_string(j.size());
            return false;
        }
        for (std::size_t i = 0; i < j.size(); ++i) {
            std::string why;
            if (!Value(j[i], point, decoded.data() + i * width, why)) {
                reason = "value " + std::to_string(i + 1) + " (" + j[i].dump() + "): " + why;
                return false;
            }
        }
    }
    words = std::move(decoded);
    return true;
}

}  // namespace westnet::gateway
