// westnet-poll's command line: what each option and command turns into, and
// what is refused with which message.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace westnet::poll {
namespace {

ParseOutcome Parse(const std::vector<std::string>& args) {
    return ParseCommandLine(args);
}

TEST(PollOptions, LineOptionsBecomeTheDriversCodes) {
    const ParseOutcome p =
        Parse({"--device", "/dev/pts/3", "--baud", "19200", "--data-bits=7", "--stop-bits", "1.5",
               "--parity", "space", "--timeout", "250", "read", "0140001"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.command, Command::Read);
    EXPECT_EQ(p.options.device, "/dev/pts/3");
    EXPECT_EQ(*p.options.baud, 19200);
    EXPECT_EQ(*p.options.dataBits, 7);
    EXPECT_EQ(*p.options.stopBitsCode, 1);
    EXPECT_EQ(*p.options.parityCode, 4);
    EXPECT_EQ(*p.options.timeoutTens, 25);
    ASSERT_EQ(p.options.points.size(), 1u);
    EXPECT_EQ(p.options.points[0].address, "0140001");
}

// read --type: the type and word order the gateway's plant file names.
TEST(PollOptions, TypedReads) {
    ParseOutcome p = Parse(
        {"--device", "d", "--type", "float32", "--word-order", "high-first", "read", "0140001"});
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_TRUE(p.options.valueType);
    EXPECT_EQ(*p.options.valueType, values::Type::Float32);
    EXPECT_EQ(p.options.wordOrder, values::WordOrder::HighFirst);
    p = Parse({"--device", "d", "read", "0140001"});
    EXPECT_FALSE(p.options.valueType) << "plain words unless asked";
    EXPECT_EQ(p.options.wordOrder, values::WordOrder::LowFirst);
    const std::pair<std::vector<std::string>, const char*> refused[] = {
        {{"--device", "d", "--type", "float", "read", "0140001"}, "--type takes uint16"},
        {{"--device", "d", "--type", "bool", "read", "0140001"}, "--type takes uint16"},
        {{"--device", "d", "--word-order", "big", "read", "0140001"}, "--word-order takes"},
    };
    for (const auto& [args, message] : refused) {
        p = Parse(args);
        EXPECT_FALSE(p.ok) << args[3];
        EXPECT_EQ(p.error.rfind(message, 0), 0u) << p.error;
    }
}

TEST(PollOptions, UnsetLineOptionsAreLeftToTheDriver) {
    const ParseOutcome p = Parse({"read", "0140001", "--device", "COM1"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_FALSE(p.options.baud);
    EXPECT_FALSE(p.options.dataBits);
    EXPECT_FALSE(p.options.stopBitsCode);
    EXPECT_FALSE(p.options.parityCode);
    EXPECT_FALSE(p.options.timeoutTens);
}

TEST(PollOptions, StopBitsAndParityCodes) {
    const std::pair<const char*, int> stops[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
    for (const auto& [text, code] : stops) {
        const ParseOutcome p = Parse({"info", "--stop-bits", text});
        ASSERT_TRUE(p.ok) << text;
        EXPECT_EQ(*p.options.stopBitsCode, code) << text;
    }
    const std::pair<const char*, int> parities[] = {
        {"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
    for (const auto& [text, code] : parities) {
        const ParseOutcome p = Parse({"info", "--parity", text});
        ASSERT_TRUE(p.ok) << text;
        EXPECT_EQ(*p.options.parityCode, code) << text;
    }
}

TEST(PollOptions, TimeoutIsRoundedUpToTensOfMilliseconds) {
    EXPECT_EQ(TimeoutToTens(1), 1);
    EXPECT_EQ(TimeoutToTens(10), 1);
    EXPECT_EQ(TimeoutToTens(11), 2);
    EXPECT_EQ(TimeoutToTens(500), 50);
    EXPECT_EQ(TimeoutToTens(600000), 60000);
}

TEST(PollOptions, CommandsTakeTheirArguments) {
    ParseOutcome p =
        Parse({"--device", "d", "write", "0140001=0x1234", "01400013=1", "0140002=65535"});
    ASSERT_TRUE(p.ok) << p.error;
    ASSERT_EQ(p.options.points.size(), 3u);
    EXPECT_EQ(p.options.points[0].value, 0x1234);
    EXPECT_EQ(p.options.points[1].address, "01400013");
    EXPECT_EQ(p.options.points[1].value, 1);
    EXPECT_EQ(p.options.points[2].value, 65535);

    p = Parse({"--device", "d", "read-block", "0240001", "64"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.blockCount, 64);

    p = Parse({"--device", "d", "write-block", "0240001", "1", "0xFFFF", "3"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.blockCount, 3);
    EXPECT_EQ(p.options.blockValues, (std::vector<std::uint16_t>{1, 0xFFFF, 3}));

    p = Parse({"--device", "d", "poll", "0140001", "0240001", "--interval", "50", "--count", "7"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.points.size(), 2u);
    EXPECT_EQ(p.options.intervalMs, 50);
    EXPECT_EQ(p.options.rounds, 7);

    p = Parse({"parse", "--words", "65", "0140001", "--format", "json", "--hex"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.parseWords, 65);
    EXPECT_EQ(p.options.format, Format::Json);
    EXPECT_TRUE(p.options.view.hex);
}

TEST(PollOptions, RefusedCommandLines) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "no command"},
        {{"frobnicate"}, "unknown command"},
        {{"--bogus", "info"}, "unknown option \"--bogus\""},
        {{"info", "--baud"}, "--baud needs a value"},
        {{"info", "--baud", "0"}, "--baud takes 1 to 65535"},
        {{"info", "--baud", "65536"}, "--baud takes 1 to 65535"},
        {{"info", "--data-bits", "9"}, "--data-bits takes 5 to 8"},
        {{"info", "--stop-bits", "3"}, "--stop-bits takes 1, 1.5 or 2"},
        {{"info", "--parity", "ODD"}, "--parity takes none"},
        {{"info", "--timeout", "0"}, "--timeout takes"},
        {{"info", "--format", "xml"}, "--format takes"},
        {{"info", "extra"}, "takes no arguments"},
        {{"read", "0140001"}, "give --device"},
        {{"--device", "d", "read"}, "at least one point address"},
        {{"--device", "d", "write", "0140001"}, "ADDRESS=VALUE"},
        {{"--device", "d", "write", "0140001=65536"}, "not a 16-bit word"},
        {{"--device", "d", "write", "0140001=-1"}, "not a 16-bit word"},
        {{"--device", "d", "write", "0140001=0x10000"}, "not a 16-bit word"},
        {{"--device", "d", "write", "01400013=2"}, "is a bit point: its value is 0 or 1"},
        {{"--device", "d", "read-block", "0140001"}, "read-block takes ADDRESS COUNT"},
        {{"--device", "d", "read-block", "0140001", "0"}, "1 or more"},
        {{"--device", "d", "write-block", "0140001"}, "write-block takes"},
        {{"--device", "d", "write-block", "0140001", "1", "x"}, "block value \"x\""},
        {{"--device", "d", "poll", "0140001", "--count", "-1"}, "--count takes"},
    };
    for (const auto& [args, message] : cases) {
        const ParseOutcome p = Parse(args);
        std::string joined;
        for (const std::string& a : args) {
            joined += a + " ";
        }
        EXPECT_FALSE(p.ok) << joined;
        EXPECT_NE(p.error.find(message), std::string::npos) << joined << "-> " << p.error;
    }
}

// The first fault on the command line is the one reported, in the poller's
// words, whether the parser or an option's own check finds it.
TEST(PollOptions, TheFirstFaultIsReportedInOurWords) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"info", "--timeout"}, "--timeout needs a value"},
        {{"--bogus", "--baud", "0", "info"}, "unknown option \"--bogus\""},
        {{"--baud", "0", "--bogus", "info"},
         "--baud takes 1 to 65535 (the driver's line record holds 16 bits), not \"0\""},
        {{"--bogus=3", "info"}, "unknown option \"--bogus\""},
        {{"--device=", "read", "0140001"}, "--device needs a device name"},
        {{"info", "-x"}, "unknown option \"-x\""},
        {{"--hex=1", "info"}, "unknown option \"--hex\""},
        {{"--device", "d", "--", "write-block", "0140001", "--signed"},
         "block value \"--signed\" is not a 16-bit word (0 to 65535 or 0x0000 to 0xFFFF; give "
         "--signed to write a negative value as its two's complement)"},
        {{"--format", "--hex", "info"}, "--format takes table, csv or json, not \"--hex\""},
    };
    for (const auto& [args, message] : cases) {
        const ParseOutcome p = Parse(args);
        EXPECT_FALSE(p.ok) << message;
        EXPECT_EQ(p.error, message);
    }
}

TEST(PollOptions, RepeatedOptionsAddOrReplace) {
    const ParseOutcome p = Parse({"--device", "a", "--station", "1", "--station=2", "--device=b",
                                  "--count", "3", "line-check", "--station", "7"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.stations, (std::vector<std::int32_t>{1, 2, 7}));
    EXPECT_EQ(p.options.device, "b");
    EXPECT_EQ(p.options.given, (std::vector<std::string>{"--device", "--station", "--station",
                                                         "--device", "--count", "--station"}));
}

TEST(PollOptions, NegativeValuesOnlyWithSigned) {
    ParseOutcome p = Parse(
        {"--device", "d", "--signed", "write", "0140001=-1", "0140002=-32768", "0140003=65535"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.points[0].value, 0xFFFF);
    EXPECT_EQ(p.options.points[1].value, 0x8000);
    EXPECT_EQ(p.options.points[2].value, 0xFFFF);
    p = Parse({"--device", "d", "write-block", "0140001", "-2", "7", "--signed"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.blockValues, (std::vector<std::uint16_t>{0xFFFE, 7}));

    p = Parse({"--device", "d", "--signed", "write", "0140001=-32769"});
    EXPECT_FALSE(p.ok);
    p = Parse({"--device", "d", "write", "0140001=-5"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("give --signed"), std::string::npos) << p.error;
    p = Parse({"--device", "d", "--hex", "--binary", "read", "0140001"});
    EXPECT_FALSE(p.ok);
    EXPECT_NE(p.error.find("choose one"), std::string::npos) << p.error;
}

TEST(PollOptions, PointsFileLinesFollowTheCommandLine) {
    EXPECT_EQ(PointsFileLines("# plant\n0140001\n  0140002 3  # flow\n\r\n\t\n0540001=7\r\n# end"),
              (std::vector<std::string>{"0140001", "0140002 3", "0540001=7"}));

    ParseOutcome p = Parse({"--device", "d", "--points", "f", "write", "0140009=1"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_TRUE(p.options.points.empty());  // taken once the file is read
    ASSERT_EQ(CompleteArguments(p.options, {"0140002 3=1", "0540001=0x10"}), "");
    ASSERT_EQ(p.options.points.size(), 3u);
    EXPECT_EQ(p.options.points[0].address, "0140009");
    EXPECT_EQ(p.options.points[1].address, "0140002 3");
    EXPECT_EQ(p.options.points[2].value, 0x10);

    p = Parse({"--device", "d", "--points", "empty", "read"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_NE(CompleteArguments(p.options, {}).find("at least one point address"),
              std::string::npos);
    p = Parse({"--device", "d", "--points", "f", "write"});
    EXPECT_NE(CompleteArguments(p.options, {"0140001"}).find("ADDRESS=VALUE"), std::string::npos);
}

TEST(PollOptions, OptionsTheCommandDoesNotUseAreWarnedOfOnce) {
    const std::pair<std::vector<std::string>, std::vector<const char*>> cases[] = {
        {{"--device", "d", "read", "0140001", "--interval", "5", "--changes"},
         {"--interval does not apply", "--changes does not apply"}},
        {{"--device", "d", "read", "0140001", "--station", "1", "--station", "2"},
         {"--station does not apply"}},
        {{"info", "--device", "d", "--hex"}, {"--device does not apply", "--hex does not apply"}},
        {{"--device", "d", "--rts", "toggle", "--timeout", "100", "read", "0140001"},
         {"--timeout cannot apply with --rts or --dtr"}},
        {{"--device", "d", "--count", "3", "--changes", "--log", "x", "poll", "0140001"}, {}},
        {{"--device", "d", "--count", "3", "--station", "1", "line-check"}, {}},
        {{"--device", "d", "--rts", "on", "--timeout", "100", "read", "0140001"}, {}},
        {{"--device", "d", "--type", "int32", "write", "0140001=5"}, {"--type does not apply"}},
    };
    for (const auto& [args, expected] : cases) {
        const ParseOutcome p = Parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        const std::vector<std::string> warnings = IgnoredOptions(p.options);
        ASSERT_EQ(warnings.size(), expected.size()) << args[2];
        for (std::size_t i = 0; i < expected.size(); ++i) {
            EXPECT_NE(warnings[i].find(expected[i]), std::string::npos) << warnings[i];
        }
    }
}

TEST(PollOptions, ControlFlagsDefaultToWhatTheOpenStores) {
    const std::pair<std::vector<std::string>, int> cases[] = {
        {{}, 0x0002},
        {{"--rts", "on", "--dtr", "off"}, 0x0002},
        {{"--rts", "off"}, 0x0000},
        {{"--rts", "toggle", "--dtr", "on"}, 0x2001},
        {{"--rts", "handshake"}, 0x1000},
        {{"--dtr", "handshake"}, 0x8002},
    };
    for (const auto& [flags, expected] : cases) {
        std::vector<std::string> args = {"--device", "d", "read", "0140001"};
        args.insert(args.end(), flags.begin(), flags.end());
        const ParseOutcome p = Parse(args);
        ASSERT_TRUE(p.ok) << p.error;
        EXPECT_EQ(ControlFlagsFor(p.options), expected);
        EXPECT_EQ(HasOwnControlFlags(p.options), expected != 0x0002);
    }
    EXPECT_FALSE(Parse({"--device", "d", "--rts", "auto", "read", "0140001"}).ok);
    EXPECT_FALSE(Parse({"--device", "d", "--dtr", "toggle", "read", "0140001"}).ok);
}

TEST(PollOptions, HelpAndVersionNeedNoCommand) {
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"--version"}).ok);
    EXPECT_TRUE(Parse({"--version"}).options.version);
}

TEST(PollOptions, WordValues) {
    std::uint16_t v = 0;
    EXPECT_TRUE(ParseWordValue("0", v));
    EXPECT_EQ(v, 0);
    EXPECT_TRUE(ParseWordValue("0xfFfF", v));
    EXPECT_EQ(v, 0xFFFF);
    EXPECT_TRUE(ParseWordValue("0X00a", v));
    EXPECT_EQ(v, 10);
    for (const char* bad : {"", "0x", "+5", "-0", "1.5", "0x12345", "65536", "abc", "0xg"}) {
        EXPECT_FALSE(ParseWordValue(bad, v)) << bad;
    }
}

}  // namespace
}  // namespace westnet::poll
