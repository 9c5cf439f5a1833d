// The daemon's log: floods folded into a count, control characters escaped.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/fold.h"
#include "log/log.h"

namespace westnet::gateway {
namespace {

using logfold::Folder;
using namespace std::chrono_literals;

TEST(LogSource, NumbersAndAddressesMasked) {
    struct Case {
        std::string a;
        std::string b;
        bool same;
    };
    const Case cases[] = {
        {"modbus: client 10.0.0.7:40112 refused", "modbus: client 192.168.1.9:7 refused", true},
        {"modbus: client [fe80::1]:502 closed", "modbus: client [2001:db8::2]:5020 closed", true},
        {"line north: station 03: demoted", "line north: station 12: demoted", true},
        {"line north: station 03: demoted", "line south: station 03: demoted", false},
        {"mqtt: write to a/b: bad-payload", "mqtt: write to a/c: bad-payload", false},
        {"refused", "closed", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(logfold::SourceOf(c.a) == logfold::SourceOf(c.b), c.same) << c.a << " | " << c.b;
    }
    // Words of hex letters alone are words, not numbers.
    EXPECT_EQ(logfold::SourceOf("dead beef: cafe"), "dead beef: cafe");
    EXPECT_LE(logfold::SourceOf(std::string(10000, 'x')).size(), logfold::kSourceKeyMax);
}

TEST(LogEscape, ControlCharactersCannotMakeALine) {
    const std::pair<std::string, std::string> cases[] = {
        {"plain text, é", "plain text, é"},
        {"/dev/ttyS0\n<3>error: forged", "/dev/ttyS0\\n<3>error: forged"},
        {"a\rb\tc", "a\\rb\\tc"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x1b[31mred\x7f", "\\x1B[31mred\\x7F"},
    };
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(logfold::EscapeControls(in), out);
    }
}

TEST(LogFold, CountLineHasThousandsSeparated) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {1, "\u2026 1 more like this in the last 10 s"},
        {999, "\u2026 999 more like this in the last 10 s"},
        {3512, "\u2026 3,512 more like this in the last 10 s"},
        {71431, "\u2026 71,431 more like this in the last 10 s"},
        {1234567, "\u2026 1,234,567 more like this in the last 10 s"},
    };
    for (const auto& [count, text] : cases) {
        EXPECT_EQ(logfold::FoldedLine(count), text);
    }
}

std::vector<std::string> Texts(const std::vector<Folder::Line>& lines) {
    std::vector<std::string> texts;
    for (const Folder::Line& l : lines) {
        texts.push_back(l.text);
    }
    return texts;
}

TEST(LogFold, FirstFewThenOneCountWhenTheWindowEnds) {
    Folder folder;
    const Folder::Clock::time_point t0{};
    std::vector<Folder::Line> out;
    for (int i = 0; i < 3512 + logfold::kFoldFirst; ++i) {
        folder.Offer(LogLevel::Warning, "flood", "refused " + std::to_string(i), t0 + 1ms * i, out);
    }
    ASSERT_EQ(out.size(), static_cast<std::size_t>(logfold::kFoldFirst));
    EXPECT_EQ(out.back().text, "refused 4");
    EXPECT_EQ(folder.NextDue(), t0 + logfold::kFoldWindow);
    folder.Expire(t0 + 9s, out);
    EXPECT_EQ(out.size(), static_cast<std::size_t>(logfold::kFoldFirst));
    folder.Expire(t0 + 10s, out);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(logfold::kFoldFirst) + 1);
    EXPECT_EQ(out.back().text, "\u2026 3,512 more like this in the last 10 s");
    EXPECT_EQ(out.back().level, LogLevel::Warning);
    EXPECT_EQ(folder.NextDue(), Folder::Clock::time_point::max());
    EXPECT_EQ(folder.Sources(), 0U);
    // A new window: the first few are written again.
    out.clear();
    folder.Offer(LogLevel::Warning, "flood", "refused again", t0 + 11s, out);
    EXPECT_EQ(Texts(out), std::vector<std::string>{"refused again"});
}

TEST(LogFold, AnotherLineWritesTheCountFirstAndTheFloodStaysFolded) {
    Folder folder;
    const Folder::Clock::time_point t0{};
    std::vector<Folder::Line> out;
    for (int i = 0; i < logfold::kFoldFirst + 7; ++i) {
        folder.Offer(LogLevel::Warning, "a", "flood", t0, out);
    }
    out.clear();
    folder.Offer(LogLevel::Error, "b", "the line that matters", t0 + 1s, out);
    EXPECT_EQ(Texts(out), (std::vector<std::string>{"\u2026 7 more like this in the last 10 s",
                                                    "the line that matters"}));
    // The flood goes on folded; its count comes at the window's end.
    out.clear();
    for (int i = 0; i < 3; ++i) {
        folder.Offer(LogLevel::Warning, "a", "flood", t0 + 2s, out);
    }
    EXPECT_TRUE(out.empty());
    folder.Expire(t0 + 10s, out);
    EXPECT_EQ(Texts(out), std::vector<std::string>{"\u2026 3 more like this in the last 10 s"});
}

TEST(LogFold, TwoFloodsFoldEachAndTheTableStaysBounded) {
    Folder folder;
    const Folder::Clock::time_point t0{};
    std::vector<Folder::Line> out;
    for (int i = 0; i < 1000; ++i) {
        folder.Offer(LogLevel::Warning, "a", "a", t0, out);
        folder.Offer(LogLevel::Warning, "b", "b", t0 + 1ms, out);
    }
    // a's first few, b's first few; from then on both only count.
    EXPECT_EQ(out.size(), 2U * logfold::kFoldFirst);
    folder.Expire(t0 + 20s, out);
    ASSERT_EQ(out.size(), 2U * logfold::kFoldFirst + 2);
    EXPECT_EQ(out[out.size() - 2].text, logfold::FoldedLine(1000 - logfold::kFoldFirst));

    // Ever new sources within one window: the table does not grow past its
    // bound, and lines past it still fold.
    out.clear();
    for (int i = 0; i < 10000; ++i) {
        folder.Offer(
            LogLevel::Info,
            "source " + std::string(1, static_cast<char>('A' + i % 26)) + std::to_string(i), "x",
            t0 + 30s, out);
    }
    EXPECT_LE(folder.Sources(), logfold::kFoldSources + 1);
    EXPECT_LT(out.size(), logfold::kFoldSources * logfold::kFoldFirst + 10);
}

// What the public Log writes to stderr, captured in a file.
class CapturedStderr {
public:
    CapturedStderr() {
        std::fflush(stderr);
        saved_ = dup(2);
        char path[] = "/tmp/westnet-log-XXXXXX";
        fd_ = mkstemp(path);
        path_ = path;
        dup2(fd_, 2);
    }
    ~CapturedStderr() {
        std::fflush(stderr);
        dup2(saved_, 2);
        close(saved_);
        close(fd_);
        unlink(path_.c_str());
    }
    CapturedStderr(const CapturedStderr&) = delete;
    CapturedStderr& operator=(const CapturedStderr&) = delete;
    std::vector<std::string> Lines() const {
        std::fflush(stderr);
        std::ifstream in(path_);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

private:
    int saved_ = -1;
    int fd_ = -1;
    std::string path_;
};

// 10,000 refused connections from four threads at once: a handful of lines
// and one exact count, written when the next other line comes.
TEST(LogFlood, TenThousandRefusalsFromFourThreads) {
    CapturedStderr captured;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 2500; ++i) {
                Log(LogLevel::Warning, "modbus: client 10.0." + std::to_string(t) + "." +
                                           std::to_string(i % 250) + ":" +
                                           std::to_string(40000 + i) + " refused: 64 clients");
            }
        });
    }
    for (std::thread& t : threads) {
        t.join();
    }
    Log(LogLevel::Error, "line north: down");
    const std::vector<std::string> lines = captured.Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(logfold::kFoldFirst) + 2);
    EXPECT_EQ(lines[logfold::kFoldFirst], "warning: \u2026 9,995 more like this in the last 10 s");
    EXPECT_EQ(lines.back(), "error: line north: down");
}

TEST(LogFlood, ExplicitSourceFoldsDifferentTextsAndNewlinesStayInTheirLine) {
    CapturedStderr captured;
    for (int i = 0; i < 100; ++i) {
        Log(LogLevel::Warning, "test-bad-payload",
            "mqtt: write to plant/p" + std::string(1, static_cast<char>('a' + i % 26)) +
                ": bad-payload");
    }
    Log(LogLevel::Warning, "line x: cannot open /dev/ttyS0\nerror: forged");
    const std::vector<std::string> lines = captured.Lines();
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(logfold::kFoldFirst) + 2);
    EXPECT_EQ(lines[logfold::kFoldFirst], "warning: \u2026 95 more like this in the last 10 s");
    EXPECT_EQ(lines.back(), "warning: line x: cannot open /dev/ttyS0\\nerror: forged");
}

// Stations and lines fold apart: ten stations demoted at once are ten
// lines; one station flapping folds.
TEST(LogFlood, EachStationAndLineIsASourceOfItsOwn) {
    CapturedStderr captured;
    for (int station = 1; station <= 10; ++station) {
        LogStation(LogLevel::Warning, "north", station, "demoted after 3 failed commands");
    }
    for (int i = 0; i < 10; ++i) {
        LogStation(LogLevel::Info, "north", 42, "answers again after " + std::to_string(i) + " s");
    }
    for (int i = 0; i < 6; ++i) {
        LogLine(LogLevel::Error, "south" + std::to_string(i % 2), "down; retry in 500 ms");
    }
    Log(LogLevel::Info, "stopped");
    const std::vector<std::string> lines = captured.Lines();
    // 10 stations; 5 of station 42, its count when the next line comes; 3
    // each of lines south0 and south1.
    ASSERT_EQ(lines.size(), 10U + 5U + 1U + 6U + 1U);
    EXPECT_EQ(lines[9], "warning: line north: station 10: demoted after 3 failed commands");
    EXPECT_EQ(lines[15], "info: \u2026 5 more like this in the last 10 s");
    EXPECT_EQ(lines[16], "error: line south0: down; retry in 500 ms");
    EXPECT_EQ(lines.back(), "info: stopped");
}

// Nothing else is logged after a flood: its count still comes, once its
// window is over, from the log's own thread.
TEST(LogFlood, TheCountComesWhenTheWindowEndsWithoutAnotherLine) {
    CapturedStderr captured;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; ++i) {
        Log(LogLevel::Warning, "test-quiet-after", "refused " + std::to_string(i));
    }
    const std::string count = "warning: \u2026 15 more like this in the last 10 s";
    std::vector<std::string> lines;
    while (std::chrono::steady_clock::now() - start < logfold::kFoldWindow + 10s) {
        lines = captured.Lines();
        if (lines.size() > static_cast<std::size_t>(logfold::kFoldFirst)) {
            break;
        }
        std::this_thread::sleep_for(50ms);
    }
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(logfold::kFoldFirst) + 1);
    EXPECT_EQ(lines.back(), count);
    EXPECT_GE(std::chrono::steady_clock::now() - start, logfold::kFoldWindow);
}

}  // namespace
}  // namespace westnet::gateway
