#pragma once
// Shows a rectangle of channel data (width x height RGB pixels, rows top first, or bottom first with
// "invert") as a picture through an "FB" overlay model, named by "modelName" or made from "device",
// "width" and "height". Each frame the rows are copied into a picture that becomes the model's data;
// a model that is off is shown by the output itself.
//
// The output owns its picture buffer; the model belongs to the overlay manager.

#include "channeloutput/ChannelOutput.h"
#include "overlays/OutputOverlayModel.h"

#include <string>
#include <vector>

class FBMatrixOutput : public ChannelOutput {
public:
    FBMatrixOutput(unsigned int startChannel, unsigned int channelCount);
    ~FBMatrixOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void DumpConfig() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;

private:
    bool findOrCreateModel(const Json::Value& config);
    void addAutomaticModel(const Json::Value& config);

    OutputOverlayModel model;
    std::vector<unsigned char> buffer;
    int width = 0;
    int height = 0;
    int invert = 0;
};
