#include "PixelOverlayModel.h"

#include "PixelOverlayManager.h"
#include "channeloutput/ChannelOutput.h"
#include "common/Common.h"
#include "common/CpuFeatures.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/SharedMemory.h"
#include "player/Effects.h"
#include "player/PluginManager.h"
#include "player/Sequence.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <sys/mman.h>
#include <thread>

namespace {
// Larger grids than this are refused: the node map alone would take hundreds of megabytes.
constexpr long long MAX_NODES = 4194304;

std::string sharedName(const std::string& name) {
    return "/KIV-Model-Data-" + name;
}

std::vector<std::vector<std::string>> customRows(const std::string& data) {
    std::vector<std::vector<std::string>> rows;
    for (const std::string& layer : split(data, '|')) {
        for (const std::string& row : split(layer, ';')) {
            rows.push_back(split(row, ','));
        }
    }
    return rows;
}

// Another writer (an effect, a sequence or a plugin) changes the channel data under a transparent
// model; without one, the model's zeros would leave stale values behind, so it is copied whole.
bool somethingWritesUnderneath() {
    return IsEffectRunning() || (sequence && sequence->IsSequenceRunning()) ||
           PluginManager::INSTANCE.hasPlugins();
}
} // namespace

PixelOverlayModel::PixelOverlayModel(const Json::Value& definition) : config(definition) {
    name = JsonString(config["Name"]);
    std::replace(name.begin(), name.end(), '/', '_');
    type = JsonString(config["Type"]);
    readGeometry();
    buildNodeMap();
    openDataBlock();
    LogDebug(LG_CHANNELOUT, "PixelOverlayModel %s: %dx%d, channels %d-%d, %d a node\n", name.c_str(), width,
             height, startChannel + 1, startChannel + channelCount, channelsPerNode);
}

void PixelOverlayModel::readGeometry() {
    // Without a start channel a model starts at the first; an explicit 0 or less is refused below.
    startChannel = config.isMember("StartChannel") ? JsonInt(config["StartChannel"]) - 1 : 0;
    channelCount = JsonInt(config["ChannelCount"]);
    stringCount = JsonInt(config["StringCount"]);
    strandsPerString = std::max(1, JsonInt(config["StrandsPerString"]));
    orientation = JsonString(config["Orientation"]);
    startCorner = JsonString(config["StartCorner"]);
    channelsPerNode = config.isMember("ChannelCountPerNode") ? JsonInt(config["ChannelCountPerNode"]) : 3;
    if (channelsPerNode == 0) {
        channelsPerNode = 1;
    }
    if (channelsPerNode < 0 || channelsPerNode > 4096) {
        throw std::invalid_argument("channels per node out of range");
    }
    if (type == "Channel") {
        height = std::max(1, stringCount * strandsPerString);
        width = std::max(1, channelCount / channelsPerNode / height);
    } else {
        width = JsonInt(config["Width"]);
        height = JsonInt(config["Height"]);
        int pixelSize = config.isMember("PixelSize") ? JsonInt(config["PixelSize"]) : 0;
        if (pixelSize > 0) {
            width /= pixelSize;
            height /= pixelSize;
        }
        if (width < 1 || height < 1 || 1LL * width * height * channelsPerNode > KIVD_MAX_CHANNELS) {
            throw std::invalid_argument("size out of range");
        }
        channelCount = width * height * channelsPerNode;
        startChannel = 0;
        orientation = "horizontal";
        startCorner = "TL";
        strandsPerString = 1;
        config["ChannelCount"] = channelCount;
        config["StringCount"] = height;
        config["StrandsPerString"] = 1;
        config["StartChannel"] = 0;
        config["Orientation"] = orientation;
        config["StartCorner"] = startCorner;
    }
    if (channelCount < 1 || startChannel < 0 || 1LL * startChannel + channelCount > KIVD_MAX_CHANNELS) {
        throw std::invalid_argument("channels outside the channel buffer");
    }
}

void PixelOverlayModel::buildNodeMap() {
    bool top = !startCorner.empty() && startCorner[0] == 'T';
    bool left = startCorner.size() > 1 && startCorner[1] == 'L';
    if (orientation == "V" || orientation == "vertical") {
        std::swap(width, height);
        buildVerticalMap(strandsPerString, top, left);
    } else if (orientation == "C" || orientation == "custom") {
        buildCustomMap();
    } else {
        buildHorizontalMap(strandsPerString, top, left);
    }
}

void PixelOverlayModel::mapNode(int node, int firstChannel) {
    for (int k = 0; k < 3; k++) {
        long long channel = 1LL * firstChannel + k;
        // Nothing outside the model's own channels is ever mapped.
        bool mapped = k < channelsPerNode && firstChannel >= 0 && channel < channelCount;
        nodeMap[node * 3 + k] = mapped ? static_cast<int>(channel) : UNMAPPED;
    }
}

void PixelOverlayModel::buildHorizontalMap(int strands, bool top, bool left) {
    nodeMap.assign(static_cast<size_t>(width) * height * 3, UNMAPPED);
    for (int y = 0; y < height; y++) {
        bool odd = (y % strands) % 2 == 1;
        int row = top ? y : height - 1 - y;
        bool leftToRight = left != odd;
        for (int x = 0; x < width; x++) {
            int column = leftToRight ? x : width - 1 - x;
            mapNode(y * width + x, channelsPerNode * (row * width + column));
        }
    }
}

void PixelOverlayModel::buildVerticalMap(int strands, bool top, bool left) {
    nodeMap.assign(static_cast<size_t>(width) * height * 3, UNMAPPED);
    for (int x = 0; x < width; x++) {
        bool odd = (x % strands) % 2 == 1;
        int column = left ? x : width - 1 - x;
        bool topToBottom = top != odd;
        for (int y = 0; y < height; y++) {
            int row = topToBottom ? y : height - 1 - y;
            mapNode(y * width + x, channelsPerNode * (column * height + row));
        }
    }
}

void PixelOverlayModel::buildCustomMap() {
    std::string data = config.isMember("data") ? JsonString(config["data"]) : ",;,";
    auto rows = customRows(data);
    height = std::max<int>(1, rows.size());
    width = 1;
    for (const auto& row : rows) {
        width = std::max<int>(width, row.size());
    }
    if (1LL * width * height > MAX_NODES) {
        throw std::invalid_argument("custom layout too large");
    }
    nodeMap.assign(static_cast<size_t>(width) * height * 3, UNMAPPED);
    int refused = 0;
    for (size_t y = 0; y < rows.size(); y++) {
        for (size_t x = 0; x < rows[y].size(); x++) {
            const std::string& cell = rows[y][x];
            if (cell.empty() || cell.size() > 10) {
                continue;
            }
            long long node = std::stoi(cell); // a bad cell fails the whole model
            long long first = (node - 1) * channelsPerNode;
            if (node == -1) {
                continue;
            }
            if (node < 1 || first >= channelCount) {
                refused++;
                continue;
            }
            mapNode(static_cast<int>(y * width + x), static_cast<int>(first));
        }
    }
    if (refused) {
        LogWarn(LG_CHANNELOUT,
                "Overlay model %s: %d custom node numbers below 1 or past its %d channels are not mapped\n",
                name.c_str(), refused, channelCount);
    }
}

void PixelOverlayModel::openDataBlock() {
    std::string error;
    channelData = MapSharedMemory(sharedName(name), channelCount, error);
    if (!channelData) {
        LogWarn(LG_CHANNELOUT, "Could not create shared memory block for %s:  %s\n", sharedName(name).c_str(),
                error.c_str());
        channelData = MapPrivateMemory(channelCount);
        if (!channelData) {
            throw std::runtime_error("no memory for the model's channels");
        }
    }
}

PixelOverlayModel::~PixelOverlayModel() {
    setRunningEffect(nullptr, 0);
    UnmapSharedMemory(channelData, channelCount);
    shm_unlink(sharedName(name).c_str());
    unsigned char* overlay = overlayBuffer.load();
    if (overlay) {
        UnmapSharedMemory(overlay, OVERLAY_HEADER_BYTES + static_cast<size_t>(width) * height * 3 + 4);
        shm_unlink(("/KIV-Model-Overlay-Buffer-" + name).c_str());
    }
}

void PixelOverlayModel::setState(const PixelOverlayState& newState) {
    PixelOverlayState old = getState();
    if (old == newState) {
        return;
    }
    if (newState == PixelOverlayState::Off) {
        // Lets a pending update reach the outputs before the model goes dark.
        for (int i = 0; i < 10 && needRefresh(); i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    state = newState.getState();
    PixelOverlayManager::INSTANCE.modelStateChanged(this, old, newState);
}

void PixelOverlayModel::setChildState(const std::string& childName, const PixelOverlayState& childState,
                                      int x, int y, int childWidth, int childHeight) {
    bool wasEmpty, isEmpty;
    {
        std::lock_guard<std::mutex> lock(childLock);
        wasEmpty = children.empty();
        auto it = std::find_if(children.begin(), children.end(),
                               [&](const ChildRegion& c) { return c.name == childName; });
        if (it != children.end() && childState == PixelOverlayState::Off) {
            children.erase(it);
        } else if (it != children.end()) {
            *it = {childName, childState, x, y, childWidth, childHeight};
        } else if (!(childState == PixelOverlayState::Off)) {
            children.push_back({childName, childState, x, y, childWidth, childHeight});
        }
        isEmpty = children.empty();
    }
    if (!wasEmpty && isEmpty) {
        PixelOverlayManager::INSTANCE.modelStateChanged(this, PixelOverlayState::Opaque, getState());
    } else if (wasEmpty && !isEmpty) {
        PixelOverlayManager::INSTANCE.modelStateChanged(this, getState(), PixelOverlayState::Opaque);
    }
}

bool PixelOverlayModel::hasChildren() {
    std::lock_guard<std::mutex> lock(childLock);
    return !children.empty();
}

void PixelOverlayModel::doOverlay(unsigned char* channels) {
    unsigned char* dst = channels + startChannel;
    PixelOverlayState current = getState();
    if (current == PixelOverlayState::Off) {
        flushChildren(dst);
    } else if (current == PixelOverlayState::Opaque || !somethingWritesUnderneath()) {
        memcpy(dst, channelData, channelCount);
    } else {
        blendOverlay(dst, current);
    }
    bufferDirty = false;
}

// Sixteen bytes at a time through the compiler's vector types (SSE2 on x86, NEON on ARM): a
// byte-by-byte choice runs at a fraction of the copy's speed.
using Bytes16 = unsigned char __attribute__((vector_size(16)));

static inline Bytes16 load16(const unsigned char* p) {
    Bytes16 v;
    memcpy(&v, p, 16);
    return v;
}

static void blendChannels(unsigned char* dst, const unsigned char* src, int count) {
    int i = 0;
    for (; i + 16 <= count; i += 16) {
        Bytes16 s = load16(src + i), d = load16(dst + i);
        Bytes16 lit = (Bytes16)(s != 0);
        d = (s & lit) | (d & ~lit);
        memcpy(dst + i, &d, 16);
    }
    for (; i < count; i++) {
        dst[i] = src[i] ? src[i] : dst[i];
    }
}

// Four pixels (12 bytes) a step: every byte of a pixel takes the "any byte lit" of its group. Only
// those 12 bytes are stored, so the next step's load never waits on an overlapping store.
// Returns where it stopped.
static inline __attribute__((always_inline)) int blendPixelsInVectors(unsigned char* dst,
                                                                      const unsigned char* src, int count) {
    int i = 0;
    for (; i + 16 <= count; i += 12) {
        Bytes16 s = load16(src + i), d = load16(dst + i);
        Bytes16 nonZero = (Bytes16)(s != 0);
        // Byte k of each pixel from bytes 0, 1 and 2 of its group (lane 12 fills the unused tail).
        Bytes16 lit =
            __builtin_shufflevector(nonZero, nonZero, 0, 0, 0, 3, 3, 3, 6, 6, 6, 9, 9, 9, 12, 12, 12, 12) |
            __builtin_shufflevector(nonZero, nonZero, 1, 1, 1, 4, 4, 4, 7, 7, 7, 10, 10, 10, 12, 12, 12, 12) |
            __builtin_shufflevector(nonZero, nonZero, 2, 2, 2, 5, 5, 5, 8, 8, 8, 11, 11, 11, 12, 12, 12, 12);
        d = (s & lit) | (d & ~lit);
        memcpy(dst + i, &d, 12);
    }
    return i;
}

#if defined(KIV_HAVE_X86_SIMD)
// The byte shuffles need SSSE3 on x86; without it they would be done lane by lane.
__attribute__((target("ssse3"))) static int blendPixelsSSSE3(unsigned char* dst, const unsigned char* src,
                                                             int count) {
    return blendPixelsInVectors(dst, src, count);
}
#endif

static void blendPixels(unsigned char* dst, const unsigned char* src, int count) {
#if defined(KIV_HAVE_X86_SIMD)
    int i = CpuHasSSSE3() ? blendPixelsSSSE3(dst, src, count) : 0;
#else
    int i = blendPixelsInVectors(dst, src, count);
#endif
    for (; i + 3 <= count; i += 3) {
        if (src[i] | src[i + 1] | src[i + 2]) {
            memcpy(dst + i, src + i, 3);
        }
    }
    blendChannels(dst + i, src + i, count - i); // a last, partial group
}

void PixelOverlayModel::blendOverlay(unsigned char* dst, PixelOverlayState mode) {
    if (mode == PixelOverlayState::TransparentChannels) {
        blendChannels(dst, channelData, channelCount);
    } else {
        blendPixels(dst, channelData, channelCount);
    }
}

bool PixelOverlayModel::flushChildren(unsigned char* dst) {
    std::lock_guard<std::mutex> lock(childLock);
    for (const ChildRegion& child : children) {
        // Regions come from requests; only the part inside the model is applied.
        int rowEnd = std::min(child.y + child.height, height);
        int columnEnd = std::min(child.x + child.width, width);
        for (int y = std::max(0, child.y); y < rowEnd; y++) {
            for (int x = std::max(0, child.x); x < columnEnd; x++) {
                const int* m = &nodeMap[(y * width + x) * 3];
                bool lit = false;
                for (int k = 0; k < 3; k++) {
                    lit |= m[k] != UNMAPPED && channelData[m[k]];
                }
                for (int k = 0; k < 3; k++) {
                    if (m[k] == UNMAPPED) {
                        continue;
                    }
                    unsigned char v = channelData[m[k]];
                    PixelOverlayState::Value s = child.state.getState();
                    if (s == PixelOverlayState::Opaque ||
                        (s == PixelOverlayState::TransparentChannels && v) ||
                        (s == PixelOverlayState::TransparentPixels && lit)) {
                        dst[m[k]] = v;
                    }
                }
            }
        }
    }
    return !children.empty();
}

void PixelOverlayModel::setData(const unsigned char* rgb) {
    const int* map = nodeMap.data();
    unsigned char* data = channelData;
    const size_t entries = nodeMap.size();
    for (size_t i = 0; i < entries; i++) {
        if (map[i] != UNMAPPED) {
            data[map[i]] = rgb[i];
        }
    }
    bufferDirty = true;
}

void PixelOverlayModel::writePixel(int node, const unsigned char* rgb, const PixelOverlayState& blend) {
    const int* m = &nodeMap[node * 3];
    bool lit = rgb[0] || rgb[1] || rgb[2];
    for (int k = 0; k < 3; k++) {
        bool write = blend == PixelOverlayState::TransparentChannels ? rgb[k] != 0
                     : blend == PixelOverlayState::TransparentPixels ? lit
                                                                     : true;
        if (write && m[k] != UNMAPPED) {
            channelData[m[k]] = rgb[k];
        }
    }
}

void PixelOverlayModel::setData(const unsigned char* rgb, int x, int y, int regionWidth, int regionHeight,
                                const PixelOverlayState& blend) {
    if (x < 0 || y < 0 || regionWidth < 0 || regionHeight < 0 || 1LL * x + regionWidth > width ||
        1LL * y + regionHeight > height) {
        LogErr(LG_CHANNELOUT, "Error: region is out of bounds, model is %dx%d, region is %dx%d @ %d,%d\n",
               width, height, regionWidth, regionHeight, x, y);
        return;
    }
    if (x == 0 && y == 0 && regionWidth == width && regionHeight == height &&
        blend == PixelOverlayState::Opaque) {
        setData(rgb);
        return;
    }
    for (int j = 0; j < regionHeight; j++) {
        for (int l = 0; l < regionWidth; l++) {
            writePixel((y + j) * width + x + l, rgb + (j * regionWidth + l) * 3, blend);
        }
    }
    bufferDirty = true;
}

void PixelOverlayModel::getPixelValue(int x, int y, int& r, int& g, int& b) {
    const int* m = &nodeMap[(y * width + x) * 3];
    int* values[3] = {&r, &g, &b};
    for (int k = 0; k < 3 && k < channelsPerNode && m[k] != UNMAPPED; k++) {
        *values[k] = channelData[m[k]];
    }
}

void PixelOverlayModel::fillData(int r, int g, int b) {
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            setPixelValue(x, y, r, g, b);
        }
    }
}

void PixelOverlayModel::clearData() {
    memset(channelData, 0, channelCount);
    bufferDirty = true;
}

void PixelOverlayModel::fill(int r, int g, int b) {
    if (overlayBuffer.load()) {
        fillOverlayBuffer(r, g, b);
        flushOverlayBuffer();
    } else {
        fillData(r, g, b);
    }
}

void PixelOverlayModel::clear() {
    if (overlayBuffer.load()) {
        clearOverlayBuffer();
        flushOverlayBuffer();
    } else {
        clearData();
    }
}

void PixelOverlayModel::setValue(unsigned char value, int firstChannel, int lastChannel) {
    long long start = firstChannel == -1 ? 0 : 1LL * firstChannel - startChannel;
    long long end = lastChannel == -1 ? channelCount - 1 : 1LL * lastChannel - startChannel;
    start = std::max(0LL, start);
    end = std::min<long long>(end, channelCount - 1);
    // Writes go through the node map, so only channels that some node owns change.
    std::vector<bool> owned(channelCount, false);
    for (int m : nodeMap) {
        if (m != UNMAPPED) {
            owned[m] = true;
        }
    }
    for (long long i = start; i <= end; i++) {
        if (owned[i]) {
            channelData[i] = value;
        }
    }
    bufferDirty = true;
}

void PixelOverlayModel::getDataJson(Json::Value& out, bool rle) {
    auto read = [&](int m) { return m == UNMAPPED ? 0 : channelData[m]; };
    if (!rle) {
        for (int m : nodeMap) {
            out.append(read(m));
        }
        return;
    }
    int count = 0;
    int run[3] = {0, 0, 0};
    int colour[3] = {0, 0, 0};
    const int nodes = width * height;
    for (int n = 0; n < nodes; n++) {
        for (int k = 0; k < 3; k++) {
            if (nodeMap[n * 3 + k] != UNMAPPED) {
                colour[k] = channelData[nodeMap[n * 3 + k]];
            }
        }
        if (count && std::equal(colour, colour + 3, run)) {
            count++;
            continue;
        }
        if (count) {
            out.append(count);
            for (int v : run) {
                out.append(v);
            }
        }
        std::copy(colour, colour + 3, run);
        count = 1;
    }
    out.append(count);
    for (int v : run) {
        out.append(v);
    }
}
