#pragma once
// Draws every light of the layout as a disc of "PixelSize" pixels, coloured from the channel data,
// into an overlay model (named by "ModelName" / "modelName", or an "FB" model made from "device",
// "width", "height" and "PixelSize"), whose picture is shown on a framebuffer. A model that is off
// is shown by the output itself after each frame.
//
// The output holds the model (the overlay manager owns it) and its own blank drawing buffer.

#include "VirtualDisplayBase.h"
#include "overlays/OutputOverlayModel.h"

#include <string>
#include <utility>
#include <vector>

class VirtualDisplayOutput : public VirtualDisplayBaseOutput {
public:
    VirtualDisplayOutput(unsigned int startChannel, unsigned int channelCount);
    ~VirtualDisplayOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;

private:
    bool findOrCreateModel(const Json::Value& config);
    void buildDisc();

    OutputOverlayModel model;
    std::vector<std::pair<int, int>> disc; // the (dx, dy) a light covers
};
