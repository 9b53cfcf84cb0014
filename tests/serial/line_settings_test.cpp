// The line state OpenPort leaves on the device, read back from the far end of a pty
// (termios requests on the master act on the slave's settings).
#include <gtest/gtest.h>
#include <termios.h>

#include "serial/port.h"
#include "serial_support.h"
#include "support/pty.h"

namespace vpisd::test {
namespace {

struct LineCase {
    uint16_t baudRate, dataBits, stopBits, parity, lineFlags;
};

class LineSettings : public ::testing::Test {
  protected:
    // Opens, reads the line back and closes again.
    termios OpenAndReadBack(const LineCase &line) {
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(pty_.path().c_str(), line.baudRate, line.dataBits, line.stopBits,
                           line.parity, line.lineFlags, &handle),
                  PORT_OK);
        termios state{};
        EXPECT_EQ(tcgetattr(pty_.master(), &state), 0);
        EXPECT_EQ(ClosePort(handle), PORT_OK);
        return state;
    }

    Pty pty_;
};

TEST_F(LineSettings, RawEightBitsWithoutFlowControl) {
    // The pty starts cooked here so that every raw flag is the driver's own doing.
    termios cooked{};
    ASSERT_EQ(tcgetattr(pty_.master(), &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | IXOFF | ISTRIP | IGNBRK | PARMRK;
    cooked.c_oflag |= OPOST;
    cooked.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
    cooked.c_cflag |= CRTSCTS;
    cooked.c_cflag &= ~static_cast<tcflag_t>(CLOCAL | CSIZE);
    cooked.c_cflag |= CS7;
    ASSERT_EQ(tcsetattr(pty_.master(), TCSANOW, &cooked), 0);

    const termios state = OpenAndReadBack({9600, 8, 0, 0, 8});
    EXPECT_EQ(state.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(state.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(state.c_cflag & (CRTSCTS | CSTOPB), 0u);
    EXPECT_EQ(state.c_iflag & (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP), 0u);
    EXPECT_EQ(state.c_iflag & (PARMRK | IGNPAR | IGNBRK | BRKINT), 0u);
    EXPECT_NE(state.c_iflag & INPCK, 0u);
    EXPECT_EQ(state.c_oflag & OPOST, 0u);
    EXPECT_EQ(state.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
    EXPECT_EQ(state.c_cc[VMIN], 0);
    EXPECT_EQ(state.c_cc[VTIME], 0);
    EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetispeed(&state), static_cast<speed_t>(B9600));
}

TEST_F(LineSettings, DataAndStopBits) {
    // A pty forces CS8, so the character size cannot be read back here; every size a
    // terminal knows must still open, also again on the same device.
    for (int dataBits : {5, 6, 7, 8, 0x0107}) {
        for (int round = 0; round < 2; ++round) {
            PortHandle handle = 0;
            ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, static_cast<uint16_t>(dataBits), 0, 2, 8,
                               &handle),
                      PORT_OK)
                << "data bits " << dataBits << " round " << round;
            EXPECT_EQ(ClosePort(handle), PORT_OK);
        }
    }
    EXPECT_EQ(OpenAndReadBack({9600, 8, 0, 0, 8}).c_cflag & CSTOPB, 0u);
    EXPECT_NE(OpenAndReadBack({9600, 8, 1, 0, 8}).c_cflag & CSTOPB, 0u); // 1.5 becomes 2
    EXPECT_NE(OpenAndReadBack({9600, 8, 2, 0, 8}).c_cflag & CSTOPB, 0u);
    // Only the low byte of a setting counts.
    EXPECT_NE(OpenAndReadBack({9600, 8, 0x0102, 0, 8}).c_cflag & CSTOPB, 0u);
}

TEST_F(LineSettings, ParitySelectionReachesTheDevice) {
    // A pty drops PARENB itself but keeps PARODD and CMSPAR, which tell the modes apart.
    const tcflag_t odd = OpenAndReadBack({9600, 8, 0, 1, 8}).c_cflag;
    EXPECT_NE(odd & PARODD, 0u);
    EXPECT_EQ(odd & CMSPAR, 0u);
    const tcflag_t even = OpenAndReadBack({9600, 8, 0, 2, 8}).c_cflag;
    EXPECT_EQ(even & (PARODD | CMSPAR), 0u);
    const tcflag_t mark = OpenAndReadBack({9600, 8, 0, 3, 8}).c_cflag;
    EXPECT_EQ(mark & (PARODD | CMSPAR), static_cast<tcflag_t>(PARODD | CMSPAR));
    const tcflag_t space = OpenAndReadBack({9600, 8, 0, 4, 8}).c_cflag;
    EXPECT_EQ(space & (PARODD | CMSPAR), static_cast<tcflag_t>(CMSPAR));
    const tcflag_t none = OpenAndReadBack({9600, 8, 0, 0, 8}).c_cflag;
    EXPECT_EQ(none & (PARENB | PARODD | CMSPAR), 0u);
}

TEST_F(LineSettings, EvenParityOpensAgainOnADeviceThatIgnoresParity) {
    // The driver's default line is 9600 8E1: a second start or a reopen must not trip
    // over the parity that the pty did not keep.
    for (int round = 0; round < 3; ++round) {
        PortHandle handle = 0;
        ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 2, 8, &handle), PORT_OK)
            << "round " << round;
        EXPECT_EQ(ClosePort(handle), PORT_OK);
    }
}

TEST_F(LineSettings, AnyBaudRateUpTo65535) {
    KernelSpeed speed{};
    OpenAndReadBack({12345, 8, 0, 2, 8});
    ASSERT_TRUE(ReadKernelSpeed(pty_.master(), &speed));
    EXPECT_TRUE(speed.custom);
    EXPECT_EQ(speed.outputRate, 12345u);

    OpenAndReadBack({65535, 8, 0, 0, 8});
    ASSERT_TRUE(ReadKernelSpeed(pty_.master(), &speed));
    EXPECT_EQ(speed.outputRate, 65535u);

    // Back to a standard rate after a custom one, also with parity the pty ignores.
    const termios state = OpenAndReadBack({19200, 8, 0, 2, 8});
    EXPECT_EQ(cfgetospeed(&state), static_cast<speed_t>(B19200));
    ASSERT_TRUE(ReadKernelSpeed(pty_.master(), &speed));
    EXPECT_FALSE(speed.custom);
    EXPECT_EQ(speed.outputRate, 19200u);
}

TEST_F(LineSettings, ModemLineSelectionOpensWithoutModemLines) {
    // DTR/RTS enable, handshake and toggle: a pty has no modem lines and still opens.
    for (int flags : {0x0303, 0x0101, 0x0202, 0x8000, 0x1000, 0x2000, 0x0000}) {
        PortHandle handle = 0;
        ASSERT_EQ(
            OpenPort(pty_.path().c_str(), 9600, 8, 0, 2, static_cast<uint16_t>(flags), &handle),
            PORT_OK)
            << "lineFlags " << flags;
        EXPECT_EQ(ClosePort(handle), PORT_OK);
    }
}

TEST_F(LineSettings, UnusableSettingsFailWithFiveAndLeaveNothingOpen) {
    const int before = CountOpenFds();
    const LineCase refused[] = {
        {9600, 9, 0, 0, 8}, {9600, 4, 0, 0, 8}, {9600, 8, 0, 5, 8},
        {9600, 8, 3, 0, 8}, {0, 8, 0, 0, 8},
    };
    for (const LineCase &line : refused) {
        PortHandle handle = 0;
        EXPECT_EQ(OpenPort(pty_.path().c_str(), line.baudRate, line.dataBits, line.stopBits,
                           line.parity, line.lineFlags, &handle),
                  PORT_SET_STATE_FAILED)
            << line.baudRate << " " << line.dataBits << " " << line.stopBits << " " << line.parity;
        EXPECT_EQ(handle, 0u);
    }
    EXPECT_EQ(CountOpenFds(), before);
    // No lock or exclusive mode was left on the device either.
    PortHandle handle = 0;
    ASSERT_EQ(OpenPort(pty_.path().c_str(), 9600, 8, 0, 2, 8, &handle), PORT_OK);
    EXPECT_EQ(ClosePort(handle), PORT_OK);
}

} // namespace
} // namespace vpisd::test
