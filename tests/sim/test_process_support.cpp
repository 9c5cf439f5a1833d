// The helpers that start westnet-sim and other programs for the tests, soaks
// and benchmarks: a fault here shows as a hung or flaky test far away.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "process.h"

namespace {

namespace ts = westnet::test_support;

TEST(ProcessSupport, DeviceOfTakesOnlyADeviceLine) {
    const struct {
        const char* line;
        const char* device;
    } cases[] = {
        {"device: /dev/pts/7", "/dev/pts/7"},
        {"device: COM13", "COM13"},
        {"device: ", ""},
        {"device:/dev/pts/7", ""},
        {"westnet-sim: --station: not a number", ""},
        {" device: /dev/pts/7", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ts::DeviceOf(c.line), c.device) << '"' << c.line << '"';
    }
}

TEST(ProcessSupport, ReadLineTakesOneLineAndLeavesTheRest) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::string text = "device: /dev/pts/3\nmore\npartial";
    ASSERT_EQ(write(fds[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
    std::string line;
    EXPECT_TRUE(ts::ReadLine(fds[0], 1000, line));
    EXPECT_EQ(line, "device: /dev/pts/3");
    EXPECT_TRUE(ts::ReadLine(fds[0], 1000, line));
    EXPECT_EQ(line, "more");
    // No newline yet: the wait ends at its bound, with what came so far.
    EXPECT_FALSE(ts::ReadLine(fds[0], 50, line));
    EXPECT_EQ(line, "partial");
    close(fds[1]);
    EXPECT_FALSE(ts::ReadLine(fds[0], 1000, line)) << "end of the pipe";
    close(fds[0]);
}

TEST(ProcessSupport, SimProcessStartsServesAndStops) {
    ts::SimProcess sim({WESTNET_SIM_PATH, "--station", "4"});
    ASSERT_TRUE(sim.ready()) << sim.said();
    EXPECT_EQ(sim.device().rfind("/dev/", 0), 0U) << sim.device();
    const int fd = open(sim.device().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_GE(fd, 0) << sim.device();
    close(fd);
    const int status = sim.Stop(SIGTERM, 10000);
    ASSERT_NE(status, -1);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(sim.Stop(), -1) << "stopped twice";
}

TEST(ProcessSupport, SimProcessThatFailsIsNotReadyAndSaysWhy) {
    const struct {
        std::vector<std::string> args;
        bool started;
    } cases[] = {
        {{WESTNET_SIM_PATH, "--no-such-option"}, true},
        {{"/nonexistent/westnet-sim"}, true},  // fork works, exec does not
        {{}, false},
    };
    for (const auto& c : cases) {
        ts::SimProcess sim(c.args, "/dev/null", 10000);
        EXPECT_EQ(sim.started(), c.started);
        EXPECT_FALSE(sim.ready()) << sim.said();
        EXPECT_TRUE(sim.device().empty());
    }
}

TEST(ProcessSupport, StopKillsWhatIgnoresTheSignal) {
    // A shell that ignores SIGTERM: Stop reports that it did not end, and
    // still leaves no process behind.
    ts::Process child({"/bin/sh", "-c", "trap '' TERM; echo up; exec sleep 600"});
    std::string line;
    ASSERT_TRUE(ts::ReadLine(child.out(), 10000, line));
    const pid_t pid = child.pid();
    EXPECT_EQ(child.Stop(SIGTERM, 100), -1);
    EXPECT_NE(kill(pid, 0), 0) << "still there";
}

TEST(ProcessSupport, ShortNamesFitTheDeviceFieldAndAreNotShared) {
    const std::string first = ts::MakeShortLink("/dev/null");
    const std::string second = ts::MakeShortLink("/dev/null");
    const std::string free = ts::FreeShortName();
    for (const std::string& name : {first, second, free}) {
        EXPECT_FALSE(name.empty());
        EXPECT_LE(name.size(), 11U) << name;
    }
    EXPECT_NE(first, second);
    EXPECT_NE(free, first);
    EXPECT_NE(free, second);
    struct stat info {};
    EXPECT_NE(lstat(free.c_str(), &info), 0) << "taken: " << free;
    char target[32] = {};
    EXPECT_EQ(readlink(first.c_str(), target, sizeof target - 1), 9);
    EXPECT_STREQ(target, "/dev/null");
    unlink(first.c_str());
    unlink(second.c_str());
}

TEST(ProcessSupport, FreePortIsFreeOnLoopback) {
    const int port = ts::FreeLoopbackPort();
    ASSERT_GT(port, 0);
    EXPECT_FALSE(ts::Accepts(port));
}

}  // namespace
