// The port check against real files, folders, pipes and pseudo-terminals:
// each reason a device does not open, found the way the driver's open would
// meet it, and the reading of the lock table and of sysfs.
#include <fcntl.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "port_check.h"

namespace westnet::host {
namespace {

constexpr LineParams kLine{9600, 8, 2, 1};  // 8O2, the driver's suggestion

class PortCheck : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/port-check-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        ASSERT_EQ(openpty(&master_, &slave_, nullptr, nullptr, nullptr), 0);
        pty_ = ttyname(slave_);
    }
    void TearDown() override {
        close(master_);
        close(slave_);
        std::system(("rm -rf " + dir_).c_str());
    }
    std::string Path(const char* name) const { return dir_ + "/" + name; }

    std::string dir_;
    std::string pty_;
    int master_ = -1;
    int slave_ = -1;
};

TEST_F(PortCheck, EachKindOfNonDeviceIsNamed) {
    ASSERT_EQ(mkdir(Path("folder").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(Path("pipe").c_str(), 0644), 0);
    std::FILE* file = std::fopen(Path("file").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fputs("kept", file);
    std::fclose(file);
    ASSERT_EQ(symlink("/dev/pts/999999", Path("stale").c_str()), 0);

    const struct {
        std::string device;
        OpenFailureReason reason;
        const char* says;
    } cases[] = {
        {Path("absent"), OpenFailureReason::NoSuchDevice, "does not exist"},
        {Path("stale"), OpenFailureReason::NoSuchDevice,
         "is a link to /dev/pts/999999, which does"},
        {Path("folder"), OpenFailureReason::NotSerialDevice, "is a folder"},
        {Path("pipe"), OpenFailureReason::NotSerialDevice, "is a named pipe"},
        {Path("file"), OpenFailureReason::NotSerialDevice, "is a regular file"},
        {"/dev/zero", OpenFailureReason::NotSerialDevice, "character device but no terminal"},
        {"NUL", OpenFailureReason::None, "/dev/null opens"},
    };
    for (const auto& c : cases) {
        const OpenFailure f = DiagnoseOpen(c.device, kLine);
        EXPECT_EQ(f.reason, c.reason) << c.device << ": " << f.summary;
        EXPECT_NE(f.summary.find(c.says), std::string::npos) << c.device << ": " << f.summary;
    }
    // Looking never writes: the file keeps its contents.
    file = std::fopen(Path("file").c_str(), "r");
    char text[8] = {};
    ASSERT_NE(std::fgets(text, sizeof text, file), nullptr);
    std::fclose(file);
    EXPECT_STREQ(text, "kept");
}

TEST_F(PortCheck, AFreeTerminalOpensAndKeepsItsSettings) {
    termios before{};
    ASSERT_EQ(tcgetattr(slave_, &before), 0);
    const OpenFailure f = DiagnoseOpen(pty_, kLine);
    EXPECT_EQ(f.reason, OpenFailureReason::None) << f.summary;
    termios after{};
    ASSERT_EQ(tcgetattr(slave_, &after), 0);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
}

TEST_F(PortCheck, AnExclusiveLockNamesItsHolder) {
    // Another open of the same terminal, as a second channel would hold it.
    const int holder = open(pty_.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    const OpenFailure f = DiagnoseOpen(pty_, kLine);
    close(holder);
    EXPECT_EQ(f.reason, OpenFailureReason::Held) << f.summary;
    ASSERT_EQ(f.holders.size(), 1u);
    EXPECT_EQ(f.holders[0], static_cast<long>(getpid()));
    ASSERT_FALSE(f.details.empty());
    EXPECT_NE(f.details[0].find("this program itself"), std::string::npos) << f.details[0];
    EXPECT_EQ(DiagnoseOpen(pty_, kLine).reason, OpenFailureReason::None);
}

TEST_F(PortCheck, LineSettingsTheSerialLayerCannotSet) {
    const struct {
        LineParams line;
        const char* says;
    } cases[] = {
        {{1234, 8, 2, 1}, "nearest: 1200 or 1800"},
        {{9600, 9, 2, 1}, "5 to 8 data bits"},
        {{9600, 8, 1, 1}, "one and a half stop bits go only with 5 data bits"},
        {{9600, 5, 2, 1}, "not two"},
        {{9600, 8, 2, 5}, "parity code is 0 to 4"},
    };
    for (const auto& c : cases) {
        const OpenFailure f = DiagnoseOpen(pty_, c.line);
        EXPECT_EQ(f.reason, OpenFailureReason::LineRefused) << LineText(c.line);
        EXPECT_NE(f.summary.find(c.says), std::string::npos) << f.summary;
    }
}

TEST(PortCheckText, LockTableRowsOfOneFileOnly) {
    const std::string table =
        "1: FLOCK  ADVISORY  WRITE 4711 00:1a:4 0 EOF\n"
        "1: -> FLOCK  ADVISORY  WRITE 4712 00:1a:4 0 EOF\n"  // waiting, holds nothing
        "2: POSIX  ADVISORY  WRITE 99 00:1a:5 0 EOF\n"
        "3: FLOCK  ADVISORY  WRITE 100 08:01:4 0 EOF\n"
        "4: OFDLCK ADVISORY  READ  -1 00:1a:4 0 EOF\n"
        "5: FLOCK  ADVISORY  WRITE 200 00:1A:4 0 EOF\n"
        "garbage\n";
    EXPECT_EQ(LockHolders(table, 0, 0x1a, 4), (std::vector<long>{4711, 200}));
    EXPECT_TRUE(LockHolders(table, 0, 0x1b, 4).empty());
}

TEST(PortCheckText, ControlFlagsAsTheDriverReadsThem) {
    const std::pair<ControlFlags, const char*> cases[] = {
        {0x0002, "RTS on, DTR off"},        {0x0000, "RTS off, DTR off"},
        {0x0101, "RTS off, DTR on"},        {0x8000, "RTS off, DTR handshake"},
        {0x8001, "RTS off, DTR on"},        {0x1000, "RTS handshake, DTR off"},
        {0x3000, "RTS handshake, DTR off"}, {0x2000, "RTS toggle, DTR off"},
        {0x2200, "RTS on, DTR off"},
    };
    for (const auto& [flags, text] : cases) {
        EXPECT_EQ(ControlFlagsText(flags), text) << flags;
    }
    EXPECT_EQ(LineText({9600, 8, 2, 1}), "9600 baud 8O2");
    EXPECT_EQ(LineText({19200, 7, 1, 4}), "19200 baud 7S1.5");
}

TEST_F(PortCheck, LatencyTimerOfAUsbAdapter) {
    const std::string sys = Path("sys");
    ASSERT_EQ(std::system(("mkdir -p " + sys + "/bus/usb-serial/devices/ttyUSB0").c_str()), 0);
    std::FILE* timer =
        std::fopen((sys + "/bus/usb-serial/devices/ttyUSB0/latency_timer").c_str(), "w");
    ASSERT_NE(timer, nullptr);
    std::fputs("16\n", timer);
    std::fclose(timer);
    // The adapter is named after the device itself, whatever link leads to
    // it (a by-id path); a device of another name has no timer there.
    const std::string fakeDev = Path("dev");
    ASSERT_EQ(mkdir(fakeDev.c_str(), 0755), 0);
    ASSERT_EQ(mkfifo((fakeDev + "/ttyUSB0").c_str(), 0644), 0);
    ASSERT_EQ(symlink((fakeDev + "/ttyUSB0").c_str(), Path("usb-link").c_str()), 0);
    EXPECT_FALSE(UsbLatencyTimer(pty_, sys).found);
    const LatencyTimer found = UsbLatencyTimer(Path("usb-link"), sys);
    ASSERT_TRUE(found.found);
    EXPECT_EQ(found.adapter, "ttyUSB0");
    EXPECT_EQ(found.milliseconds, 16);
}

}  // namespace
}  // namespace westnet::host
