// The poller's explanations of address texts: the position it points at and
// the reason it gives, for every kind of fault, and the decoded fields of
// accepted texts.
#include <gtest/gtest.h>

#include <string>

#include "address_rules.h"

namespace westnet::poll {
namespace {

struct Case {
    const char* text;
    bool bit;
    std::int32_t words;
    bool accepted;
    int position;        // rejected: where the caret goes
    const char* reason;  // rejected: a piece of the explanation
};

TEST(PollRules, ExplainsEachFaultAtItsPosition) {
    const Case cases[] = {
        {"0170000", false, 0, false, 2, "position 2 (register, first digit) holds '7'"},
        {"1a00001", false, 0, false, 1, "letters are never part of an address"},
        {"x100001", false, 0, false, 0, "position 0 (station, first digit)"},
        {"01000x1", false, 0, false, 5, "register, fourth digit"},
        {"0100001x", true, 0, false, 7, "position 7 (bit number) holds 'x'"},
        {"0100001+7", true, 0, false, 7, "position 7 (bit number) holds '+'"},
        {"0100001 x", true, 0, false, 8, "a digit or a space"},
        {"0165536", false, 0, false, 2, "register 65536 is above 65535"},
        {"0100000", false, 0, false, 2, "register 00000 is zero"},
        {"01", false, 0, false, 2, "no register after the station"},
        {"", false, 0, false, 2, "no register after the station"},
        {"010001", false, 0, false, 6, "the register has 4 digits"},
        {"01000011", false, 0, false, 7, "position 7 holds '1'"},
        {"0100001 ", false, 0, false, 7, "position 7 holds ' '"},
        {"0100001", true, 0, false, 7, "needs its bit number 1 to 16"},
        {"024000117", true, 0, false, 7, "bit number 17 is outside 1 to 16"},
        {"010000100", true, 0, false, 7, "bit number 0 is outside"},
        {"0100001 1234", true, 0, false, 8, "bit number 1234"},
        {"0100001  -3", true, 0, false, 9, "bit number -3"},
        {"0140001", false, 65, false, -1, "a block holds 1 to 64 words, not 65"},
        {"0140001123456", false, 0, false, 12, "13 characters"},
        {"0\x01"
         "00001",
         false, 0, false, 1, "holds \\x01"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const AddressVerdict v = CheckAddress(c.text, c.bit, c.words);
        EXPECT_FALSE(v.accepted);
        EXPECT_EQ(v.position, c.position);
        EXPECT_NE(v.reason.find(c.reason), std::string::npos) << v.reason;
    }
}

TEST(PollRules, DecodesAcceptedTexts) {
    struct Good {
        const char* text;
        bool bit;
        std::int32_t words;
        std::int32_t station, reg, bitNumber;
    };
    const Good cases[] = {
        {"0100001", false, 0, 1, 1, 0},
        {"9965535", false, 0, 99, 65535, 0},
        {"0000001", false, 0, 0, 1, 0},
        {"01000011", true, 0, 1, 1, 1},
        {"0240001 9", true, 0, 2, 40001, 9},
        {"024000116", true, 0, 2, 40001, 16},
        {"0100001  5", true, 0, 1, 1, 5},
        {"0100001 2XY", true, 0, 1, 1, 2},  // positions 9 to 11 have no class
        {"0100001  +7", true, 0, 1, 1, 7},
        {"0140001", false, 64, 1, 40001, 0},
        {"0140001", false, 1, 1, 40001, 0},
    };
    for (const Good& c : cases) {
        SCOPED_TRACE(c.text);
        const AddressVerdict v = CheckAddress(c.text, c.bit, c.words);
        EXPECT_TRUE(v.accepted) << v.reason;
        EXPECT_EQ(v.station, c.station);
        EXPECT_EQ(v.reg, c.reg);
        EXPECT_EQ(v.bit, c.bitNumber);
    }
}

TEST(PollRules, MarksWhatTheDriverIgnoresAfterABitNumber) {
    const std::pair<const char*, int> cases[] = {
        {"0140001 1 6", 9}, {"0100001 2XY", 9}, {"01400011 ", 8},
        {"0240001 9", -1},  {"024000116", -1},  {"0100001  5", -1},
    };
    for (const auto& [text, from] : cases) {
        const AddressVerdict v = CheckAddress(text, true);
        ASSERT_TRUE(v.accepted) << text;
        EXPECT_EQ(v.ignoredFrom, from) << text;
    }
}

TEST(PollRules, BlocksMustEndAtTheLastRegister) {
    EXPECT_EQ(BlockPastLastRegister(65535, 1), "");
    EXPECT_EQ(BlockPastLastRegister(65472, 64), "");
    EXPECT_EQ(BlockPastLastRegister(65535, 3),
              "the block would run past the last register, 65535 (registers 65535 to 65537); "
              "from register 65535 at most 1 word fits");
    EXPECT_NE(BlockPastLastRegister(65473, 64).find("at most 63 words fit"), std::string::npos);
}

TEST(PollRules, ExplanationPutsTheCaretUnderTheCharacter) {
    const std::string text = "0170000";
    const AddressVerdict v = CheckAddress(text, false);
    const std::string explained = ExplainRejection(text, v);
    const std::size_t first = explained.find('\n');
    const std::size_t second = explained.find('\n', first + 1);
    const std::string quoted = explained.substr(0, first);
    const std::string caret = explained.substr(first + 1, second - first - 1);
    ASSERT_EQ(caret.back(), '^');
    EXPECT_EQ(quoted[caret.size() - 1], '7');
}

TEST(PollRules, AutoKindTakesLongTextsAsBitPoints) {
    EXPECT_FALSE(LooksLikeBitPoint("0100001"));
    EXPECT_FALSE(LooksLikeBitPoint("010001"));
    EXPECT_TRUE(LooksLikeBitPoint("01000011"));
    EXPECT_TRUE(LooksLikeBitPoint("0100001 "));
}

}  // namespace
}  // namespace westnet::poll
