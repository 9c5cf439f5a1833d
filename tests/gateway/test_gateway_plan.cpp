// The read plan: how points become block reads, and what a plan costs on
// the wire.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scan/plan.h"

namespace westnet::gateway {
namespace {

// "S:R" a word point, "S:R/B" a bit point, "S:RxN" a block (R zero-based).
PointConfig P(const std::string& text) {
    PointConfig p;
    p.station = std::stoi(text);
    const std::string rest = text.substr(text.find(':') + 1);
    p.reg = std::stoi(rest);
    if (rest.find('/') != std::string::npos) {
        p.bit = std::stoi(rest.substr(rest.find('/') + 1));
    }
    if (rest.find('x') != std::string::npos) {
        p.count = std::stoi(rest.substr(rest.find('x') + 1));
    }
    return p;
}

// Blocks as "S:R+N[points]".
std::vector<std::string> Plan(const std::vector<std::string>& points, int maxGap,
                              int first = kNoStation) {
    std::vector<PointConfig> configs;
    std::vector<std::size_t> all;
    for (const std::string& p : points) {
        all.push_back(configs.size());
        configs.push_back(P(p));
    }
    std::vector<std::string> out;
    for (const Block& b : PlanBlocks(configs, all, maxGap, first)) {
        std::string text = std::to_string(b.station) + ":" + std::to_string(b.reg) + "+" +
                           std::to_string(b.count) + "[";
        for (std::size_t i = 0; i < b.points.size(); ++i) {
            text += (i ? "," : "") + std::to_string(b.points[i]);
        }
        out.push_back(text + "]");
    }
    return out;
}

TEST(GatewayPlan, MergesAndSplits) {
    struct Case {
        const char* what;
        std::vector<std::string> points;
        int maxGap;
        std::vector<std::string> blocks;
    };
    const Case cases[] = {
        {"adjacent words merge", {"1:10", "1:11", "1:12"}, 0, {"1:10+3[0,1,2]"}},
        {"a gap of max_gap merges", {"1:10", "1:14"}, 3, {"1:10+5[0,1]"}},
        {"a gap above max_gap splits", {"1:10", "1:15"}, 3, {"1:10+1[0]", "1:15+1[1]"}},
        {"max_gap 0 merges only neighbours", {"1:10", "1:12"}, 0, {"1:10+1[0]", "1:12+1[1]"}},
        {"file order does not matter", {"1:20", "1:10", "1:15"}, 8, {"1:10+11[1,2,0]"}},
        {"a bit point reads its word", {"1:10/3", "1:11"}, 0, {"1:10+2[0,1]"}},
        {"bits of one word share it", {"1:10/0", "1:10/15"}, 0, {"1:10+1[0,1]"}},
        {"a point inside a block joins it", {"1:10x8", "1:12/4"}, 0, {"1:10+8[0,1]"}},
        {"64 words is one read", {"1:0", "1:63"}, 62, {"1:0+64[0,1]"}},
        {"65 words are two", {"1:0", "1:64"}, 63, {"1:0+1[0]", "1:64+1[1]"}},
        {"a 64-word block stands alone", {"1:0x64", "1:64"}, 8, {"1:0+64[0]", "1:64+1[1]"}},
        {"blocks overlapping past 64 split", {"1:0x40", "1:30x40"}, 8, {"1:0+40[0]", "1:30+40[1]"}},
        {"stations never share", {"2:10", "1:10", "2:11"}, 8, {"1:10+1[1]", "2:10+2[0,2]"}},
        {"the highest register", {"5:65535", "5:65534"}, 0, {"5:65534+2[1,0]"}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Plan(c.points, c.maxGap), c.blocks) << c.what;
    }
}

TEST(GatewayPlan, TheSelectedStationGoesFirstAndCostsNoSelection) {
    EXPECT_EQ(Plan({"1:0", "2:0", "3:0"}, 8, 2),
              (std::vector<std::string>{"2:0+1[1]", "1:0+1[0]", "3:0+1[2]"}));
    std::vector<PointConfig> points = {P("1:0"), P("2:0x10"), P("0:5")};
    const std::vector<Block> blocks = PlanBlocks(points, {0, 1, 2}, 8, 1);
    // Station 1 selected already, station 2 selected once, station 0 never.
    const WireChars chars = PlanChars(blocks, 1);
    EXPECT_EQ(chars.selections, 1);
    EXPECT_EQ(chars.request, 6 + 6 + 6 + 6);
    EXPECT_EQ(chars.reply, 6 + 6 + (2 * 10 + 7) + 6);
}

TEST(GatewayPlan, WireTimeAtTheLineSpeed) {
    LineConfig line;  // 9600 baud 8O2: 12 bits, 1.25 ms a character
    EXPECT_DOUBLE_EQ(CharacterMs(line), 1.25);
    EXPECT_DOUBLE_EQ(CharacterBits(7, 0, 0), 9.0);
    EXPECT_DOUBLE_EQ(CharacterBits(5, 2, 1), 8.5);
    // The figures of a 64-word block against 64 word reads.
    EXPECT_DOUBLE_EQ((6 + ReplyChars(64)) * CharacterMs(line), 176.25);
    EXPECT_DOUBLE_EQ(64 * (6 + ReplyChars(1)) * CharacterMs(line), 960.0);
    EXPECT_EQ(WriteRequestChars(3), 13);
}

// A two-register value is read whole, in one command: never split between
// blocks, however the points around it fall.
TEST(GatewayPlan, TwoRegisterValuesAreNeverSplit) {
    std::vector<PointConfig> points;
    for (int reg = 0; reg < 63; ++reg) {
        points.push_back(P("1:" + std::to_string(reg)));
    }
    PointConfig wide = P("1:63");
    wide.format.type = values::Type::Float32;  // registers 63 and 64
    points.push_back(wide);
    PointConfig counters = P("1:100");
    counters.format.type = values::Type::UInt32;
    counters.count = 32;  // 64 words
    points.push_back(counters);
    std::vector<std::size_t> all(points.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    for (int gap : {0, 8}) {
        const std::vector<Block> blocks = PlanBlocks(points, all, gap);
        for (const Block& b : blocks) {
            EXPECT_LE(b.count, kBlockMaxWords);
            for (const std::size_t i : b.points) {
                EXPECT_GE(points[i].reg, b.reg) << points[i].name;
                EXPECT_LE(points[i].reg + points[i].Words(), b.End()) << points[i].name;
            }
        }
        ASSERT_EQ(blocks.size(), 3u);
        EXPECT_EQ(blocks[1].reg, 63);
        EXPECT_EQ(blocks[1].count, 2);
        EXPECT_EQ(blocks[2].count, 64);
    }
    Plant plant;
    LineConfig line;
    line.name = "l";
    line.points = {wide};
    line.points[0].name = "flow";
    line.points[0].unit = "m3/h";
    line.points[0].format.scaled = true;
    line.points[0].format.scale = {0, 1, 0, 3.6};
    plant.lines.push_back(line);
    const std::string text = DescribePlan(plant);
    EXPECT_NE(text.find("flow: 0100064-00065 float32 low-first, raw 0..1 = 0..3.6 m3/h"),
              std::string::npos)
        << text;
}

TEST(GatewayPlan, CheckWarnsOfPointsFasterThanAPass) {
    // Four 64-word blocks on four stations: about 770 ms a pass at 9600 8O2.
    struct Case {
        int scanMs;
        bool warned;
    };
    for (const Case& c : {Case{200, true}, Case{1000, false}}) {
        SCOPED_TRACE(c.scanMs);
        Plant plant;
        LineConfig line;
        line.name = "l";
        for (const char* text : {"1:0x64", "2:0x64", "3:0x64", "4:0x64"}) {
            line.points.push_back(P(text));
            line.points.back().name = text;
            line.points.back().scanMs = 1000;
        }
        line.points[2].scanMs = c.scanMs;
        plant.lines.push_back(line);
        const std::string text = DescribePlan(plant);
        EXPECT_EQ(text.find("warning: 1 point asks for more than the wire can carry (3:0x64: "
                            "scan_ms 200") != std::string::npos,
                  c.warned)
            << text;
    }
}

}  // namespace
}  // namespace westnet::gateway
