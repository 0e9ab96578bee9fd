// Serial ports opened on a pseudo-terminal: the line settings read back from the kernel and raw
// bytes in both directions.

#include "platform/Serial.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master, 0);
        ASSERT_EQ(0, grantpt(master));
        ASSERT_EQ(0, unlockpt(master));
        device = ptsname(master);
    }
    void TearDown() override {
        if (fd >= 0) {
            SerialClose(fd);
        }
        close(master);
    }
    termios2 Settings() const {
        termios2 tio{};
        EXPECT_EQ(0, ioctl(fd, TCGETS2, &tio));
        return tio;
    }
    int master = -1;
    int fd = -1;
    std::string device;
};

TEST_F(SerialPort, DMXSettingsAreACustom250000Baud8N2RawLine) {
    fd = SerialOpen(device.c_str(), 250000, "N82", false);
    ASSERT_GE(fd, 0);
    termios2 tio = Settings();
    EXPECT_EQ(static_cast<tcflag_t>(BOTHER), tio.c_cflag & CBAUD);
    EXPECT_EQ(250000u, tio.c_ospeed);
    EXPECT_EQ(static_cast<tcflag_t>(CS8), tio.c_cflag & CSIZE);
    EXPECT_TRUE(tio.c_cflag & CSTOPB);
    EXPECT_FALSE(tio.c_cflag & PARENB);
    EXPECT_FALSE(tio.c_lflag & (ICANON | ECHO | ISIG));
    EXPECT_FALSE(tio.c_iflag & (ICRNL | IXON));
    EXPECT_FALSE(tio.c_oflag & OPOST);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(O_RDONLY, fcntl(fd, F_GETFL) & O_ACCMODE);
}

// A pseudo-terminal forces 8 bits without parity, so only the rate and stop bits can be read back.
TEST_F(SerialPort, StandardRatesUseTheTable) {
    fd = SerialOpen(device.c_str(), 115200, "8E1");
    ASSERT_GE(fd, 0);
    termios2 tio = Settings();
    EXPECT_EQ(static_cast<tcflag_t>(B115200), tio.c_cflag & CBAUD);
    EXPECT_EQ(115200u, tio.c_ospeed);
    EXPECT_FALSE(tio.c_cflag & CSTOPB);
    EXPECT_EQ(O_RDWR, fcntl(fd, F_GETFL) & O_ACCMODE);
}

TEST_F(SerialPort, BytesPassUntranslatedAndReadsNeverBlock) {
    fd = SerialOpen(device.c_str(), 250000, "N82", false);
    ASSERT_GE(fd, 0);
    unsigned char buffer[16];
    ssize_t nothing = read(fd, buffer, sizeof(buffer));
    EXPECT_TRUE(nothing == 0 || (nothing < 0 && errno == EAGAIN)) << nothing;
    const unsigned char sent[] = {0x00, '\r', '\n', 0x11, 0x13, 0x03, 0xFF};
    ASSERT_EQ(static_cast<ssize_t>(sizeof(sent)), write(master, sent, sizeof(sent)));
    ssize_t got = -1;
    for (int i = 0; i < 200 && got <= 0; i++) {
        got = read(fd, buffer, sizeof(buffer));
        if (got <= 0) {
            usleep(1000);
        }
    }
    ASSERT_EQ(static_cast<ssize_t>(sizeof(sent)), got);
    EXPECT_EQ(0, memcmp(sent, buffer, sizeof(sent)));
}

TEST_F(SerialPort, MissingDevicesAndBadModesAreRefused) {
    EXPECT_EQ(-1, SerialOpen("/dev/no-such-serial-port", 250000, "N82"));
    EXPECT_EQ(-1, SerialOpen(device.c_str(), 9600, "N92"));
    EXPECT_EQ(-1, SerialOpen(device.c_str(), 9600, "X81"));
    EXPECT_EQ(-1, SerialOpen("/dev/null", 9600, "N81")) << "not a terminal";
}
