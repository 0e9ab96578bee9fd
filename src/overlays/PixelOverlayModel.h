#pragma once
// A named rectangle of pixels laid over a range of the show's channels.
//
// The model keeps its channel values (channel order, channel count bytes) in the shared block
// "/KIV-Model-Data-NAME" and, once used, an RGB picture in "/KIV-Model-Overlay-Buffer-NAME":
//   offset 0 width, 4 height (uint32, host order), 8 flags (bit 0: picture ready to flush),
//   12 the pixels row by row as R, G, B, then 4 spare bytes.
// Every frame the overlay manager calls doOverlay, which writes the model over the channel data
// according to its state. Both blocks are unlinked when the model is destroyed.
//
// Threads: doOverlay runs on the channel-output thread; the setters run on HTTP, command and effect
// threads without a lock, so a frame may show a partly written update (channel bytes are written
// one by one, never out of the model's range). The state and the dirty flag are atomics
// (sequentially consistent); the running effect is guarded by effectLock; the child list by
// childLock. Only the overlay manager deletes models, after the output thread let go of them.

#include <jsoncpp/json/json.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class PixelOverlayState {
public:
    enum Value : uint8_t { Off = 0, Opaque = 1, TransparentChannels = 2, TransparentPixels = 3 };
    constexpr PixelOverlayState(Value v = Off) : value(v) {}
    // Values above 3 are not states; callers check with isValid first.
    explicit constexpr PixelOverlayState(int v) : value(static_cast<Value>(v)) {}
    constexpr Value getState() const { return value; }
    constexpr bool operator==(const PixelOverlayState&) const = default;
    static bool isValid(int v) { return v >= Off && v <= TransparentPixels; }

private:
    Value value;
};

class PixelOverlayModel;

// An effect in progress on one model; the model owns it and calls update periodically.
class RunningEffect {
public:
    explicit RunningEffect(PixelOverlayModel* m, bool autoEnable = false)
        : model(m), autoEnabled(autoEnable) {}
    virtual ~RunningEffect() {}
    // Milliseconds until the next update, or 0 when the effect is over.
    virtual int update() { return 0; }
    // The effect kind's name, for listings.
    virtual std::string name() const { return ""; }
    // Whether the effect may switch its model on (and off again when stopped).
    bool isAutoEnabled() const { return autoEnabled; }

protected:
    PixelOverlayModel* model;
    const bool autoEnabled;
};

class PixelOverlayModel : public std::enable_shared_from_this<PixelOverlayModel> {
public:
    // Value of a node-map entry that has no channel.
    static constexpr int UNMAPPED = 8388608;
    static constexpr size_t OVERLAY_HEADER_BYTES = 12;

    // Builds the model from its definition. Throws std::invalid_argument for a custom layout cell
    // that is not a number or for a geometry that has no channel or does not fit the channel
    // buffer, std::out_of_range for a node number out of range.
    explicit PixelOverlayModel(const Json::Value& config);
    virtual ~PixelOverlayModel();
    PixelOverlayModel(const PixelOverlayModel&) = delete;
    PixelOverlayModel& operator=(const PixelOverlayModel&) = delete;

    const std::string& getName() const { return name; }
    const std::string& getType() const { return type; }
    int getWidth() const { return width; }
    int getHeight() const { return height; }
    int getStartChannel() const { return startChannel; }
    int getChannelCount() const { return channelCount; }
    int getChannelsPerNode() const { return channelsPerNode; }
    const std::vector<int>& getNodeMap() const { return nodeMap; }
    // The model's channel data: channel count bytes in channel order.
    unsigned char* getChannelData() const { return channelData; }

    PixelOverlayState getState() const { return PixelOverlayState(static_cast<int>(state.load())); }
    virtual void setState(const PixelOverlayState& newState);
    void setChildState(const std::string& childName, const PixelOverlayState& childState, int x, int y,
                       int childWidth, int childHeight);
    bool hasChildren();

    // Writes the model over the whole channel buffer (KIVD_MAX_CHANNELS bytes) by its state.
    virtual void doOverlay(unsigned char* channels);
    // Applies the child regions to the model's part of the channel buffer; true when there is one.
    bool flushChildren(unsigned char* dst);

    // Whole model, node order, 3 bytes a node.
    virtual void setData(const unsigned char* rgb);
    // A region of the model; refused (logged, nothing written) when it is not inside the model.
    virtual void setData(const unsigned char* rgb, int x, int y, int regionWidth, int regionHeight,
                         const PixelOverlayState& blend);
    // Coordinates must be inside the model (isInside). Inline: drawers call it per pixel.
    void setPixelValue(int x, int y, int r, int g, int b);
    void getPixelValue(int x, int y, int& r, int& g, int& b);
    bool isInside(int x, int y) const { return x >= 0 && y >= 0 && x < width && y < height; }
    void fillData(int r, int g, int b);
    void clearData();
    void fill(int r, int g, int b);
    void clear();
    // Writes value to the model's channels from startChannel to endChannel (absolute, 0-based;
    // startChannel -1 means the model's first), clipped to the model.
    void setValue(unsigned char value, int startChannel = -1, int endChannel = -1);

    void toJson(Json::Value& result) const { result = config; }
    // Appends every map entry's value (rle false), or runs of equal colours as count, r, g, b.
    void getDataJson(Json::Value& out, bool rle);

    // The RGB picture (width x height x 3 bytes after the header), made on first call; null when
    // the shared block cannot be had.
    unsigned char* getOverlayBuffer();
    void clearOverlayBuffer();
    void fillOverlayBuffer(int r, int g, int b);
    void setOverlayPixelValue(int x, int y, int r, int g, int b);
    void getOverlayPixelValue(int x, int y, int& r, int& g, int& b);
    void setOverlayBufferDirty(bool dirty = true);
    bool overlayBufferIsDirty();
    void setBufferIsDirty(bool dirty = true) { bufferDirty = dirty; }
    bool needRefresh();
    // Copies the picture through the node map into the channel data and clears its ready bit.
    void flushOverlayBuffer();
    // Nearest-neighbour scaling of a srcWidth x srcHeight RGB image into the picture (not flushed)
    // or straight into the channel data.
    void setOverlayBufferScaledData(const unsigned char* rgb, int srcWidth, int srcHeight);
    void setScaledData(const unsigned char* rgb, int srcWidth, int srcHeight);

    // The model's channel data as an RGB image through the node map (unmapped components 0).
    std::vector<unsigned char> renderImage();
    // The same picture read from other channels laid out like the model's: `channels` points at
    // the byte that stands for the model's first channel (for example in the frame being sent).
    std::vector<unsigned char> renderImageFrom(const unsigned char* channels) const;
    // Writes renderImage as a picture file (format by extension) under the media "images" folder;
    // an empty name becomes NAME-YYYYMMDD_HHMMSS.png. Returns the path written.
    std::string saveOverlayAsImage(const std::string& fileName = "");

    // Replaces the running effect (null stops it) and (re)registers the periodic update.
    void setRunningEffect(RunningEffect* effect, int updatePeriodMS);
    // Stops the running effect; a model that it was allowed to switch on goes off.
    void stopRunningEffect();
    bool isEffectRunning();
    std::string runningEffectName();
    // Runs the effect's update; its result, or 0 (effect deleted) when it is over.
    int updateRunningEffects();
    bool applyEffect(const std::string& autoEnable, const std::string& effectName,
                     const std::vector<std::string>& args);

protected:
    // True when a derived model replaced the whole-model setData, so flushes go through it.
    virtual bool overridesSetData() const { return false; }

private:
    struct ChildRegion {
        std::string name;
        PixelOverlayState state;
        int x, y, width, height;
    };

    void readGeometry();
    void buildNodeMap();
    void buildHorizontalMap(int strands, bool top, bool left);
    void buildVerticalMap(int strands, bool top, bool left);
    void buildCustomMap();
    void mapNode(int node, int firstChannel);
    void openDataBlock();
    void writePixel(int node, const unsigned char* rgb, const PixelOverlayState& blend);
    void blendOverlay(unsigned char* dst, PixelOverlayState mode);

    Json::Value config;
    std::string name;
    std::string type;
    int width = 1;
    int height = 1;
    std::atomic<uint8_t> state{PixelOverlayState::Off};
    int startChannel = 0;
    int channelCount = 0;
    int channelsPerNode = 3;
    int stringCount = 0;
    int strandsPerString = 1;
    std::string orientation;
    std::string startCorner;
    std::vector<int> nodeMap;
    unsigned char* channelData = nullptr;
    std::atomic<bool> bufferDirty{false};
    std::atomic<unsigned char*> overlayBuffer{nullptr}; // the block's start (header included)
    std::mutex overlayLock;                             // guards making the overlay block
    std::recursive_mutex effectLock;
    RunningEffect* runningEffect = nullptr; // owned; guarded by effectLock
    std::mutex childLock;
    std::vector<ChildRegion> children; // guarded by childLock
};

inline void PixelOverlayModel::setPixelValue(int x, int y, int r, int g, int b) {
    const int* m = &nodeMap[(y * width + x) * 3];
    const int values[3] = {r, g, b};
    // A missing earlier component stops the later ones.
    for (int k = 0; k < 3 && k < channelsPerNode && m[k] != UNMAPPED; k++) {
        channelData[m[k]] = static_cast<unsigned char>(values[k]);
    }
    // Release is enough for a reader to see the pixel with the flag, and keeps single-pixel drawing
    // (a virtual display sets tens of thousands a frame) free of a locked store per pixel.
    bufferDirty.store(true, std::memory_order_release);
}
