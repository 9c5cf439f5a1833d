#include "mqtt/payload.h"

#include <cmath>
#include <nlohmann/json.hpp>

#include "iso_time.h"
#include "values/write.h"

namespace westnet::gateway::mqtt {

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
        out += '"' + host::IsoTimeUtc(sample.goodTime) + '"';
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
