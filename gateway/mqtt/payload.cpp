#include "mqtt/payload.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>

namespace westnet::gateway::mqtt {

namespace {

void AppendJsonString(std::string& out, const std::string& text) {
    out += '"';
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
            out += escaped;
        } else {
            out += c;
        }
    }
    out += '"';
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// A decimal number as people and JSON write it: [-+]digits[.digits][e[-+]digits].
// Nothing else (no hex, no "inf"), so that no surprise reaches the line.
bool ParseDecimal(const std::string& text, double& value) {
    std::size_t i = 0;
    auto digits = [&]() {
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
            ++i;
        }
        return i > start;
    };
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    if (!digits()) {
        return false;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        if (!digits()) {
            return false;
        }
    }
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
            ++i;
        }
        if (!digits()) {
            return false;
        }
    }
    if (i != text.size()) {
        return false;
    }
    const char* first = text.data() + (text[0] == '+' ? 1 : 0);
    auto [end, ec] = std::from_chars(first, text.data() + text.size(), value);
    // Out of range of a double: far out of range of a word too.
    if (ec == std::errc::result_out_of_range) {
        value = HUGE_VAL;
        return true;
    }
    return ec == std::errc() && end == text.data() + text.size();
}

bool ToWord(double value, bool bit, std::uint16_t& word, std::string& reason) {
    if (std::floor(value) != value) {
        reason = "not a whole number";
        return false;
    }
    if (bit && value != 0.0 && value != 1.0) {
        reason = "a bit point takes 0 or 1";
        return false;
    }
    if (value < 0.0 || value > 65535.0) {
        reason = "out of range: a word takes 0 to 65535";
        return false;
    }
    word = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace

std::string IsoTime(WallTime time) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    long long seconds = ms / 1000;
    long long milli = ms % 1000;
    if (milli < 0) {
        milli += 1000;
        seconds -= 1;
    }
    const std::time_t whole = static_cast<std::time_t>(seconds);
    std::tm parts{};
    gmtime_r(&whole, &parts);
    char text[80];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900,
                  parts.tm_mon + 1, parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec,
                  static_cast<int>(milli));
    return text;
}

std::string PointPayload(const PointConfig& point, const PointSample& sample) {
    std::string out = point.IsBlock() ? "{\"values\": " : "{\"value\": ";
    if (sample.values.empty()) {
        out += "null";
    } else if (point.IsBlock()) {
        out += '[';
        for (std::size_t i = 0; i < sample.values.size(); ++i) {
            if (i > 0) {
                out += ", ";
            }
            out += std::to_string(sample.values[i]);
        }
        out += ']';
    } else {
        out += std::to_string(sample.values[0]);
    }
    out += ", \"quality\": \"";
    out += QualityName(sample.quality);
    out += "\", \"time\": ";
    if (sample.values.empty() || sample.goodTime == WallTime{}) {
        out += "null";
    } else {
        out += '"' + IsoTime(sample.goodTime) + '"';
    }
    out += '}';
    return out;
}

bool WorthPublishing(const PointConfig& point, const LastPublished& last,
                     const PointSample& sample) {
    if (!last.any || last.quality != sample.quality || last.values.size() != sample.values.size()) {
        return true;
    }
    for (std::size_t i = 0; i < sample.values.size(); ++i) {
        const int moved = std::abs(int{sample.values[i]} - int{last.values[i]});
        if (point.IsBit() ? moved != 0 : static_cast<double>(moved) > point.deadband) {
            return true;
        }
    }
    return false;
}

bool ParseSetPayload(const PointConfig& point, const std::string& payload,
                     std::vector<std::uint16_t>& words, std::string& reason) {
    if (payload.size() > kMaxSetPayload) {
        reason = "payload longer than " + std::to_string(kMaxSetPayload) + " bytes";
        return false;
    }
    std::size_t begin = 0;
    std::size_t end = payload.size();
    while (begin < end && IsSpace(payload[begin])) {
        ++begin;
    }
    while (end > begin && IsSpace(payload[end - 1])) {
        --end;
    }
    const std::string text = payload.substr(begin, end - begin);
    if (text.empty()) {
        reason = "empty payload";
        return false;
    }
    std::vector<std::uint16_t> decoded;
    std::string why;
    if (!point.IsBlock()) {
        double value = 0;
        std::uint16_t word = 0;
        if (text.front() == '[') {
            reason = "this point takes one value, not an array";
            return false;
        }
        if (!ParseDecimal(text, value)) {
            reason = "not a number";
            return false;
        }
        if (!ToWord(value, point.IsBit(), word, why)) {
            reason = why;
            return false;
        }
        decoded.push_back(word);
    } else {
        const std::string expected =
            "this block takes a JSON array of " + std::to_string(point.count) + " values";
        const nlohmann::json array = nlohmann::json::parse(text, nullptr, false);
        if (array.is_discarded() || !array.is_array()) {
            reason = expected;
            return false;
        }
        if (array.size() != static_cast<std::size_t>(point.count)) {
            reason = expected + ", not " + std::to_string(array.size());
            return false;
        }
        for (std::size_t i = 0; i < array.size(); ++i) {
            const nlohmann::json& element = array[i];
            std::uint16_t word = 0;
            if (!element.is_number()) {
                reason = "value " + std::to_string(i + 1) + " is not a number";
                return false;
            }
            if (!ToWord(element.get<double>(), false, word, why)) {
                reason = "value " + std::to_string(i + 1) + " (" + element.dump() + "): " + why;
                return false;
            }
            decoded.push_back(word);
        }
    }
    words = std::move(decoded);
    return true;
}

WriteResult ResultOf(Outcome outcome) {
    switch (outcome) {
        case Outcome::Ok:
            return {"ok", ""};
        case Outcome::Refused:
            return {"refused", ""};
        case Outcome::LineFailure:
            return {"line-failure", ""};
        case Outcome::NotWritable:
            return {"not-writable", ""};
        case Outcome::ReadOnly:
            return {"not-writable", "the gateway is read-only"};
        case Outcome::Demoted:
            return {"line-failure", "station demoted: not tried"};
        case Outcome::LineDown:
            return {"line-failure", "line down: not tried"};
        case Outcome::BadRequest:
            return {"bad-payload", "the values do not fit the point"};
        case Outcome::ShuttingDown:
            break;
    }
    return {"line-failure", "the gateway stopped before the write reached the line"};
}

std::string ResultPayload(const WriteResult& result, WallTime now) {
    std::string out = "{\"result\": \"";
    out += result.result;
    out += '"';
    if (!result.detail.empty()) {
        out += ", \"detail\": ";
        AppendJsonString(out, result.detail);
    }
    out += ", \"time\": \"" + IsoTime(now) + "\"}";
    return out;
}

}  // namespace westnet::gateway::mqtt
