#pragma once
// Reads the shown page of a simulated framebuffer back as WS281x receivers (and latches) on the
// DPI data lines would: bit slot by bit slot, each line's level at the start of the bit (which
// must pulse high), in its middle (the data a receiver latches) and at its end (low).

#include "common/Common.h"
#include "platform/SimulatedFrameBuffer.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

inline uint32_t Word(const std::string& file, size_t offset) {
    uint32_t v = 0;
    for (int k = 3; k >= 0; k--) {
        v = v << 8 | uint8_t(file[offset + k]);
    }
    return v;
}

// What the lines carried during the shown page, read bit slot by bit slot: every line's level at
// the start, middle and end of each WS281x bit; receivers latch the middle.
struct DecodedFrame {
    struct Row {
        uint32_t start = 0;     // pixel value at the bit's first pixel
        uint32_t before = 0;    // the pixel before the row's first start phase
        uint32_t latches = 0;   // union of every pixel of the row
        uint8_t bytes[24] = {}; // per bit position p, the byte received
        bool endsLow = true;    // every bit's last pixel low on the data lines
    };
    std::vector<Row> rows; // up to the reset (start phase no longer pulsed)
    uint32_t shownCount = 0;
    int shownPage = -1;
};

inline DecodedFrame DecodeShownPage(const std::string& device, uint32_t latchLines) {
    std::string file = GetFileContents(SimulatedFrameBuffer::FilePath(device));
    DecodedFrame frame;
    EXPECT_GE(file.size(), 64u);
    EXPECT_EQ(file.substr(0, 8), "KIVFBSIM");
    int w = Word(file, 8), h = Word(file, 12), line = Word(file, 20);
    frame.shownPage = Word(file, 28);
    frame.shownCount = Word(file, 32);
    EXPECT_EQ(Word(file, 16), 24u);
    EXPECT_EQ(line % 16, 0);
    const int ppp = w == 1084 ? 3 : 1;
    const int edge = w == 1084 ? 2 : 1;
    const size_t page = 64 + size_t(frame.shownPage) * line * h;
    auto pixel = [&](int y, int x) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(file.data()) + page + size_t(y) * line + x * 3;
        return uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
    };
    for (int y = 0; y < h; y++) {
        for (int j = 0; j < 120; j++) {
            int first = edge + j * 3 * ppp;
            uint32_t start = pixel(y, first);
            if ((start & ~latchLines) == 0) {
                return frame;
            }
            if (j % 8 == 0) {
                frame.rows.emplace_back();
                frame.rows.back().start = start;
                frame.rows.back().before = pixel(y, first - 1);
            }
            DecodedFrame::Row& row = frame.rows.back();
            uint32_t sample = pixel(y, first + 3 * ppp / 2);
            // The last pixel before a bank's first start phase already holds the next latch.
            for (int x = first; x < first + 3 * ppp - 1; x++) {
                row.latches |= pixel(y, x) & latchLines;
            }
            row.endsLow = row.endsLow && (pixel(y, first + 3 * ppp - 1) & ~latchLines) == 0;
            for (int p = 0; p < 24; p++) {
                if (sample & (0x800000u >> p)) {
                    row.bytes[p] |= 0x80 >> (j % 8);
                }
            }
        }
    }
    return frame;
}
