// The poller explains refused addresses from its own reading of the address
// rules. Here that reading meets the driver's parse commands, called the way
// the poller calls them, on thousands of texts: both must accept and refuse
// the same ones and decode the same fields.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "address_rules.h"
#include "fake_platform.h"
#include "session.h"

namespace westnet::poll {
namespace {

using host::ParsedPoint;
using host::Session;

void ExpectAgreement(Session& session, const std::string& text, bool bit, std::int32_t words) {
    const AddressVerdict model = CheckAddress(text, bit, words);
    const ParsedPoint driver = session.Parse(text, bit, words);
    ASSERT_EQ(model.accepted, driver.result == ResOk)
        << "text \"" << text << "\" bit " << bit << " words " << words << ": " << model.reason;
    if (!model.accepted) {
        return;
    }
    EXPECT_EQ(driver.record.station, model.station) << text;
    EXPECT_EQ(driver.record.reg, model.reg - 1) << text;
    if (bit) {
        EXPECT_EQ(driver.record.kind, KIND_BIT) << text;
        EXPECT_EQ(driver.record.bit, model.bit - 1) << text;
    } else {
        EXPECT_EQ(driver.record.kind, KIND_WORD) << text;
        EXPECT_EQ(driver.record.bit, 255) << text;
    }
}

TEST(PollAgreement, ModelAndDriverJudgeTextsAlike) {
    fake::FakePlatform fake;  // the parse never reaches it
    Session session(&ZanMain);
    std::mt19937 random(20240611u);
    // Characters that matter somewhere: digits at their class edges, the
    // space, white space, signs, letters (upper-cased by the driver), NUL.
    const std::string alphabet = std::string("0123456789 \t+-aAx\x7f\xc4") + '\0';
    const std::string valid[] = {"0140001",   "0100001",   "9965535",    "0165535",
                                 "0240001 9", "024000116", "0100001  5", "01000011"};
    std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<int> length(0, 12);
    std::uniform_int_distribution<int> edits(1, 3);
    const std::int32_t blockSizes[] = {0, 1, 64, 65};
    int checked = 0;
    for (int round = 0; round < 3000; ++round) {
        std::string text;
        if (round % 2 == 0) {
            // A valid address with one to three characters changed.
            text = valid[static_cast<std::size_t>(round / 2) % (sizeof valid / sizeof valid[0])];
            const int n = edits(random);
            for (int e = 0; e < n; ++e) {
                const std::size_t at = random() % 12;
                if (at >= text.size()) {
                    text.resize(at + 1, ' ');
                }
                text[at] = alphabet[pick(random)];
            }
        } else {
            const int n = length(random);
            for (int i = 0; i < n; ++i) {
                text += alphabet[pick(random)];
            }
        }
        for (const bool bit : {false, true}) {
            for (const std::int32_t words : blockSizes) {
                ExpectAgreement(session, text, bit, words);
                ++checked;
            }
        }
    }
    EXPECT_EQ(checked, 3000 * 2 * 4);
    EXPECT_TRUE(fake.Calls().empty());
}

TEST(PollAgreement, TheExamplesOfTheAddressRules) {
    fake::FakePlatform fake;
    Session session(&ZanMain);
    for (const char* text : {"0100001", "9965535", "0540001", "0000001", "0165536", "0100000",
                             "0170000", "1a00001", "010001", "01000011", "0100001 "}) {
        ExpectAgreement(session, text, false, 0);
    }
    for (const char* text : {"01000011", "0240001 9", "024000116", "024000117", "010000100",
                             "0100001  5", "0100001 2XY", "0100001 1234", "0100001"}) {
        ExpectAgreement(session, text, true, 0);
    }
}

}  // namespace
}  // namespace westnet::poll
