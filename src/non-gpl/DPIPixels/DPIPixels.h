#pragma once
// WS281x pixel strings driven from the display parallel interface: each of the 24 DPI data lines
// carries one string, and every frame is painted into a 24-bit framebuffer page so that the
// scanned-out lines carry the strings' waveforms. With three latch pins the strings form three
// banks sent one after another through external latches.
//
// Besides the board's pin configuration (see capes/pi/strings/), the output's JSON may name the
// framebuffer in "device"; without it the device is chosen as on a Pi (DPI-1, fb1, fb0).
//
// Owns its strings and framebuffer. Init, Close and DumpConfig run on the main thread, PrepData,
// SendData and OverlayTestData on the channel-output thread; nothing is locked.

#include "DPIPixelsShuffledRows.h"
#include "DPIPixelsWholeLines.h"
#include "channeloutput/ChannelOutput.h"
#include "channeloutput/PixelString.h"
#include "platform/FrameBuffer.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

class DPIPixelsOutput : public ChannelOutput {
public:
    static constexpr int DATA_LINES = 24;
    static constexpr int MAX_STRINGS = 52;

    DPIPixelsOutput(unsigned int startChannel, unsigned int channelCount);
    ~DPIPixelsOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int SendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;
    std::string GetOutputType() const override { return "DPI Pixels"; }
    bool SupportsTesting() const override { return true; }
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;

    // Bit position (0 to 23) of a header pin's DPI data line in the pixel value; -1 for others.
    static int GetDPIPinBitPosition(const std::string& pin);

private:
    // One bank of strings sent together: its rows of the frame and the latch level it holds.
    struct Bank {
        int firstRow = 0;
        int rows = 0;
        int firstString = 0;
        int count = 0; // strings, at most DATA_LINES
        int32_t latchMask = 0;
        ShuffledRowPattern shuffledRows{}; // the row writer's constants for this bank (WS281x)
        WholeLinePattern wholeLines{};     // and the line writer's
    };
    // A string slot of a bank that drives a line: its string, length and place in the lane words.
    struct Lane {
        int string = 0;
        int length = 0;
        int word = 0;  // which of the three 64-bit lane words
        int shift = 0; // of its byte in that word
    };

    // This frame's bytes of each line of a bank.
    struct LaneSources {
        const uint8_t* bytes[DATA_LINES];
        int lengths[DATA_LINES];
        int wholeRows; // rows that every line has
        bool shared;   // strings beyond the first on a line follow the 24 lanes
    };

    void readPinNames(const Json::Value& pinConfig, std::vector<std::string>& names);
    bool createStrings(Json::Value& config, Json::Value& pinConfig);
    void assignBitPositions();
    void enablePins(const std::vector<std::string>& names);
    void setupLatches(const Json::Value& pinConfig, const std::vector<std::string>& names);
    void findBanks(const std::vector<std::string>& names);
    void buildBanks();
    int bankOfString(int index) const;
    std::string chooseDevice(const Json::Value& config) const;
    bool openFrameBuffer(const std::string& name);
    bool FrameBufferIsConfigured();
    void requestSetting(const std::string& name, const std::string& value);

    // WS281x encoding.
    bool InitializeWS281x();
    void setGeometryWS281x();
    void paintStaticBit(uint8_t* line, int bit, bool bankStart);
    int32_t startPhaseValue() const;
    void InitFrameWS281x();
    void fillRowBlock(const Bank& bank, int first, int count, const uint8_t* const* data, uint64_t* block);
    // Stages rows first to first + 15 of a bank from staged row `row` on.
    void blockOfPixels(const Bank& bank, const LaneSources& sources, int first, const uint8_t* const* data,
                       uint32_t latch, StagedPixels& out, int row);
    LaneSources laneSources(const Bank& bank, const uint8_t* const* data) const;
    template <bool WHOLE, class V> void bitPlanes(const LaneSources& sources, int first, V* planes);
    template <class V>
    void addSharedLines(const Bank& bank, int first, const uint8_t* const* data, V* planes);
    template <class V>
    void allBitPlanes(const Bank& bank, const LaneSources& sources, int first, const uint8_t* const* data,
                      V* planes);
    // blockOfPixels for rows first to first + 31 (AVX2 only).
    void blockPairOfPixels(const Bank& bank, const LaneSources& sources, int first,
                           const uint8_t* const* data, uint32_t latch, StagedPixels& out, int row);
    template <int PPP> void paintBank(const Bank& bank, const uint8_t* const* data);
    void CompleteFrameWS281x() {}
    int rowsThatFit() const;

    std::string device = "fb1";
    std::string protocol = "ws2811";
    std::vector<PixelString*> strings;
    std::array<int32_t, DATA_LINES> bitPos;
    FrameBuffer* fb = nullptr;
    int32_t page = -1;
    int32_t stringCount = 0;
    int32_t longestString = 0;
    int32_t longestStringBank0 = 0;
    int32_t longestStringBank1 = 0;
    int32_t longestStringBank2 = 0;
    int32_t firstStringInBank0 = 0;
    int32_t firstStringInBank1 = 0;
    int32_t firstStringInBank2 = 0;
    int32_t latchMask = 0;
    int32_t LatchPinAMask = 0;
    int32_t LatchPinBMask = 0;
    int32_t LatchPinCMask = 0;
    int32_t protoBitsPerLine = 0;
    int32_t bitInLine = 0;
    uint8_t* outPos = nullptr;
    int32_t lineSkip = 0;
    int32_t pixelsPerPhase = 1;
    int32_t testCycle = -1;
    int32_t testType = 0;
    float testBrightness = 0;
    bool latchMode = false;

    int32_t edgePixels = 1;
    std::vector<Bank> banks;
    // Per bank, fixed after Init: entry k is the lane of byte k % 8 of lane word k / 8 (length 0
    // when no string drives it); further strings on an already driven line follow the 24.
    std::vector<std::vector<Lane>> lanes;
    std::array<const uint8_t*, MAX_STRINGS> rowData{}; // this frame's bytes of each string
    std::vector<std::string> pinNames;                 // per string
};
