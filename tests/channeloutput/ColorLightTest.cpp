// The ColorLight receiver-card output on a veth pair in a private network namespace, against an
// emulated chain of cards on the far end: discovery as the cards answer it, and every frame decoded
// here from the cards' frame tables and compared with a model of the panel layout written here.
#include "channeloutput/ColorLight-5a-75/ColorLight-5a-75.h"

#include "channeloutput/ColorLightWire.h"
#include "channeloutput/LEDPanel.h"
#include "channeloutput/PanelLayoutModel.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"
#include "player/Sequence.h"
#include "support/ColorLightReceiver.h"
#include "support/NetNamespace.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int START = 3000; // the output's first channel, 0-based

struct Case {
    const char* name;
    int panelWidth, panelHeight;
    std::vector<PanelSpec> panels;
    std::string order;
    int cfgVersion; // 0 leaves the key out
    std::string gamma;
    Json::Value brightness; // null leaves the key out
    int firmwareSetting;    // 0 runs discovery
    std::vector<ColorLightReceiver::Card> cards;
    int expectedFirmware;
    int expectedBrightness;
    std::vector<int> expectedRequests;
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

Json::Value Config(const Case& c) {
    Json::Value config;
    config["type"] = "LEDPanelMatrix";
    config["subType"] = "ColorLight5a75";
    config["interface"] = "v0";
    config["panelWidth"] = c.panelWidth;
    config["panelHeight"] = c.panelHeight;
    config["colorOrder"] = c.order;
    if (c.cfgVersion) {
        config["cfgVersion"] = c.cfgVersion;
    }
    config["gamma"] = c.gamma;
    if (!c.brightness.isNull()) {
        config["brightness"] = c.brightness;
    }
    config["panels"] = PanelsJson(c.panels);
    return config;
}

ColorLightLayout Layout(const Case& c) {
    return {c.panelWidth, c.panelHeight, c.panels, c.order, c.cfgVersion, c.gamma, START};
}

class ColorLightWire : public ::testing::Test {
protected:
    // Once for the process: every suite here shares the namespace and its veth pair.
    static void SetUpTestSuite() {
        static bool made = EnterPrivateNetworkNamespace() && MountPrivateSysfs() &&
                           RunCommand("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                                      "ip link set v1 up && ip addr add 192.0.2.1/24 dev v0 && "
                                      "ip addr add 192.0.2.2/24 dev v1") &&
                           WaitForLinkUp("v0");
        ASSERT_TRUE(made);
    }
    void SetUp() override {
        KIVLogger::INSTANCE.Init();
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_ERROR;
        WarningHolder::RemoveAllWarnings();
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(false);
        SetSetting("ColorlightFirmwareVersion", 0);
        SetSetting("ColorlightLinkDownDisable", 0);
        // Exactly the daemon's buffer, so a read or write past it is caught under the sanitizers.
        channels.assign(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES, 0);
        std::mt19937 random(5);
        for (int i = 0; i < 200000; i++) {
            channels[i] = uint8_t(random());
        }
    }
    void TearDown() override {
        if (output) {
            output->Close();
        }
        output.reset();
        WarningHolder::RemoveAllWarnings();
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(true);
    }
    int Init(const Json::Value& config) {
        output = std::make_unique<ColorLight5a75Output>(START, 0);
        return output->Init(config);
    }
    // One frame through the output, decoded once the cards have seen its display frame(s).
    Wire SendFrame(ColorLightReceiver& cards, int rowBytes, int displayFrames = 1) {
        cards.Clear();
        output->PrepData(channels.data());
        output->SendData(channels.data() + START);
        EXPECT_TRUE(cards.WaitForFrames(0x01, displayFrames, 2000));
        return Decode(cards.Frames(), rowBytes);
    }
    std::string Warnings() const {
        std::string all;
        for (const KIVWarning& w : WarningHolder::GetWarnings()) {
            all += w.message + "\n";
        }
        return all;
    }

    std::vector<uint8_t> channels;
    std::unique_ptr<ColorLight5a75Output> output;
};

class ColorLightLayouts : public ColorLightWire, public ::testing::WithParamInterface<Case> {};

TEST_P(ColorLightLayouts, CardsReceiveEveryPanelPixelFromItsChannels) {
    const Case& c = GetParam();
    SetSetting("ColorlightFirmwareVersion", c.firmwareSetting);
    ColorLightReceiver cards("v1", c.cards);
    ASSERT_TRUE(cards.Ready());
    ASSERT_TRUE(Init(Config(c))) << Warnings();
    EXPECT_EQ(cards.Requests(), c.expectedRequests);
    EXPECT_EQ(output->FirmwareVersion(), c.expectedFirmware);
    EXPECT_EQ(output->Receivers().size(), c.cards.size());
    for (size_t i = 0; i < output->Receivers().size(); i++) {
        EXPECT_EQ(output->Receivers()[i].id, c.cards[i].id);
    }
    bool noCards = c.firmwareSetting == 0 && c.cards.empty();
    EXPECT_EQ(Warnings().find("No receiver cards were detected on interface v0") != std::string::npos,
              noCards);

    int copies = c.expectedFirmware > 12 ? 2 : 1;
    std::map<int, std::vector<uint8_t>> expected = ExpectedRows(Layout(c), channels);
    int rowBytes = int(expected.begin()->second.size());
    Wire wire = SendFrame(cards, rowBytes, copies);
    EXPECT_EQ(wire.problems, "");
    EXPECT_EQ(wire.brightness, std::vector<int>(copies, c.expectedBrightness));
    EXPECT_EQ(wire.display, std::vector<int>(copies, c.expectedBrightness));
    EXPECT_EQ(wire.rows.size(), expected.size());
    for (const auto& [row, bytes] : expected) {
        EXPECT_EQ(wire.rows[row], bytes) << "row " << row;
        int pixels = rowBytes / 3;
        ASSERT_EQ(wire.chunks[row].size(), size_t((pixels + 496) / 497)) << "row " << row;
        for (size_t i = 0; i < wire.chunks[row].size(); i++) {
            EXPECT_EQ(wire.chunks[row][i],
                      std::make_pair(int(i) * 497, std::min(497, pixels - int(i) * 497)));
        }
    }
}

const Case LAYOUTS[] = {
    {"LegacyLayoutSwapsOrientationsAndKeepsChainOrder",
     16,
     8,
     {{0, 0, 'L', 0, 0, ""}, {0, 1, 'N', 8, 0, "GRB"}},
     "RGB",
     0,
     "1.0",
     Json::Value(1),
     0,
     {{12, 3, 7}},
     12,
     2,
     {0, 1}},
    {"Version2MirrorsChainsOnTwoOutputsWithGammaAndFirmware13",
     16,
     8,
     {{0, 0, 'U', 0, 0, ""}, {0, 1, 'R', 16, 0, "brg"}, {1, 0, 'N', 0, 16, ""}},
     "BGR",
     2,
     "2.2",
     Json::Value(50),
     0,
     {{13, 1, 4}, {9, 2, 5}},
     13,
     127,
     {0, 1, 2}},
    {"WideRowSplitIntoFullAndRemainderChunks",
     64,
     4,
     {{0, 0, 'N', 0, 0, ""},
      {0, 1, 'N', 64, 0, ""},
      {0, 2, 'N', 128, 0, ""},
      {0, 3, 'N', 192, 0, ""},
      {0, 4, 'N', 256, 0, ""},
      {0, 5, 'N', 320, 0, ""},
      {0, 6, 'N', 384, 0, ""},
      {0, 7, 'N', 448, 0, ""}},
     "RGB",
     2,
     "1.0",
     Json::Value(100),
     12,
     {},
     12,
     254,
     {}},
    {"NoCardsAnswerBrightnessWraps",
     16,
     8,
     {{0, 0, 'N', 0, 0, ""}},
     "RGB",
     2,
     "1.0",
     Json::Value(300),
     0,
     {},
     0,
     112,
     {0}},
    {"AbsentBrightnessIsFullAndSettingFirmwareSkipsDiscovery",
     16,
     8,
     {{0, 0, 'N', 0, 0, ""}},
     "RGB",
     2,
     "1.0",
     Json::Value(),
     13,
     {},
     13,
     255,
     {}},
};
INSTANTIATE_TEST_SUITE_P(Panels, ColorLightLayouts, ::testing::ValuesIn(LAYOUTS),
                         [](const auto& info) { return std::string(info.param.name); });

Case OnePanel() {
    return {"", 16, 8, {{0, 0, 'N', 0, 0, ""}}, "RGB", 2, "1.0", Json::Value(), 12, {}, 12, 255, {}};
}

TEST_F(ColorLightWire, HostileDiscoveryAnswersFindNoCardAndEndInTime) {
    for (auto answers : {ColorLightReceiver::Answers::Short, ColorLightReceiver::Answers::WrongSource,
                         ColorLightReceiver::Answers::WrongType, ColorLightReceiver::Answers::JunkStream}) {
        SetSetting("ColorlightFirmwareVersion", 0);
        ColorLightReceiver cards("v1", {{13, 0, 1}, {13, 0, 2}}, answers);
        ASSERT_TRUE(cards.Ready());
        auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(Init(Config(OnePanel())));
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::milliseconds(1500)) << int(answers);
        EXPECT_EQ(cards.Requests(), std::vector<int>{0}) << int(answers);
        EXPECT_TRUE(output->Receivers().empty());
        EXPECT_EQ(output->FirmwareVersion(), 0);
        EXPECT_NE(Warnings().find("No receiver cards were detected"), std::string::npos);
        output.reset();
    }
}

TEST_F(ColorLightWire, NoCardsWithLinkDownDisableLeavesTheOutputOff) {
    SetSetting("ColorlightLinkDownDisable", 1);
    Case c = OnePanel();
    c.firmwareSetting = 0;
    ColorLightReceiver cards("v1", {});
    EXPECT_FALSE(Init(Config(c)));
    EXPECT_EQ(cards.Requests(), std::vector<int>{0});
}

TEST_F(ColorLightWire, LinkDownWarnsAndDisablesOnlyWhenAsked) {
    ASSERT_TRUE(RunCommand("ip link set v1 down"));
    ASSERT_TRUE(Init(Config(OnePanel())));
    EXPECT_NE(Warnings().find("ColorLight: Configured interface v0 does not have link"), std::string::npos);
    ASSERT_TRUE(RunCommand("ip link set v1 up") && WaitForLinkUp("v0"));
    ColorLightReceiver cards("v1", {});
    Wire wire = SendFrame(cards, 16 * 3);
    EXPECT_EQ(wire.rows.size(), 8u) << "frames flow once the link is back";

    SetSetting("ColorlightLinkDownDisable", 1);
    ASSERT_TRUE(RunCommand("ip link set v1 down"));
    EXPECT_FALSE(Init(Config(OnePanel())));
    ASSERT_TRUE(RunCommand("ip link set v1 up") && WaitForLinkUp("v0"));
}

TEST_F(ColorLightWire, MissingInterfaceAndBadPanelsAreWarnedByName) {
    Json::Value config = Config(OnePanel());
    config["interface"] = "nosuch0";
    EXPECT_FALSE(Init(config));
    EXPECT_NE(Warnings().find("ColorLight: Error getting index of interface nosuch0"), std::string::npos);

    WarningHolder::RemoveAllWarnings();
    config = Config(OnePanel());
    config["panelWidth"] = 100000;
    EXPECT_FALSE(Init(config));
    EXPECT_NE(Warnings().find("ColorLight: panel size"), std::string::npos);

    WarningHolder::RemoveAllWarnings();
    Case c = OnePanel();
    c.panels.push_back({0, 1, 'N', -16, 0, ""});
    c.panels.push_back({0, 500, 'N', 16, 0, ""});
    c.panels.push_back({40, 0, 'N', 32, 0, ""});
    ASSERT_TRUE(Init(Config(c)));
    EXPECT_NE(Warnings().find("ColorLight: panel 1 skipped"), std::string::npos) << Warnings();
    EXPECT_NE(Warnings().find("ColorLight: panel 2 skipped"), std::string::npos);
    EXPECT_NE(Warnings().find("ColorLight: panel 3 skipped"), std::string::npos);
    ColorLightReceiver cards("v1", {});
    c.panels.resize(1);
    Wire wire = SendFrame(cards, 16 * 3);
    EXPECT_EQ(wire.problems, "");
    EXPECT_EQ(wire.rows, ExpectedRows(Layout(c), channels));
}

TEST_F(ColorLightWire, SecondOutputsModelTakesTheNextFreeName) {
    PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(true);
    Json::Value config = Config(OnePanel());
    config["LEDPanelMatrixName"] = "CL-" + std::to_string(getpid());
    ASSERT_TRUE(Init(config));
    auto first = std::move(output);
    ASSERT_TRUE(Init(config));
    EXPECT_NE(PixelOverlayManager::INSTANCE.getModel("CL-" + std::to_string(getpid())), nullptr);
    EXPECT_NE(PixelOverlayManager::INSTANCE.getModel("CL-" + std::to_string(getpid()) + "-1"), nullptr);
    first->Close();
}

TEST_F(ColorLightWire, TestPatternsReachTheCardsThroughEachPanel) {
    Case c = OnePanel();
    c.panels = {{0, 0, 'L', 0, 0, "GRB"}, {0, 1, 'U', 8, 0, ""}};
    ASSERT_TRUE(Init(Config(c)));
    ColorLightReceiver cards("v1", {});
    output->OverlayTestData(channels.data(), 1, 0, LEDPanel::TEST_SOLID_CYCLE, Json::Value());
    Wire wire = SendFrame(cards, 32 * 3);
    ASSERT_EQ(wire.rows.size(), 8u);
    for (const auto& [row, bytes] : wire.rows) {
        for (size_t i = 0; i < bytes.size(); i++) {
            ASSERT_EQ(bytes[i], i % 3 == 1 ? 255 : 0) << "row " << row << " byte " << i;
        }
    }
}

// A queue of length 0 on the interface refuses every frame (ENOBUFS), as a saturated link would:
// each send keeps retrying for its 22 ms budget, then gives up; only more than three such sends in
// a row raise the user warning, and one complete send starts the count again.
TEST_F(ColorLightWire, SlowSendsRetryForTheirBudgetAndWarnAfterThreeInARow) {
    const std::string repeated = "Repeated frames taking more than 20ms to send to ColorLight";
    ASSERT_TRUE(Init(Config(OnePanel())));
    auto slowSends = [&](int count) {
        EXPECT_TRUE(RunCommand("tc qdisc add dev v0 root pfifo limit 0"));
        for (int i = 0; i < count; i++) {
            auto start = std::chrono::steady_clock::now();
            output->PrepData(channels.data());
            // The budget is counted on a whole-millisecond clock, so 22 of its ticks may be 21.x ms.
            EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(21)) << i;
        }
        EXPECT_TRUE(RunCommand("tc qdisc del dev v0 root"));
    };
    slowSends(3);
    EXPECT_EQ(Warnings().find(repeated), std::string::npos) << "three slow sends are tolerated";
    slowSends(1);
    EXPECT_NE(Warnings().find(repeated), std::string::npos);

    WarningHolder::RemoveAllWarnings();
    ColorLightReceiver cards("v1", {});
    Wire wire = SendFrame(cards, 16 * 3);
    EXPECT_EQ(wire.rows, ExpectedRows(Layout(OnePanel()), channels)) << "frames flow once the queue drains";
    slowSends(3);
    EXPECT_EQ(Warnings().find(repeated), std::string::npos) << "a complete send resets the count";
}

} // namespace
