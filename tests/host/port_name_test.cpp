// Port names as the driver takes them, and the device each one means.
#include <gtest/gtest.h>

#include "host/port_name.h"

namespace vpisd::host {
namespace {

TEST(PortName, LongPathsAreShortenedOnlyWhereTheDriverResolvesThemAlike) {
    EXPECT_EQ(DriverPortName("ttyS0"), "ttyS0");
    EXPECT_EQ(DriverPortName("/dev/pts/12"), "/dev/pts/12"); // 11 characters fit as they are
    EXPECT_EQ(DriverPortName("/dev/pts/123"), "pts/123");
    EXPECT_EQ(DriverPortName("/dev/ttyUSB0"), "ttyUSB0");
    EXPECT_EQ(DriverPortName("NUL"), "NUL");
    EXPECT_FALSE(DriverPortName("/tmp/a/long/path").has_value());
    EXPECT_FALSE(DriverPortName("/dev/serial/by-id/usb-FTDI").has_value());
    EXPECT_FALSE(DriverPortName("").has_value());
    EXPECT_EQ(DevicePath("ttyS0"), "/dev/ttyS0");
    EXPECT_EQ(DevicePath("pts/123"), "/dev/pts/123");
    EXPECT_EQ(DevicePath("/dev/pts/3"), "/dev/pts/3");
}

} // namespace
} // namespace vpisd::host
