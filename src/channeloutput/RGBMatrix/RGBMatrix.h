#pragma once
// HUB75 LED panels on the board's GPIO pins, through the rpi-rgb-led-matrix library (or its
// stand-in, platform/rgb-led-matrix, which shows them in a file). Panels hang on up to the
// library's number of parallel outputs in chains; PanelMatrix maps each panel pixel to its
// channels, Matrix lays sub-matrices over the channel data first, and a gamma table corrects
// every byte. PrepData paints the library's off-screen canvas, SendData swaps it in on the next
// vertical sync.
//
// Owns the library matrix (which owns its canvases), the layout and the sub-matrices. Init, Close
// and DumpConfig run on the main thread, PrepData, SendData and OverlayTestData on the
// channel-output thread; nothing is locked.

#include "channeloutput/ChannelOutput.h"
#include "channeloutput/Matrix.h"
#include "channeloutput/PanelMatrix.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace rgb_matrix {
class RGBMatrix;
class FrameCanvas;
} // namespace rgb_matrix

class RGBMatrixOutput : public ChannelOutput {
public:
    RGBMatrixOutput(unsigned int startChannel, unsigned int channelCount);
    ~RGBMatrixOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void DumpConfig() override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;
    std::string GetOutputType() const override { return "Pi Panels"; }
    bool SupportsTesting() const override { return true; }

private:
    bool boardIsPi5();
    bool soundDriverReleased();
    bool layOutPanels(Json::Value& config);
    bool createLibraryMatrix(const Json::Value& config);
    void readGamma(const Json::Value& config);
    void addOverlayModel(const Json::Value& config);

    rgb_matrix::FrameCanvas* canvas = nullptr;
    rgb_matrix::RGBMatrix* rgbmatrix = nullptr;
    std::string colorOrder = "RGB";
    int parallel = 0; // outputs in use
    int panels = 0;
    int width = 0; // whole matrix in pixels
    int height = 0;
    int rows = 0;  // panel height
    int chain = 0; // panels per output
    int invertedData = 0;
    std::unique_ptr<Matrix> matrix;
    std::unique_ptr<PanelMatrix> panelMatrix;
    uint8_t gammaCurve[256];
    std::vector<uint8_t> rowPixels; // one panel row through the gamma table, reused each frame
    int panelWidth = 32;
    int panelHeight = 16;
};
