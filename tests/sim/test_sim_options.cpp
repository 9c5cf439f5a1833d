// westnet-sim's command line: what the options become, and the first fault
// reported in the simulator's words whether the parser or an option's own
// check finds it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "options.h"

namespace westnet::sim {
namespace {

struct Outcome {
    Parsed parsed = Parsed::kBad;
    std::string what;
    Options options;
};

Outcome Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "westnet-sim");
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    Outcome outcome;
    outcome.parsed =
        ParseOptions(static_cast<int>(args.size()), argv.data(), outcome.options, outcome.what);
    return outcome;
}

TEST(SimOptions, ValuesRepeatAndSwitchesSet) {
    const Outcome o =
        Parse({"--station", "3", "--image=a.img", "--station=40", "--trace", "--format", "7e1",
               "--baud", "19200", "--seed", "42", "--image", "b.img", "--late-ms", "0"});
    ASSERT_EQ(o.parsed, Parsed::kRun) << o.what;
    EXPECT_EQ(o.options.stations, (std::vector<int>{3, 40}));
    EXPECT_EQ(o.options.images, (std::vector<std::string>{"a.img", "b.img"}));
    EXPECT_TRUE(o.options.trace);
    EXPECT_FALSE(o.options.stats);
    EXPECT_EQ(o.options.format.data_bits, 7);
    EXPECT_EQ(o.options.format.parity, 'E');
    EXPECT_EQ(o.options.format.stop_halves, 2);
    EXPECT_EQ(o.options.baud, 19200);
    EXPECT_EQ(o.options.seed, 42u);
    EXPECT_EQ(o.options.late_ms, 0);
    EXPECT_EQ(o.options.gap_ms, -1);  // left to the default
}

TEST(SimOptions, TheFirstFaultIsReportedInOurWords) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--bogus", "--baud", "0"}, "bad option '--bogus'"},
        {{"--baud", "0", "--bogus"}, "bad --baud '0': 1 to 4000000"},
        {{"--bogus=1"}, "bad option '--bogus=1'"},
        {{"-x"}, "unknown option '-x'"},
        {{"--station", "1", "--baud"}, "bad option '--baud'"},
        {{"--station", "100"}, "station '100' out of range: 0 to 99"},
        {{"--seed", "-1"}, "bad --seed '-1': a whole number"},
        {{"--control="}, "--control needs the path of the socket to make"},
        {{"--station", "1", "extra", "--trace"}, "unexpected argument 'extra'"},
        {{"--device", "/dev/null", "--link", "/tmp/x"},
         "--link is for the pseudo-terminal; it does not go with --device"},
    };
    for (const auto& [args, message] : cases) {
        const Outcome o = Parse(args);
        EXPECT_EQ(o.parsed, Parsed::kBad) << message;
        EXPECT_EQ(o.what, message);
    }
}

// As getopt_long did: a long option may be shortened while it stays
// unambiguous, but not after "--".
TEST(SimOptions, UnambiguousBeginningsOfLongOptionsServe) {
    Outcome o = Parse({"--dev", "/dev/null", "--stati=4", "--tr", "--stats"});
    ASSERT_EQ(o.parsed, Parsed::kRun) << o.what;
    EXPECT_EQ(o.options.device, "/dev/null");
    EXPECT_EQ(o.options.stations, std::vector<int>{4});
    EXPECT_TRUE(o.options.trace);
    EXPECT_TRUE(o.options.stats);
    EXPECT_EQ(Parse({"--bau", "0"}).what, "bad --baud '0': 1 to 4000000");
    EXPECT_EQ(Parse({"--stat"}).what, "bad option '--stat'");  // --station or --stats
    EXPECT_EQ(Parse({"--", "--tr"}).what, "unexpected argument '--tr'");
}

TEST(SimOptions, HelpAndVersionEndTheParseWhereTheyStand) {
    EXPECT_EQ(Parse({"--help", "--bogus"}).parsed, Parsed::kHelp);
    EXPECT_EQ(Parse({"--station", "5", "--version", "extra"}).parsed, Parsed::kVersion);
    EXPECT_EQ(Parse({"--baud", "0", "--help"}).parsed, Parsed::kBad);
}

}  // namespace
}  // namespace westnet::sim
