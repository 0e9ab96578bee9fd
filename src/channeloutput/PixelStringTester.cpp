// Pattern painting through a port's map: each map entry names the source channel, whose place in
// its string gives the node and colour component the pattern decides.

#include "PixelStringTester.h"

#include <algorithm>

namespace {

class SolidColourTester : public PixelStringTester {
public:
    SolidColourTester(uint8_t r, uint8_t g, uint8_t b) : colour{r, g, b} {}

protected:
    void nodeColour(int, int, uint8_t rgb[3]) const override { std::copy_n(colour, 3, rgb); }

private:
    uint8_t colour[3];
};

class ChaseTester : public PixelStringTester {
protected:
    void nodeColour(int n, int cycleCount, uint8_t rgb[3]) const override {
        int lit = static_cast<int>((static_cast<long long>(n) + cycleCount) % 3);
        for (int c = 0; c < 3; c++) {
            rgb[c] = c == (lit < 0 ? lit + 3 : lit) ? 255 : 0;
        }
    }
};

const SolidColourTester WHITE(255, 255, 255);
const ChaseTester CHASE;
const SolidColourTester RED(255, 0, 0);
const SolidColourTester GREEN(0, 255, 0);
const SolidColourTester BLUE(0, 0, 255);

} // namespace

PixelStringTester* PixelStringTester::getPixelStringTester(int testType) {
    static const PixelStringTester* const TESTERS[] = {nullptr, &WHITE, &CHASE, &RED, &GREEN, &BLUE};
    if (testType < 1 || testType > 5) {
        return nullptr;
    }
    return const_cast<PixelStringTester*>(TESTERS[testType]);
}

// Channel data holds a node's channels as (W)RGB(W): the offset within the node says which.
uint8_t PixelStringTester::channelValue(const VirtualString& vs, int32_t channel, int cycleCount,
                                        float brightness) const {
    const int perNode = vs.channelsPerNode();
    const int relative = channel - vs.startChannel;
    uint8_t rgb[3];
    nodeColour(relative / perNode, cycleCount, rgb);
    int component = relative % perNode;
    int level = 0;
    if (perNode == 1) {
        level = std::max({rgb[0], rgb[1], rgb[2]});
    } else if (perNode == 4 && component == (vs.whiteOffset == 0 ? 0 : 3)) {
        level = std::min({rgb[0], rgb[1], rgb[2]});
    } else {
        level = rgb[perNode == 4 && vs.whiteOffset == 0 ? component - 1 : component];
    }
    return static_cast<uint8_t>(std::clamp(level * brightness + 0.5f, 0.0f, 255.0f));
}

uint8_t* PixelStringTester::createTestData(PixelString* ps, int cycleCount, float brightness,
                                           const uint8_t* channelData) const {
    uint8_t* out = ps->OutputBuffer();
    for (const VirtualString& vs : ps->VirtualStrings()) {
        for (int k = 0; k < vs.chanCount; k++) {
            int32_t channel = vs.chMap[k];
            uint8_t value = 0;
            if (channel >= (int32_t)KIVD_MAX_CHANNELS || vs.isSmartReceiver() || channel < vs.startChannel) {
                value = channelData ? channelData[channel] : 0;
            } else {
                value = channelValue(vs, channel, cycleCount, brightness);
            }
            *out++ = vs.brightnessMap[value];
        }
    }
    return ps->OutputBuffer();
}
