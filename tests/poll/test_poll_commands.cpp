// The poller's commands run whole against a stand-in for the driver: which
// requests reach the driver, what the rows say, and the exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "commands.h"

namespace westnet::poll {
namespace {

std::vector<std::int32_t> gCommands;
std::int32_t gInfoResult = ResOk;
std::int32_t gFailingStation = -1;  // its writes and reads fail on the line

// Parses "SSRRRRR" as a word point; answers block reads with the register
// number as written; a write or read to gFailingStation fails on the line.
std::int32_t WESTNET_STDCALL StandIn(DriverRequest* request) {
    gCommands.push_back(request->command);
    switch (request->command) {
        case CmdGetInfo:
            return gInfoResult;
        case CmdParsePoint:
        case CmdParseBlock: {
            auto* a = static_cast<PointAddress*>(request->params);
            const std::string text(a->text, 7);
            a->station = std::atoi(text.substr(0, 2).c_str());
            a->reg = std::atoi(text.substr(2).c_str()) - 1;
            a->kind = KIND_WORD;
            return ResOk;
        }
        case CmdReadPoint:
        case CmdWritePoint:
        case CmdReadBlock: {
            auto* io = static_cast<PointIo*>(request->params);
            if (io->station == gFailingStation) {
                return ResFail;
            }
            if (request->command == CmdReadBlock) {
                auto* v = static_cast<std::uint8_t*>(io->values);
                for (std::int32_t i = 0; i < io->count; ++i) {
                    v[2 * i] = static_cast<std::uint8_t>(io->reg + 1 + i);
                    v[2 * i + 1] = 0;
                }
            }
            return ResOk;
        }
        default:
            return ResOk;
    }
}

struct Ran {
    int status = -1;
    std::string out;
    std::vector<std::int32_t> commands;
};

Ran RunPoller(const std::vector<std::string>& args) {
    gCommands.clear();
    ParseOutcome parsed = ParseCommandLine(args);
    EXPECT_TRUE(parsed.ok) << parsed.error;
    testing::internal::CaptureStdout();
    Ran ran;
    ran.status = RunCommand(parsed.options, &StandIn);
    ran.out = testing::internal::GetCapturedStdout();
    ran.commands = gCommands;
    return ran;
}

int Count(const std::vector<std::int32_t>& commands, std::int32_t command) {
    return static_cast<int>(std::count(commands.begin(), commands.end(), command));
}

class PollCommands : public ::testing::Test {
protected:
    void SetUp() override {
        gInfoResult = ResOk;
        gFailingStation = -1;
    }
};

TEST_F(PollCommands, ARefusedInformationRecordEndsTheRunWithItsStatus) {
    const std::pair<std::int32_t, int> cases[] = {{ResBad, kExitRefused},
                                                  {ResFail, kExitLineFailure}};
    for (const auto& [result, status] : cases) {
        gInfoResult = result;
        const Ran ran = RunPoller({"--device", "/dev/null", "read", "0140001"});
        EXPECT_EQ(ran.status, status) << result;
        EXPECT_EQ(ran.commands, std::vector<std::int32_t>{CmdGetInfo}) << result;
        EXPECT_EQ(ran.out, "") << result;
    }
}

TEST_F(PollCommands, ABlockPastTheLastRegisterNeverReachesTheLine) {
    const std::vector<std::string> commands[] = {
        {"--device", "/dev/null", "read-block", "0165500", "64"},
        {"--device", "/dev/null", "write-block", "0165535", "1", "2"},
    };
    for (const std::vector<std::string>& args : commands) {
        const Ran ran = RunPoller(args);
        EXPECT_EQ(ran.status, kExitRefused) << args[2];
        EXPECT_EQ(Count(ran.commands, CmdOpen), 0) << args[2];
        EXPECT_EQ(Count(ran.commands, CmdReadBlock) + Count(ran.commands, CmdWriteBlock), 0);
    }
    // The last register itself is in reach.
    const Ran ran =
        RunPoller({"--device", "/dev/null", "--format", "csv", "read-block", "0165535", "1"});
    EXPECT_EQ(ran.status, kExitOk);
    EXPECT_NE(ran.out.find("0165535,0,65535,"), std::string::npos) << ran.out;
}

TEST_F(PollCommands, ReadBlockRowsNameEachWordsOwnAddress) {
    const Ran ran =
        RunPoller({"--device", "/dev/null", "--format", "csv", "read-block", "0240001", "3"});
    EXPECT_EQ(ran.status, kExitOk);
    for (const char* row : {"0240001,0,40001,65", "0240002,1,40002,66", "0240003,2,40003,67"}) {
        EXPECT_NE(ran.out.find(row), std::string::npos) << row << " in\n" << ran.out;
    }
    EXPECT_EQ(ran.commands.back(), CmdClose);
}

TEST_F(PollCommands, AFailedWriteIsShownAndTheOthersStillRun) {
    gFailingStation = 2;
    const Ran ran = RunPoller({"--device", "/dev/null", "--format", "csv", "write", "0140001=5",
                               "0240001=6", "0340001=7"});
    EXPECT_EQ(ran.status, kExitLineFailure);
    EXPECT_EQ(Count(ran.commands, CmdWritePoint), 3);
    EXPECT_EQ(ran.commands.back(), CmdClose);
    EXPECT_NE(ran.out.find("0140001,1,40001,,5,ok"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("0240001,2,40001,,6,line failure (2)"), std::string::npos) << ran.out;
    EXPECT_NE(ran.out.find("0340001,3,40001,,7,ok"), std::string::npos) << ran.out;
}

}  // namespace
}  // namespace westnet::poll
