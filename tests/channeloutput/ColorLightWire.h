#pragma once
// What reached a ColorLight card's wire, decoded from the cards' frame tables (every header byte
// checked on the way), and the rows the cards should receive, from the test's own panel layout
// model. Written from those tables alone, apart from the output's code.

#include "channeloutput/PanelLayoutModel.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

inline const uint8_t COLORLIGHT_MACS[12] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66,
                                            0x22, 0x22, 0x33, 0x44, 0x55, 0x66};

// What reached the wire, decoded from the frame tables; every header byte is checked on the way.
struct Wire {
    std::vector<int> brightness; // B of each brightness frame
    std::vector<int> display;    // B of each display frame
    std::map<int, std::vector<uint8_t>> rows;
    std::map<int, std::vector<std::pair<int, int>>> chunks; // row -> (first pixel, count)
    std::string problems;
};

inline bool ZeroExcept(const std::vector<uint8_t>& f, std::initializer_list<int> set) {
    for (size_t i = 12; i < f.size(); i++) {
        if (f[i] != 0 && std::find(set.begin(), set.end(), int(i)) == set.end()) {
            return false;
        }
    }
    return true;
}

inline Wire Decode(const std::vector<std::vector<uint8_t>>& frames, int rowBytes) {
    Wire w;
    for (const auto& f : frames) {
        if (std::memcmp(f.data(), COLORLIGHT_MACS, 12) != 0) {
            w.problems += "addresses; ";
        } else if (f[12] == 0x0A) {
            bool ok = f.size() == 77 && f[13] == f[14] && f[14] == f[15] && f[16] == 0xFF &&
                      ZeroExcept(f, {12, 13, 14, 15, 16});
            w.problems += ok ? "" : "brightness frame; ";
            w.brightness.push_back(f[13]);
        } else if (f[12] == 0x01) {
            bool ok = f.size() == 112 && f[13] == 0x07 && f[36] == 0x05 && f[38] == f[35] && f[39] == f[35] &&
                      f[40] == f[35] && ZeroExcept(f, {12, 13, 35, 36, 38, 39, 40});
            w.problems += ok ? "" : "display frame; ";
            w.display.push_back(f[35]);
        } else if (f[12] == 0x55 && f.size() >= 21) {
            int row = f[13] << 8 | f[14], first = f[15] << 8 | f[16], count = f[17] << 8 | f[18];
            if (f[19] != 0x08 || f[20] != 0x88 || f.size() != size_t(21 + count * 3) || count > 497 ||
                (first + count) * 3 > rowBytes) {
                w.problems += "row frame; ";
                continue;
            }
            std::vector<uint8_t>& bytes = w.rows[row];
            bytes.resize(rowBytes);
            std::memcpy(&bytes[first * 3], &f[21], count * 3);
            w.chunks[row].push_back({first, count});
        } else {
            w.problems += "unknown kind " + std::to_string(f[12]) + "; ";
        }
    }
    return w;
}

inline char LegacySwap(char o) {
    return o == 'L' ? 'R' : o == 'R' ? 'L' : o == 'N' ? 'U' : o == 'U' ? 'N' : o;
}

// The rows the cards should receive: each panel pixel's three lines from the channels of the matrix
// pixel it covers, at its chain position (counted from the far end unless the layout is legacy).
struct ColorLightLayout {
    int panelWidth, panelHeight;
    std::vector<PanelSpec> panels;
    std::string order; // the output's colour order
    int cfgVersion;
    std::string gamma;
    int start; // the output's first channel, 0-based
};

inline std::map<int, std::vector<uint8_t>> ExpectedRows(const ColorLightLayout& c,
                                                        const std::vector<uint8_t>& channels) {
    bool legacy = c.cfgVersion < 2;
    int width = 0, outputs = 0, chain = 0;
    for (const PanelSpec& p : c.panels) {
        char o = legacy ? LegacySwap(p.orientation) : p.orientation;
        width = std::max(width, p.x + (o == 'L' || o == 'R' ? c.panelHeight : c.panelWidth));
        outputs = std::max(outputs, p.output + 1);
        chain = std::max(chain, p.chain + 1);
    }
    std::map<int, std::vector<uint8_t>> rows;
    for (int r = 0; r < outputs * c.panelHeight; r++) {
        rows[r].assign(size_t(chain) * c.panelWidth * 3, 0);
    }
    std::vector<uint8_t> gamma = GammaTable(std::stod(c.gamma));
    for (const PanelSpec& p : c.panels) {
        Placement at = Place(legacy ? LegacySwap(p.orientation) : p.orientation, c.panelWidth, c.panelHeight);
        std::string order = p.order.empty() ? c.order : p.order;
        for (char& letter : order) {
            letter = char(std::toupper(letter));
        }
        int column = legacy ? p.chain : chain - 1 - p.chain;
        for (int k = 0; k < c.panelHeight; k++) {
            for (int l = 0; l < c.panelWidth; l++) {
                int mx = p.x + at.ox + l * at.ax + k * at.bx;
                int my = p.y + at.oy + l * at.ay + k * at.by;
                for (int line = 0; line < 3; line++) {
                    rows[p.output * c.panelHeight + k][(column * c.panelWidth + l) * 3 + line] =
                        gamma[channels[c.start + (my * width + mx) * 3 +
                                       std::string("RGB").find(order[line])]];
                }
            }
        }
    }
    return rows;
}
