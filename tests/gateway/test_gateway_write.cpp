// The one decoder of a point write, shared by every front end (an HTTP PUT
// body, an MQTT /set payload).
#include <gtest/gtest.h>

#include "mqtt/test_plant.h"
#include "values/write.h"

namespace westnet::gateway {
namespace {

using testing::TestPoint;
using Words = std::vector<std::uint16_t>;

TEST(WriteDecoding, AcceptsOnlyWhatFitsThePoint) {
    const PointConfig word = TestPoint("w", 1, 0, -1, 0, true);
    const PointConfig bit = TestPoint("b", 1, 0, 3, 0, true);
    const PointConfig block = TestPoint("k", 1, 0, -1, 3, true);
    struct Case {
        const PointConfig& point;
        std::string payload;
        bool ok;
        Words words;
    };
    const Case cases[] = {
        {word, "1234", true, {1234}},
        {word, " 42\r\n", true, {42}},
        {word, "65535", true, {65535}},
        {word, "1e3", true, {1000}},
        {word, "2.0", true, {2}},
        {word, "65536", false, {}},
        {word, "-1", false, {}},
        {word, "1.5", false, {}},
        {word, "1e400", false, {}},
        {word, "0x10", false, {}},
        {word, "12abc", false, {}},
        {word, "", false, {}},
        {word, "[1]", false, {}},
        {bit, "1", true, {1}},
        {bit, "2", false, {}},
        // Every front end decodes a write the same way: HTTP took true for a
        // bit point where MQTT refused it.
        {bit, "true", true, {1}},
        {bit, " false ", true, {0}},
        {bit, "[true]", false, {}},
        {word, "true", false, {}},
        {word, "+5", true, {5}},
        {word, "1e-999", false, {}},
        {block, "[1, 1e-400, 3]", false, {}},
        {block, "[1, \"\\\"1e-999\", 3]", false, {}},
        {word, "\"5\"", false, {}},
        {block, "{\"value\": 1}", false, {}},
        {block, "[1, 2, 3]", true, {1, 2, 3}},
        {block, " [0,65535,7.0] ", true, {0, 65535, 7}},
        {block, "[1, 2]", false, {}},
        {block, "[1, \"2\", 3]", false, {}},
        {block, "[1, 2, 70000]", false, {}},
        {block, "[1, 2, 3.5]", false, {}},
        {block, "[1, 2, 3", false, {}},
        {block, "5", false, {}},
        {word, std::string(kMaxWriteText + 1, '1'), false, {}},
    };
    for (const Case& c : cases) {
        Words words = {999};
        std::string reason;
        EXPECT_EQ(DecodeWrite(c.point, c.payload, words, reason), c.ok) << c.payload;
        if (c.ok) {
            EXPECT_EQ(words, c.words) << c.payload;
        } else {
            EXPECT_EQ(words, Words{999}) << c.payload << ": nothing decoded on failure";
            EXPECT_FALSE(reason.empty()) << c.payload;
        }
    }
}

// Writes in engineering units: converted through the point's type and
// scale, rounded to the raw step, refused (naming the limits) beyond it.
TEST(WriteDecoding, TypedPointsTakeEngineeringValues) {
    PointConfig temperature = TestPoint("t", 1, 0, -1, 0, true);
    temperature.format.type = values::Type::Int16;
    temperature.format.scaled = true;
    temperature.format.scale = {0, 10, 0, 1};  // tenths of a degree
    PointConfig flow = TestPoint("f", 1, 0, -1, 0, true);
    flow.format.type = values::Type::Float32;
    flow.format.order = values::WordOrder::HighFirst;
    PointConfig totals = TestPoint("c", 1, 0, -1, 2, true);
    totals.format.type = values::Type::Int32;
    PointConfig level = TestPoint("l", 1, 0, -1, 0, true);
    level.format.scaled = true;
    level.format.scale = {0, 10000, 0, 100};
    level.format.clamp = true;
    struct Case {
        const PointConfig& point;
        std::string payload;
        bool ok;
        Words words;
        std::string reason;  // in the reason when refused
    };
    const Case cases[] = {
        {temperature, "73.25", true, {733}, ""},
        {temperature, "-0.5", true, {0xFFFB}, ""},
        {temperature,
         "3276.8",
         false,
         {},
         "out-of-range: this int16 point (scaled) takes -3276.8 to 3276.7"},
        {flow, "73.25", true, {0x4292, 0x8000}, ""},
        {flow, "1e39", false, {}, "out-of-range"},
        {flow, "[73.25]", false, {}, "not an array"},
        {totals, "[-5, 70000]", true, {0xFFFB, 0xFFFF, 0x1170, 0x0001}, ""},
        {totals, "[1, 2147483648]", false, {}, "value 2 (2147483648): out-of-range"},
        {totals, "[1, 2, 3]", false, {}, "2 values, not 3"},
        {level, "120", true, {10000}, ""},  // clamped to the scale's top
        {level, "12.34", true, {1234}, ""},
    };
    for (const Case& c : cases) {
        Words words = {999};
        std::string reason;
        EXPECT_EQ(DecodeWrite(c.point, c.payload, words, reason), c.ok)
            << c.payload << ": " << reason;
        if (c.ok) {
            EXPECT_EQ(words, c.words) << c.payload;
        } else {
            EXPECT_EQ(words, Words{999}) << c.payload;
            EXPECT_NE(reason.find(c.reason), std::string::npos) << c.payload << ": " << reason;
        }
    }
}

}  // namespace
}  // namespace westnet::gateway
