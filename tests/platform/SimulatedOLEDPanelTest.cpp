// The emulated panel on the simulated I2C bus, driven with raw writes the way the controllers'
// datasheets describe them, and read back from its memory file.
#include "platform/I2CBus.h"
#include "support/OledPanelFile.h"

#include <gtest/gtest.h>

#include <stdlib.h>

namespace {

using Bytes = std::vector<uint8_t>;

class SimulatedOLEDPanelTest : public ::testing::Test {
protected:
    void TearDown() override {
        i2c_close(I2C_DEV_2.fd_i2c);
        unsetenv("KIV_OLED_SIM_PANEL");
    }
    void open() { ASSERT_EQ(0, init_i2c_dev2("/dev/i2c-1", 0x3C)); }
    void send(const Bytes& bytes) {
        EXPECT_EQ((int)bytes.size(), i2c_multiple_writes(I2C_DEV_2.fd_i2c, bytes.size(), bytes.data()));
    }

    OledPanelFile panel{"paneltest"};
};

TEST_F(SimulatedOLEDPanelTest, OnlyTheDisplayAddressAnswersOnTheSimulatedBus) {
    EXPECT_EQ(-1, init_i2c_dev2("/dev/i2c-1", 0x27));
    open();
    OledPanelSnapshot s = panel.read();
    ASSERT_TRUE(s.valid);
    EXPECT_EQ(128u, s.width);
    EXPECT_EQ(64u, s.height);
    EXPECT_EQ(0u, s.displayOn);
}

TEST_F(SimulatedOLEDPanelTest, TheSSD1306FollowsItsAddressingModesAndWindows) {
    open();
    // Vertical mode, columns 10-11, pages 2-3: bytes fill a column's pages first.
    send({0x00, 0x20, 0x01, 0x21, 10, 11, 0x22, 2, 3});
    send({0x40, 0x01, 0x02, 0x04, 0x08, 0x10});
    OledPanelSnapshot s = panel.read();
    EXPECT_TRUE(s.lit(10, 25) && s.lit(11, 18) && s.lit(11, 27));
    EXPECT_TRUE(s.lit(10, 20) && !s.lit(10, 16)); // the fifth byte wrapped to the window's start
    EXPECT_EQ(1u, s.transfers);
    // Page mode: page 5, column 0x23 from the nibble commands; the column runs on along the page.
    // A control byte with the continuation bit carries one byte, then another control byte.
    send({0x00, 0x20, 0x02, 0xB5, 0x03, 0x12});
    send({0xC0, 0xFF, 0x40, 0x80});
    s = panel.read();
    EXPECT_EQ(8, s.countLit(0x23, 40, 1, 8));
    EXPECT_TRUE(s.lit(0x24, 47));
    send({0x80, 0xAF, 0x80, 0xA7});
    s = panel.read();
    EXPECT_EQ(1u, s.displayOn);
    EXPECT_EQ(1u, s.inverted);
}

TEST_F(SimulatedOLEDPanelTest, TheControllerIsRecognisedFromItsCommandsOrFixedByTheEnvironment) {
    open();
    send({0x00, 0xAE, 0x15, 0x00, 0x3F, 0x75, 0x10, 0x7F});
    send({0x40, 0xF0, 0x0F});
    OledPanelSnapshot s = panel.read();
    EXPECT_EQ(128u, s.height);
    EXPECT_EQ(4u, s.bitsPerPixel);
    EXPECT_TRUE(s.lit(0, 16) && !s.lit(1, 16) && s.lit(3, 16));

    setenv("KIV_OLED_SIM_PANEL", "sh1106", 1);
    open();
    send({0x00, 0xB7, 0x02, 0x10});
    send({0x40, 0x80, 0x01});
    s = panel.read();
    EXPECT_EQ(132u, s.width);
    EXPECT_TRUE(s.lit(2, 63) && s.lit(3, 56));
    // Past the last column the pointer stays: nothing wraps onto the next page or column 0.
    send({0x00, 0x18, 0x03});
    send({0x40, 0xFF, 0xFF, 0xFF});
    s = panel.read();
    EXPECT_EQ(8, s.countLit(131, 56, 1, 8));
    EXPECT_EQ(0, s.countLit(0, 56, 2, 8));
}

} // namespace
