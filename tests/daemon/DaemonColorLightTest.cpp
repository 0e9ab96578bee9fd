// A running kivd in bridge mode driving ColorLight receiver cards: E1.31 data in, the output on one
// end of a veth pair in the test's own network and mount namespaces, and an emulated card on the
// other end that answers discovery and receives the picture, decoded here and compared with the
// test's own layout model.
#include "channeloutput/ColorLightWire.h"
#include "e131bridge/WirePackets.h"
#include "support/ColorLightReceiver.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <vector>

namespace {

// Two 16x8 panels with gamma 1.0, the second upside down under the first on output 1.
const ColorLightLayout LAYOUT{16, 8, {{0, 0, 'N', 0, 0, ""}, {1, 0, 'U', 0, 8, "GRB"}}, "RGB", 2, "1.0", 0};

std::string Outputs() {
    Json::Value output;
    output["type"] = "LEDPanelMatrix";
    output["subType"] = "ColorLight5a75";
    output["enabled"] = 1;
    output["startChannel"] = 1;
    output["channelCount"] = 768;
    output["interface"] = "v0";
    output["panelWidth"] = LAYOUT.panelWidth;
    output["panelHeight"] = LAYOUT.panelHeight;
    output["colorOrder"] = LAYOUT.order;
    output["cfgVersion"] = LAYOUT.cfgVersion;
    output["gamma"] = LAYOUT.gamma;
    output["brightness"] = 50;
    output["panels"] = PanelsJson(LAYOUT.panels);
    Json::Value config;
    config["channelOutputs"].append(output);
    return config.toStyledString();
}

class DaemonColorLight : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace() && MountPrivateSysfs() &&
                    RunCommand("ip link add v0 type veth peer name v1 && ip link set v0 up && "
                               "ip link set v1 up") &&
                    WaitForLinkUp("v0"));
    }
    void SetUp() override {
        media.write("settings", "kivMode = \"bridge\"\n");
        media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
            "timeout": 60000, "universes": [{"active": 1, "id": 1, "universeCount": 2, "startChannel": 1,
            "channelCount": 384, "type": 1}]}]})");
        media.write("config/channeloutputs.json", Outputs());
        for (int c = 0; c < 768; c++) {
            channels[c] = uint8_t(c * 7 + c / 256 + 1);
        }
    }
    void SendFrame() {
        wire::UdpSender e131("127.0.0.1", 5568);
        e131.send(wire::E131Data(1, sequence, wire::Bytes(channels.begin(), channels.begin() + 384)));
        e131.send(wire::E131Data(2, sequence++, wire::Bytes(channels.begin() + 384, channels.end())));
    }

    TestMediaDir media;
    DaemonProcess daemon{media.path()};
    std::vector<uint8_t> channels = std::vector<uint8_t>(768);
    int sequence = 0;
};

TEST_F(DaemonColorLight, CardsShowTheBridgedPictureAtTheConfiguredBrightness) {
    // Firmware 13 found by discovery doubles the brightness and display frames.
    ColorLightReceiver cards("v1", {{13, 2, 7}});
    ASSERT_TRUE(cards.Ready());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "info:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Found 1 ColorLight receiver(s)")) << daemon.output();
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
    EXPECT_EQ(cards.Requests(), (std::vector<int>{0, 1}));

    std::map<int, std::vector<uint8_t>> expected = ExpectedRows(LAYOUT, channels);
    Wire shown;
    auto cardsShow = [&](const std::map<int, std::vector<uint8_t>>& rows, bool sendData) {
        return WaitFor(
            [&] {
                if (sendData) {
                    SendFrame();
                }
                cards.Clear();
                // Two frames' display frames, so the rows between them are one whole frame.
                if (!cards.WaitForFrames(0x01, 4, 1000)) {
                    return false;
                }
                shown = Decode(cards.Frames(), 16 * 3);
                return shown.rows == rows;
            },
            10000, 20);
    };
    EXPECT_TRUE(cardsShow(expected, true)) << daemon.output();
    EXPECT_EQ(shown.problems, "");
    ASSERT_GE(shown.brightness.size(), 2u);
    EXPECT_EQ(shown.brightness[0], 127);
    EXPECT_EQ(shown.display[0], 127);

    // The panels' own test pattern, first cycle: every panel's red line lit, whatever its colour
    // order; dark again after the stop.
    auto command = [](const std::string& name, const std::string& args) {
        return HttpPost("http://127.0.0.1:32322/command",
                        R"({"command": ")" + name + R"(", "args": )" + args + "}")
            .status;
    };
    ASSERT_EQ(200, command("Test Start", R"(["60000", "Output Specific", "ColorLight Panels", "1"])"));
    std::map<int, std::vector<uint8_t>> red;
    for (int row = 0; row < 16; row++) {
        for (int x = 0; x < 16; x++) {
            red[row].insert(red[row].end(), {255, 0, 0});
        }
    }
    EXPECT_TRUE(cardsShow(red, false));
    ASSERT_EQ(200, command("Test Stop", "[]"));
    EXPECT_TRUE(cardsShow(ExpectedRows(LAYOUT, std::vector<uint8_t>(768)), false));
    EXPECT_EQ(media.read("tmp/warnings.json").find("ColorLight"), std::string::npos)
        << media.read("tmp/warnings.json");
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

} // namespace
