#pragma once
// Base of outputs that draw the whole light layout (VirtualDisplayLayout.h) as discs on a picture
// of width x height pixels: it reads the layout from media directory + "/config/virtualdisplay.csv",
// scales every light to the picture and keeps where its channels are in the channel data the output
// is given (its own start channel on).
//
// Lights whose channels are not inside the channel buffer from the output's start channel are
// skipped with one warning giving their count; lines of the file that are not lights are skipped
// with a warning naming the line.

#include "VirtualDisplayLayout.h"
#include "channeloutput/ChannelOutput.h"

#include <string>
#include <vector>

class VirtualDisplayBaseOutput : public ChannelOutput {
public:
    // One light as drawn: its position in the picture and its channels' offset in the output's data.
    struct Light {
        int x = 0;
        int y = 0;
        unsigned int offset = 0;
        int channels = 3;
        int colorType = 0;
        uint8_t color[3] = {0, 0, 0};
    };

    VirtualDisplayBaseOutput(unsigned int startChannel, unsigned int channelCount);
    ~VirtualDisplayBaseOutput() override;

    // Reads "width" and "height" (the picture's size in pixels, both at least 1).
    int Init(Json::Value config) override;
    int Close() override;
    // Builds the light list from the layout file; false (logged and warned) without a usable file.
    bool InitializePixelMap();
    void DumpConfig() override;
    // The channels the lights use, merged into ranges.
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;

    const std::vector<Light>& Lights() const { return lights; }
    static std::string LayoutPath();

protected:
    void addLights(const VirtualDisplayLayout& layout);

    int width = 0;
    int height = 0;
    int bytesPerPixel = 3;
    int pixelSize = 2;                  // disc diameter in pixels
    std::vector<unsigned char> picture; // the drawing buffer, width x height x bytesPerPixel
    std::vector<Light> lights;
};
