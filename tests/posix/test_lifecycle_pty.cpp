// The lifecycle commands through ZanMain over a real pseudo-terminal: the
// driver holds the slave side as its serial device, the test plays the far
// end on the master side and looks at the slave's line settings directly.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "entry/zanmain.h"
#include "process.h"
#include "serial/platform.h"

namespace westnet {
namespace {

constexpr std::size_t kMaxName = DEVICE_NAME_SIZE - 1;

// A name of at most 11 characters that leads to `target`: the path itself
// when it fits, else a fresh symbolic link in /tmp.
class ShortName {
public:
    ShortName(const std::string& target, bool forceLink) {
        if (!forceLink && target.size() <= kMaxName) {
            name_ = target;
            return;
        }
        name_ = westnet::test_support::MakeShortLink(target);
        link_ = !name_.empty();
    }
    ~ShortName() {
        if (link_) {
            unlink(name_.c_str());
        }
    }
    ShortName(const ShortName&) = delete;
    ShortName& operator=(const ShortName&) = delete;
    const std::string& name() const { return name_; }

private:
    std::string name_;
    bool link_ = false;
};

class Pty {
public:
    Pty() {
        char path[128] = {};
        if (openpty(&master_, &slave_, path, nullptr, nullptr) == 0) {
            path_ = path;
        }
    }
    ~Pty() {
        if (master_ >= 0) {
            close(master_);
        }
        if (slave_ >= 0) {
            close(slave_);
        }
    }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool ok() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    int master() const { return master_; }

    termios Line() const {
        termios t{};
        EXPECT_EQ(tcgetattr(slave_, &t), 0);
        return t;
    }
    int Waiting() const {
        int n = -1;
        EXPECT_EQ(ioctl(slave_, FIONREAD, &n), 0);
        return n;
    }
    // Waits for the event, not for time: returns once the bytes the peer
    // wrote can be read on the slave side.
    bool InputArrives() const {
        pollfd p{slave_, POLLIN, 0};
        return poll(&p, 1, 10000) == 1 && (p.revents & POLLIN) != 0;
    }
    bool InputPending() const {
        pollfd p{slave_, POLLIN, 0};
        return poll(&p, 1, 0) == 1;
    }
    // Whether someone else could take the device for exclusive use now.
    bool OthersCanTakeIt() const {
        const int fd = open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            ADD_FAILURE() << "open " << path_ << ": " << std::strerror(errno);
            return false;
        }
        const bool taken = flock(fd, LOCK_EX | LOCK_NB) == 0;
        close(fd);  // releases the lock again
        return taken;
    }

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
};

std::int32_t Command(std::int32_t code, ChannelState* channel, void* params) {
    DriverRequest request{};
    request.channel = channel;
    request.command = code;
    request.params = params;
    return ZanMain(&request);
}

std::int32_t Open(ChannelState& channel, const std::string& device, std::int32_t timeout,
                  LineParams line) {
    OpenParams params{};
    std::strncpy(params.device, device.c_str(), kMaxName);
    params.enabled = 1;
    params.replyTimeout = timeout;
    params.line = line;
    return Command(1, &channel, &params);
}

std::int32_t Reconfigure(ChannelState& channel, const std::string& device, LineParams line) {
    ReconfigureParams params{};
    std::strncpy(params.device, device.c_str(), kMaxName);
    params.replyTimeout = 0;
    params.line = line;
    return Command(15, &channel, &params);
}

std::uint32_t PortTimeoutMs(Handle port) {
    CommTimeouts t;
    EXPECT_NE(ActivePlatform().GetCommTimeouts(port, &t), 0);
    return t.ReadTotalTimeoutConstant;
}

TEST(LifecyclePty, OpenPurgeReconfigureCloseReopen) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    ShortName device(pty.path(), false);
    ShortName alias(pty.path(), true);  // another name for the same device
    ASSERT_FALSE(device.name().empty());
    ASSERT_FALSE(alias.name().empty());
    ASSERT_NE(device.name(), alias.name());

    ChannelState channel{};
    ASSERT_EQ(Open(channel, device.name(), 50, LineParams{9600, 8, 0, 0}), ResOk);
    ASSERT_NE(channel.port, 0U);
    EXPECT_EQ(PortTimeoutMs(channel.port), 500U);
    termios line = pty.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));
    EXPECT_EQ(line.c_cflag & CSTOPB, 0U);
    EXPECT_FALSE(pty.OthersCanTakeIt());

    // A second channel cannot have the device while the first holds it.
    ChannelState other{};
    EXPECT_EQ(Open(other, device.name(), 50, LineParams{9600, 8, 0, 0}), ResFail);
    EXPECT_EQ(other.port, 0U);

    // Purge discards what the far end sent.
    const char noise[] = "stale reply bytes";
    ASSERT_EQ(write(pty.master(), noise, sizeof noise), static_cast<ssize_t>(sizeof noise));
    ASSERT_TRUE(pty.InputArrives());
    EXPECT_GT(pty.Waiting(), 0);
    EXPECT_EQ(Command(2, &channel, nullptr), ResOk);
    EXPECT_EQ(pty.Waiting(), 0);
    EXPECT_FALSE(pty.InputPending());
    EXPECT_EQ(PortTimeoutMs(channel.port), 500U);  // restored after the drain

    // The same name on the open port: refused, the line keeps its speed.
    const Handle first = channel.port;
    EXPECT_EQ(Reconfigure(channel, device.name(), LineParams{19200, 7, 2, 2}), ResFail);
    EXPECT_EQ(channel.port, first);
    line = pty.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B9600));

    // Closed and reopened, the port takes the stored new line.
    EXPECT_EQ(Command(12, &channel, nullptr), ResOk);
    EXPECT_EQ(channel.port, 0U);
    EXPECT_TRUE(pty.OthersCanTakeIt());
    EXPECT_EQ(Command(13, &channel, nullptr), ResOk);
    ASSERT_NE(channel.port, 0U);
    EXPECT_EQ(channel.enabled, 1);
    EXPECT_EQ(PortTimeoutMs(channel.port), 1000U);
    line = pty.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B19200));
    // A pseudo-terminal keeps 8 bits without parity whatever it is asked;
    // the speed and the stop bits show the line that was applied.
    EXPECT_EQ(line.c_cflag & CSTOPB, static_cast<tcflag_t>(CSTOPB));

    // Another name for the same device: the old port is closed first, so the
    // open succeeds, at the new speed.
    EXPECT_EQ(Reconfigure(channel, alias.name(), LineParams{38400, 8, 0, 1}), ResOk);
    ASSERT_NE(channel.port, 0U);
    EXPECT_STREQ(channel.settings.device, alias.name().c_str());
    line = pty.Line();
    EXPECT_EQ(cfgetospeed(&line), static_cast<speed_t>(B38400));
    EXPECT_EQ(line.c_cflag & CSTOPB, 0U);
    EXPECT_FALSE(pty.OthersCanTakeIt());

    // Shutdown releases the device for anyone else.
    EXPECT_EQ(Command(11, &channel, nullptr), ResOk);
    EXPECT_EQ(channel.port, 0U);
    EXPECT_EQ(Command(11, &channel, nullptr), ResOk);
    EXPECT_TRUE(pty.OthersCanTakeIt());
    EXPECT_EQ(Open(other, device.name(), 20, LineParams{9600, 8, 0, 0}), ResOk);
    EXPECT_EQ(Command(12, &other, nullptr), ResOk);
}

TEST(LifecyclePty, OpenOfAnotherDeviceReleasesTheFirst) {
    Pty first;
    Pty second;
    ASSERT_TRUE(first.ok() && second.ok());
    ShortName a(first.path(), false);
    ShortName b(second.path(), false);
    ASSERT_FALSE(a.name().empty() || b.name().empty());

    ChannelState channel{};
    ASSERT_EQ(Open(channel, a.name(), 20, LineParams{9600, 8, 0, 0}), ResOk);
    EXPECT_FALSE(first.OthersCanTakeIt());
    ASSERT_EQ(Open(channel, b.name(), 20, LineParams{9600, 8, 0, 0}), ResOk);
    EXPECT_TRUE(first.OthersCanTakeIt());
    EXPECT_FALSE(second.OthersCanTakeIt());
    EXPECT_EQ(Command(12, &channel, nullptr), ResOk);
    EXPECT_TRUE(second.OthersCanTakeIt());
}

}  // namespace
}  // namespace westnet
