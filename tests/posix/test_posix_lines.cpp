// DTR, RTS and RS-485 direction control of the POSIX stand-in. The device is a
// real pseudo-terminal, so opens and writes are real; the modem and RS-485
// ioctls, which a pseudo-terminal refuses, the drain and the turn-round pause
// are scripted and logged.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "serial/posix_calls.h"
#include "serial/serial.h"

namespace westnet {
namespace {

using Log = std::vector<std::string>;

// The scripted device: its modem lines, its RS-485 settings, and whether its
// kernel driver has an RS-485 mode at all.
struct Device {
    int lines = TIOCM_DTR | TIOCM_RTS;  // as an open leaves them
    bool hasRs485 = false;
    bool keepsEnable = true;  // false: takes the request, answers "not enabled"
    serial_rs485 rs485{};
    int rs485Writes = 0;
    Log log;
};
Device g_device;

int ScriptedIoctl(int fd, unsigned long request, void* argument) {
    switch (request) {
        case TIOCMBIS:
        case TIOCMBIC: {
            const int bits = *static_cast<int*>(argument);
            g_device.lines = request == TIOCMBIS ? g_device.lines | bits : g_device.lines & ~bits;
            g_device.log.push_back(std::string(bits == TIOCM_DTR ? "DTR" : "RTS") +
                                   (request == TIOCMBIS ? " up" : " down"));
            return 0;
        }
        case TIOCMGET:
            *static_cast<int*>(argument) = g_device.lines;
            return 0;
        case TIOCGRS485:
        case TIOCSRS485: {
            if (!g_device.hasRs485) {
                errno = ENOTTY;
                return -1;
            }
            auto* settings = static_cast<serial_rs485*>(argument);
            if (request == TIOCGRS485) {
                *settings = g_device.rs485;
                return 0;
            }
            ++g_device.rs485Writes;
            g_device.rs485 = *settings;
            if (!g_device.keepsEnable) {
                g_device.rs485.flags &= ~static_cast<std::uint32_t>(SER_RS485_ENABLED);
            }
            *settings = g_device.rs485;
            return 0;
        }
        default:
            return ioctl(fd, request, argument);
    }
}

int ScriptedDrain(int fd) {
    g_device.log.push_back("drain");
    return tcdrain(fd);
}

ssize_t ScriptedWrite(int fd, const void* bytes, std::size_t count) {
    g_device.log.push_back("write " + std::to_string(count));
    return write(fd, bytes, count);
}

void ScriptedPause(std::int64_t nanoseconds) {
    g_device.log.push_back("pause " + std::to_string(nanoseconds));
}

constexpr PosixCalls kScripted = {ScriptedIoctl, ScriptedDrain, ScriptedWrite, ScriptedPause};
constexpr std::uint32_t kToggleOn = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
const LineParams kLine{9600, 8, kOneStopBit, kNoParity};
const std::uint8_t kFrame[6] = {0x0A, 1, 0, 0, 0, 0x0B};

class PosixLines : public ::testing::Test {
protected:
    void SetUp() override {
        g_device = Device{};
        char name[128] = {};
        int slave = -1;
        ASSERT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
        close(slave);
        path_ = name;
        UsePosixCalls(&kScripted);
    }
    void TearDown() override {
        if (handle_ != 0) {
            SerialClose(handle_);
        }
        UsePosixCalls(nullptr);
        close(master_);
    }
    void Open(ControlFlags flags, const LineParams& line = kLine) {
        ASSERT_EQ(SerialOpen(path_.c_str(), line, flags, &handle_), SerOk);
    }
    void Close() {
        ASSERT_EQ(SerialClose(handle_), SerOk);
        handle_ = 0;
    }
    // What the device saw while one frame went out.
    Log SendFrame() {
        g_device.log.clear();
        std::uint32_t written = 0;
        EXPECT_EQ(SerialWrite(handle_, kFrame, sizeof kFrame, &written), SerOk);
        EXPECT_EQ(written, sizeof kFrame);
        return g_device.log;
    }

    int master_ = -1;
    std::string path_;
    Handle handle_ = 0;
};

TEST_F(PosixLines, TheLevelsSetAtOpenFollowTheControlFlags) {
    const struct {
        ControlFlags flags;
        bool dtr;
        bool rts;
    } cases[] = {
        {0x0002, false, true},  // what the open command stores
        {0x0100, true, false},
        {0x0303, true, true},
        {0x0000, false, false},
        // A handshake line stays raised under the driver's traffic.
        {0x8000, true, false},
        {0x1000, false, true},
        // RTS toggle without a kernel RS-485 mode: receiving until a write.
        {0x2000, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.flags);
        g_device.lines = TIOCM_DTR | TIOCM_RTS;
        Open(c.flags);
        EXPECT_EQ((g_device.lines & TIOCM_DTR) != 0, c.dtr);
        EXPECT_EQ((g_device.lines & TIOCM_RTS) != 0, c.rts);
        Close();
    }
}

TEST_F(PosixLines, RtsToggleUsesTheKernelsRs485ModeAndGivesBackWhatWasThere) {
    const struct {
        const char* name;
        std::uint32_t before;
        int writesAtOpen;
    } cases[] = {
        {"off", 0, 1},
        {"on, RTS low while sending", SER_RS485_ENABLED | SER_RS485_RTS_AFTER_SEND, 1},
        {"already as wanted", kToggleOn, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_device.hasRs485 = true;
        g_device.rs485 = serial_rs485{};
        g_device.rs485.flags = c.before | SER_RS485_RX_DURING_TX;
        g_device.rs485.delay_rts_before_send = 3;
        g_device.rs485Writes = 0;
        Open(0x2000);
        EXPECT_EQ(g_device.rs485Writes, c.writesAtOpen);
        EXPECT_EQ(g_device.rs485.flags, kToggleOn | SER_RS485_RX_DURING_TX);
        EXPECT_EQ(g_device.rs485.delay_rts_before_send, 3U);  // the device's own
        // The kernel turns the line round: the frame is only written.
        EXPECT_EQ(SendFrame(), Log{"write 6"});
        Close();
        EXPECT_EQ(g_device.rs485.flags, c.before | SER_RS485_RX_DURING_TX);
        EXPECT_EQ(g_device.rs485Writes, 2 * c.writesAtOpen);
    }
}

TEST_F(PosixLines, WithoutAKernelRs485ModeRtsIsRaisedAroundEveryFrame) {
    const struct {
        const char* name;
        bool hasRs485;
        LineParams line;
        const char* pause;  // one character time in ns
    } cases[] = {
        {"refused, 9600 8N1", false, kLine, "pause 1041667"},
        {"refused, 19200 8O2", false, {19200, 8, kTwoStopBits, kOddParity}, "pause 625000"},
        {"taken but not enabled", true, kLine, "pause 1041667"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_device.hasRs485 = c.hasRs485;
        g_device.keepsEnable = false;
        g_device.rs485 = serial_rs485{};
        Open(0x2000, c.line);
        const Log once = {"RTS up", "write 6", "drain", c.pause, "RTS down"};
        EXPECT_EQ(SendFrame(), once);
        EXPECT_EQ(SendFrame(), once);
        EXPECT_EQ(g_device.lines & TIOCM_RTS, 0);
        Close();
    }
}

}  // namespace
}  // namespace westnet
