// ZanMain's own behaviour: codes without a handler and a missing request are
// refused with ResBad and touch nothing, whatever the records hold.
#include <gtest/gtest.h>

#include <cstring>

#include "entry/commands.h"
#include "entry/zanmain.h"
#include "fake_platform.h"

namespace westnet {
namespace {

TEST(Dispatch, NullRequestIsRefused) {
    fake::FakePlatform fake;
    EXPECT_EQ(ZanMain(nullptr), ResBad);
    EXPECT_TRUE(fake.Calls().empty());
}

TEST(Dispatch, CodesWithoutHandlerAreRefusedAndTouchNothing) {
    for (std::int32_t code :
         {-2147483647 - 1, -5, -1, 0, 8, 9, 16, 17, 20, 255, 65536, 2147483647}) {
        SCOPED_TRACE(code);
        fake::FakePlatform fake;
        ChannelState channel;
        std::memset(&channel, 0xA5, sizeof channel);
        unsigned char params[64];
        std::memset(params, 0x5A, sizeof params);
        DriverRequest request{};
        request.channel = &channel;
        request.command = code;
        request.params = params;
        DriverRequest before = request;

        EXPECT_EQ(ZanMain(&request), ResBad);
        EXPECT_EQ(FindCommand(code), nullptr);
        EXPECT_EQ(std::memcmp(&request, &before, sizeof request), 0);
        for (std::size_t i = 0; i < sizeof channel; ++i) {
            ASSERT_EQ(reinterpret_cast<unsigned char*>(&channel)[i], 0xA5);
        }
        for (unsigned char b : params) {
            ASSERT_EQ(b, 0x5A);
        }
        EXPECT_TRUE(fake.Calls().empty());
    }
}

TEST(Dispatch, EveryCommandOfTheTableHasItsHandler) {
    struct Entry {
        std::int32_t code;
        CommandHandler handler;
    };
    const Entry entries[] = {
        {1, CmdOpen},         {2, CmdPurge},     {3, CmdParsePoint}, {4, CmdParseBlock},
        {5, CmdReadPoint},    {6, CmdReadBlock}, {7, CmdWritePoint}, {10, CmdWriteBlock},
        {11, CmdShutdown},    {12, CmdClose},    {13, CmdReopen},    {14, CmdGetInfo},
        {15, CmdReconfigure},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.code);
        EXPECT_EQ(FindCommand(e.code), e.handler);
    }
}

}  // namespace
}  // namespace westnet
