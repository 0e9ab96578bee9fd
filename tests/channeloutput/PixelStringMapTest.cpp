#include "PixelStringFixture.h"

#include "common/CpuFeatures.h"

#include <sys/mman.h>

#include <random>

namespace {

using PixelStringMap = PixelStringFixture;

TEST_F(PixelStringMap, FoldsOrderGroupingNullsAndDirectionIntoTheMap) {
    struct Case {
        const char* strings;
        std::vector<int32_t> map;
    } cases[] = {
        {"[{\"pixelCount\": 3, \"colorOrder\": \"RGB\"}]", {0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"[{\"pixelCount\": 3, \"colorOrder\": \"GRB\"}]", {1, 0, 2, 4, 3, 5, 7, 6, 8}},
        {"[{\"pixelCount\": 3, \"colorOrder\": \"RGB\", \"reverse\": 1}]", {6, 7, 8, 3, 4, 5, 0, 1, 2}},
        {"[{\"pixelCount\": 4, \"groupCount\": 2}]", {0, 1, 2, 0, 1, 2, 3, 4, 5, 3, 4, 5}},
        {"[{\"pixelCount\": 4, \"zigZag\": 2}]", {0, 1, 2, 3, 4, 5, 9, 10, 11, 6, 7, 8}},
        {"[{\"pixelCount\": 7, \"zigZag\": 3, \"colorOrder\": \"W\"}]", {0, 1, 2, 5, 4, 3, 6}},
        {"[{\"pixelCount\": 4, \"zigZag\": 2, \"reverse\": 1, \"colorOrder\": \"W\"}]", {2, 3, 1, 0}},
        {"[{\"pixelCount\": 5, \"reverse\": 1, \"colorOrder\": \"W\", \"startChannel\": 20}]",
         {24, 23, 22, 21, 20}},
        {"[{\"pixelCount\": 1, \"startChannel\": 10, \"colorOrder\": \"WRGB\"}]", {10, 11, 12, 13}},
        {"[{\"pixelCount\": 1, \"startChannel\": 10, \"colorOrder\": \"RGBW\"}]", {10, 11, 12, 13}},
        {"[{\"pixelCount\": 1, \"startChannel\": 10, \"colorOrder\": \"WGRB\"}]", {10, 12, 11, 13}},
        {"[{\"pixelCount\": 2, \"startChannel\": 10, \"colorOrder\": \"GRBW\", \"reverse\": 1}]",
         {15, 14, 16, 17, 11, 10, 12, 13}},
        {"[{\"pixelCount\": 1, \"nullNodes\": 1, \"endNulls\": 1}]", {NUL, NUL, NUL, 0, 1, 2, NUL, NUL, NUL}},
        {"[{\"pixelCount\": 2, \"nullNodes\": 1, \"reverse\": 1, \"colorOrder\": \"W\"}]", {NUL, 1, 0}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Port(c.strings)->OutputMap(), c.map) << c.strings;
    }
}

// Zig-zag segments start at the string's own first pixel: the second string here is not folded
// into the first one's entries, and start nulls do not shift the segments.
TEST_F(PixelStringMap, CountsZigZagSegmentsFromTheStringsOwnFirstPixel) {
    auto second = Port("[{\"pixelCount\": 2, \"colorOrder\": \"W\"},"
                       " {\"pixelCount\": 6, \"startChannel\": 100, \"zigZag\": 2, \"colorOrder\": \"W\"}]");
    EXPECT_EQ(second->OutputMap(), (std::vector<int32_t>{0, 1, 100, 101, 103, 102, 104, 105}));
    auto nulls = Port("[{\"pixelCount\": 4, \"nullNodes\": 1, \"zigZag\": 2, \"colorOrder\": \"W\"}]");
    EXPECT_EQ(nulls->OutputMap(), (std::vector<int32_t>{NUL, 0, 1, 3, 2}));
    // Alone on its port the segments run over the end nulls too, as they do over the port's map.
    auto endNulls = Port("[{\"pixelCount\": 3, \"endNulls\": 1, \"zigZag\": 2, \"colorOrder\": \"W\"}]");
    EXPECT_EQ(endNulls->OutputMap(), (std::vector<int32_t>{0, 1, NUL, 2}));
}

TEST_F(PixelStringMap, ClipsChannelsPastTheChannelSpaceToTheNullIndex) {
    auto nearEnd = Port("[{\"pixelCount\": 3, \"startChannel\": 8388606}]");
    EXPECT_EQ(nearEnd->OutputMap(),
              (std::vector<int32_t>{8388606, 8388607, NUL, NUL + 1, NUL + 2, NUL + 3, NUL, NUL, NUL}));
    auto atEnd =
        Port("[{\"pixelCount\": 1600, \"startChannel\": 8388608, \"colorOrder\": \"WBGR\", \"reverse\": 1}]");
    // Reversed, the one pixel that still reads zero reserved bytes (white first, then B, G, R) is last.
    EXPECT_EQ(std::vector<int32_t>(atEnd->OutputMap().end() - 4, atEnd->OutputMap().end()),
              (std::vector<int32_t>{NUL, NUL + 3, NUL + 2, NUL + 1}));
    for (int32_t entry : atEnd->OutputMap()) {
        ASSERT_TRUE(entry >= NUL && entry <= NUL + 3) << entry;
    }
    auto messages = LogMessages();
    EXPECT_NE(
        std::find(messages.begin(), messages.end(),
                  "WARN: Port 1: string at channel 8388609 with 1600 pixels runs past channel 8388608; the "
                  "rest is unlit"),
        messages.end());
}

TEST_F(PixelStringMap, WritesReceiverRunsAndTheirPortMarks) {
    auto port =
        PortFrom("{\"portNumber\": 3, \"differentialType\": 2, \"virtualStrings\": [{\"pixelCount\": 1}],"
                 " \"virtualStringsB\": [{\"pixelCount\": 1, \"startChannel\": 3}]}",
                 true);
    EXPECT_EQ(port->OutputMap(), Concat({Repeat(18, MRK),
                                         Repeat(18, NUL),
                                         {0, 1, 2},
                                         Repeat(18, NUL),
                                         Repeat(36, MRK),
                                         Repeat(18, NUL),
                                         {3, 4, 5}}));
    EXPECT_EQ(port->PortMarks(), (std::vector<PortMark>{{3, 18, 0, 0},
                                                        {3, 36, 1, 0},
                                                        {3, 39, 0, 0},
                                                        {3, 57, 1, 0},
                                                        {3, 93, 0, 0},
                                                        {3, 111, 1, 0},
                                                        {3, 114, 0, 0}}));
    PixelString alone(false);
    alone.AddVirtualString(VirtualString(1, 1));
    alone.BuildMap();
    EXPECT_EQ(alone.OutputMap(), Concat({Repeat(18, NUL), Repeat(36, MRK), Repeat(18, NUL)}));
    EXPECT_EQ(alone.PortMarks(),
              (std::vector<PortMark>{{0, 0, 0, 0}, {0, 18, 1, 0}, {0, 54, 0, 0}, {0, 72, 1, 0}}));
    // Built by hand, the port sends its markers between the zero runs.
    std::vector<uint8_t> data = ChannelBuffer();
    const uint8_t* out = alone.prepareOutput(data.data());
    EXPECT_EQ(std::vector<uint8_t>(out + 18, out + 54),
              std::vector<uint8_t>(36, SMART_RECEIVER_MARKER_VALUE));
}

TEST_F(PixelStringMap, SendsUnlitPixelsForEmptyReceivers) {
    auto port = PortFrom("{\"differentialType\": 5, \"virtualStringsB\": [{\"pixelCount\": 1}]}", true);
    EXPECT_EQ(port->OutputMap(), Concat({{NUL, NUL + 1, NUL + 2}, Repeat(10, NUL), {0, 1, 2}}));
    auto empty = PortFrom("{\"differentialType\": 2}", true);
    EXPECT_EQ(empty->OutputChannels(), 0);
    EXPECT_TRUE(empty->PortMarks().empty());
}

TEST_F(PixelStringMap, PreparesTheWholeOutputThroughEachStringsTable) {
    auto port = Port("[{\"pixelCount\": 2, \"colorOrder\": \"GRB\", \"brightness\": 100, \"gamma\": 1},"
                     " {\"pixelCount\": 1, \"startChannel\": 6, \"brightness\": 0, \"gamma\": 1},"
                     " {\"pixelCount\": 1, \"startChannel\": 7, \"colorOrder\": \"W\", \"brightness\": 50,"
                     " \"gamma\": 1, \"nullNodes\": 1}]");
    std::vector<uint8_t> data = ChannelBuffer();
    const uint8_t values[] = {10, 20, 30, 40, 50, 60, 70, 255};
    std::copy(std::begin(values), std::end(values), data.begin());
    data[NUL] = 10; // proves null nodes read the reserved byte, through the string's table
    uint8_t* out = port->prepareOutput(data.data());
    EXPECT_EQ(out, port->OutputBuffer());
    EXPECT_EQ(std::vector<uint8_t>(out, out + 2400),
              Concat8({{20, 10, 30, 50, 40, 60, 0, 0, 0, 5, 128}, std::vector<uint8_t>(2389, 0)}));
}

TEST_F(PixelStringMap, InvertsEveryTableAndBackAgain) {
    PixelString port(false);
    Json::Value pins = ParseJson("{\"inverted\": true}");
    ASSERT_TRUE(port.Init(
        ParseJson("{\"virtualStrings\": [{\"pixelCount\": 2, \"brightness\": 100, \"gamma\": 1}]}"), &pins));
    std::vector<uint8_t> data = ChannelBuffer();
    data[0] = 0;
    data[1] = 255;
    data[2] = 100;
    EXPECT_TRUE(port.Inverted());
    uint8_t* out = port.prepareOutput(data.data());
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{255, 0, 155, 255, 255, 255}));
    port.invertOutput();
    out = port.prepareOutput(data.data());
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{0, 255, 100, 0, 0, 0}));
    EXPECT_FALSE(port.Inverted());
}

TEST_F(PixelStringMap, SendsTheMarkerValueAtReceiverMarkers) {
    auto port = PortFrom("{\"differentialType\": 1, \"virtualStrings\": [{\"pixelCount\": 1, \"brightness\": "
                         "100, \"gamma\": 1}]}",
                         true);
    std::vector<uint8_t> data = ChannelBuffer();
    data[0] = 1;
    uint8_t* out = port->prepareOutput(data.data());
    EXPECT_EQ(std::vector<uint8_t>(out, out + 39),
              Concat8({std::vector<uint8_t>(18, 0xFF), std::vector<uint8_t>(18, 0), {1, 0, 0}}));
}

// The channel buffer between two inaccessible pages: a read before it, or a page past its reserved
// bytes, faults instead of passing silently.
class GuardedChannelBuffer {
public:
    GuardedChannelBuffer() {
        base = static_cast<uint8_t*>(mmap(nullptr, TOTAL, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base + PAGE, KIVD_MAX_CHANNELS + PAGE, PROT_READ | PROT_WRITE);
        for (unsigned i = 0; i < KIVD_MAX_CHANNELS; i++) {
            data()[i] = static_cast<uint8_t>(i * 7 + 3);
        }
        data()[MRK] = SMART_RECEIVER_MARKER_VALUE;
    }
    ~GuardedChannelBuffer() { munmap(base, TOTAL); }
    uint8_t* data() { return base + PAGE; }

private:
    static constexpr size_t PAGE = 4096;
    static constexpr size_t TOTAL = KIVD_MAX_CHANNELS + 3 * PAGE;
    uint8_t* base;
};

Json::Value RandomString(std::mt19937& rng) {
    auto pick = [&rng](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    static const char* ORDERS[] = {"RGB", "GRB", "BGR",  "RBG",  "GBR", "BRG",
                                   "W",   "R",   "WRGB", "GRBW", "WBGR"};
    Json::Value vs;
    int pixels = pick(0, 3) == 0 ? pick(0, 1600) : pick(0, 40);
    int nulls = pick(0, std::min(5, 1600 - pixels));
    int endNulls = pick(0, std::min(5, 1600 - pixels - nulls));
    int region = pick(0, 2);
    vs["pixelCount"] = pixels;
    vs["nullNodes"] = nulls;
    vs["endNulls"] = endNulls;
    vs["startChannel"] = region == 0   ? pick(0, KIVD_MAX_CHANNELS)
                         : region == 1 ? KIVD_MAX_CHANNELS - pick(0, 7000)
                                       : 0;
    vs["groupCount"] = pick(0, 2) ? 0 : pick(0, pixels);
    vs["zigZag"] = pick(0, 2) ? 0 : pick(0, pixels);
    vs["reverse"] = pick(0, 1);
    vs["colorOrder"] = ORDERS[pick(0, 10)];
    // Full brightness and gamma 1 (the defaults) take the straight-copy path where the map allows.
    const bool plain = pick(0, 2) == 0;
    vs["brightness"] = plain ? 100 : pick(-10, 200);
    vs["gamma"] = plain ? 1.0 : pick(0, 6000) / 100.0;
    return vs;
}

Json::Value RandomPort(std::mt19937& rng) {
    auto pick = [&rng](int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng); };
    Json::Value port;
    port["portNumber"] = pick(0, 47);
    port["differentialType"] = pick(0, 1) ? 0 : pick(0, 15);
    for (const char* label : SMART_RECEIVER_LABELS) {
        int strings = pick(0, 3);
        port[label] = Json::Value(Json::arrayValue);
        for (int i = 0; i < strings; i++) {
            port[label].append(RandomString(rng));
        }
    }
    return port;
}

void CheckSpansCoverTheMap(const PixelString& port, const std::string& config) {
    int position = 0;
    for (const VirtualString& vs : port.VirtualStrings()) {
        ASSERT_EQ(vs.chMap, port.OutputMap().data() + position) << config;
        position += vs.chanCount;
    }
    ASSERT_EQ(position, port.OutputChannels()) << config;
    ASSERT_EQ((int)port.OutputMap().size(), port.OutputChannels()) << config;
    ASSERT_EQ((int)port.BrightnessMaps().size(), port.OutputChannels()) << config;
    for (int32_t entry : port.OutputMap()) {
        ASSERT_TRUE(entry >= 0 && entry <= MRK) << entry << " in " << config;
    }
}

TEST_F(PixelStringMap, RandomValidPortsReadOnlyRealOrReservedChannels) {
    GuardedChannelBuffer channels;
    std::mt19937 rng(20240605);
    struct ExtensionsBackOn {
        ~ExtensionsBackOn() { SetCpuExtensionsEnabled(true); }
    } extensionsBackOn;
    for (int round = 0; round < 300; round++) {
        // Every fifth port copies without the processor's extensions, as boards without them do.
        SetCpuExtensionsEnabled(round % 5 != 4);
        Json::Value config = RandomPort(rng);
        std::string text = SaveJsonToString(config, "");
        PixelString port(round % 2 == 0);
        ASSERT_TRUE(port.Init(config)) << text;
        CheckSpansCoverTheMap(port, text);
        int size = std::max(port.OutputChannels(), MIN_PIXEL_STRING_BUFFER);
        // Inverting changes every table, which must take the straight copies out of use and back.
        for (int inversion = 0; inversion < (round % 3 == 0 ? 3 : 1); inversion++) {
            if (inversion > 0) {
                port.invertOutput();
            }
            std::fill_n(port.OutputBuffer(), size, 0xA5);
            const uint8_t* out = port.prepareOutput(channels.data());
            for (int p = 0; p < port.OutputChannels(); p++) {
                ASSERT_EQ(out[p], port.BrightnessMaps()[p][channels.data()[port.OutputMap()[p]]])
                    << p << " in " << text << " after " << inversion << " inversions";
            }
            for (int p = port.OutputChannels(); p < size; p++) {
                ASSERT_EQ(out[p], 0xA5) << "wrote past the port's channels at " << p << " in " << text;
            }
        }
    }
}

} // namespace
