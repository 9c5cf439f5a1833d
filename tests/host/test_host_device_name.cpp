// Device names as the systems open them.
#include <gtest/gtest.h>

#include "device_name.h"

namespace westnet::host {
namespace {

TEST(HostDeviceName, PortsAboveCom9TakeTheDeviceNamespaceName) {
    EXPECT_EQ(WindowsPortName("COM1"), "COM1");
    EXPECT_EQ(WindowsPortName("COM9"), "COM9");
    EXPECT_EQ(WindowsPortName("COM10"), "\\\\.\\COM10");
    EXPECT_EQ(WindowsPortName("com255"), "\\\\.\\com255");
    EXPECT_EQ(WindowsPortName("COM256"), "COM256");
    EXPECT_EQ(WindowsPortName("COM010"), "COM010");
    EXPECT_EQ(WindowsPortName("\\\\.\\COM12"), "\\\\.\\COM12");
    EXPECT_EQ(WindowsPortName("/dev/ttyS10"), "/dev/ttyS10");
    EXPECT_EQ(WindowsPortName("COMX10"), "COMX10");
}

}  // namespace
}  // namespace westnet::host
