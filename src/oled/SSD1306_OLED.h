#pragma once
// The graphics library of the status display: one frame buffer in memory (one display a process),
// drawing primitives, text in two kinds of font, and the I2C command sequences that initialise
// the three controller families and copy the buffer to the glass:
//   family 0: SSD1306, 1 bit a pixel, 128 x 64 or 128 x 32
//   family 1: SH1106, 1 bit a pixel, 128 x 64 (memory 132 columns wide, glass at column 2)
//   family 2: SSD1327, 4 bits a pixel, 128 x 128
// Frame buffer layout (whatever the family, the buffer is SSD1306_BUFFER_SIZE bytes):
//   families 0 and 1: byte x + (y / 8) * LED_DISPLAY_WIDTH, bit y % 8 (bit 0 the page's top row)
//   family 2: byte x / 2 + y * LED_DISPLAY_WIDTH / 2, even x in the high nibble
// Colours: 0 clears a pixel, 1 sets it (the whole nibble in family 2), 2 inverts it.
// Functions that talk to the device return 0 on success and 1 when an I2C write failed; they use
// the device in I2C_DEV_2 (platform/I2CBus.h). Not thread-safe.
//
// Split along its seams: SSD1306_OLED.cpp (state, device, pixels), SSD1306_Draw.cpp (shapes),
// SSD1306_Text.cpp (text and numbers).

#include "OLEDFonts.h"

#include <cstdint>

constexpr int SSD1306_BUFFER_SIZE = 8321;
constexpr uint16_t OLED_BLACK = 0, OLED_WHITE = 1, OLED_INVERSE = 2;

// Physical size and controller family; set by the display driver before it initialises.
extern int LED_DISPLAY_WIDTH;
extern int LED_DISPLAY_HEIGHT;
extern int LED_DISPLAY_TYPE;

// Device: initialisation, transfer, scrolling and inversion.
uint8_t display_Init_seq();
uint8_t Display();
uint8_t Init_Col_PG_addrs(uint8_t col_start, uint8_t col_end, uint8_t pg_start, uint8_t pg_end);
uint8_t invertDisplay(bool inverted);
uint8_t startscrollright(uint8_t start, uint8_t stop);
uint8_t startscrollleft(uint8_t start, uint8_t stop);
uint8_t startscrolldiagright(uint8_t start, uint8_t stop);
uint8_t startscrolldiagleft(uint8_t start, uint8_t stop);
uint8_t stopscroll();

// Frame buffer and geometry.
void clearDisplay();
// 0 to 3 (taken modulo 4); 1 and 3 swap the logical width and height.
void setRotation(uint8_t rotation);
uint8_t getRotation();
// The logical size after rotation.
int16_t getDisplayWidth();
int16_t getDisplayHeight();
// Points outside the logical size are ignored.
void drawPixel(int16_t x, int16_t y, uint16_t color);

// Shapes (SSD1306_Draw.cpp).
void writeLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, uint16_t color);
void drawLine(int16_t x0, int16_t y0, int16_t x1, int16_t y1, uint16_t color);
void drawRect(int16_t x, int16_t y, int16_t w, int16_t h, uint16_t color);
void fillRect(int16_t x, int16_t y, int16_t w, int16_t h, uint16_t color);
void drawCircle(int16_t x0, int16_t y0, int16_t r, uint16_t color);
// Quarter circles: cornername bits 1 top left, 2 top right, 4 bottom right, 8 bottom left.
void drawCircleHelper(int16_t x0, int16_t y0, int16_t r, uint8_t cornername, uint16_t color);
void fillCircle(int16_t x0, int16_t y0, int16_t r, uint16_t color);
// Halves: corners bit 1 the right half, bit 2 the left; delta stretches them vertically.
void fillCircleHelper(int16_t x0, int16_t y0, int16_t r, uint8_t corners, int16_t delta, uint16_t color);
void drawTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2, uint16_t color);
void fillTriangle(int16_t x0, int16_t y0, int16_t x1, int16_t y1, int16_t x2, int16_t y2, uint16_t color);
void drawRoundRect(int16_t x, int16_t y, int16_t w, int16_t h, int16_t r, uint16_t color);
void fillRoundRect(int16_t x, int16_t y, int16_t w, int16_t h, int16_t r, uint16_t color);
// Rows of w bits, most significant bit first, each row padded to whole bytes; sets the 1 bits.
// The bitmap must hold ((w + 7) / 8) * h bytes.
void drawBitmap(int16_t x, int16_t y, const uint8_t* bitmap, int16_t w, int16_t h, uint16_t color);

// Text (SSD1306_Text.cpp).
void setCursor(int16_t x, int16_t y);
int16_t getCursorX();
int16_t getCursorY();
void setTextSize(uint8_t size);    // 0 stores 1
void setTextColor(uint16_t color); // foreground and background alike: only set bits are drawn
void setTextColor(uint16_t color, uint16_t background);
void setTextWrap(bool wrap);
// Null selects the built-in 5x7 font.
void setTextFont(const GFXfont* font);
// The widest line of text in pixels with the current font and size.
int16_t getTextWidth(const char* text);
void drawChar(int16_t x, int16_t y, unsigned char c, uint16_t color, uint16_t background, uint8_t size);
uint8_t oled_write(uint8_t c);
int print_str(const char* text);
int println();
int print_strln(const char* text);
int printNumber(unsigned long n, uint8_t base);
int printNumber_UL(unsigned long n, int base);
int printNumber_UI(unsigned int n, int base);
int printNumber_UC(unsigned char n, int base);
int printNumber_L(long n, int base);
int printNumber_I(int n, int base);
int printNumber_UL_ln(unsigned long n, int base);
int printNumber_UI_ln(unsigned int n, int base);
int printNumber_UC_ln(unsigned char n, int base);
int printNumber_L_ln(long n, int base);
int printNumber_I_ln(int n, int base);
int printFloat(uint8_t digits, double number);
int printFloat_ln(uint8_t digits, double number);
