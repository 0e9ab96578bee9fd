#pragma once
// A private memory file for the emulated I2C display panel, and a decoder of its layout, so tests
// read what reached the panel the way another process would. The constructor points
// KIV_OLED_SIM_FILE at a fresh file under /dev/shm (the destructor removes it again).
//
// Layout read here: "KIVOLED1", then little-endian uint32 width, height, bits per pixel, display
// on, inverted, count of data writes; then the memory: 1 bit a pixel at byte x + (y / 8) * width,
// bit y % 8; 4 bits a pixel at byte x / 2 + y * width / 2, the even column in the high nibble.

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

struct OledPanelSnapshot {
    bool valid = false; // the magic text was there
    uint32_t width = 0, height = 0, bitsPerPixel = 0, displayOn = 0, inverted = 0, transfers = 0;
    std::vector<uint8_t> memory;

    // The lit state of a memory pixel; false outside the memory.
    bool lit(int x, int y) const {
        if (x < 0 || y < 0 || x >= (int)width || y >= (int)height) {
            return false;
        }
        if (bitsPerPixel == 4) {
            uint8_t b = memory[x / 2 + y * width / 2];
            return ((x % 2 == 0) ? (b >> 4) : (b & 0x0F)) != 0;
        }
        return (memory[x + (y / 8) * width] >> (y % 8)) & 1;
    }
    // Lit pixels within the rectangle.
    int countLit(int x0, int y0, int w, int h) const {
        int n = 0;
        for (int y = y0; y < y0 + h; y++) {
            for (int x = x0; x < x0 + w; x++) {
                n += lit(x, y);
            }
        }
        return n;
    }
    // Rows of '#' and '.', for failure messages.
    std::string picture(int x0, int y0, int w, int h) const {
        std::string text;
        for (int y = y0; y < y0 + h; y++) {
            for (int x = x0; x < x0 + w; x++) {
                text += lit(x, y) ? '#' : '.';
            }
            text += '\n';
        }
        return text;
    }
};

class OledPanelFile {
public:
    explicit OledPanelFile(const std::string& tag) {
        std::string pattern = "/dev/shm/kiv-oled-" + tag + "-XXXXXX";
        int fd = mkstemp(pattern.data());
        if (fd < 0) {
            throw std::runtime_error("cannot create " + pattern);
        }
        close(fd);
        file = pattern;
        setenv("KIV_OLED_SIM_FILE", file.c_str(), 1);
    }
    ~OledPanelFile() {
        unsetenv("KIV_OLED_SIM_FILE");
        unlink(file.c_str());
    }
    OledPanelFile(const OledPanelFile&) = delete;
    OledPanelFile& operator=(const OledPanelFile&) = delete;

    const std::string& path() const { return file; }

    OledPanelSnapshot read() const {
        OledPanelSnapshot s;
        std::vector<uint8_t> bytes(32 + 8192);
        int fd = open(file.c_str(), O_RDONLY);
        ssize_t got = fd >= 0 ? pread(fd, bytes.data(), bytes.size(), 0) : -1;
        if (fd >= 0) {
            close(fd);
        }
        if (got < 32 || memcmp(bytes.data(), "KIVOLED1", 8) != 0) {
            return s;
        }
        uint32_t* fields[] = {&s.width, &s.height, &s.bitsPerPixel, &s.displayOn, &s.inverted, &s.transfers};
        for (int i = 0; i < 6; i++) {
            const uint8_t* p = bytes.data() + 8 + 4 * i;
            *fields[i] = p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24);
        }
        size_t size = (size_t)s.width * s.height * s.bitsPerPixel / 8;
        if (size > 8192 || got < (ssize_t)(32 + size)) {
            return s;
        }
        s.memory.assign(bytes.begin() + 32, bytes.begin() + 32 + size);
        s.valid = true;
        return s;
    }

private:
    std::string file;
};
