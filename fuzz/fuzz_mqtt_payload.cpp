// Fuzzes what the MQTT front end does with a /set message's payload
// (mqtt/payload.h): its length checked before it is copied, the text decoded
// for the point, the result published on /result. The first byte picks the
// point's shape (a word, a bit, a block of 1 to 64 words), the second whether
// the payload's length is told as it is or larger (as a broker may pass on a
// payload of up to 256 MB); the rest is the payload.
//
// Checked, besides the sanitizers' own checks:
// - a payload longer than a write may be is refused on its length, without
//   a byte of it read (it lies at the end of a heap block of its own size,
//   so a read past it is an AddressSanitizer report);
// - the /result message is valid JSON with the result and, for a bad
//   payload, its reason as the detail, whatever bytes the payload held;
// - a point's message for the decoded words is valid JSON with those words.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "mqtt/payload.h"
#include "values/write.h"

namespace {

using namespace westnet::gateway;
using nlohmann::json;

[[noreturn]] void Fail(const char* what) {
    std::fprintf(stderr, "fuzz_mqtt_payload: %s\n", what);
    std::abort();
}

PointConfig Shape(std::uint8_t pick) {
    PointConfig point;
    switch (pick % 3) {
        case 0:
            break;
        case 1:
            point.bit = pick % 16;
            break;
        default:
            point.count = 1 + (pick / 3) % 64;
            break;
    }
    return point;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const PointConfig point = Shape(data[0]);
    const bool overstated = (data[1] & 1) != 0;
    const std::size_t length = size - 2;
    // Exactly the payload's bytes on the heap: nothing to read past them.
    std::unique_ptr<char[]> payload(new char[length == 0 ? 1 : length]);
    std::memcpy(payload.get(), data + 2, length);
    const int told =
        overstated ? static_cast<int>(kMaxWriteText + 1 + length * 4096) : static_cast<int>(length);

    std::string text;
    std::string reason;
    mqtt::WriteResult result;
    std::vector<std::uint16_t> words;
    if (!mqtt::SetPayloadText(length == 0 && !overstated ? nullptr : payload.get(), told, text,
                              reason)) {
        if (!overstated && length <= kMaxWriteText) {
            Fail("a payload short enough was refused");
        }
        result = {"bad-payload", reason};
    } else if (overstated) {
        Fail("a payload longer than a write was taken");
    } else if (text != std::string(payload.get(), length)) {
        Fail("the text is not the payload");
    } else if (!DecodeWrite(point, text, words, reason)) {
        result = {"bad-payload", reason};
    }

    const std::string message = mqtt::ResultPayload(result, WallTime{});
    const json parsed = json::parse(message, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object() ||
        parsed.value("result", "") != result.result) {
        Fail("the /result message is not JSON with the result");
    }
    if (!result.detail.empty() && !parsed.contains("detail")) {
        Fail("a bad payload's /result message lacks its reason");
    }
    if (!words.empty()) {
        PointSample sample;
        sample.values = words;
        sample.quality = Quality::Good;
        sample.goodTime = WallTime(std::chrono::seconds(1));
        const json value = json::parse(mqtt::PointPayload(point, sample), nullptr, false);
        const json& got = point.IsBlock() ? value["values"] : value["value"];
        if (value.is_discarded() ||
            (point.IsBlock() ? got != json(words) : got != json(words.at(0)))) {
            Fail("the point's message does not hold the decoded words");
        }
    }
    return 0;
}
