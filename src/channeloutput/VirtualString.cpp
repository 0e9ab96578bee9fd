#include "VirtualString.h"

#include <cmath>

namespace {

struct ReceiverLayout {
    uint8_t leadZeros;
    uint8_t markers;
    uint8_t tailZeros;
};

// Indexed by receiver type; the string's pixel count is the sum of the three runs.
constexpr ReceiverLayout RECEIVER_LAYOUTS[] = {{0, 18, 18}, {18, 36, 18}, {18, 54, 18}, {10, 0, 0}};

} // namespace

VirtualString::VirtualString() {
    setIdentityBrightnessMap();
}

VirtualString::VirtualString(int receiverType, int receiverNumber)
    : receiverNum(static_cast<int8_t>(receiverNumber)) {
    setIdentityBrightnessMap();
    if (receiverType < 0 || receiverType > 3) {
        return;
    }
    const ReceiverLayout& layout = RECEIVER_LAYOUTS[receiverType];
    receiverLeadZeros = layout.leadZeros;
    receiverMarkers = layout.markers;
    receiverTailZeros = layout.tailZeros;
    pixelCount = layout.leadZeros + layout.markers + layout.tailZeros;
}

uint32_t VirtualString::receiverWord() const {
    return static_cast<uint8_t>(receiverNum) | (uint32_t(receiverLeadZeros) << 8) |
           (uint32_t(receiverMarkers) << 16) | (uint32_t(receiverTailZeros) << 24);
}

int VirtualString::channelsPerNode() const {
    if (isSmartReceiver() || colorOrder == kColorOrderONE) {
        return 1;
    }
    return whiteOffset == -1 ? 3 : 4;
}

void VirtualString::setIdentityBrightnessMap() {
    for (int i = 0; i < 256; i++) {
        brightnessMap[i] = static_cast<uint8_t>(i);
    }
}

// The mix of single and double precision is deliberate: with it brightness 100 and gamma 1 give the
// exact identity (2.55f times 100 rounds to 255.0f), and every entry is reproducible bit for bit.
void VirtualString::buildBrightnessMap() {
    double factor = static_cast<float>(brightness) * 2.55f;
    for (int j = 0; j < 256; j++) {
        float x = static_cast<float>(j) / 255.0f;
        float v = static_cast<float>(std::pow(static_cast<double>(x), static_cast<double>(gamma)) * factor);
        if (v > 255.0f) {
            brightnessMap[j] = 255;
        } else if (v < 0.0f) {
            brightnessMap[j] = 0;
        } else {
            brightnessMap[j] = static_cast<uint8_t>(std::roundf(v));
        }
    }
}
