#pragma once
// Reads the page a simulated framebuffer shows (/dev/shm/kiv-fb-DEVICE) back as RGB, from the file's
// layout: a 64-byte header ("KIVFBSIM", then little-endian uint32 width at 8, height 12, bits per
// pixel 16, line length 20, page count 24, shown page 28, pages shown so far 32), then the pages.
// Pixels are little-endian: 32 bpp B, G, R, unused; 24 bpp B, G, R; 16 bpp RGB565.
// Also makes the screen a model picture should give: each pixel a square of pixelSize, with the
// precision the bit depth keeps.

#include "common/Common.h"

#include <cstdint>
#include <string>
#include <vector>

namespace fbtest {

using Bytes = std::vector<uint8_t>;

struct ShownPicture {
    int width = 0;
    int height = 0;
    int bits = 0;
    uint32_t shownCount = 0;
    Bytes rgb; // width x height x 3; empty when the file is missing or not whole
};

inline uint32_t LittleWord(const std::string& file, size_t at) {
    return uint32_t(uint8_t(file[at])) | uint32_t(uint8_t(file[at + 1])) << 8 |
           uint32_t(uint8_t(file[at + 2])) << 16 | uint32_t(uint8_t(file[at + 3])) << 24;
}

inline void DecodePixel(const uint8_t* p, int bits, uint8_t* rgb) {
    if (bits == 16) {
        unsigned v = p[0] | p[1] << 8;
        rgb[0] = uint8_t((v >> 11) << 3);
        rgb[1] = uint8_t(((v >> 5) & 63) << 2);
        rgb[2] = uint8_t((v & 31) << 3);
    } else {
        rgb[0] = p[2];
        rgb[1] = p[1];
        rgb[2] = p[0];
    }
}

inline ShownPicture ReadShownPicture(const std::string& device) {
    std::string file = GetFileContents("/dev/shm/kiv-fb-" + device);
    ShownPicture picture;
    if (file.size() < 64 || file.compare(0, 8, "KIVFBSIM") != 0) {
        return picture;
    }
    picture.width = LittleWord(file, 8);
    picture.height = LittleWord(file, 12);
    picture.bits = LittleWord(file, 16);
    const size_t line = LittleWord(file, 20), pages = LittleWord(file, 24), shown = LittleWord(file, 28);
    picture.shownCount = LittleWord(file, 32);
    const size_t page = 64 + shown * line * picture.height;
    if (shown >= pages || file.size() < 64 + pages * line * picture.height ||
        line < size_t(picture.width) * picture.bits / 8) {
        return picture;
    }
    picture.rgb.resize(size_t(picture.width) * picture.height * 3);
    for (int y = 0; y < picture.height; y++) {
        for (int x = 0; x < picture.width; x++) {
            const auto* p =
                reinterpret_cast<const uint8_t*>(file.data()) + page + y * line + x * picture.bits / 8;
            DecodePixel(p, picture.bits, &picture.rgb[(size_t(y) * picture.width + x) * 3]);
        }
    }
    return picture;
}

// The screen a width x height model picture should become.
inline Bytes ExpectedScreen(const Bytes& model, int width, int height, int pixelSize, int bits) {
    Bytes screen;
    for (int y = 0; y < height * pixelSize; y++) {
        for (int x = 0; x < width * pixelSize; x++) {
            const uint8_t* p = &model[(size_t(y / pixelSize) * width + x / pixelSize) * 3];
            const uint8_t keep[3] = {uint8_t(bits == 16 ? 0xF8 : 0xFF), uint8_t(bits == 16 ? 0xFC : 0xFF),
                                     uint8_t(bits == 16 ? 0xF8 : 0xFF)};
            for (int k = 0; k < 3; k++) {
                screen.push_back(p[k] & keep[k]);
            }
        }
    }
    return screen;
}

} // namespace fbtest
