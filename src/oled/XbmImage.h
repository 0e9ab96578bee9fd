#pragma once
// Reads an XBM image (the C-source bitmap format) into the display's bitmap layout: rows of
// width bits, leftmost pixel in bit 7, 1 for lit, each row padded to whole bytes. XBM stores the
// leftmost pixel in bit 0 and 1 for dark, so every byte is inverted and bit-reversed.

#include <cstdint>
#include <string>
#include <vector>

struct XbmImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> bits; // ((width + 7) / 8) * height bytes, or empty
};

// Parses the text of an XBM file. False, with image left empty, when the size lines are missing
// or out of range (1 to 1024), a value is not hexadecimal, or the byte count does not match the
// size.
bool ParseXbmImage(const std::string& text, XbmImage& image);
