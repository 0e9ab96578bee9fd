#pragma once
// One physical pixel output port: the virtual strings wired to it (optionally spread over up to six
// daisy-chained smart receivers), the output map from each byte the port sends to the channel-data
// index it comes from, and the port's output buffer. A pixel output makes one per port, calls Init
// with the port's JSON, then each frame takes the port's bytes in wire order from prepareOutput.
//
// The channel data handed to prepareOutput must extend to KIVD_MAX_CHANNELS + 4: map entries are
// real channels or the reserved indices KIVD_MAX_CHANNELS (unlit: null nodes, receiver zero runs;
// null pixel strings also use the next two) and KIVD_MAX_CHANNELS + 4 (receiver marker nodes).
// A string that would run past the real channels has the excess clipped to KIVD_MAX_CHANNELS.
//
// Owns its map, brightness pointers and buffer; fixed after Init except for invertOutput. Not
// copyable (the map and pointers refer into itself).

#include "VirtualString.h"
#include "channeloutput/ChannelOutput.h"

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <functional>
#include <vector>

constexpr int32_t PIXEL_NULL_CHANNEL = KIVD_MAX_CHANNELS;       // reads as an unlit channel
constexpr int32_t PIXEL_MARKER_CHANNEL = KIVD_MAX_CHANNELS + 4; // smart-receiver marker value
constexpr int MIN_PIXEL_STRING_BUFFER = 2400;
constexpr int SMART_RECEIVER_COUNT = 6;
extern const char* const SMART_RECEIVER_LABELS[SMART_RECEIVER_COUNT];

class PixelString {
public:
    explicit PixelString(bool supportsSmartReceivers = false);
    ~PixelString();
    PixelString(const PixelString&) = delete;
    PixelString& operator=(const PixelString&) = delete;

    // Builds the strings, map and buffers from the port's JSON; registers the port with the output
    // monitor when pinConfig is given. False (after a logged error and a user warning) when a
    // virtual string is invalid.
    bool Init(const Json::Value& config, const Json::Value* pinConfig = nullptr);
    // Fills vs from one virtual string's JSON and validates it.
    bool ReadVirtualString(const Json::Value& config, VirtualString& vs) const;
    void AddVirtualString(const VirtualString& vs);
    // One unlit pixel, so that the port still sends something.
    void AddNullPixelString();
    void DumpConfig();

    // Writes the map entries of vs, whose first pixel goes to output position start.
    void SetupMap(int start, const VirtualString& vs);
    // Reverses the pixels (step entries each) between map positions first and last inclusive.
    void FlipPixels(int first, int last, int step);
    // The port's bytes for this frame, in wire order, in outputBuffer (which it returns).
    uint8_t* prepareOutput(const uint8_t* channelData);
    // Complements every brightness map; twice gives back the original.
    void invertOutput();
    void DumpMap(const char* label);

    // Names every virtual string of the ports and asks the overlay manager for the models that do
    // not exist yet; does nothing unless automatic models are enabled there.
    static void AutoCreateOverlayModels(const std::vector<PixelString*>& strings);
    // Reports, per port with channels, the smallest and largest real channel its map reads (when
    // they differ): the channel ranges a pixel output needs.
    static void AddRequiredChannelRanges(const std::vector<PixelString*>& strings,
                                         const std::function<void(int, int)>& addRange);

    // Added to each start channel that DumpConfig reports; set before DumpConfig.
    void SetChannelOffset(int32_t offset) { channelOffset = offset; }

    // Fixed after Init (the map and brightness pointers except through invertOutput).
    int32_t PortNumber() const { return portNumber; }
    int32_t OutputChannels() const { return outputChannels; }
    // max(OutputChannels(), MIN_PIXEL_STRING_BUFFER) bytes after Init; written by prepareOutput and
    // by the port testers.
    uint8_t* OutputBuffer() { return outputBuffer.data(); }
    const std::vector<VirtualString>& VirtualStrings() const { return virtualStrings; }
    const std::vector<PortMark>& PortMarks() const { return portMarks; }
    // One channel-data index per output channel.
    const std::vector<int32_t>& OutputMap() const { return outputMap; }
    // Per output channel: its string's brightness map.
    const std::vector<uint8_t*>& BrightnessMaps() const { return brightnessMaps; }
    // Supported (before Init); in effect (after Init).
    bool SmartReceivers() const { return smartReceivers; }
    bool Inverted() const { return inverted; }
    // The pin configuration given to the output monitor; null until Init.
    const Json::Value& PortConfig() const { return portConfig; }
    // Lays out the map, brightness pointers and output buffer of the strings added so far (Init
    // calls it), so that a port built by hand with AddVirtualString can prepare its output.
    void BuildMap();

private:
    int32_t portNumber = 0;
    int32_t channelOffset = 0;
    int32_t outputChannels = 0;
    std::vector<uint8_t> outputBuffer;
    std::vector<VirtualString> virtualStrings;
    std::vector<PortMark> portMarks;
    std::vector<int32_t> outputMap;
    std::vector<uint8_t*> brightnessMaps;
    int32_t smartReceiverType = 0; // 0 none; 1, 2 or 3 by differential type
    bool smartReceivers = false;
    bool inverted = false;
    Json::Value portConfig;
    bool portRegistered = false; // with the output monitor, so the destructor removes it
    int readReceiverCount(const Json::Value& config);
    bool addReceiver(const Json::Value& config, int receiver, bool last, bool& addedChannels);
    bool addStringList(const Json::Value& list);
    void setupPixelMap(int start, const VirtualString& vs);
    void setupReceiverMap(int start, const VirtualString& vs);
    void addZeroRun(int& position, int count);
    void zigZagPixels(int start, const VirtualString& vs);
    void planStraightCopies();
};
