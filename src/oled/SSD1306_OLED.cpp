// The library's state, the device's command sequences and the pixel addressing.

#include "SSD1306_OLED.h"

#include "platform/I2CBus.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

int LED_DISPLAY_WIDTH = 128;
int LED_DISPLAY_HEIGHT = 64;
int LED_DISPLAY_TYPE = 0;

namespace {

uint8_t screen[SSD1306_BUFFER_SIZE];
uint8_t chunk[129];                 // I2C data control byte 0x40, then up to 128 data bytes
int16_t _width = 128, _height = 64; // logical size after rotation
uint8_t _rotation = 0;

constexpr uint8_t CONTROL_COMMAND = 0x00;
constexpr uint8_t CONTROL_DATA = 0x40;

bool sendCommand(uint8_t command) {
    return i2c_write_register(I2C_DEV_2.fd_i2c, CONTROL_COMMAND, command) == 2;
}

// Stops at the first failed write, as every sequence does.
uint8_t sendCommands(std::initializer_list<uint8_t> commands) {
    for (uint8_t c : commands) {
        if (!sendCommand(c)) {
            return 1;
        }
    }
    return 0;
}

uint8_t initFamily0() {
    return sendCommands({0xAE,
                         0xA8,
                         (uint8_t)(LED_DISPLAY_HEIGHT - 1),
                         0xD5,
                         0x80,
                         0xD3,
                         0x00,
                         0x40,
                         0x8D,
                         0x14,
                         0x20,
                         0x00,
                         0xA1,
                         0xC8,
                         0xDA,
                         (uint8_t)(LED_DISPLAY_HEIGHT == 32 ? 0x02 : 0x12),
                         0xD9,
                         0xF1,
                         0xDB,
                         0x40,
                         0xA4,
                         0xA6});
}

uint8_t initFamily1() {
    return sendCommands({0xAE, 0xA8, (uint8_t)(LED_DISPLAY_HEIGHT - 1),
                         0x02, 0x10, 0xD3,
                         0x00, 0x40, 0xB0,
                         0xA1, 0xA6, 0xAD,
                         0x8B, 0x30, 0xC8,
                         0xD5, 0x80, 0xD9,
                         0x1F, 0xDA, 0x12,
                         0xDB, 0x40});
}

uint8_t initFamily2() {
    return sendCommands({0xAE, 0x15, 0x00, 0x7F, 0x75, 0x00, 0x7F, 0x81, 0x80, 0xA0, 0x51, 0xA1,
                         0x00, 0xA2, 0x00, 0xA4, 0xA8, 0x7F, 0xB1, 0xF1, 0xB3, 0x00, 0xAB, 0x01,
                         0xB6, 0x0F, 0xBE, 0x0F, 0xBC, 0x08, 0xD5, 0x62, 0xFD, 0x12, 0xB9});
}

// Sends count bytes of the buffer from offset as one data write (control byte first).
bool sendChunk(int offset, int count) {
    chunk[0] = CONTROL_DATA;
    memcpy(chunk + 1, screen + offset, count);
    bool ok = i2c_multiple_writes(I2C_DEV_2.fd_i2c, count + 1, chunk) == count + 1;
    memset(chunk, 0, sizeof(chunk));
    return ok;
}

uint8_t displayFamily0() {
    int total = LED_DISPLAY_WIDTH * LED_DISPLAY_HEIGHT / 8;
    for (int sent = 0; sent < total; sent += 128) {
        if (!sendChunk(sent, 128)) {
            return 1;
        }
    }
    return 0;
}

uint8_t displayFamily1() {
    if (sendCommands({0x00, 0x10, 0x40})) {
        return 1;
    }
    for (int page = 0; page < 8; page++) {
        if (sendCommands({(uint8_t)(0xB0 + page), 0x02, 0x10})) {
            return 1;
        }
        for (int part = 0; part < 8; part++) {
            if (!sendChunk(page * 128 + part * 16, 16)) {
                return 1;
            }
        }
    }
    return 0;
}

uint8_t displayFamily2() {
    const uint8_t window[] = {0x15, 0x00, 0x7F, 0x75, 0x00, 0x7F};
    for (int i = 0; i < 6; i++) {
        if (!sendCommand(window[i])) {
            printf("%d\n", i + 1);
            return 1;
        }
    }
    int total = LED_DISPLAY_WIDTH * LED_DISPLAY_HEIGHT / 2;
    for (int sent = 0; sent < total; sent += 128) {
        int count = total - sent < 128 ? total - sent : 128;
        if (!sendChunk(sent, count)) {
            printf("Chunk written to RAM - Failed\r");
            return 1;
        }
    }
    return 0;
}

} // namespace

uint8_t display_Init_seq() {
    uint8_t failed = LED_DISPLAY_TYPE == 2   ? initFamily2()
                     : LED_DISPLAY_TYPE == 1 ? initFamily1()
                                             : initFamily0();
    if (failed) {
        return 1;
    }
    uint8_t contrast = LED_DISPLAY_TYPE == 0 ? 0xCF : 0x80;
    if (LED_DISPLAY_HEIGHT == 32) {
        contrast = 0x8F;
    }
    return sendCommands({0x81, contrast, 0x2E, 0xAF});
}

uint8_t Init_Col_PG_addrs(uint8_t col_start, uint8_t col_end, uint8_t pg_start, uint8_t pg_end) {
    return sendCommands({0x21, col_start, col_end, 0x22, pg_start, pg_end});
}

uint8_t Display() {
    if (LED_DISPLAY_TYPE == 2) {
        return displayFamily2();
    }
    if (Init_Col_PG_addrs(0, LED_DISPLAY_WIDTH - 1, 0, 7)) {
        return 1;
    }
    return LED_DISPLAY_TYPE == 1 ? displayFamily1() : displayFamily0();
}

uint8_t invertDisplay(bool inverted) {
    uint8_t failed = sendCommands({(uint8_t)(inverted ? 0xA7 : 0xA6)});
    printf("Display %s - %s\r", inverted ? "Inverted" : "Normal", failed ? "Failed" : "Passed");
    return failed;
}

uint8_t startscrollright(uint8_t start, uint8_t stop) {
    return sendCommands({0x26, 0x00, start, 0x00, stop, 0x00, 0xFF, 0x2F});
}

uint8_t startscrollleft(uint8_t start, uint8_t stop) {
    return sendCommands({0x27, 0x00, start, 0x00, stop, 0x00, 0xFF, 0x2F});
}

uint8_t startscrolldiagright(uint8_t start, uint8_t stop) {
    return sendCommands({0xA3, 0x00, (uint8_t)LED_DISPLAY_HEIGHT, 0x29, 0x00, start, 0x00, stop, 0x01, 0x2F});
}

uint8_t startscrolldiagleft(uint8_t start, uint8_t stop) {
    return sendCommands({0xA3, 0x00, (uint8_t)LED_DISPLAY_HEIGHT, 0x2A, 0x00, start, 0x00, stop, 0x01, 0x2F});
}

uint8_t stopscroll() {
    return sendCommands({0x2E});
}

void clearDisplay() {
    memset(screen, 0, sizeof(screen));
}

void setRotation(uint8_t rotation) {
    _rotation = rotation & 3;
    bool swapped = _rotation & 1;
    _width = swapped ? LED_DISPLAY_HEIGHT : LED_DISPLAY_WIDTH;
    _height = swapped ? LED_DISPLAY_WIDTH : LED_DISPLAY_HEIGHT;
}

uint8_t getRotation() {
    return _rotation;
}

int16_t getDisplayWidth() {
    return _width;
}

int16_t getDisplayHeight() {
    return _height;
}

// Rotation 1 turns the picture a quarter clockwise, 3 a quarter anticlockwise.
void drawPixel(int16_t x, int16_t y, uint16_t color) {
    if (x < 0 || y < 0 || x >= _width || y >= _height) {
        return;
    }
    int px = x, py = y;
    switch (_rotation) {
    case 1:
        px = LED_DISPLAY_WIDTH - 1 - y;
        py = x;
        break;
    case 2:
        px = LED_DISPLAY_WIDTH - 1 - x;
        py = LED_DISPLAY_HEIGHT - 1 - y;
        break;
    case 3:
        px = y;
        py = LED_DISPLAY_HEIGHT - 1 - x;
        break;
    }
    bool nibbles = LED_DISPLAY_TYPE == 2;
    int index = nibbles ? px / 2 + py * (LED_DISPLAY_WIDTH / 2) : px + (py / 8) * LED_DISPLAY_WIDTH;
    if (index < 0 || index >= SSD1306_BUFFER_SIZE) {
        return;
    }
    uint8_t mask = nibbles ? ((px & 1) ? 0x0F : 0xF0) : (uint8_t)(1 << (py & 7));
    if (color == OLED_WHITE) {
        screen[index] |= mask;
    } else if (color == OLED_BLACK) {
        screen[index] &= ~mask;
    } else if (color == OLED_INVERSE) {
        screen[index] ^= mask;
    }
}
