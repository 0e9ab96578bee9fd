#include "I2C1602_2004_DisplayDriver.h"

#include "platform/I2CBus.h"

#include <unistd.h>

#include <cstdio>

namespace {

const char* const DEVICE = "/dev/i2c-1";

// Expander pins.
constexpr uint8_t PIN_RS = 0x01;
constexpr uint8_t PIN_ENABLE = 0x04;
constexpr uint8_t PIN_BACKLIGHT = 0x08;

// Display commands.
constexpr uint8_t CMD_CLEAR = 0x01;
constexpr uint8_t CMD_ENTRY_LEFT_TO_RIGHT = 0x06;
constexpr uint8_t CMD_DISPLAY_ON = 0x0C;
constexpr uint8_t CMD_FOUR_BIT_TWO_LINES = 0x28;
constexpr uint8_t CMD_SET_ADDRESS = 0x80;

const uint8_t ROW_ADDRESS[4] = {0x00, 0x40, 0x14, 0x54};

// The display's character set matches ASCII only from 32 to 126.
char displayable(char c) {
    return (c >= 32 && c <= 126) ? c : '?';
}

} // namespace

I2C1602_2004_DisplayDriver::I2C1602_2004_DisplayDriver(int type)
    : columns(type % 2 == 0 ? 20 : 16), rows(type % 2 == 0 ? 4 : 2), busAddress(type <= 14 ? 0x27 : 0x3F),
      picture(rows, std::string(columns, ' ')), shown(rows, std::string(columns, '\0')) {}

I2C1602_2004_DisplayDriver::~I2C1602_2004_DisplayDriver() {
    i2c_close(fd);
}

bool I2C1602_2004_DisplayDriver::sendNibble(uint8_t nibble, bool isData) {
    uint8_t pins = (uint8_t)(nibble << 4) | PIN_BACKLIGHT | (isData ? PIN_RS : 0);
    uint8_t pulse[2] = {(uint8_t)(pins | PIN_ENABLE), pins}; // latched on the falling edge of E
    return i2c_multiple_writes(fd, 2, pulse) == 2;
}

bool I2C1602_2004_DisplayDriver::sendByte(uint8_t value, bool isData) {
    return sendNibble(value >> 4, isData) && sendNibble(value & 0x0F, isData);
}

// The power-on reset may leave the display in 8-bit mode or half-way through a byte: three
// 8-bit function sets bring it to a known state before switching to 4 bits.
bool I2C1602_2004_DisplayDriver::initialize(int& i2cBus) {
    if (init_i2c_dev2(DEVICE, busAddress) != 0) {
        printf("(Main)i2c: OOPS! Something Went Wrong\n");
        return false;
    }
    fd = I2C_DEV_2.fd_i2c;
    bool ok = sendNibble(0x3, false);
    usleep(4500);
    ok = ok && sendNibble(0x3, false);
    usleep(150);
    ok = ok && sendNibble(0x3, false) && sendNibble(0x2, false);
    ok = ok && sendByte(CMD_FOUR_BIT_TWO_LINES, false) && sendByte(CMD_DISPLAY_ON, false) &&
         sendByte(CMD_CLEAR, false);
    usleep(2000);
    ok = ok && sendByte(CMD_ENTRY_LEFT_TO_RIGHT, false);
    if (!ok) {
        printf("Could not initialize display\n");
        return false;
    }
    i2cBus = 1;
    shown.assign(rows, std::string(columns, ' '));
    return true;
}

void I2C1602_2004_DisplayDriver::printString(int x, int y, const std::string& text, bool color) {
    int row = y / 8;
    if (y < 0 || row >= rows) {
        return;
    }
    std::string shownText = color ? text : ">" + text;
    int column = x / 6;
    for (size_t i = 0; i < shownText.size(); i++, column++) {
        if (column >= columns) {
            break;
        }
        if (column >= 0) {
            picture[row][column] = displayable(shownText[i]);
        }
    }
}

void I2C1602_2004_DisplayDriver::printStringCentered(int y, const std::string& text, bool color) {
    int length = (int)text.size() + (color ? 0 : 1);
    int column = length < columns ? (columns - length) / 2 : 0;
    printString(column * 6, y, text, color);
}

void I2C1602_2004_DisplayDriver::clearDisplay() {
    picture.assign(rows, std::string(columns, ' '));
}

bool I2C1602_2004_DisplayDriver::sendRow(int row) {
    if (!sendByte(CMD_SET_ADDRESS | ROW_ADDRESS[row], false)) {
        return false;
    }
    for (char c : picture[row]) {
        if (!sendByte((uint8_t)c, true)) {
            return false;
        }
    }
    return true;
}

void I2C1602_2004_DisplayDriver::flushDisplay() {
    for (int row = 0; row < rows; row++) {
        if (picture[row] != shown[row]) {
            // A failed row is sent again on the next flush.
            shown[row] = sendRow(row) ? picture[row] : std::string(columns, '\0');
        }
    }
}

void I2C1602_2004_DisplayDriver::displayOff() {
    clearDisplay();
    flushDisplay();
}
