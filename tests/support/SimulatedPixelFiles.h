#pragma once
// Readers of the simulated pixel devices, written from their documented file layouts: the WS281x
// PWM output (kiv-ws281x), an SPI port (kiv-spidev0.N) and the multi-SPI bus (kiv-spixels). Each
// returns an empty `ok` false when the file is missing, short or has the wrong magic.

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace simfile {

inline std::vector<uint8_t> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

inline uint32_t Word(const std::vector<uint8_t>& f, size_t at) {
    return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24;
}

inline bool HasMagic(const std::vector<uint8_t>& f, const char* magic, size_t header) {
    return f.size() >= header && memcmp(f.data(), magic, 8) == 0;
}

struct WS281xChannel {
    uint32_t gpio = 0, count = 0, stripType = 0, brightness = 0;
    std::vector<uint32_t> leds;
    std::vector<uint8_t> wire;
};
struct WS281xFile {
    bool ok = false;
    uint32_t frequency = 0, dma = 0, renders = 0;
    WS281xChannel channel[2];
};

inline WS281xFile ReadWS281x(const std::string& path) {
    WS281xFile out;
    std::vector<uint8_t> f = ReadAll(path);
    if (!HasMagic(f, "KIVWS281", 64)) {
        return out;
    }
    out.frequency = Word(f, 8);
    out.dma = Word(f, 12);
    out.renders = Word(f, 16);
    size_t at = 64;
    for (int c = 0; c < 2; c++) {
        WS281xChannel& ch = out.channel[c];
        ch.gpio = Word(f, 20 + 16 * c);
        ch.count = Word(f, 24 + 16 * c);
        ch.stripType = Word(f, 28 + 16 * c);
        ch.brightness = Word(f, 32 + 16 * c);
    }
    for (WS281xChannel& ch : out.channel) {
        for (uint32_t i = 0; i < ch.count; i++, at += 4) {
            if (at + 4 > f.size()) {
                return out;
            }
            ch.leds.push_back(Word(f, at));
        }
    }
    for (WS281xChannel& ch : out.channel) {
        size_t n = ch.count * ((ch.stripType & 0xF0000000) ? 4 : 3);
        if (at + n > f.size()) {
            return out;
        }
        ch.wire.assign(f.begin() + at, f.begin() + at + n);
        at += n;
    }
    out.ok = at == f.size();
    return out;
}

struct SPIPortFile {
    bool ok = false;
    uint32_t speed = 0, length = 0, transfers = 0;
    std::vector<uint8_t> bytes;
};

inline SPIPortFile ReadSPIPort(const std::string& path) {
    SPIPortFile out;
    std::vector<uint8_t> f = ReadAll(path);
    if (!HasMagic(f, "KIVSPISM", 32)) {
        return out;
    }
    out.speed = Word(f, 8);
    out.length = Word(f, 12);
    out.transfers = Word(f, 16);
    out.bytes.assign(f.begin() + 32, f.end());
    out.ok = out.bytes.size() == out.length;
    return out;
}

// The 16 data lines in the file's order (GPIO of ports 0 to 15).
constexpr int SPIXELS_LINE_GPIOS[16] = {18, 23, 22, 5, 12, 16, 19, 21, 4, 17, 24, 25, 6, 13, 26, 20};

struct SpixelsFile {
    bool ok = false;
    uint32_t clockGpio = 0, speed = 0, sends = 0;
    std::vector<uint8_t> lines[16];
};

inline SpixelsFile ReadSpixels(const std::string& path) {
    SpixelsFile out;
    std::vector<uint8_t> f = ReadAll(path);
    if (!HasMagic(f, "KIVSPIXL", 32)) {
        return out;
    }
    out.clockGpio = Word(f, 8);
    out.speed = Word(f, 12);
    out.sends = Word(f, 16);
    size_t at = 32;
    for (auto& line : out.lines) {
        if (at + 4 > f.size()) {
            return out;
        }
        uint32_t n = Word(f, at);
        at += 4;
        if (at + n > f.size()) {
            return out;
        }
        line.assign(f.begin() + at, f.begin() + at + n);
        at += n;
    }
    out.ok = at == f.size();
    return out;
}

} // namespace simfile
