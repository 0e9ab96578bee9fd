#pragma once
// The test's own model of how an LED panel hangs in a panel matrix, written from the orientations'
// description rather than from the layout code: where panel pixel (0, 0) lands in the panel's
// footprint and the matrix steps of one pixel along its rows and down them; and the gamma table.

#include <jsoncpp/json/json.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

// One panel as a test configures it.
struct PanelSpec {
    int output, chain;
    char orientation; // as configured
    int x, y;
    std::string order; // "" takes the output's order
};

// The "panels" array of a panel matrix configuration.
inline Json::Value PanelsJson(const std::vector<PanelSpec>& panels) {
    Json::Value list(Json::arrayValue);
    for (const PanelSpec& p : panels) {
        Json::Value panel;
        panel["outputNumber"] = p.output;
        panel["panelNumber"] = p.chain;
        panel["orientation"] = std::string(1, p.orientation);
        panel["xOffset"] = p.x;
        panel["yOffset"] = p.y;
        panel["colorOrder"] = p.order;
        list.append(panel);
    }
    return list;
}

struct Placement {
    int ox, oy, ax, ay, bx, by;
};

inline Placement Place(char orientation, int w, int h) {
    switch (orientation) {
    case 'U': // turned over: top left goes to bottom right
        return {w - 1, h - 1, -1, 0, 0, -1};
    case 'L': // a quarter turn anticlockwise: top left goes to bottom left, rows run upwards
        return {0, w - 1, 0, -1, 1, 0};
    case 'R': // a quarter turn clockwise: top left goes to top right, rows run downwards
        return {h - 1, 0, 0, 1, -1, 0};
    default:
        return {0, 0, 1, 0, 0, 1};
    }
}

inline std::vector<uint8_t> GammaTable(double gamma) {
    std::vector<uint8_t> table(256);
    for (int i = 0; i < 256; i++) {
        table[i] = uint8_t(std::lround(std::pow(double(float(i / 255.0f)), gamma) * 255.0));
    }
    return table;
}
