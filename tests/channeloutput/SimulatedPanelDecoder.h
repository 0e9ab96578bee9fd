#pragma once
// Reads the simulated HUB75 panel file back as its documented layout gives it: a 64-byte header
// ("KIVHUB75", then little-endian uint32 width, height, PWM bits, brightness, swap count) and the
// shown canvas, width x height RGB. Written from that layout alone, apart from the code that writes it.

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

struct ShownPanel {
    bool valid = false;
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t pwmBits = 0;
    uint32_t brightness = 0;
    uint32_t swaps = 0;
    std::vector<uint8_t> rgb;

    // Red, green and blue of canvas pixel (x, y).
    const uint8_t* at(int x, int y) const { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
};

inline ShownPanel ReadShownPanel(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ShownPanel panel;
    if (bytes.size() < 64 || std::string(bytes.begin(), bytes.begin() + 8) != "KIVHUB75") {
        return panel;
    }
    auto word = [&](int at) {
        return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
               uint32_t(bytes[at + 3]) << 24;
    };
    panel.width = word(8);
    panel.height = word(12);
    panel.pwmBits = word(16);
    panel.brightness = word(20);
    panel.swaps = word(24);
    if (bytes.size() != 64 + size_t(panel.width) * panel.height * 3) {
        return panel;
    }
    panel.rgb.assign(bytes.begin() + 64, bytes.end());
    panel.valid = true;
    return panel;
}
