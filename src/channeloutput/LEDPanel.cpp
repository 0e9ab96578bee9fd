#include "LEDPanel.h"

#include <array>
#include <string>

namespace {

// 3 x 5 digits, one row a byte, bit 2 the left column.
constexpr uint8_t DIGITS[10][5] = {
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 2, 2, 2}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
};
constexpr uint8_t BLACK[3] = {0, 0, 0};
constexpr uint8_t RED[3] = {255, 0, 0};
constexpr uint8_t GREEN[3] = {0, 255, 0};
constexpr uint8_t BLUE[3] = {0, 0, 255};
constexpr uint8_t WHITE[3] = {255, 255, 255};
constexpr uint8_t YELLOW[3] = {255, 255, 0};
constexpr uint8_t DIM_BLUE[3] = {0, 0, 64};

} // namespace

LEDPanel::LEDPanel(int number, int width, int height, int outputNumber, int panelNumber, char orientation,
                   int xOffset, int yOffset, KIVColorOrder colorOrder)
    : number(number), width(width), height(height), outputNumber(outputNumber), panelNumber(panelNumber),
      orientation(orientation), xOffset(xOffset), yOffset(yOffset), colorOrder(colorOrder) {}

void LEDPanel::MatrixPosition(int x, int y, int& mx, int& my) const {
    switch (orientation) {
    case 'U':
        mx = xOffset + width - 1 - x;
        my = yOffset + height - 1 - y;
        break;
    case 'L': // the panel's top row runs up the left side of its footprint
        mx = xOffset + y;
        my = yOffset + width - 1 - x;
        break;
    case 'R': // and down the right side
        mx = xOffset + height - 1 - y;
        my = yOffset + x;
        break;
    default:
        mx = xOffset + x;
        my = yOffset + y;
    }
}

void LEDPanel::BuildMap(int matrixWidth, int matrixHeight, bool inverted) {
    std::array<int, 3> colours = ColorOrderOffsets(colorOrder);
    pixelMap.assign(static_cast<size_t>(width) * height * 3, 0);
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            int mx = 0;
            int my = 0;
            MatrixPosition(x, y, mx, my);
            int row = inverted ? matrixHeight - 1 - my : my;
            int32_t base = (row * matrixWidth + mx) * 3;
            int32_t* entry = &pixelMap[(static_cast<size_t>(y) * width + x) * 3];
            for (int c = 0; c < 3; c++) {
                entry[c] = base + colours[c];
            }
        }
    }
}

void LEDPanel::setPixel(unsigned char* channelData, int x, int y, const uint8_t rgb[3]) const {
    if (x < 0 || y < 0 || x >= width || y >= height) {
        return;
    }
    const int32_t* entry = &pixelMap[(static_cast<size_t>(y) * width + x) * 3];
    for (int c = 0; c < 3; c++) {
        channelData[entry[c]] = rgb[c];
    }
}

void LEDPanel::drawTestPattern(unsigned char* channelData, int cycleNum, int testType) const {
    if (pixelMap.empty()) {
        return;
    }
    if (testType == TEST_SOLID_CYCLE) {
        const uint8_t* cycle[4] = {RED, GREEN, BLUE, WHITE};
        const uint8_t* colour = cycle[((cycleNum % 4) + 4) % 4];
        for (int y = 0; y < height; y++) {
            for (int x = 0; x < width; x++) {
                setPixel(channelData, x, y, colour);
            }
        }
    } else if (testType == TEST_LAYOUT) {
        drawLayout(channelData);
    }
}

// The panel's own top edge green and left edge red, the others dim blue; an arrow pointing at the
// top edge; the panel's number at its top left.
void LEDPanel::drawLayout(unsigned char* channelData) const {
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            bool edge = x == 0 || y == 0 || x == width - 1 || y == height - 1;
            setPixel(channelData, x, y, y == 0 ? GREEN : x == 0 ? RED : edge ? DIM_BLUE : BLACK);
        }
    }
    int centre = width * 3 / 4;
    for (int y = 2; y < height - 2; y++) {
        setPixel(channelData, centre, y, WHITE);
    }
    for (int d = 1; d <= 2; d++) {
        setPixel(channelData, centre - d, 2 + d, WHITE);
        setPixel(channelData, centre + d, 2 + d, WHITE);
    }
    std::string digits = std::to_string(number);
    for (size_t i = 0; i < digits.size(); i++) {
        drawDigit(channelData, digits[i] - '0', 2 + static_cast<int>(i) * 4, 2, YELLOW);
    }
}

void LEDPanel::drawDigit(unsigned char* channelData, int digit, int left, int top,
                         const uint8_t rgb[3]) const {
    for (int row = 0; row < 5; row++) {
        for (int col = 0; col < 3; col++) {
            if (DIGITS[digit][row] & (4 >> col)) {
                setPixel(channelData, left + col, top + row, rgb);
            }
        }
    }
}
