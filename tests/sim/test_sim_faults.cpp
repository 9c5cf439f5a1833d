// Fault injection: scripts and rates, what each fault does to the reply, and
// which faults let a write take effect (the soak tests rely on it).
#include <gtest/gtest.h>

#include <initializer_list>

#include "faults.h"

namespace westnet::sim {
namespace {

Bytes Header(int op, int b1, int b2, int b3, int b4) {
    Bytes frame{static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(b1),
                static_cast<std::uint8_t>(b2), static_cast<std::uint8_t>(b3),
                static_cast<std::uint8_t>(b4), 0};
    frame[5] = HeaderSum(frame.data());
    return frame;
}

std::vector<Fault> Script(const std::string& text) {
    std::vector<Fault> script;
    std::string what;
    EXPECT_TRUE(ParseScript(text, script, what)) << what;
    return script;
}

class FaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        plant_.AddStation(5);
        plant_.Registers(5)[0x10] = 0x0102;
        plant_.Registers(5)[0x11] = 0x0304;
    }
    Outcome Run(const Bytes& frame) { return Serve(plant_, faults_, frame); }

    Plant plant_;
    FaultPlan faults_;
};

TEST(FaultScript, ParsesEveryKind) {
    std::vector<Fault> script =
        Script("ok,bad-checksum, bad-data,silence,short,noise,late,late=200");
    ASSERT_EQ(script.size(), 8u);
    const FaultKind kinds[] = {FaultKind::kOk,      FaultKind::kBadChecksum, FaultKind::kBadData,
                               FaultKind::kSilence, FaultKind::kShort,       FaultKind::kNoise,
                               FaultKind::kLate,    FaultKind::kLate};
    for (std::size_t i = 0; i < script.size(); ++i) {
        EXPECT_EQ(script[i].kind, kinds[i]) << i;
    }
    EXPECT_EQ(script[6].late_ms, -1);
    EXPECT_EQ(script[7].late_ms, 200);
}

TEST(FaultScript, RefusesUnknownOrMalformedEntries) {
    for (const char* text : {"", "ok,", "ok,,short", "slow", "short=3", "late=", "late=-5",
                             "late=1e3", "late=600001"}) {
        SCOPED_TRACE(text);
        std::vector<Fault> script;
        std::string what;
        EXPECT_FALSE(ParseScript(text, script, what));
        EXPECT_FALSE(what.empty());
    }
}

TEST(FaultRates, RefuseBadKindsAndOverOne) {
    FaultPlan plan;
    std::string what;
    for (const char* text : {"silence", "silence=", "silence=x", "silence=1.5", "silence=-0.1",
                             "ok=0.5", "slow=0.1"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(plan.AddRate(text, what));
    }
    EXPECT_TRUE(plan.AddRate("silence=0.6", what));
    EXPECT_FALSE(plan.AddRate("short=0.5", what));
    EXPECT_TRUE(plan.AddRate("short=0.4", what));
}

TEST(FaultRates, DrawsFollowTheRatesAndTheSeed) {
    auto draw = [](std::uint64_t seed) {
        FaultPlan plan;
        std::string what;
        EXPECT_TRUE(plan.AddRate("silence=0.25", what));
        EXPECT_TRUE(plan.AddRate("late=0.25", what));
        plan.Seed(seed);
        plan.SetLateMs(300);
        std::vector<FaultKind> kinds;
        for (int i = 0; i < 4000; ++i) {
            Fault fault = plan.Next();
            if (fault.kind == FaultKind::kLate) {
                EXPECT_EQ(fault.late_ms, 300);
            }
            kinds.push_back(fault.kind);
        }
        return kinds;
    };
    std::vector<FaultKind> first = draw(7);
    EXPECT_EQ(first, draw(7));
    EXPECT_NE(first, draw(8));
    int silence = 0, late = 0, ok = 0;
    for (FaultKind kind : first) {
        silence += kind == FaultKind::kSilence;
        late += kind == FaultKind::kLate;
        ok += kind == FaultKind::kOk;
    }
    // 1000 expected each for silence and late, 2000 for ok; a fixed seed
    // makes these counts the same on every run.
    EXPECT_NEAR(silence, 1000, 150);
    EXPECT_NEAR(late, 1000, 150);
    EXPECT_NEAR(ok, 2000, 150);
}

TEST_F(FaultTest, ScriptEntriesGoToAnsweredRequestsOnlyThenNormal) {
    faults_.SetScript(Script("bad-checksum,short"));
    // Unanswered frames use up no entry.
    EXPECT_TRUE(Run(Header(kOpReadWord, 0x10, 0, 0, 0)).reply.empty());  // nothing selected
    EXPECT_TRUE(Run(Header(kOpSelect, 6, 0, 0, 0)).reply.empty());       // no station 6

    Outcome select = Run(Header(kOpSelect, 5, 0, 0, 0));
    EXPECT_EQ(select.fault.kind, FaultKind::kBadChecksum);
    EXPECT_EQ(select.reply, (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x10}));
    EXPECT_EQ(plant_.selected(), 5);

    Outcome read = Run(Header(kOpReadWord, 0x10, 0, 0, 0));
    EXPECT_EQ(read.fault.kind, FaultKind::kShort);
    EXPECT_EQ(read.reply, (Bytes{0x00, 0x10, 0x00}));

    Outcome normal = Run(Header(kOpReadWord, 0x10, 0, 0, 0));
    EXPECT_EQ(normal.fault.kind, FaultKind::kOk);
    EXPECT_EQ(normal.reply, (Bytes{0x00, 0x10, 0x00, 0x02, 0x01, 0x13}));
}

TEST_F(FaultTest, WhatEachFaultDoesToABlockRead) {
    plant_.Handle(Header(kOpSelect, 5, 0, 0, 0));
    const Bytes clean{0x05, 0x10, 0x00, 0x01, 0x00, 0x16, 0x02, 0x01, 0x04, 0x03, 0x0A};
    faults_.SetScript(Script("ok,bad-checksum,bad-data,short,late=250,noise,silence"));
    Bytes request = Header(kOpReadBlock, 0x10, 0, 1, 0);

    EXPECT_EQ(Run(request).reply, clean);

    Bytes bad_header = clean;
    bad_header[5] = 0x17;
    EXPECT_EQ(Run(request).reply, bad_header);

    Bytes bad_data = clean;
    bad_data[10] = 0x0B;
    Outcome data = Run(request);
    EXPECT_EQ(data.reply, bad_data);
    EXPECT_NE(data.text.find("| fault bad-data"), std::string::npos) << data.text;

    EXPECT_EQ(Run(request).reply, Bytes(clean.begin(), clean.begin() + 5));

    Outcome late = Run(request);
    EXPECT_EQ(late.reply, clean);
    EXPECT_EQ(late.delay_ms, 250);

    Outcome noise = Run(request);
    ASSERT_GT(noise.reply.size(), clean.size());
    ASSERT_LE(noise.reply.size(), clean.size() + 4);
    EXPECT_EQ(Bytes(noise.reply.end() - static_cast<long>(clean.size()), noise.reply.end()), clean);

    Outcome silent = Run(request);
    EXPECT_TRUE(silent.reply.empty());
    EXPECT_EQ(silent.fault.kind, FaultKind::kSilence);
}

TEST_F(FaultTest, BadDataOnAReplyWithoutDataSpoilsTheHeaderChecksum) {
    faults_.SetScript(Script("bad-data"));
    Outcome select = Run(Header(kOpSelect, 5, 0, 0, 0));
    EXPECT_EQ(select.reply, (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x10}));
}

TEST_F(FaultTest, EveryFaultButSilenceLetsTheWriteTakeEffect) {
    plant_.Handle(Header(kOpSelect, 5, 0, 0, 0));
    struct Case {
        const char* fault;
        bool applied;
    } cases[] = {{"ok", true},    {"bad-checksum", true}, {"bad-data", true}, {"short", true},
                 {"noise", true}, {"late=10", true},      {"silence", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        faults_.SetScript(Script(c.fault));
        std::uint16_t value = static_cast<std::uint16_t>(0x1000 + (c.applied ? 1 : 0));
        plant_.Registers(5)[0x20] = 0;
        plant_.Registers(5)[0x21] = 0;
        plant_.Registers(5)[0x22] = 0;

        Outcome word = Run(Header(kOpWriteWord, 0x20, 0, value & 0xFF, value >> 8));
        faults_.SetScript(Script(c.fault));
        Outcome bit = Run(Header(kOpWriteBit, 0x21, 0, 0x10 | 4, 0));
        faults_.SetScript(Script(c.fault));
        Bytes block = Header(kOpWriteBlock, 0x22, 0, 0, 0);
        block.insert(block.end(), {0x34, 0x12, 0x34});
        Outcome blocked = Run(block);

        EXPECT_EQ(word.applied, c.applied);
        EXPECT_EQ(bit.applied, c.applied);
        EXPECT_EQ(blocked.applied, c.applied);
        EXPECT_EQ(plant_.Registers(5)[0x20], c.applied ? value : 0);
        EXPECT_EQ(plant_.Registers(5)[0x21], c.applied ? 0x0010 : 0);
        EXPECT_EQ(plant_.Registers(5)[0x22], c.applied ? 0x1234 : 0);
        EXPECT_EQ(word.reply.empty(), !c.applied);
    }
}

TEST_F(FaultTest, ASilencedSelectLeavesTheSelectionAlone) {
    plant_.AddStation(7);
    plant_.Handle(Header(kOpSelect, 7, 0, 0, 0));
    faults_.SetScript(Script("silence"));
    Outcome select = Run(Header(kOpSelect, 5, 0, 0, 0));
    EXPECT_TRUE(select.reply.empty());
    EXPECT_EQ(plant_.selected(), 7);
    EXPECT_EQ(select.text, "SELECT station 5 | fault silence");
}

}  // namespace
}  // namespace westnet::sim
