#include "PixelStringFixture.h"

#include "OutputMonitor.h"

#include <algorithm>
#include <numeric>

namespace {

using PixelStringConfig = PixelStringFixture;

VirtualString Read(const PixelString& port, const std::string& json, bool expectValid = true) {
    VirtualString vs;
    EXPECT_EQ(port.ReadVirtualString(ParseJson(json), vs), expectValid) << json;
    return vs;
}

std::vector<uint8_t> Table(const VirtualString& vs) {
    return std::vector<uint8_t>(vs.brightnessMap, vs.brightnessMap + 256);
}

std::vector<uint8_t> Identity() {
    std::vector<uint8_t> table(256);
    for (int i = 0; i < 256; i++) {
        table[i] = static_cast<uint8_t>(i);
    }
    return table;
}

// "brightness gamma order whiteOffset channelsPerNode groupCount zigZag" of a string as read.
std::string Summary(const VirtualString& vs) {
    char text[128];
    snprintf(text, sizeof(text), "%d %.2f %s %d %d %d %d", vs.brightness, vs.gamma,
             ColorOrderToString(vs.colorOrder).c_str(), vs.whiteOffset, vs.channelsPerNode(), vs.groupCount,
             vs.zigZag);
    return text;
}

TEST_F(PixelStringConfig, ReadsAndClampsEveryKey) {
    PixelString port(false);
    struct Case {
        const char* keys;
        const char* summary;
    } cases[] = {
        {"\"brightness\": 150, \"gamma\": 80", "100 50.00 RGB -1 3 0 0"},
        {"\"brightness\": -5, \"gamma\": 0", "100 0.01 RGB -1 3 0 0"},
        {"\"brightness\": 70, \"gamma\": \"2.2\"", "70 2.20 RGB -1 3 0 0"},
        {"\"brightness\": {}, \"gamma\": [1]", "0 0.01 RGB -1 3 0 0"},
        {"\"brightness\": \"90\", \"gamma\": \"nan\"", "90 0.01 RGB -1 3 0 0"},
        {"\"colorOrder\": \"WGRB\"", "0 0.01 GRB 0 4 0 0"},
        {"\"colorOrder\": \"GRBW\"", "0 0.01 GRB 3 4 0 0"},
        {"\"colorOrder\": \"BGRX\"", "0 0.01 BGR 3 4 0 0"},
        {"\"colorOrder\": \"R\"", "0 0.01 W -1 1 0 0"},
        {"\"colorOrder\": \"BRG\", \"groupCount\": 1, \"zigZag\": 4", "0 0.01 BRG -1 3 0 0"},
        {"\"groupCount\": 2, \"zigZag\": 1", "0 0.01 RGB -1 3 2 0"},
        {"\"zigZag\": 2", "0 0.01 RGB -1 3 0 2"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Summary(Read(port, std::string("{\"pixelCount\": 4, ") + c.keys + "}")), c.summary)
            << c.keys;
    }
}

TEST_F(PixelStringConfig, BuildsBrightnessTablesFromBrightnessAndGamma) {
    PixelString port(false);
    EXPECT_EQ(Table(Read(port, "{\"pixelCount\": 1, \"brightness\": 100, \"gamma\": 1.0}")), Identity());
    EXPECT_EQ(Table(Read(port, "{\"pixelCount\": 1, \"gamma\": 1.0}")), std::vector<uint8_t>(256, 0));
    VirtualString half = Read(port, "{\"pixelCount\": 1, \"brightness\": 50, \"gamma\": 1.0}");
    EXPECT_EQ(half.brightnessMap[255], 128);
    EXPECT_EQ(half.brightnessMap[100], 50);
    VirtualString curved = Read(port, "{\"pixelCount\": 1, \"brightness\": 100, \"gamma\": 2.2}");
    EXPECT_EQ(curved.brightnessMap[128], 56);
    EXPECT_EQ(curved.brightnessMap[255], 255);
    EXPECT_EQ(curved.brightnessMap[10], 0);
}

TEST_F(PixelStringConfig, AcceptsAZeroPixelStringAsAnIdentityPlaceholder) {
    PixelString port(false);
    VirtualString vs =
        Read(port, "{\"pixelCount\": 0, \"startChannel\": -4, \"reverse\": 7, \"groupCount\": 3,"
                   " \"colorOrder\": \"BGR\", \"nullNodes\": 9, \"description\": \"spare\"}");
    EXPECT_EQ(std::vector<int>({vs.colorOrder, vs.groupCount, vs.startChannel, vs.reverse, vs.startNulls}),
              std::vector<int>({kColorOrderRGB, 1, 0, 0, 0}));
    EXPECT_EQ(vs.description, "spare");
    EXPECT_EQ(Table(vs), Identity());
    auto ps = Port("[{\"pixelCount\": 0}]");
    EXPECT_EQ(ps->OutputChannels(), 0);
}

TEST_F(PixelStringConfig, RejectsEachInvalidStringWithItsOwnMessage) {
    struct Case {
        const char* json;
        const char* condition;
    } cases[] = {
        {"{\"pixelCount\": -1}", "vs.pixelCount < 0"},
        {"{\"pixelCount\": 1601}", "vs.pixelCount > MAX_PIXEL_STRING_LENGTH"},
        {"{\"pixelCount\": 1, \"startChannel\": -1, \"reverse\": 4}", "vs.startChannel < 0"},
        {"{\"pixelCount\": 1, \"startChannel\": 8388609}", "vs.startChannel > KIVD_MAX_CHANNELS"},
        {"{\"pixelCount\": 1, \"nullNodes\": -1}", "vs.startNulls < 0"},
        {"{\"pixelCount\": 1, \"nullNodes\": 1601}", "vs.startNulls > MAX_PIXEL_STRING_LENGTH"},
        {"{\"pixelCount\": 1, \"endNulls\": -1}", "vs.endNulls < 0"},
        {"{\"pixelCount\": 1, \"endNulls\": 1601}", "vs.endNulls > MAX_PIXEL_STRING_LENGTH"},
        {"{\"pixelCount\": 1600, \"nullNodes\": 1}",
         "(vs.startNulls + vs.pixelCount + vs.endNulls) > MAX_PIXEL_STRING_LENGTH"},
        {"{\"pixelCount\": 1, \"reverse\": -1}", "vs.reverse < 0"},
        {"{\"pixelCount\": 1, \"reverse\": 2}", "vs.reverse > 1"},
        {"{\"pixelCount\": 1, \"groupCount\": -1}", "vs.groupCount < 0"},
        {"{\"pixelCount\": 2, \"groupCount\": 3}", "vs.groupCount > vs.pixelCount"},
        {"{\"pixelCount\": 2, \"zigZag\": 3}", "vs.zigZag > vs.pixelCount"},
        {"{\"pixelCount\": 2, \"zigZag\": -1}", "vs.zigZag < 0"},
    };
    for (const Case& c : cases) {
        WarningHolder::RemoveAllWarnings();
        auto port = Port(std::string("[{\"pixelCount\": 2}, ") + c.json + ", {\"pixelCount\": 3}]", false);
        EXPECT_EQ(port->VirtualStrings().size(), 1u) << c.json;
        EXPECT_EQ(WarningMessages(),
                  std::vector<std::string>{std::string("Invalid PixelString Config: ") + c.condition});
        EXPECT_EQ(LogMessages().back(), std::string("ERROR: Invalid PixelString Config ") + c.condition);
    }
}

TEST_F(PixelStringConfig, AcceptsTheLastChannelAndTheLongestString) {
    EXPECT_EQ(Port("[{\"pixelCount\": 1, \"startChannel\": 8388608}]")->OutputChannels(), 3);
    EXPECT_EQ(Port("[{\"pixelCount\": 1598, \"nullNodes\": 1, \"endNulls\": 1}]")->OutputChannels(), 4800);
    EXPECT_TRUE(WarningMessages().empty());
}

TEST_F(PixelStringConfig, ReadsValuesOfTheWrongTypeLeniently) {
    auto port =
        Port("[{\"pixelCount\": \"4\", \"startChannel\": \"30\", \"colorOrder\": 7, \"description\": {}},"
             " {\"pixelCount\": \"many\"}, 17, \"text\", [1, 2]]");
    ASSERT_EQ(port->VirtualStrings().size(), 5u);
    EXPECT_EQ(port->OutputMap(), (std::vector<int32_t>{30, 31, 32, 33}));
    EXPECT_EQ(port->VirtualStrings()[0].description, "");
    for (const char* config : {"[]", "{\"portNumber\": \"x\", \"virtualStrings\": {\"pixelCount\": 5}}",
                               "{\"virtualStrings\": \"none\", \"differentialType\": []}", "42"}) {
        PixelString odd(true);
        EXPECT_TRUE(odd.Init(ParseJson(config))) << config;
        EXPECT_EQ(odd.OutputChannels(), 0) << config;
        EXPECT_NE(odd.OutputBuffer(), nullptr);
    }
}

bool MonitorHasPort(const std::string& name) {
    std::vector<std::string> names = OutputMonitor::INSTANCE.GetPortNames();
    return std::find(names.begin(), names.end(), name) != names.end();
}

TEST_F(PixelStringConfig, RegistersItsPortWithTheOutputMonitorWhileItLives) {
    {
        PixelString port(false);
        Json::Value pins = ParseJson("{}");
        ASSERT_TRUE(
            port.Init(ParseJson("{\"portNumber\": 4, \"virtualStrings\": [{\"pixelCount\": 2}]}"), &pins));
        EXPECT_TRUE(MonitorHasPort("Port 5"));
        PixelString empty(false);
        ASSERT_TRUE(empty.Init(ParseJson("{\"portNumber\": 6}"), &pins));
        EXPECT_TRUE(MonitorHasPort("Port 7"));
        EXPECT_EQ(empty.OutputChannels(), 0);
    }
    EXPECT_FALSE(MonitorHasPort("Port 5"));
    EXPECT_FALSE(MonitorHasPort("Port 7"));
    PixelString odd(false);
    Json::Value notAnObject = ParseJson("[\"enablePin\"]");
    ASSERT_TRUE(odd.Init(ParseJson("{\"portNumber\": 7}"), &notAnObject));
    EXPECT_TRUE(MonitorHasPort("Port 8"));
    PixelString unregistered(false);
    ASSERT_TRUE(unregistered.Init(ParseJson("{\"portNumber\": 8}")));
    EXPECT_FALSE(MonitorHasPort("Port 9"));
}

// One entry per virtual string: its receiver number (-1 for ordinary strings) and its channels.
std::vector<std::pair<int, int>> Layout(const PixelString& port) {
    std::vector<std::pair<int, int>> layout;
    for (const VirtualString& vs : port.VirtualStrings()) {
        layout.emplace_back(vs.receiverNum, vs.chanCount);
    }
    return layout;
}

std::string SmartPort(int differentialType, const std::string& receiverLists) {
    return "{\"portNumber\": 2, \"differentialType\": " + std::to_string(differentialType) + receiverLists +
           "}";
}

const char* ONE_PIXEL = "[{\"pixelCount\": 1}]";

TEST_F(PixelStringConfig, LaysOutSmartReceiversByDifferentialType) {
    struct Case {
        int differentialType;
        std::vector<const char*> lists; // virtualStrings, virtualStringsB, ...
        std::vector<std::pair<int, int>> layout;
    } cases[] = {
        {2, {ONE_PIXEL, ONE_PIXEL}, {{0, 36}, {-1, 3}, {1, 72}, {-1, 3}}},
        {2, {ONE_PIXEL, "[]"}, {{0, 36}, {-1, 3}}},
        {2, {ONE_PIXEL}, {{0, 36}, {-1, 3}}},
        {3, {ONE_PIXEL, "[]", ONE_PIXEL}, {{0, 36}, {-1, 3}, {1, 72}, {-1, 3}, {2, 90}, {-1, 3}}},
        {1, {"[]"}, {{-1, 0}}},
        {2, {"[]", ONE_PIXEL}, {{0, 36}, {-1, 3}, {1, 72}, {-1, 3}}},
        {6, {ONE_PIXEL, ONE_PIXEL, ONE_PIXEL}, {{-1, 3}, {1, 10}, {-1, 3}, {2, 10}, {-1, 3}}},
        {5, {"[]", ONE_PIXEL}, {{-1, 3}, {1, 10}, {-1, 3}}},
        {11, {ONE_PIXEL, ONE_PIXEL}, {{-1, 3}, {1, 0}, {-1, 3}}},
        {0, {ONE_PIXEL, ONE_PIXEL}, {{-1, 3}}},
    };
    for (const Case& c : cases) {
        std::string lists;
        for (size_t i = 0; i < c.lists.size(); i++) {
            lists += std::string(", \"") + SMART_RECEIVER_LABELS[i] + "\": " + c.lists[i];
        }
        auto port = PortFrom(SmartPort(c.differentialType, lists), true);
        EXPECT_EQ(Layout(*port), c.layout) << c.differentialType << lists;
        EXPECT_EQ(port->SmartReceivers(), c.differentialType != 0) << c.differentialType;
        EXPECT_EQ(port->OutputChannels(),
                  std::accumulate(c.layout.begin(), c.layout.end(), 0,
                                  [](int sum, const auto& entry) { return sum + entry.second; }));
    }
}

TEST_F(PixelStringConfig, DumpsOrdinaryStringsOnly) {
    KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_DEBUG;
    auto port =
        PortFrom(SmartPort(2, ", \"virtualStrings\": [{\"pixelCount\": 4, \"startChannel\": 12,"
                              " \"colorOrder\": \"WBGR\", \"description\": \"Eave\", \"brightness\": 60,"
                              " \"gamma\": 2.2, \"endNulls\": 2}]"),
                 true);
    port->SetChannelOffset(100);
    std::size_t before = LogMessages().size();
    port->DumpConfig();
    std::vector<std::string> dump = LogMessages();
    dump.erase(dump.begin(), dump.begin() + before);
    EXPECT_EQ(dump,
              (std::vector<std::string>{
                  "        port number      : 2", "        --- Virtual String #1 ---",
                  "        description   : Eave", "        start channel : 112", "        pixel count   : 4",
                  "        group count   : 0", "        reverse       : 0", "        color order   : WBGR",
                  "        start nulls   : 0", "        end nulls     : 2", "        zig zag       : 0",
                  "        brightness    : 60", "        gamma         : 2.200"}));
}

} // namespace
