#pragma once
// Character displays (HD44780-compatible, 16x2 or 20x4) behind a PCF8574 I2C port expander, the
// common "I2C backpack". The expander's pins drive the display in 4-bit mode: P0 RS, P1 RW,
// P2 E, P3 backlight, P4-P7 data D4-D7; every nibble is latched by a write with E high and one
// with E low.
//
// Types: odd 11 to 19 a 16x2 display, even 12 to 20 a 20x4; 11 to 14 at address 0x27, 15 to 20
// at 0x3F (the two usual backpack addresses), on /dev/i2c-1.
// Pixel coordinates of the pages map onto character cells of 6 x 8 pixels: the display reports a
// width of 6 x columns and a height of 8 x rows. Shapes are not drawn; text printed in the
// background colour (a selected line or button) is shown with a leading ">". The picture is kept
// in memory and sent on flushDisplay, only the rows that changed.

#include "DisplayDriver.h"

#include <vector>

class I2C1602_2004_DisplayDriver : public DisplayDriver {
public:
    explicit I2C1602_2004_DisplayDriver(int type);
    ~I2C1602_2004_DisplayDriver() override;

    bool initialize(int& i2cBus) override;
    bool setFont(const std::string& name) override { return name.empty(); }
    void printString(int x, int y, const std::string& text, bool color = true) override;
    void printStringCentered(int y, const std::string& text, bool color = true) override;
    void fillTriangle(int16_t, int16_t, int16_t, int16_t, int16_t, int16_t, bool = true) override {}
    void drawLine(int16_t, int16_t, int16_t, int16_t, bool = true) override {}
    void drawBitmap(int16_t, int16_t, const uint8_t*, int16_t, int16_t, bool = true) override {}
    void drawRect(int, int, int, int, bool = true) override {}
    void fillRect(int, int, int, int, bool = true) override {}
    void clearDisplay() override;
    void flushDisplay() override;
    void displayOff() override;
    int getWidth() override { return columns * 6; }
    int getHeight() override { return rows * 8; }

    int columnCount() const { return columns; }
    int rowCount() const { return rows; }
    uint8_t address() const { return busAddress; }

private:
    bool sendNibble(uint8_t nibble, bool isData);
    bool sendByte(uint8_t value, bool isData);
    bool sendRow(int row);

    int columns;
    int rows;
    uint8_t busAddress;
    int fd = -1;
    std::vector<std::string> picture; // what the pages drew, one string a row
    std::vector<std::string> shown;   // what the display shows
};
