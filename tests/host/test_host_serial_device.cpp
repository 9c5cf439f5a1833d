// The name handed to the driver for a path a user gives, on Linux.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "process.h"
#include "serial_device.h"

namespace westnet::host {
namespace {

// A fresh folder under /tmp with a long path, removed with all it holds.
class Folder {
public:
    Folder() {
        char name[] = "/tmp/westnet-serial-device-XXXXXX";
        if (mkdtemp(name) != nullptr) {
            path_ = name;
        }
    }
    ~Folder() {
        if (!path_.empty()) {
            std::system(("rm -rf '" + path_ + "'").c_str());
        }
    }
    Folder(const Folder&) = delete;
    Folder& operator=(const Folder&) = delete;

    const std::string& path() const { return path_; }
    std::string Link(const std::string& name, const std::string& target) const {
        std::string at = path_ + "/" + name;
        EXPECT_EQ(symlink(target.c_str(), at.c_str()), 0) << at;
        return at;
    }

private:
    std::string path_;
};

TEST(HostSerialDevice, ALongPathBecomesTheShortestNameOfTheSameDevice) {
    Folder folder;
    ASSERT_FALSE(folder.path().empty());
    // realpath leads under /dev/, where the folder is dropped; /dev/pts/ptmx
    // has no short path of its own, but /dev/ptmx is the same device number.
    EXPECT_EQ(NameForDriver(folder.Link("line-to-the-null-device", "/dev/null")).name, "null");
    EXPECT_EQ(NameForDriver(folder.Link("line-by-relative-link", "../../dev/null")).name, "null");
    EXPECT_EQ(NameForDriver(folder.Link("multiplexor", "/dev/pts/ptmx")).name, "ptmx");
}

TEST(HostSerialDevice, ALinkOnTheWayCountsAndADeviceWithoutShortNameIsRefused) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "making a device node needs root";
    }
    Folder folder;
    ASSERT_FALSE(folder.path().empty());
    // A device number nothing under /dev/ has: the node's own path is long.
    const std::string node = folder.path() + "/a-device-node-with-a-long-name";
    if (mknod(node.c_str(), S_IFCHR | 0600, makedev(250, 77)) != 0) {
        GTEST_SKIP() << "cannot make a device node here";
    }
    DriverDeviceName named = NameForDriver(node);
    EXPECT_EQ(named.name, "");
    EXPECT_NE(named.error.find("has no name of at most 11 characters"), std::string::npos);
    EXPECT_NE(named.error.find("ln -s " + node), std::string::npos) << named.error;

    const std::string hop = westnet::test_support::MakeShortLink(node);
    ASSERT_FALSE(hop.empty()) << "no free short name under /tmp";
    named = NameForDriver(folder.Link("link-to-the-short-link", hop));
    unlink(hop.c_str());
    EXPECT_EQ(named.name, hop);
    EXPECT_EQ(named.error, "");
}

TEST(HostSerialDevice, RefusalsSayWhatIsWrong) {
    Folder folder;
    ASSERT_FALSE(folder.path().empty());
    const std::string file = folder.path() + "/station-data.txt";
    ASSERT_EQ(std::system(("echo data > '" + file + "'").c_str()), 0);
    const struct {
        std::string path;
        const char* says;
    } cases[] = {
        {folder.path() + "/not-there", "No such file or directory"},
        {"ttyUSB0-not-plugged-in", "no device \"ttyUSB0-not-plugged-in\" in /dev/"},
        {file, "is a regular file, not a serial device"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const DriverDeviceName named = NameForDriver(c.path);
        EXPECT_EQ(named.name, "");
        EXPECT_NE(named.error.find(c.says), std::string::npos) << named.error;
    }
}

}  // namespace
}  // namespace westnet::host
