// The control socket's commands as plain computations: what each answers,
// that a refused command changes nothing, and what a silenced station or a
// station's own faults do to the requests on the line.
#include <gtest/gtest.h>

#include "control.h"

namespace westnet::sim {
namespace {

Bytes Header(int op, int b1, int b2, int b3, int b4) {
    Bytes frame{static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(b1),
                static_cast<std::uint8_t>(b2), static_cast<std::uint8_t>(b3),
                static_cast<std::uint8_t>(b4), 0};
    frame[5] = HeaderSum(frame.data());
    return frame;
}

class ControlTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (int station : {5, 6}) {
            plant_.AddStation(station);
            plant_.Registers(station)[0x10] = static_cast<std::uint16_t>(0x0100 + station);
        }
    }
    std::string Do(const std::string& command) { return controls_.Execute(command, plant_); }
    Outcome Run(const Bytes& frame) { return Serve(plant_, faults_, controls_, frame); }
    // Selects `station` and reads its register 0x10: the reply, empty if none.
    Bytes SelectAndRead(int station) {
        Run(Header(kOpSelect, station, 0, 0, 0));
        return Run(Header(kOpReadWord, 0x10, 0, 0, 0)).reply;
    }

    Plant plant_;
    FaultPlan faults_;
    StationControls controls_{7, 300};
};

TEST_F(ControlTest, RefusedCommandsSayWhyAndChangeNothing) {
    ASSERT_EQ(Do("fault 06 short=0.5"), "ok");
    const std::string before = Do("status");
    EXPECT_EQ(before, "ok 05 answers; 06 answers, faults short=0.5");
    const struct {
        const char* command;
        const char* says;
    } kCases[] = {
        {"", "empty command"},
        {"   \t", "empty command"},
        {"kill 05", "unknown command 'kill'"},
        {"SILENCE 05", "unknown command"},
        {"silence", "needs a station number"},
        {"silence 100", "not '100'"},
        {"silence 5a", "not '5a'"},
        {"silence -5", "not '-5'"},
        {"silence 07", "no station 07"},
        {"silence 05 06", "nothing after it"},
        {"answer 06 now", "nothing after it"},
        {"status 05", "takes nothing"},
        {"fault 05", "needs KIND=P"},
        {"fault 05 noise", "bad fault 'noise'"},
        {"fault 05 noise=1.5", "bad probability"},
        {"fault 05 noise=0.6 short=0.6", "more than 1"},
        {"fault 06 off now", "bad fault 'off'"},
        {"fault 05 \x01\xff=0.1", "\\x01\\xFF"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.command);
        std::string answer = Do(c.command);
        EXPECT_EQ(answer.rfind("error: ", 0), 0u) << answer;
        EXPECT_NE(answer.find(c.says), std::string::npos) << answer;
        EXPECT_EQ(answer.find('\n'), std::string::npos) << answer;
        EXPECT_EQ(Do("status"), before);
    }
}

TEST_F(ControlTest, ASilencedStationIsDeadUntilItAnswersAgain) {
    faults_.SetScript({Fault{FaultKind::kOk}});
    EXPECT_FALSE(SelectAndRead(5).empty());

    ASSERT_EQ(Do("silence 5"), "ok");
    EXPECT_EQ(Do("status"), "ok 05 silenced; 06 answers");
    // Selected before it went silent: its reads and writes go unanswered
    // and its registers stay as they were.
    Outcome read = Run(Header(kOpReadWord, 0x10, 0, 0, 0));
    EXPECT_TRUE(read.reply.empty());
    EXPECT_EQ(read.request.verdict, Verdict::kSilenced);
    EXPECT_TRUE(Run(Header(kOpWriteWord, 0x10, 0, 0x34, 0x12)).reply.empty());
    EXPECT_EQ(plant_.Registers(5)[0x10], 0x0105);
    // A select of it gets no answer and leaves nothing selected.
    EXPECT_TRUE(Run(Header(kOpSelect, 5, 0, 0, 0)).reply.empty());
    EXPECT_EQ(plant_.selected(), kNoStation);
    // The other station answers all along.
    EXPECT_EQ(SelectAndRead(6), (Bytes{0x00, 0x10, 0x00, 0x06, 0x01, 0x17}));

    ASSERT_EQ(Do("answer 05"), "ok");
    EXPECT_EQ(SelectAndRead(5), (Bytes{0x00, 0x10, 0x00, 0x05, 0x01, 0x16}));
    EXPECT_EQ(Do("status"), "ok 05 answers; 06 answers");
}

TEST_F(ControlTest, AStationsOwnFaultsReplaceTheLinesForItAlone) {
    std::string what;
    ASSERT_TRUE(faults_.AddRate("short=1", what));
    ASSERT_EQ(Do("fault 05 bad-checksum=1 silence=0"), "ok");

    Outcome select = Run(Header(kOpSelect, 5, 0, 0, 0));
    EXPECT_EQ(select.fault.kind, FaultKind::kBadChecksum);
    Outcome read = Run(Header(kOpReadWord, 0x10, 0, 0, 0));
    EXPECT_EQ(read.fault.kind, FaultKind::kBadChecksum);
    EXPECT_EQ(read.reply, (Bytes{0x00, 0x10, 0x00, 0x05, 0x01, 0x17}));  // sum 0x16, plus one
    EXPECT_EQ(Run(Header(kOpSelect, 6, 0, 0, 0)).fault.kind, FaultKind::kShort);

    // A refused fault list keeps the faults the station had.
    EXPECT_EQ(Do("fault 05 late=0.5 bogus=0.1").rfind("error: ", 0), 0u);
    EXPECT_EQ(Run(Header(kOpSelect, 5, 0, 0, 0)).fault.kind, FaultKind::kBadChecksum);

    ASSERT_EQ(Do("fault 05 off"), "ok");
    EXPECT_EQ(Run(Header(kOpSelect, 5, 0, 0, 0)).fault.kind, FaultKind::kShort);
}

}  // namespace
}  // namespace westnet::sim
