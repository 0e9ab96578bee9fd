#include "XbmImage.h"

#include "common/Common.h"

#include <cctype>
#include <sstream>

namespace {

constexpr int MAX_SIDE = 1024;

const uint8_t REVERSED_NIBBLE[16] = {0x0, 0x8, 0x4, 0xC, 0x2, 0xA, 0x6, 0xE,
                                     0x1, 0x9, 0x5, 0xD, 0x3, 0xB, 0x7, 0xF};

uint8_t reverseBits(uint8_t b) {
    return (REVERSED_NIBBLE[b & 0x0F] << 4) | REVERSED_NIBBLE[b >> 4];
}

// The number after the name in "#define name_width 128"; -1 when there is none.
int sizeAfter(const std::string& line, const std::string& key) {
    size_t at = line.find(key);
    std::string rest = trim(line.substr(at + key.size()));
    long value = -1;
    if (rest.empty() || !ParseInt(rest, value) || value < 1 || value > MAX_SIDE) {
        return -1;
    }
    return (int)value;
}

// One value such as "0x3f" or "3F"; false for anything that is not one to two hexadecimal digits.
bool parseHexByte(const std::string& text, uint8_t& value) {
    std::string digits = trim(text);
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits = digits.substr(2);
    }
    if (digits.empty() || digits.size() > 2) {
        return false;
    }
    for (char c : digits) {
        if (!isxdigit((unsigned char)c)) {
            return false;
        }
    }
    value = (uint8_t)std::stoul(digits, nullptr, 16);
    return true;
}

// Adds the comma-separated values of one stretch of the data block; false on a bad value.
bool addValues(const std::string& text, std::vector<uint8_t>& bits) {
    std::stringstream values(text);
    std::string item;
    while (std::getline(values, item, ',')) {
        if (trim(item).empty()) {
            continue; // the comma after the last value
        }
        uint8_t value = 0;
        if (!parseHexByte(item, value)) {
            return false;
        }
        bits.push_back(reverseBits(~value & 0xFF));
    }
    return true;
}

} // namespace

bool ParseXbmImage(const std::string& text, XbmImage& image) {
    image = XbmImage();
    XbmImage read;
    std::stringstream lines(text);
    std::string line;
    bool inData = false, done = false;
    while (!done && std::getline(lines, line)) {
        line = trim(line);
        if (!inData) {
            if (line.find("_width") != std::string::npos) {
                read.width = sizeAfter(line, "_width");
            } else if (line.find("_height") != std::string::npos) {
                read.height = sizeAfter(line, "_height");
            }
            size_t open = line.find('{');
            if (open == std::string::npos) {
                continue;
            }
            inData = true;
            line = line.substr(open + 1);
        }
        size_t close = line.find('}');
        done = close != std::string::npos;
        if (!addValues(done ? line.substr(0, close) : line, read.bits)) {
            return false;
        }
    }
    if (!done || read.width <= 0 || read.height <= 0 ||
        read.bits.size() != (size_t)((read.width + 7) / 8) * read.height) {
        return false;
    }
    image = std::move(read);
    return true;
}
