#pragma once
// Stand-in for the spixels library's LED strips (see multi-spi.h): one clocked strip on a data
// line of a MultiSPI, written pixel by pixel and sent with MultiSPI::SendBuffers.
//
// Bytes a strip of n pixels puts on its data line, from each chip's public datasheet:
//   WS2801   3n bytes: per pixel red, green, blue (latched by the clock pausing)
//   APA102   4 zero bytes (start frame); per pixel 0xE0 | 31 (full global brightness: the
//            colours arrive already dimmed), blue, green, red; then an end frame of
//            max(4, (n + 15) / 16) bytes of 0xFF, enough clock edges to push data to the strip's end
//   LPD6803  4 zero bytes (start frame); per pixel a big-endian 16-bit word: bit 15 set, then
//            the top 5 bits of red (bits 14-10), green (9-5) and blue (4-0); then (n + 7) / 8
//            zero bytes, one extra clock per pixel
//   LPD8806  per pixel green, red, blue, each 0x80 | value >> 1 (7-bit values, top bit set);
//            then (n + 31) / 32 zero bytes to latch
// A new strip shows black. SetPixel outside 0 to count() - 1 is ignored. SetPixel only keeps the
// colour (inline, so a frame of pixels costs little); each send encodes the strips' bytes anew.
//
// Strips are owned by the caller and must be deleted before their MultiSPI.

#include "multi-spi.h"

#include <cstdint>
#include <vector>

namespace spixels {

class LEDStrip {
public:
    virtual ~LEDStrip() {}
    // Keeps pixel pos's colour (levels outside 0 to 255 are clamped); the strip's bytes are made
    // from the kept colours when the driver sends.
    void SetPixel(int pos, int red, int green, int blue) {
        if (pos >= 0 && pos < count_) {
            uint8_t* p = pixels_.data() + 3 * pos;
            p[0] = level(red);
            p[1] = level(green);
            p[2] = level(blue);
        }
    }
    int count() const { return count_; }

protected:
    explicit LEDStrip(int count) : count_(count > 0 ? count : 0), pixels_(3 * count_, 0) {}
    static uint8_t level(int v) { return v < 0 ? 0 : v > 255 ? 255 : v; }
    const int count_;
    std::vector<uint8_t> pixels_; // red, green, blue of each pixel
};

LEDStrip* CreateWS2801Strip(MultiSPI* spi, int connector, int count);
LEDStrip* CreateAPA102Strip(MultiSPI* spi, int connector, int count);
LEDStrip* CreateLPD6803Strip(MultiSPI* spi, int connector, int count);
LEDStrip* CreateLPD8806Strip(MultiSPI* spi, int connector, int count);

} // namespace spixels
