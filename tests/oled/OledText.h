#pragma once
// Reads text of the built-in font back from the panel's pixels: cells 6 pixels wide and 8 high,
// each glyph 5 columns with bit 0 the top row, as the font table lays them out. A cell that
// matches no printable glyph reads as '?'.

#include "oled/OLEDFonts.h"
#include "support/OledPanelFile.h"

#include <string>

// count cells from (x, y); inverted reads dark-on-light text. Trailing spaces are dropped.
inline std::string ReadPanelText(const OledPanelSnapshot& s, int x, int y, int count, bool inverted = false) {
    std::string text;
    for (int cell = 0; cell < count; cell++) {
        uint8_t columns[5];
        for (int c = 0; c < 5; c++) {
            columns[c] = 0;
            for (int row = 0; row < 8; row++) {
                if (s.lit(x + cell * 6 + c, y + row) != inverted) {
                    columns[c] |= 1 << row;
                }
            }
        }
        char found = '?';
        for (int code = 32; code < 127; code++) {
            if (memcmp(columns, &ssd1306_font5x7[code * 5], 5) == 0) {
                found = (char)code;
                break;
            }
        }
        text += found;
    }
    return text.erase(text.find_last_not_of(' ') + 1);
}
