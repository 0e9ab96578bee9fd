#pragma once
// One logical segment of pixels on a pixel port (where its colours come from, how its pixels are
// grouped, ordered, dimmed and gamma-corrected), or a synthetic smart-receiver string that carries
// a receiver's position in the chain as runs of zero and marker nodes. Plain data, copied into the
// owning PixelString, which sets chMap and chanCount.

#include "ColorOrder.h"

#include <cstdint>
#include <string>

constexpr int MAX_PIXEL_STRING_LENGTH = 1600;

// A position on a port where an output line changes level: receiver zero-runs are bracketed by a
// level-0 mark at their first channel and a level-1 mark just past their last one.
struct PortMark {
    int32_t portNumber = 0;
    int32_t offset = 0; // output channel within the port
    int32_t level = 0;  // 0 or 1
    int32_t reserved = 0;

    bool operator==(const PortMark&) const = default;
};

class VirtualString {
public:
    // An ordinary string with no pixels, full brightness, gamma 1 and an identity brightness map.
    VirtualString();
    // A smart-receiver string for receiver receiverNumber. receiverType 0, 1 and 2 give the lead
    // zero, marker and tail zero runs of the differential receivers, 3 a run of 10 zero nodes, any
    // other type no nodes at all. The brightness map is the identity.
    VirtualString(int receiverType, int receiverNumber);

    bool isSmartReceiver() const { return receiverNum >= 0; }
    // A receiver string without lead, marker or tail nodes.
    bool isQuarnV5SmartReceiver() const { return isSmartReceiver() && receiverWord() <= 0xFF; }
    // The receiver number and the three receiver counts as one little-endian word.
    uint32_t receiverWord() const;
    int channelsPerNode() const;

    // Sets brightnessMap from brightness and gamma (brightness already clamped to 0..100, gamma
    // to 0.01..50).
    void buildBrightnessMap();
    void setIdentityBrightnessMap();

    int32_t startChannel = 0; // 0-based index of the string's first channel
    int32_t pixelCount = 0;
    int32_t groupCount = 0; // pixels sharing one set of channels; 0: no grouping
    int32_t reverse = 0;
    KIVColorOrder colorOrder = kColorOrderRGB;
    int32_t startNulls = 0;
    int32_t endNulls = 0;
    int32_t zigZag = 0; // pixels per zig-zag segment; 0: none
    int32_t brightness = 100;
    float gamma = 1.0f;
    uint8_t brightnessMap[256];
    int32_t whiteOffset = -1; // -1: no white channel; 0: white first; 3: white last

    // Four consecutive bytes, see receiverWord().
    int8_t receiverNum = -1; // -1: ordinary string; 0..127: smart-receiver string
    uint8_t receiverLeadZeros = 0;
    uint8_t receiverMarkers = 0;
    uint8_t receiverTailZeros = 0;

    std::string description;

    int32_t* chMap = nullptr; // first entry of this string's span in the port's output map
    int32_t chanCount = 0;    // channels of that span

    // Set by the owner with chMap: from entry copyFirst of the span on, copyNodes whole nodes come
    // straight from the consecutive channels at copyFrom (channel copyOrder[k] of a node going out
    // k-th) through an identity brightness map, so they need no lookups; copyNodes 0 otherwise.
    int32_t copyFirst = 0;
    int32_t copyNodes = 0;
    int32_t copyFrom = 0;
    uint8_t copyOrder[4] = {};
};
