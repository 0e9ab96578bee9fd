#pragma once
// The layout of a matrix of LED panels, shared by the panel outputs: panels are added by output,
// chain position, orientation, offset and colour order; the matrix is the smallest rectangle from
// (0, 0) that holds every panel, its channels one RGB triple a pixel in rows from the top (from
// the bottom with inverted data). Once all panels are added it gives each panel's pixel map (see
// LEDPanel.h) and, per output, its panels in the order added.
//
// Refused panels (bad size, negative or far offsets, output or chain position beyond the limits,
// a chain position already taken) are not added; the caller reports the reason. Owns its panels.

#include "LEDPanel.h"

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <string>
#include <vector>

class PanelMatrix {
public:
    static constexpr int MAX_PANEL_SIZE = 256; // pixels either way
    static constexpr int MAX_OUTPUTS = 32;
    static constexpr int MAX_CHAIN = 64;
    static constexpr int MAX_OFFSET = 8192;

    PanelMatrix(int panelWidth, int panelHeight, int invertedData = 0);

    // False when the panel size is outside 1 to MAX_PANEL_SIZE; no panel can be added then.
    bool SizeIsValid() const;
    // Adds a panel and returns true, or refuses it, returning false with the reason in `problem`.
    // An added panel may still carry a note in `problem`: an unknown orientation (read as 'N') or an
    // overlap with an earlier panel (kept: both show the same pixels, as mirrored panels do).
    bool AddPanel(int output, int chain, char orientation, int xOffset, int yOffset, KIVColorOrder order,
                  std::string* problem = nullptr);

    // Adds every panel of a "panels" configuration array. A panel's "colorOrder", when empty, becomes
    // defaultOrder's name (written back). With legacyOrientation, 'L' and 'R' and 'N' and 'U' swap
    // and an empty orientation is 'U'. Refusals and notes are logged and raised as warnings that
    // begin with `lead` (the output's name) and name the panel. Returns the count added.
    int AddPanelsFromConfig(Json::Value& panels, KIVColorOrder defaultOrder, const std::string& lead,
                            bool legacyOrientation = false);

    int Width() const { return width; }
    int Height() const { return height; }
    int PanelCount() const { return static_cast<int>(panels.size()); }
    // Highest output number + 1 and highest chain position + 1 of the panels added (0 when none).
    int OutputCount() const { return static_cast<int>(outputPanels.size()); }
    int LongestChain() const { return longestChain; }
    int PanelWidth() const { return panelWidth; }
    int PanelHeight() const { return panelHeight; }
    bool Inverted() const { return inverted; }

    // The panels of an output, as indexes in the order added; empty for an output without panels.
    const std::vector<int>& OutputPanels(int output);
    // A panel with its pixel map for the matrix as it now stands.
    const LEDPanel& Panel(int index);

private:
    void buildMaps();
    std::string overlapWith(const LEDPanel& panel) const;

    int panelWidth;
    int panelHeight;
    bool inverted;
    int width = 0;
    int height = 0;
    int longestChain = 0;
    bool mapsBuilt = true; // false after a panel is added, until the maps are rebuilt
    std::vector<LEDPanel> panels;
    std::vector<std::vector<int>> outputPanels;
};

// The 256-entry gamma table of the panel outputs: entry i is (i / 255)^gamma * 255, rounded.
void FillPanelGammaTable(double gamma, uint8_t table[256]);

// The overlay model name of a panel output's configuration: "LED Panels", replaced by a non-empty
// "LEDPanelMatrixName", both replaced by a non-empty "description".
std::string PanelOverlayModelName(const Json::Value& config);
