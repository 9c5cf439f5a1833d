// The MQTT front end's payloads: what a point's message says, when a new
// reading is worth a message, what a /set message may hold and how a write's
// result is told.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "plant/plant.h"
#include "scan/service.h"

namespace westnet::gateway::mqtt {

// {"value": 1234, "quality": "good", "time": "2026-12-09T07:00:00.123Z"}, for
// a block "values": [..]. The value is the latest good one and the time is
// when it was read; both are null until the point has been read once.
std::string PointPayload(const PointConfig& point, const PointSample& sample);

// A point's payload as the store-and-forward buffer publishes it later:
// the same, with "replayed": true. Its "time" stays the read's.
std::string ReplayedPayload(const std::string& payload);

// What the subscribers were last given for a point.
struct LastPublished {
    bool any = false;
    std::vector<std::uint16_t> values;
    Quality quality = Quality::Bad;
};

// A reading is published when its quality differs from the last one
// published, or a word moved by more than the point's deadband (a bit point:
// any change).
bool WorthPublishing(const PointConfig& point, const LastPublished& last,
                     const PointSample& sample);

// A /set message's payload as text. One longer than any write may be
// (kMaxWriteText) is refused on its length alone, before it is copied: a
// broker passes on payloads of up to 256 MB. False with the reason then.
bool SetPayloadText(const void* payload, int length, std::string& text, std::string& reason);

// A write's result as /result tells it: one of "ok", "refused",
// "line-failure", "not-writable", "bad-payload", and a detail when the
// service's outcome says more than that (e.g. "station demoted").
struct WriteResult {
    const char* result = "ok";
    std::string detail;
};
WriteResult ResultOf(Outcome outcome);

// {"result": "ok", "time": "..."}, with "detail": "..." when there is one.
std::string ResultPayload(const WriteResult& result, WallTime now);

}  // namespace westnet::gateway::mqtt
