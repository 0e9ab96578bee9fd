#include "SSD1306DisplayDriver.h"

#include "SSD1306_OLED.h"

#include "platform/I2CBus.h"

#include <algorithm>
#include <cstdio>

namespace {
const char* const DEVICE = "/dev/i2c-1";
constexpr uint8_t ADDRESS = 0x3C;

// Callers' int coordinates are held to the library's 16-bit range rather than wrapped into it.
int16_t clip(int value) {
    return (int16_t)std::clamp(value, (int)INT16_MIN, (int)INT16_MAX);
}

uint16_t colorOf(bool color) {
    return color ? OLED_WHITE : OLED_BLACK;
}
} // namespace

SSD1306DisplayDriver::SSD1306DisplayDriver(int oledType) : type(oledType) {
    if (type == 3 || type == 4) {
        height = 32;
    } else if (type == 9 || type == 10) {
        height = 128;
        family = 2;
    } else if (type == 5 || type == 6) {
        family = 1;
    }
    LED_DISPLAY_WIDTH = width;
    LED_DISPLAY_HEIGHT = height;
    LED_DISPLAY_TYPE = family;
    setRotation(getRotation()); // the logical size follows the new physical one
}

SSD1306DisplayDriver::~SSD1306DisplayDriver() {
    i2c_close(I2C_DEV_2.fd_i2c);
}

bool SSD1306DisplayDriver::initialize(int& i2cBus) {
    if (init_i2c_dev2(DEVICE, ADDRESS) != 0) {
        printf("(Main)i2c: OOPS! Something Went Wrong\n");
        return false;
    }
    if (type != 0 && display_Init_seq() != 0) {
        printf("Could not initialize display\n");
        return false;
    }
    std::string path = I2C_DEV_2.i2c_dev_path;
    i2cBus = path.back() - '0';
    setTextSize(1);
    if (type != 0) {
        setRotation(type % 2 == 0 ? 2 : 0);
    }
    return true;
}

bool SSD1306DisplayDriver::setFont(const std::string& name) {
    if (name.empty()) {
        setTextFont(nullptr);
    } else if (name == "Roboto_Medium_14") {
        setTextFont(&Roboto_Medium_14);
    } else {
        return false;
    }
    return true;
}

void SSD1306DisplayDriver::printString(int x, int y, const std::string& text, bool color) {
    setTextColor(colorOf(color));
    setCursor(clip(x), clip(y));
    print_str(text.c_str());
}

void SSD1306DisplayDriver::printStringCentered(int y, const std::string& text, bool color) {
    printString(64 - getTextWidth(text.c_str()) / 2, y, text, color);
}

void SSD1306DisplayDriver::fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2,
                                        int16_t y2, bool color) {
    ::fillTriangle(x0, y0, x1, y1, x2, y2, colorOf(color));
}

void SSD1306DisplayDriver::drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, bool color) {
    ::drawLine(x0, y0, x1, y1, colorOf(color));
}

void SSD1306DisplayDriver::drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h,
                                      bool color) {
    ::drawBitmap(x, y, bitmap, w, h, colorOf(color));
}

void SSD1306DisplayDriver::drawRect(int x, int y, int w, int h, bool color) {
    ::drawRect(clip(x), clip(y), clip(w), clip(h), colorOf(color));
}

void SSD1306DisplayDriver::fillRect(int x, int y, int w, int h, bool color) {
    ::fillRect(clip(x), clip(y), clip(w), clip(h), colorOf(color));
}

void SSD1306DisplayDriver::clearDisplay() {
    ::clearDisplay();
}

void SSD1306DisplayDriver::flushDisplay() {
    Display();
}

void SSD1306DisplayDriver::displayOff() {
    ::clearDisplay();
    Display();
}
