#include "PanelMatrix.h"

#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <algorithm>
#include <cctype>
#include <cmath>

namespace {

const std::vector<int> NO_PANELS;

char swapLegacyOrientation(char o) {
    switch (o) {
    case 'L':
        return 'R';
    case 'R':
        return 'L';
    case 'N':
        return 'U';
    case 'U':
        return 'N';
    default:
        return o;
    }
}

} // namespace

PanelMatrix::PanelMatrix(int panelWidth, int panelHeight, int invertedData)
    : panelWidth(panelWidth), panelHeight(panelHeight), inverted(invertedData != 0) {}

bool PanelMatrix::SizeIsValid() const {
    return panelWidth >= 1 && panelHeight >= 1 && panelWidth <= MAX_PANEL_SIZE &&
           panelHeight <= MAX_PANEL_SIZE;
}

bool PanelMatrix::AddPanel(int output, int chain, char orientation, int xOffset, int yOffset,
                           KIVColorOrder order, std::string* problem) {
    auto refuse = [&](const std::string& why) {
        if (problem) {
            *problem = why;
        }
        return false;
    };
    if (problem) {
        problem->clear();
    }
    if (!SizeIsValid()) {
        return refuse("panel size " + std::to_string(panelWidth) + "x" + std::to_string(panelHeight) +
                      " is outside 1 to " + std::to_string(MAX_PANEL_SIZE));
    }
    if (output < 0 || output >= MAX_OUTPUTS) {
        return refuse("output number " + std::to_string(output) + " is outside 0 to " +
                      std::to_string(MAX_OUTPUTS - 1));
    }
    if (chain < 0 || chain >= MAX_CHAIN) {
        return refuse("chain position " + std::to_string(chain) + " is outside 0 to " +
                      std::to_string(MAX_CHAIN - 1));
    }
    if (xOffset < 0 || yOffset < 0 || xOffset > MAX_OFFSET || yOffset > MAX_OFFSET) {
        return refuse("offset " + std::to_string(xOffset) + "," + std::to_string(yOffset) +
                      " is outside 0 to " + std::to_string(MAX_OFFSET));
    }
    for (int other : OutputPanels(output)) {
        if (panels[other].panelNumber == chain) {
            return refuse("chain position " + std::to_string(chain) + " of output " + std::to_string(output) +
                          " is already taken by panel " + std::to_string(other));
        }
    }
    char o = static_cast<char>(std::toupper(static_cast<unsigned char>(orientation)));
    std::string note;
    if (o != 'N' && o != 'U' && o != 'L' && o != 'R') {
        note = std::string("orientation '") + orientation + "' is not N, U, L or R; using N";
        o = 'N';
    }
    if (order < kColorOrderRGB || order > kColorOrderBGR) { // a panel has three lines, never one
        order = kColorOrderRGB;
    }
    LEDPanel panel(PanelCount(), panelWidth, panelHeight, output, chain, o, xOffset, yOffset, order);
    std::string overlap = overlapWith(panel);
    if (!overlap.empty()) {
        note += (note.empty() ? "" : "; ") + overlap;
    }
    if (problem) {
        *problem = note;
    }
    width = std::max(width, xOffset + panel.FootprintWidth());
    height = std::max(height, yOffset + panel.FootprintHeight());
    longestChain = std::max(longestChain, chain + 1);
    if (static_cast<int>(outputPanels.size()) <= output) {
        outputPanels.resize(output + 1);
    }
    outputPanels[output].push_back(panel.number);
    panels.push_back(std::move(panel));
    mapsBuilt = false;
    return true;
}

std::string PanelMatrix::overlapWith(const LEDPanel& panel) const {
    for (const LEDPanel& other : panels) {
        bool apart = panel.xOffset >= other.xOffset + other.FootprintWidth() ||
                     other.xOffset >= panel.xOffset + panel.FootprintWidth() ||
                     panel.yOffset >= other.yOffset + other.FootprintHeight() ||
                     other.yOffset >= panel.yOffset + panel.FootprintHeight();
        if (!apart) {
            return "it overlaps panel " + std::to_string(other.number);
        }
    }
    return "";
}

int PanelMatrix::AddPanelsFromConfig(Json::Value& config, KIVColorOrder defaultOrder, const std::string& lead,
                                     bool legacyOrientation) {
    if (!config.isArray()) {
        return 0;
    }
    int added = 0;
    for (Json::ArrayIndex i = 0; i < config.size(); i++) {
        Json::Value& p = config[i];
        std::string orientationText = JsonString(p["orientation"]);
        char o = orientationText.empty() ? (legacyOrientation ? 'U' : 'N') : orientationText[0];
        if (legacyOrientation && !orientationText.empty()) {
            o = swapLegacyOrientation(o);
        }
        std::string orderText = JsonString(p["colorOrder"]);
        if (orderText.empty()) {
            orderText = ColorOrderToString(defaultOrder);
            p["colorOrder"] = orderText;
        }
        std::string problem;
        bool ok = AddPanel(JsonInt(p["outputNumber"]), JsonInt(p["panelNumber"]), o, JsonInt(p["xOffset"]),
                           JsonInt(p["yOffset"]), ColorOrderFromString(orderText), &problem);
        added += ok ? 1 : 0;
        if (!problem.empty()) {
            std::string text = lead;
            text += " panel " + std::to_string(i) + (ok ? ": " : " skipped: ") + problem;
            LogWarn(LG_CHANNELOUT, "%s\n", text.c_str());
            WarningHolder::AddWarning(text);
        }
    }
    // Here, on the configuring thread, rather than on first use by the frame thread.
    buildMaps();
    return added;
}

const std::vector<int>& PanelMatrix::OutputPanels(int output) {
    if (output < 0 || output >= static_cast<int>(outputPanels.size())) {
        return NO_PANELS;
    }
    return outputPanels[output];
}

const LEDPanel& PanelMatrix::Panel(int index) {
    if (!mapsBuilt) {
        buildMaps();
    }
    return panels.at(index);
}

// Every map depends on the matrix width (and, inverted, its height), known only once all panels
// are in, so the maps are built on first use after the last change.
void PanelMatrix::buildMaps() {
    for (LEDPanel& panel : panels) {
        panel.BuildMap(width, height, inverted);
    }
    mapsBuilt = true;
}

void FillPanelGammaTable(double gamma, uint8_t table[256]) {
    for (int i = 0; i < 256; i++) {
        float base = static_cast<float>(i) / 255.0f;
        float v = static_cast<float>(std::pow(static_cast<double>(base), gamma) * 255.0);
        table[i] = v > 255.0f ? 255 : v < 0.0f ? 0 : static_cast<uint8_t>(std::roundf(v));
    }
}

std::string PanelOverlayModelName(const Json::Value& config) {
    std::string name = "LED Panels";
    std::string given = JsonString(config["LEDPanelMatrixName"]);
    if (!given.empty()) {
        name = given;
    }
    // An empty description cannot name a model, so it leaves the name as it was.
    std::string description = JsonString(config["description"]);
    if (!description.empty()) {
        name = description;
    }
    return name;
}
