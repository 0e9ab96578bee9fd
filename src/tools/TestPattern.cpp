#include "TestPattern.h"

#include <cstdlib>

std::optional<TestPattern> TestPattern::Parse(const std::string& text) {
    TestPattern pattern;
    if (text == "chase") {
        pattern.kind = Kind::Chase;
    } else if (text == "rainbow") {
        pattern.kind = Kind::Rainbow;
    } else if (text == "ramp") {
        pattern.kind = Kind::Ramp;
    } else if (text.rfind("solid:", 0) == 0 && text.size() == 12) {
        std::string hex = text.substr(6);
        char* end = nullptr;
        unsigned long value = std::strtoul(hex.c_str(), &end, 16);
        if (*end || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return std::nullopt;
        }
        pattern.kind = Kind::Solid;
        pattern.solid[0] = uint8_t(value >> 16);
        pattern.solid[1] = uint8_t(value >> 8);
        pattern.solid[2] = uint8_t(value);
    } else {
        return std::nullopt;
    }
    return pattern;
}

void TestPattern::Wheel(uint8_t hue, uint8_t rgb[3]) {
    int segment = hue / 43;
    int step = (hue - segment * 43) * 6; // 0..252
    int up = step, down = 255 - step;
    switch (segment) {
    case 0:
        rgb[0] = 255, rgb[1] = uint8_t(up), rgb[2] = 0;
        break;
    case 1:
        rgb[0] = uint8_t(down), rgb[1] = 255, rgb[2] = 0;
        break;
    case 2:
        rgb[0] = 0, rgb[1] = 255, rgb[2] = uint8_t(up);
        break;
    case 3:
        rgb[0] = 0, rgb[1] = uint8_t(down), rgb[2] = 255;
        break;
    case 4:
        rgb[0] = uint8_t(up), rgb[1] = 0, rgb[2] = 255;
        break;
    default:
        rgb[0] = 255, rgb[1] = 0, rgb[2] = uint8_t(down);
        break;
    }
}

void TestPattern::pixel(uint64_t frame, uint64_t p, uint8_t rgb[3]) const {
    switch (kind) {
    case Kind::Chase: {
        static constexpr uint8_t COLOURS[4][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};
        bool lit = p % 16 == frame % 16;
        const uint8_t* colour = COLOURS[(frame / 64) % 4];
        for (int k = 0; k < 3; k++) {
            rgb[k] = lit ? colour[k] : 0;
        }
        return;
    }
    case Kind::Rainbow:
        Wheel(uint8_t((4 * p + 4 * frame) % 256), rgb);
        return;
    case Kind::Solid:
        for (int k = 0; k < 3; k++) {
            rgb[k] = solid[k];
        }
        return;
    case Kind::Ramp:
        for (int k = 0; k < 3; k++) {
            rgb[k] = uint8_t((3 * p + k + frame) % 256);
        }
        return;
    }
}

void TestPattern::render(uint64_t frame, std::vector<uint8_t>& channels) const {
    uint8_t rgb[3];
    for (size_t c = 0; c < channels.size(); c++) {
        if (c % 3 == 0) {
            pixel(frame, c / 3, rgb);
        }
        channels[c] = rgb[c % 3];
    }
}
