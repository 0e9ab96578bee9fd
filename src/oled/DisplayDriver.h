#pragma once
// A small status display as the pages draw on it: the graphic panels (SSD1306DisplayDriver) and
// the character displays (I2C1602_2004_DisplayDriver) offer the same operations. Colour true sets
// pixels (text in the foreground), false clears them (text in the background colour).

#include <cstdint>
#include <string>

class DisplayDriver {
public:
    virtual ~DisplayDriver() {}

    // Opens and initialises the display; i2cBus receives the bus number. False when it fails.
    virtual bool initialize(int& i2cBus) = 0;
    // "" selects the built-in font; false (and nothing changed) for a font the driver lacks.
    virtual bool setFont(const std::string& name) = 0;
    virtual void printString(int x, int y, const std::string& text, bool color = true) = 0;
    virtual void printStringCentered(int y, const std::string& text, bool color = true) = 0;
    virtual void fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                              bool color = true) = 0;
    virtual void drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, bool color = true) = 0;
    // Rows of w bits, most significant bit first, padded to whole bytes; ((w + 7) / 8) * h bytes.
    virtual void drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h,
                            bool color = true) = 0;
    virtual void drawRect(int x, int y, int w, int h, bool color = true) = 0;
    virtual void fillRect(int x, int y, int w, int h, bool color = true) = 0;
    virtual void clearDisplay() = 0;
    virtual void flushDisplay() = 0;
    virtual void displayOff() = 0;
    virtual int getWidth() = 0;
    virtual int getHeight() = 0;
    // How often, in milliseconds, the display needs redrawing at least.
    virtual int getMinimumRefresh() { return 1000; }
};
