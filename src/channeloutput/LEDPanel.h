#pragma once
// One LED panel of a panel matrix: where it hangs (output, chain position, orientation, offset in
// the matrix), the order its red, green and blue lines light, and its pixel map.
//
// Orientation, as the panel is mounted seen from the front: 'N' upright, 'U' upside down, 'L' turned
// a quarter turn anticlockwise (its top edge on the left), 'R' a quarter turn clockwise (its top
// edge on the right). A turned panel covers height x width matrix pixels, so a picture drawn on the
// matrix shows upright however the panel hangs.
//
// Pixel map: for panel pixel (x, y) (x along the panel's own rows, y down them) and wire colour c
// (0 red line, 1 green, 2 blue), entry (y * width + x) * 3 + c is the channel offset, relative to
// the output's start channel, whose value goes to that line. Filled by PanelMatrix once the matrix
// size is known.

#include "ColorOrder.h"

#include <cstdint>
#include <vector>

class LEDPanel {
public:
    // Test patterns drawn by drawTestPattern.
    static constexpr int TEST_SOLID_CYCLE = 1; // whole panel red, green, blue, white by cycle
    static constexpr int TEST_LAYOUT = 2;      // number, top edge, arrow: where and how it hangs

    LEDPanel(int number, int width, int height, int outputNumber, int panelNumber, char orientation,
             int xOffset, int yOffset, KIVColorOrder colorOrder);

    // Matrix pixels the panel covers across and down.
    int FootprintWidth() const { return turned() ? height : width; }
    int FootprintHeight() const { return turned() ? width : height; }
    // The matrix pixel that panel pixel (x, y) lights.
    void MatrixPosition(int x, int y, int& mx, int& my) const;
    // Builds pixelMap for a matrix of the given width and height; inverted puts channel row 0 at
    // the bottom of the matrix.
    void BuildMap(int matrixWidth, int matrixHeight, bool inverted);

    // Writes a test pattern into the channel data (already offset to the output's start channel)
    // through the pixel map, so the panel shows it in its true colours; other types draw nothing.
    void drawTestPattern(unsigned char* channelData, int cycleNum, int testType) const;

    int number;       // index in the matrix, in the order added
    int width;        // panel pixels along its rows
    int height;       // panel rows
    int outputNumber; // which parallel output
    int panelNumber;  // position on that output's chain, 0 nearest the controller
    char orientation; // 'N', 'U', 'L' or 'R'
    int xOffset;
    int yOffset;
    KIVColorOrder colorOrder;
    std::vector<int32_t> pixelMap;

private:
    bool turned() const { return orientation == 'L' || orientation == 'R'; }
    void setPixel(unsigned char* channelData, int x, int y, const uint8_t rgb[3]) const;
    void drawLayout(unsigned char* channelData) const;
    void drawDigit(unsigned char* channelData, int digit, int left, int top, const uint8_t rgb[3]) const;
};
