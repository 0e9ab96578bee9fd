// PixelString's output map: built once per string in Init, so that a frame is a plain table copy.

#include "PixelString.h"

#include "NodeCopy.h"
#include "common/Log.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// The reserved bytes below this index are all zero; an ordinary string that runs past the real
// channels may read them, but must never reach the marker byte or anything beyond the buffer.
constexpr int64_t FIRST_NON_ZERO_RESERVED = PIXEL_MARKER_CHANNEL;

// Shift that puts a byte at position b of a word as it lies in memory.
constexpr int wordShift(int b) {
    return std::endian::native == std::endian::little ? 8 * b : 56 - 8 * b;
}

// Eight bytes are looked up, then stored as one word: a byte at a time, the store port bounds the
// loop, so packing the stores pays for the table lookup. No branch depends on the configuration.
void gatherThroughTable(const uint8_t* channelData, const int32_t* __restrict map,
                        const uint8_t* __restrict table, uint8_t* __restrict out, int count) {
    int k = 0;
    for (; k + 8 <= count; k += 8) {
        auto at = [&](int b) { return uint64_t(table[channelData[map[k + b]]]) << wordShift(b); };
        uint64_t word = at(0) | at(1) | at(2) | at(3) | at(4) | at(5) | at(6) | at(7);
        std::memcpy(out + k, &word, sizeof(word));
    }
    for (; k < count; k++) {
        out[k] = table[channelData[map[k]]];
    }
}

bool isIdentityTable(const uint8_t* table) {
    for (int i = 0; i < 256; i++) {
        if (table[i] != i) {
            return false;
        }
    }
    return true;
}

// The node order of map entries that read one node's channels, each once; false for anything else.
bool readNodeOrder(const int32_t* map, int perNode, int32_t& base, uint8_t* order) {
    base = *std::min_element(map, map + perNode);
    bool seen[NODE_COPY_MAX_CHANNELS] = {};
    for (int k = 0; k < perNode; k++) {
        const int32_t offset = map[k] - base;
        if (offset >= perNode || seen[offset]) {
            return false;
        }
        seen[offset] = true;
        order[k] = uint8_t(offset);
    }
    return true;
}

// Finds the pixels of vs (past its start nulls) that are consecutive nodes read in one order.
void planStraightCopy(VirtualString& vs) {
    vs.copyNodes = 0;
    const int perNode = vs.channelsPerNode();
    if (vs.isSmartReceiver() || vs.pixelCount <= 0 || perNode > NODE_COPY_MAX_CHANNELS ||
        !isIdentityTable(vs.brightnessMap)) {
        return;
    }
    const int32_t* map = vs.chMap + vs.startNulls * perNode;
    int32_t base = 0;
    if (!readNodeOrder(map, perNode, base, vs.copyOrder) ||
        int64_t(base) + int64_t(vs.pixelCount) * perNode > FIRST_NON_ZERO_RESERVED) {
        return;
    }
    for (int i = perNode; i < vs.pixelCount * perNode; i++) {
        if (map[i] != map[i - perNode] + perNode) {
            return;
        }
    }
    vs.copyFirst = vs.startNulls * perNode;
    vs.copyNodes = vs.pixelCount;
    vs.copyFrom = base;
}

} // namespace

void PixelString::planStraightCopies() {
    for (VirtualString& vs : virtualStrings) {
        planStraightCopy(vs);
    }
}

void PixelString::SetupMap(int start, const VirtualString& vs) {
    int span = vs.pixelCount * vs.channelsPerNode();
    if (start < 0 || start + span > (int)outputMap.size()) {
        LogErr(LG_CHANNELOUT, "Port %d: map for %d channels at %d does not fit %d channels\n", portNumber + 1,
               span, start, (int)outputMap.size());
        return;
    }
    if (vs.isSmartReceiver()) {
        setupReceiverMap(start, vs);
    } else {
        setupPixelMap(start, vs);
    }
}

void PixelString::setupPixelMap(int start, const VirtualString& vs) {
    const int perNode = vs.channelsPerNode();
    const std::array<int, 3> offsets = ColorOrderOffsets(vs.colorOrder);
    bool clipped = false;
    auto channel = [&clipped](int64_t index) {
        if (index >= FIRST_NON_ZERO_RESERVED) {
            clipped = true;
            return PIXEL_NULL_CHANNEL;
        }
        return static_cast<int32_t>(index);
    };
    int32_t* entry = outputMap.data() + start;
    for (int k = 0; k < vs.pixelCount; k++) {
        int group = vs.groupCount ? k / vs.groupCount : k;
        int64_t node = int64_t(vs.startChannel) + int64_t(group) * perNode;
        if (perNode == 1) {
            *entry++ = channel(node);
            continue;
        }
        int64_t colours = node;
        if (vs.whiteOffset == 0) {
            *entry++ = channel(node);
            colours = node + 1;
        }
        for (int offset : offsets) {
            *entry++ = channel(colours + offset);
        }
        if (vs.whiteOffset == 3) {
            *entry++ = channel(node + 3);
        }
    }
    if (clipped) {
        LogWarn(LG_CHANNELOUT,
                "Port %d: string at channel %d with %d pixels runs past channel %u; the rest is unlit\n",
                portNumber + 1, vs.startChannel + 1, vs.pixelCount, KIVD_MAX_CHANNELS);
    }

    DumpMap("BEFORE ZIGZAG");
    if (vs.zigZag) {
        zigZagPixels(start, vs);
        DumpMap("AFTER ZIGZAG");
    }
    if (vs.reverse == 1 && vs.pixelCount > 1) {
        FlipPixels(start, start + (vs.pixelCount - 1) * perNode, perNode);
        DumpMap("AFTER REVERSE");
    }
}

// Segments are counted from the string's own first pixel and run over its pixels and end nulls, so
// a zig-zag never folds another string's entries. For a port whose only string has no start nulls
// this is the port's whole map.
void PixelString::zigZagPixels(int start, const VirtualString& vs) {
    const int perNode = vs.channelsPerNode();
    const int segment = vs.zigZag * perNode;
    const int end = start + (vs.pixelCount + vs.endNulls) * perNode;
    for (int first = start + segment; first + segment <= end; first += 2 * segment) {
        FlipPixels(first, first + segment - perNode, perNode);
    }
}

void PixelString::setupReceiverMap(int start, const VirtualString& vs) {
    int position = start;
    addZeroRun(position, vs.receiverLeadZeros);
    std::fill_n(outputMap.begin() + position, vs.receiverMarkers, PIXEL_MARKER_CHANNEL);
    position += vs.receiverMarkers;
    addZeroRun(position, vs.receiverTailZeros);
}

// Zero runs are where an output that drives a separate line would switch it, hence the marks.
void PixelString::addZeroRun(int& position, int count) {
    if (count <= 0) {
        return;
    }
    portMarks.push_back({portNumber, position, 0, 0});
    std::fill_n(outputMap.begin() + position, count, PIXEL_NULL_CHANNEL);
    portMarks.push_back({portNumber, position + count, 1, 0});
    position += count;
}

void PixelString::FlipPixels(int first, int last, int step) {
    if (step <= 0 || first < 0 || last + step > (int)outputMap.size()) {
        return;
    }
    int count = (last - first + step) / step;
    int32_t* low = outputMap.data() + first;
    int32_t* high = outputMap.data() + last;
    for (int i = 0; i < count / 2; i++, low += step, high -= step) {
        std::swap_ranges(low, low + step, high);
    }
}

uint8_t* PixelString::prepareOutput(const uint8_t* channelData) {
    uint8_t* out = outputBuffer.data();
    for (const VirtualString& vs : virtualStrings) {
        if (vs.copyNodes == 0) {
            gatherThroughTable(channelData, vs.chMap, vs.brightnessMap, out, vs.chanCount);
        } else {
            const int copied = vs.copyNodes * vs.channelsPerNode();
            const int rest = vs.copyFirst + copied;
            gatherThroughTable(channelData, vs.chMap, vs.brightnessMap, out, vs.copyFirst);
            CopyNodes(channelData + vs.copyFrom, out + vs.copyFirst, vs.copyNodes, vs.channelsPerNode(),
                      vs.copyOrder);
            gatherThroughTable(channelData, vs.chMap + rest, vs.brightnessMap, out + rest,
                               vs.chanCount - rest);
        }
        out += vs.chanCount;
    }
    return outputBuffer.data();
}

void PixelString::invertOutput() {
    inverted = !inverted;
    for (VirtualString& vs : virtualStrings) {
        for (uint8_t& value : vs.brightnessMap) {
            value = static_cast<uint8_t>(~value);
        }
    }
    planStraightCopies();
}

void PixelString::DumpMap(const char* label) {
    if (!WillLog(KIVLOG_EXCESS, LG_CHANNELOUT)) {
        return;
    }
    LogExcess(LG_CHANNELOUT, "OutputMap: %s\n", label);
    for (int i = 0; i < outputChannels && i < (int)outputMap.size(); i++) {
        LogExcess(LG_CHANNELOUT, "map[%d] = %d\n", i, outputMap[i]);
    }
}

void PixelString::AddRequiredChannelRanges(const std::vector<PixelString*>& strings,
                                           const std::function<void(int, int)>& addRange) {
    for (PixelString* ps : strings) {
        if (ps->outputChannels <= 0) {
            continue;
        }
        int lo = KIVD_MAX_CHANNELS;
        int hi = -1;
        for (int32_t ch : ps->outputMap) {
            if (ch < (int32_t)KIVD_MAX_CHANNELS) {
                lo = std::min(lo, ch);
                hi = std::max(hi, ch);
            }
        }
        if (lo < hi) {
            addRange(lo, hi);
        }
    }
}
