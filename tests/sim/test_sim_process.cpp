// The westnet-sim program itself: it is started as a teammate's script would
// start it, and talked to over the pseudo-terminal it announces.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "process.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr int kWaitMs = 10000;  // only a failing program ever waits this long

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/westnet-sim-test-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        for (const std::string& file : files_) {
            unlink(file.c_str());
        }
        rmdir(path_.c_str());
    }
    std::string File(const std::string& name) {
        files_.push_back(path_ + "/" + name);
        return files_.back();
    }
    std::string Write(const std::string& name, const std::string& text) {
        std::string path = File(name);
        std::ofstream(path) << text;
        return path;
    }

private:
    std::string path_;
    std::vector<std::string> files_;
};

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child Spawn(const std::vector<std::string>& args) {
    int out[2];
    int err[2];
    Child child;
    if (pipe(out) != 0 || pipe(err) != 0) {
        ADD_FAILURE() << "pipe: " << std::strerror(errno);
        return child;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    posix_spawn_file_actions_addclose(&actions, err[0]);
    std::vector<char*> argv;
    std::string program = WESTNET_SIM_PATH;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& arg : copies) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    int failed = posix_spawn(&child.pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    if (failed != 0) {
        ADD_FAILURE() << "posix_spawn: " << std::strerror(failed);
        child.pid = -1;
    }
    return child;
}

// Reads until `stop` is seen (or end of file); gives up after kWaitMs of silence.
std::string ReadUntil(int fd, const std::string& stop) {
    std::string text;
    while (stop.empty() || text.find(stop) == std::string::npos) {
        pollfd in{fd, POLLIN, 0};
        if (poll(&in, 1, kWaitMs) <= 0) {
            ADD_FAILURE() << "no output within " << kWaitMs << " ms; so far: " << text;
            break;
        }
        char buffer[512];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
}

int WaitExit(Child& child) {
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.out);
    close(child.err);
    child.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// How a run ended: its status, all of its stderr and its peak memory.
struct Ended {
    int status = -1;
    std::string errors;
    long max_rss_kb = 0;
};

// Reads the child's stderr to its end and reaps it. A child that falls
// silent for kWaitMs without ending is killed, and the test fails.
Ended Finish(Child& child) {
    Ended ended;
    ended.errors = ReadUntil(child.err, "");
    int status = 0;
    rusage usage{};
    // The end of stderr comes a moment before the process can be reaped.
    timespec tick{0, 1000000};
    int waited = 0;
    while (wait4(child.pid, &status, WNOHANG, &usage) == 0) {
        if (++waited == kWaitMs) {
            ADD_FAILURE() << "still running; killed";
            kill(child.pid, SIGKILL);
            wait4(child.pid, &status, 0, &usage);
            break;
        }
        nanosleep(&tick, nullptr);
    }
    close(child.out);
    close(child.err);
    child.pid = -1;
    ended.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ended.max_rss_kb = usage.ru_maxrss;
    return ended;
}

std::string LinkTarget(const std::string& link) {
    char target[256] = {};
    ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "";
}

Bytes Frame(int op, int b1, int b2, int b3, int b4) {
    Bytes frame{static_cast<std::uint8_t>(op), static_cast<std::uint8_t>(b1),
                static_cast<std::uint8_t>(b2), static_cast<std::uint8_t>(b3),
                static_cast<std::uint8_t>(b4), 0};
    frame[5] = static_cast<std::uint8_t>(frame[0] + frame[1] + frame[2] + frame[3] + frame[4]);
    return frame;
}

// Plays the driver's side of the line: whole frames out, exact counts in.
class Driver {
public:
    explicit Driver(const std::string& device) {
        fd_ = open(device.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << device << ": " << std::strerror(errno);
        termios tio;
        if (fd_ >= 0 && tcgetattr(fd_, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd_, TCSANOW, &tio);
        }
    }
    ~Driver() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    void Send(const Bytes& frame) {
        ASSERT_EQ(write(fd_, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    }
    Bytes Receive(std::size_t count) {
        Bytes bytes;
        while (bytes.size() < count) {
            pollfd in{fd_, POLLIN, 0};
            if (poll(&in, 1, kWaitMs) <= 0) {
                ADD_FAILURE() << "reply incomplete after " << kWaitMs << " ms";
                break;
            }
            std::uint8_t buffer[256];
            ssize_t got = read(fd_, buffer, std::min(sizeof buffer, count - bytes.size()));
            if (got <= 0) {
                break;
            }
            bytes.insert(bytes.end(), buffer, buffer + got);
        }
        return bytes;
    }
    Bytes Exchange(const Bytes& frame, std::size_t reply) {
        Send(frame);
        return Receive(reply);
    }

private:
    int fd_ = -1;
};

std::string DevicePath(Child& child) {
    std::string line;
    EXPECT_TRUE(westnet::test_support::ReadLine(child.out, kWaitMs, line))
        << "no line within " << kWaitMs << " ms; so far: " << line;
    std::string device = westnet::test_support::DeviceOf(line);
    EXPECT_FALSE(device.empty()) << line;
    return device;
}

TEST(SimProcess, AnswersSelectReadAndWriteOverItsPty) {
    TempDir dir;
    // Register 0x1234 (zero-based) is 04661 in the notation.
    std::string image = dir.Write("plant.img", "0504661 = 0x5678\n0500001 = 1, 2\n");
    std::string dump = dir.File("dump.img");
    std::string link = dir.File("line");
    Child child = Spawn(
        {"--image", image, "--station", "9", "--link", link, "--dump", dump, "--trace", "--stats"});
    ASSERT_GT(child.pid, 0);
    std::string device = DevicePath(child);
    ASSERT_EQ(device.rfind("/dev/pts/", 0), 0u) << device;
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), device);
    {
        Driver driver(link);
        // A select of a missing station stays unanswered: the next reply to
        // arrive is the one to the select of station 5.
        driver.Send(Frame(0x0A, 6, 0, 0, 0));
        EXPECT_EQ(driver.Exchange(Frame(0x0A, 5, 0, 0, 0), 6),
                  (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x0F}));
        EXPECT_EQ(driver.Exchange(Frame(0x00, 0x34, 0x12, 0, 0), 6),
                  (Bytes{0x00, 0x34, 0x12, 0x78, 0x56, 0x14}));
        EXPECT_EQ(driver.Exchange(Frame(0x05, 0x00, 0x00, 1, 0), 11),
                  (Bytes{0x05, 0x00, 0x00, 0x01, 0x00, 0x06, 0x01, 0x00, 0x02, 0x00, 0x03}));
        Bytes write = Frame(0x07, 0x09, 0x00, 0x02, 0x00);
        write.insert(write.end(), {0x02, 0x01, 0x04, 0x03, 0xFF, 0x00, 0x05});
        EXPECT_EQ(driver.Exchange(write, 6), Bytes(write.begin(), write.begin() + 6));
    }
    kill(child.pid, SIGTERM);
    std::string errors = ReadUntil(child.err, "");
    EXPECT_EQ(WaitExit(child), 0) << errors;

    EXPECT_NE(errors.find("rx 0A 05 00 00 00 0F | tx 0A 05 00 00 00 0F | SELECT station 5"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find("SELECT station 6 (ignored: no such station)"), std::string::npos);
    EXPECT_NE(errors.find("WRITE_BLOCK reg 0x0009 count 3"), std::string::npos);
    EXPECT_NE(errors.find("5 frames, 4 replies, 1 writes applied"), std::string::npos) << errors;

    struct stat info;
    EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the simulator";
    std::ifstream in(dump);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("0500010 = 258, 772, 255\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("0900001 = 0\n"), std::string::npos) << text.str();
}

TEST(SimProcess, DumpsOnSigusr1AndKeepsServing) {
    TempDir dir;
    std::string dump = dir.File("dump.img");
    Child child = Spawn({"--station", "3", "--dump", dump});
    ASSERT_GT(child.pid, 0);
    std::string device = DevicePath(child);
    Driver driver(device);
    EXPECT_EQ(driver.Exchange(Frame(0x0A, 3, 0, 0, 0), 6).size(), 6u);
    EXPECT_EQ(driver.Exchange(Frame(0x01, 0x00, 0x00, 0x2A, 0x00), 6).size(), 6u);
    // The signal is pending before the next request is written, and the
    // simulator takes signals before requests, so once the reply is here the
    // dump is written.
    kill(child.pid, SIGUSR1);
    EXPECT_EQ(driver.Exchange(Frame(0x00, 0x00, 0x00, 0, 0), 6),
              (Bytes{0x00, 0x00, 0x00, 0x2A, 0x00, 0x2A}));
    std::ifstream in(dump);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_NE(text.str().find("0300001 = 42\n"), std::string::npos) << text.str();
    kill(child.pid, SIGINT);
    EXPECT_EQ(WaitExit(child), 0);
}

TEST(SimProcess, ScriptedFaultsReachTheLine) {
    Child child = Spawn({"--station", "5", "--script", "bad-checksum,short,ok"});
    ASSERT_GT(child.pid, 0);
    Driver driver(DevicePath(child));
    EXPECT_EQ(driver.Exchange(Frame(0x0A, 5, 0, 0, 0), 6),
              (Bytes{0x0A, 0x05, 0x00, 0x00, 0x00, 0x10}));
    // The short reply is half a frame; the rest of the six bytes read here
    // come from the next, clean, reply.
    driver.Send(Frame(0x00, 0x01, 0x00, 0, 0));
    EXPECT_EQ(driver.Receive(3), (Bytes{0x00, 0x01, 0x00}));
    EXPECT_EQ(driver.Exchange(Frame(0x00, 0x02, 0x00, 0, 0), 6),
              (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x02}));
    kill(child.pid, SIGTERM);
    EXPECT_EQ(WaitExit(child), 0);
}

TEST(SimProcess, PacedRepliesTakeTheirCharacterTimes) {
    // 8O2 is 12 bits a character: at 1200 baud, 10 ms; a six-byte reply
    // cannot be complete sooner than 60 ms after its request.
    Child child = Spawn({"--station", "5", "--baud", "1200", "--format", "8O2"});
    ASSERT_GT(child.pid, 0);
    Driver driver(DevicePath(child));
    timespec before;
    timespec after;
    clock_gettime(CLOCK_MONOTONIC, &before);
    EXPECT_EQ(driver.Exchange(Frame(0x0A, 5, 0, 0, 0), 6).size(), 6u);
    clock_gettime(CLOCK_MONOTONIC, &after);
    long long elapsed_ms =
        (after.tv_sec - before.tv_sec) * 1000LL + (after.tv_nsec - before.tv_nsec) / 1000000;
    EXPECT_GE(elapsed_ms, 60);
    kill(child.pid, SIGTERM);
    EXPECT_EQ(WaitExit(child), 0);
}

TEST(SimProcess, ABadImageExitsWithItsLine) {
    TempDir dir;
    std::string image = dir.Write("bad.img", "# ok\n0140001 = 1\n0140002 = 70000\n");
    Child child = Spawn({"--image", image});
    ASSERT_GT(child.pid, 0);
    std::string errors = ReadUntil(child.err, "");
    EXPECT_EQ(WaitExit(child), 2);
    EXPECT_EQ(errors, image + ":3: value 70000 out of range: values are 0 to 65535\n");
}

TEST(SimProcess, BadOptionsExitWithUsage) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--bogus"},
                                          {"--station", "100"},
                                          {"--station", "\x01\xFF"},
                                          {"--animate", "0140001=ramp"},
                                          {"--baud", "0"},
                                          {"--format", "9N1"},
                                          {"--fault", "silence=2"},
                                          {"--script", "slow"},
                                          {"--device", "/dev/null", "--link", "/tmp/x"},
                                          {"extra"}}) {
        SCOPED_TRACE(args[0]);
        Child child = Spawn(args);
        ASSERT_GT(child.pid, 0);
        std::string errors = ReadUntil(child.err, "");
        EXPECT_EQ(WaitExit(child), 2);
        EXPECT_EQ(errors.rfind("westnet-sim: ", 0), 0u) << errors;
        // One usage line that points at --help, not the whole help.
        EXPECT_NE(errors.find("Usage: westnet-sim"), std::string::npos);
        EXPECT_NE(errors.find("--help"), std::string::npos);
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
        EXPECT_TRUE(std::all_of(errors.begin(), errors.end(), [](char c) {
            return c == '\n' || (c >= 0x20 && c < 0x7F);
        })) << errors;
    }
}

TEST(SimProcess, ADumpThatCannotBeWrittenStopsTheRunBeforeItStarts) {
    TempDir dir;
    for (const std::string& dump : {std::string("/nonexistent/dump.img"), std::string("/tmp")}) {
        SCOPED_TRACE(dump);
        Child child = Spawn({"--station", "1", "--dump", dump});
        ASSERT_GT(child.pid, 0);
        Ended ended = Finish(child);
        EXPECT_EQ(ended.status, 2);
        EXPECT_NE(ended.errors.find("--dump " + dump), std::string::npos) << ended.errors;
    }
}

// A device or a binary file given as an image: it must end with a message,
// and not with all of memory (it used to take gigabytes in seconds).
TEST(SimProcess, AnEndlessImageIsRefusedInBoundedMemory) {
    Child child = Spawn({"--image", "/dev/zero"});
    ASSERT_GT(child.pid, 0);
    Ended ended = Finish(child);
    EXPECT_EQ(ended.status, 2);
    EXPECT_EQ(ended.errors.rfind("/dev/zero:1: line longer than 1048576 characters", 0), 0u)
        << ended.errors;
    EXPECT_LT(ended.max_rss_kb, 256 * 1024);
}

// A stop signal ends the run at once whatever delay a reply is waiting out,
// and the link goes with it.
TEST(SimProcess, SigtermEndsEveryDelay) {
    for (std::vector<std::string> delay : {std::vector<std::string>{"--turnaround", "600000"},
                                           {"--script", "late=600000"},
                                           {"--baud", "1"}}) {  // 12 s a character
        SCOPED_TRACE(delay[0]);
        TempDir dir;
        std::string link = dir.File("line");
        std::vector<std::string> args = {"--station", "1", "--link", link, "--trace"};
        args.insert(args.end(), delay.begin(), delay.end());
        Child child = Spawn(args);
        ASSERT_GT(child.pid, 0);
        DevicePath(child);
        Driver driver(link);
        driver.Send(Frame(0x0A, 1, 0, 0, 0));
        // The trace line comes before the reply's delay begins.
        ReadUntil(child.err, "SELECT station 1");
        kill(child.pid, SIGTERM);
        Ended ended = Finish(child);
        EXPECT_EQ(ended.status, 0) << ended.errors;
        struct stat info;
        EXPECT_NE(lstat(link.c_str(), &info), 0) << "the link outlived the simulator";
    }
}

TEST(SimProcess, ASecondSimulatorCannotTakeOverALiveLink) {
    TempDir dir;
    std::string link = dir.File("line");
    // Left by a simulator that was killed: taken over.
    ASSERT_EQ(symlink("/dev/pts/westnet-test-gone", link.c_str()), 0);
    Child first = Spawn({"--station", "1", "--link", link});
    ASSERT_GT(first.pid, 0);
    std::string device = DevicePath(first);
    EXPECT_EQ(LinkTarget(link), device);

    Child second = Spawn({"--station", "2", "--link", link});
    ASSERT_GT(second.pid, 0);
    Ended refused = Finish(second);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("--link " + link + " is in use: it leads to " + device +
                                  ", the line of a running westnet-sim (pid " +
                                  std::to_string(first.pid) + ")"),
              std::string::npos)
        << refused.errors;

    // The first one still has its link and answers through it.
    EXPECT_EQ(LinkTarget(link), device);
    {
        Driver driver(link);
        EXPECT_EQ(driver.Exchange(Frame(0x0A, 1, 0, 0, 0), 6).size(), 6u);
    }
    kill(first.pid, SIGTERM);
    EXPECT_EQ(Finish(first).status, 0);
}

// A stream socket connected to `path`, or -1.
int ConnectUnix(const std::string& path) {
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&name), sizeof name) != 0) {
        close(fd);
        fd = -1;
    }
    return fd;
}

// The control socket: commands answered line by line, bad ones refused
// without harm, a client that holds half a command keeping nobody waiting,
// a live socket not taken over, and the socket gone with the run.
TEST(SimProcess, TheControlSocketAnswersBesideTheLine) {
    TempDir dir;
    std::string path = dir.File("control");
    {
        // Left by a simulator that was killed: taken over.
        sockaddr_un name{};
        name.sun_family = AF_UNIX;
        std::strncpy(name.sun_path, path.c_str(), sizeof name.sun_path - 1);
        int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(bind(stale, reinterpret_cast<const sockaddr*>(&name), sizeof name), 0);
        close(stale);
    }
    Child child = Spawn({"--station", "1", "--station", "2", "--control", path});
    ASSERT_GT(child.pid, 0);
    std::string device = DevicePath(child);

    int idle = ConnectUnix(path);
    ASSERT_GE(idle, 0);
    ASSERT_EQ(write(idle, "silen", 5), 5);  // and nothing more
    int client = ConnectUnix(path);
    ASSERT_GE(client, 0);
    std::string commands = "silence 02\n" + std::string("\0\xff\n", 3) + std::string(600, 'x') +
                           "\nanswer 9\r\nstatus\n";
    ASSERT_EQ(write(client, commands.data(), commands.size()),
              static_cast<ssize_t>(commands.size()));
    EXPECT_EQ(ReadUntil(client, "answers; 02 silenced\n"),
              "ok\n"
              "error: unknown command '\\x00\\xFF' (commands: silence NN, answer NN, fault NN "
              "KIND=P [KIND=P ...], fault NN off, status, help)\n"
              "error: a command line holds at most 512 bytes\n"
              "error: no station 09 on this line\n"
              "ok 01 answers; 02 silenced\n");
    {
        Driver driver(device);
        EXPECT_EQ(driver.Exchange(Frame(0x0A, 1, 0, 0, 0), 6), Frame(0x0A, 1, 0, 0, 0));
    }

    Child second = Spawn({"--station", "3", "--control", path});
    ASSERT_GT(second.pid, 0);
    Ended refused = Finish(second);
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.errors.find("--control " + path + " is in use"), std::string::npos)
        << refused.errors;

    kill(child.pid, SIGTERM);
    EXPECT_EQ(Finish(child).status, 0);
    close(client);
    close(idle);
    struct stat info;
    EXPECT_NE(lstat(path.c_str(), &info), 0) << "the control socket outlived the simulator";
}

// Every client that sets the line up with parity, as the driver does, can
// open it again: a terminal keeps no parity bit and refuses a set-up whose
// only change is that bit, so the simulator must leave its line in a state
// from which the same set-up is a change (Wine's SetCommState fails
// otherwise).
TEST(SimProcess, TheSameSetUpWithParityWorksOnEveryOpen) {
    Child child = Spawn({"--station", "1"});
    ASSERT_GT(child.pid, 0);
    std::string device = DevicePath(child);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        int fd = open(device.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << std::strerror(errno);
        termios tio;
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        cfmakeraw(&tio);
        tio.c_cflag |= PARENB | PARODD | CSTOPB | CLOCAL | CREAD;
        cfsetispeed(&tio, B9600);
        cfsetospeed(&tio, B9600);
        EXPECT_EQ(tcsetattr(fd, TCSANOW, &tio), 0) << std::strerror(errno);
        Bytes select = Frame(0x0A, 1, 0, 0, 0);
        ASSERT_EQ(write(fd, select.data(), select.size()), 6);
        std::size_t got = 0;
        std::uint8_t reply[6];
        while (got < sizeof reply) {
            pollfd in{fd, POLLIN, 0};
            ASSERT_GT(poll(&in, 1, kWaitMs), 0) << "no reply";
            ssize_t n = read(fd, reply + got, sizeof reply - got);
            ASSERT_GT(n, 0);
            got += static_cast<std::size_t>(n);
        }
        close(fd);
    }
    kill(child.pid, SIGTERM);
    EXPECT_EQ(Finish(child).status, 0);
}

// An animated counter moves by itself, and the trace and the dump say so.
TEST(SimProcess, AnAnimatedCounterCountsOnItsOwn) {
    TempDir dir;
    std::string image = dir.Write("plant.img", "0140001 = 100\n");
    std::string dump = dir.File("dump.img");
    Child child =
        Spawn({"--image", image, "--animate", "0140001=counter:20", "--trace", "--dump", dump});
    ASSERT_GT(child.pid, 0);
    Driver driver(DevicePath(child));
    ASSERT_EQ(driver.Exchange(Frame(0x0A, 1, 0, 0, 0), 6).size(), 6u);
    // Reads the register every few milliseconds, taking in the trace
    // meanwhile so that the simulator never waits for its stderr.
    std::vector<int> values;
    std::string trace;
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (values.empty() || values.back() < 103) {
        Bytes reply = driver.Exchange(Frame(0x00, 0x40, 0x9C, 0, 0), 6);
        ASSERT_EQ(reply.size(), 6u);
        values.push_back(reply[3] | reply[4] << 8);
        pollfd err{child.err, POLLIN, 0};
        if (poll(&err, 1, 5) > 0) {
            char buffer[4096];
            ssize_t got = read(child.err, buffer, sizeof buffer);
            trace.append(buffer, got > 0 ? static_cast<std::size_t>(got) : 0);
        }
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        ASSERT_LT(now.tv_sec - start.tv_sec, kWaitMs / 1000) << "the counter does not move";
    }
    EXPECT_EQ(values.front(), 100);
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end()));
    kill(child.pid, SIGTERM);
    Ended ended = Finish(child);
    EXPECT_EQ(ended.status, 0);
    ended.errors = trace + ended.errors;
    char shown[64];
    std::snprintf(shown, sizeof shown, "ANIMATE 0140001 counter -> 0x%04X (period %d)",
                  values.back(), values.back() - 100);
    EXPECT_NE(ended.errors.find(shown), std::string::npos) << ended.errors;
    std::ifstream in(dump);
    std::string line;
    while (std::getline(in, line) && line.rfind("0140001 = ", 0) != 0) {
    }
    ASSERT_EQ(line.rfind("0140001 = ", 0), 0u);
    EXPECT_GE(std::stoi(line.substr(10)), values.back());
}

TEST(SimProcess, VersionAndHelp) {
    Child version = Spawn({"--version"});
    ASSERT_GT(version.pid, 0);
    EXPECT_EQ(ReadUntil(version.out, ""), std::string("westnet-sim ") + WESTNET_VERSION + "\n");
    EXPECT_EQ(WaitExit(version), 0);

    Child help = Spawn({"--help"});
    ASSERT_GT(help.pid, 0);
    std::string text = ReadUntil(help.out, "");
    EXPECT_EQ(WaitExit(help), 0);
    for (const char* option :
         {"--device", "--link",       "--control", "--baud",       "--format",
          "--gap",    "--turnaround", "--image",   "--station",    "--fault",
          "--seed",   "--script",     "--late-ms", "--trace",      "--dump",
          "--stats",  "--help",       "--version", "device: PATH", "NOT applied"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

}  // namespace
