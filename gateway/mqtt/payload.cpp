#include "mqtt/payload.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>

#include "iso_time.h"
#include "values/engineering.h"
#include "values/write.h"

namespace westnet::gateway::mqtt {

std::string PointPayload(const PointConfig& point, const PointSample& sample) {
    const std::vector<EngineeringValue> eng = EngineeringValues(point, sample.values);
    std::string out = point.IsBlock() ? "{\"values\": " : "{\"value\": ";
    if (eng.empty()) {
        out += "null";
    } else if (point.IsBlock()) {
        out += '[';
        for (std::size_t i = 0; i < eng.size(); ++i) {
            out += (i > 0 ? ", " : "") + ValueJsonText(eng[i]);
        }
        out += ']';
    } else {
        out += ValueJsonText(eng[0]);
    }
    // The registers' words beside the value, unless they are the value.
    if (!point.format.Plain() && !point.IsBit()) {
        out += ", \"raw\": ";
        if (eng.empty()) {
            out += "null";
        } else if (sample.values.size() == 1 && !point.IsBlock()) {
            out += std::to_string(sample.values[0]);
        } else {
            out += '[';
            for (std::size_t i = 0; i < sample.values.size(); ++i) {
                out += (i > 0 ? ", " : "") + std::to_string(sample.values[i]);
            }
            out += ']';
        }
    }
    if (!point.unit.empty()) {
        out += ", \"unit\": " + nlohmann::json(point.unit)
                                    .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    for (const EngineeringValue& v : eng) {
        if (v.state == values::Decoded::OutOfRange) {
            out += ", \"out_of_range\": true";
            break;
        }
    }
    out += ", \"quality\": \"";
    out += QualityName(sample.quality);
    out += "\", \"time\": ";
    if (sample.values.empty() || sample.goodTime == WallTime{}) {
        out += "null";
    } else {
        out += '"' + host::IsoTimeUtc(sample.goodTime) + '"';
    }
    out += '}';
    return out;
}

std::string ReplayedPayload(const std::string& payload) {
    const std::size_t close = payload.rfind('}');
    if (close == std::string::npos) {
        return payload;
    }
    return payload.substr(0, close) + ", \"replayed\": true" + payload.substr(close);
}

bool WorthPublishing(const PointConfig& point, const LastPublished& last,
                     const PointSample& sample) {
    if (!last.any || last.quality != sample.quality || last.values.size() != sample.values.size()) {
        return true;
    }
    if (point.IsBit()) {
        return last.values != sample.values;
    }
    // The deadband is in engineering units: compare values, not words.
    const std::vector<EngineeringValue> before = EngineeringValues(point, last.values);
    const std::vector<EngineeringValue> now = EngineeringValues(point, sample.values);
    if (before.size() != now.size()) {
        return true;
    }
    for (std::size_t i = 0; i < now.size(); ++i) {
        if (before[i].state != now[i].state) {
            return true;
        }
        if (now[i].state == values::Decoded::NotAValue) {
            continue;  // no value either time
        }
        if (std::fabs(now[i].value - before[i].value) > point.deadband) {
            return true;
        }
    }
    // Words that are no value (a bad BCD digit) are told when they change.
    return last.values != sample.values && std::any_of(now.begin(), now.end(), [](const auto& v) {
               return v.state == values::Decoded::NotAValue;
           });
}

bool SetPayloadText(const void* payload, int length, std::string& text, std::string& reason) {
    if (length < 0 || static_cast<std::size_t>(length) > kMaxWriteText) {
        reason = "longer than " + std::to_string(kMaxWriteText) + " bytes";
        return false;
    }
    text.clear();
    if (payload != nullptr && length > 0) {
        text.assign(static_cast<const char*>(payload), static_cast<std::size_t>(length));
    }
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
        out += nlohmann::json(result.detail)
                   .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    out += ", \"time\": \"" + host::IsoTimeUtc(now) + "\"}";
    return out;
}

}  // namespace westnet::gateway::mqtt
