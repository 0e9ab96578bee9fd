// Text on the frame buffer: the built-in 5x7 font or a proportional font, a cursor that advances
// and wraps, and the printing of numbers.

#include "SSD1306_OLED.h"

#include <algorithm>
#include <cmath>

namespace {

int16_t cursor_x = 0, cursor_y = 0;
uint8_t textsize = 1;
uint16_t textcolor = OLED_WHITE, textbgcolor = OLED_WHITE;
bool wrap = true;
const GFXfont* gfxFont = nullptr;

// The cursor saturates at the 16-bit range: a long run of text stays past the edge instead of
// wrapping around onto the display.
int16_t saturate(int value) {
    return (int16_t)std::clamp(value, (int)INT16_MIN, (int)INT16_MAX);
}

void newLine() {
    cursor_x = 0;
    cursor_y = saturate(cursor_y + textsize * (gfxFont ? gfxFont->yAdvance : 8));
}

void drawBuiltInChar(int x, int y, unsigned char c, uint16_t color, uint16_t bg, uint8_t size) {
    if (x >= getDisplayWidth() || y >= getDisplayHeight() || x + 6 * size - 1 < 0 || y + 8 * size - 1 < 0) {
        return;
    }
    int glyph = c < 176 ? c : (c + 1) & 0xFF;
    for (int i = 0; i < 5; i++) {
        uint8_t column = ssd1306_font5x7[glyph * 5 + i];
        for (int j = 0; j < 8; j++, column >>= 1) {
            bool set = column & 1;
            if (!set && bg == color) {
                continue;
            }
            fillRect(x + i * size, y + j * size, size, size, set ? color : bg);
        }
    }
    if (bg != color) {
        fillRect(x + 5 * size, y, size, 8 * size, bg);
    }
}

void drawFontChar(int x, int y, unsigned char c, uint16_t color, uint8_t size) {
    const GFXglyph& g = gfxFont->glyph[c - gfxFont->first];
    const uint8_t* bitmap = gfxFont->bitmap + g.bitmapOffset;
    int top = gfxFont->baseline + g.yOffset;
    int bit = 0;
    uint8_t bits = 0;
    for (int yy = 0; yy < g.height; yy++) {
        for (int xx = 0; xx < g.width; xx++, bit++) {
            if ((bit & 7) == 0) {
                bits = bitmap[bit / 8];
            }
            if (bits & 0x80) {
                fillRect(x + (g.xOffset + xx) * size, y + (top + yy) * size, size, size, color);
            }
            bits <<= 1;
        }
    }
}

bool inFont(unsigned char c) {
    return c >= gfxFont->first && c <= gfxFont->last;
}

void writeFontChar(unsigned char c) {
    if (!inFont(c)) {
        return;
    }
    const GFXglyph& g = gfxFont->glyph[c - gfxFont->first];
    if (g.width > 0 && g.height > 0) {
        if (wrap && cursor_x + textsize * (g.xOffset + g.width) > getDisplayWidth()) {
            newLine();
        }
        drawChar(cursor_x, cursor_y, c, textcolor, textbgcolor, textsize);
    }
    cursor_x = saturate(cursor_x + g.xAdvance * textsize);
}

int charWidth(unsigned char c) {
    if (!gfxFont) {
        return 5 * textsize;
    }
    return inFont(c) ? gfxFont->glyph[c - gfxFont->first].xAdvance * textsize : 0;
}

int printDigits(unsigned long n, uint8_t base) {
    char buffer[8 * sizeof(long) + 1];
    char* text = &buffer[sizeof(buffer) - 1];
    *text = '\0';
    if (base < 2) {
        base = 10;
    }
    do {
        unsigned digit = n % base;
        n /= base;
        *--text = (char)(digit < 10 ? '0' + digit : 'A' + digit - 10);
    } while (n);
    return print_str(text);
}

} // namespace

void setCursor(int16_t x, int16_t y) {
    cursor_x = x;
    cursor_y = y;
}

int16_t getCursorX() {
    return cursor_x;
}

int16_t getCursorY() {
    return cursor_y;
}

void setTextSize(uint8_t size) {
    textsize = size ? size : 1;
}

void setTextColor(uint16_t color) {
    textcolor = textbgcolor = color;
}

void setTextColor(uint16_t color, uint16_t background) {
    textcolor = color;
    textbgcolor = background;
}

void setTextWrap(bool on) {
    wrap = on;
}

void setTextFont(const GFXfont* font) {
    gfxFont = font;
}

// A byte of 176 or more starts a two-byte sequence that the built-in font shows as one glyph.
int16_t getTextWidth(const char* text) {
    int widest = 0, width = 0;
    for (const unsigned char* p = (const unsigned char*)text; p && *p; p++) {
        if (*p == '\n') {
            width = 0;
        } else if (*p != '\r') {
            width += charWidth(*p);
            if (!gfxFont && *p >= 176 && p[1]) {
                p++;
            }
        }
        widest = std::max(widest, width);
    }
    return saturate(widest);
}

void drawChar(int16_t x, int16_t y, unsigned char c, uint16_t color, uint16_t background, uint8_t size) {
    size = size ? size : 1;
    if (!gfxFont) {
        drawBuiltInChar(x, y, c, color, background, size);
    } else if (inFont(c)) {
        drawFontChar(x, y, c, color, size);
    }
}

uint8_t oled_write(uint8_t c) {
    if (c == '\n') {
        newLine();
    } else if (c == '\r') {
        // ignored
    } else if (gfxFont) {
        writeFontChar(c);
    } else {
        if (wrap && cursor_x + textsize * 6 > getDisplayWidth()) {
            newLine();
        }
        drawChar(cursor_x, cursor_y, c, textcolor, textbgcolor, textsize);
        cursor_x = saturate(cursor_x + textsize * 6);
    }
    return 1;
}

int print_str(const char* text) {
    int count = 0;
    for (const unsigned char* p = (const unsigned char*)text; p && *p; p++) {
        if (!oled_write(*p)) {
            break;
        }
        count++;
    }
    return count;
}

int println() {
    return print_str("\r\n");
}

int print_strln(const char* text) {
    int n = print_str(text);
    return n + println();
}

int printNumber(unsigned long n, uint8_t base) {
    return printDigits(n, base);
}

int printNumber_UL(unsigned long n, int base) {
    return base == 0 ? oled_write((uint8_t)n) : printNumber(n, base);
}

int printNumber_UI(unsigned int n, int base) {
    return printNumber_UL(n, base);
}

int printNumber_UC(unsigned char n, int base) {
    return printNumber_UL(n, base);
}

int printNumber_L(long n, int base) {
    if (base == 0) {
        return oled_write((uint8_t)n);
    }
    if (base == 10 && n < 0) {
        // Negating in unsigned arithmetic keeps the most negative value printable.
        return oled_write('-') + printNumber(0UL - (unsigned long)n, 10);
    }
    return printNumber((unsigned long)n, base);
}

int printNumber_I(int n, int base) {
    return printNumber_L(n, base);
}

int printNumber_UL_ln(unsigned long n, int base) {
    return printNumber_UL(n, base) + println();
}

int printNumber_UI_ln(unsigned int n, int base) {
    return printNumber_UI(n, base) + println();
}

int printNumber_UC_ln(unsigned char n, int base) {
    return printNumber_UC(n, base) + println();
}

int printNumber_L_ln(long n, int base) {
    return printNumber_L(n, base) + println();
}

int printNumber_I_ln(int n, int base) {
    return printNumber_I(n, base) + println();
}

int printFloat(uint8_t digits, double number) {
    if (std::isnan(number)) {
        return print_str("nan");
    }
    if (std::isinf(number)) {
        return print_str("inf");
    }
    if (number > 4294967040.0 || number < -4294967040.0) {
        return print_str("ovf");
    }
    int n = 0;
    if (number < 0.0) {
        n += oled_write('-');
        number = -number;
    }
    double rounding = 0.5;
    for (int i = 0; i < digits; i++) {
        rounding /= 10.0;
    }
    number += rounding;
    unsigned long whole = (unsigned long)number;
    double remainder = number - (double)whole;
    n += printNumber(whole, 10);
    if (digits > 0) {
        n += oled_write('.');
    }
    while (digits-- > 0) {
        remainder *= 10.0;
        unsigned digit = std::min((unsigned)remainder, 9u);
        n += printNumber(digit, 10);
        remainder -= digit;
    }
    return n;
}

int printFloat_ln(uint8_t digits, double number) {
    return printFloat(digits, number) + println();
}
