#pragma once
// The graphic panels on I2C address 0x3C of /dev/i2c-1, through the SSD1306_OLED library.
// Types: 1 and 2 (flipped) 128x64 SSD1306, 3 and 4 (flipped) 128x32 SSD1306, 5 and 6 (flipped)
// 128x64 SH1106, 7 and 8 (flipped) 128x64 SSD1306 with a title band, 9 and 10 (flipped)
// 128x128 SSD1327; type 0 opens the device without initialising it. The library has one state
// per process, so only one driver should exist at a time.

#include "DisplayDriver.h"

class SSD1306DisplayDriver : public DisplayDriver {
public:
    explicit SSD1306DisplayDriver(int oledType);
    ~SSD1306DisplayDriver() override;

    bool initialize(int& i2cBus) override;
    bool setFont(const std::string& name) override;
    void printString(int x, int y, const std::string& text, bool color = true) override;
    void printStringCentered(int y, const std::string& text, bool color = true) override;
    void fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                      bool color = true) override;
    void drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, bool color = true) override;
    void drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h,
                    bool color = true) override;
    void drawRect(int x, int y, int w, int h, bool color = true) override;
    void fillRect(int x, int y, int w, int h, bool color = true) override;
    void clearDisplay() override;
    void flushDisplay() override;
    void displayOff() override;
    int getWidth() override { return width; }
    int getHeight() override { return height; }

private:
    int type;
    int width = 128;
    int height = 64;
    int family = 0;
};
