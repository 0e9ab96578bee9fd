// A running kivd with HUB75 panels on the simulated panel: channel data that arrives over E1.31
// shows on the panels as they hang, rewriting the outputs file re-lays the panels, and test patterns
// started and stopped through the API reach the panels and leave them.
#include "channeloutput/SimulatedPanelDecoder.h"
#include "e131bridge/WirePackets.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"

#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"
#include <jsoncpp/json/json.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const std::string API = "http://127.0.0.1:32322";

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

// 16x8 panels with gamma 1.0; each panel given as output, chain position, orientation, x, y.
std::string Outputs(const std::string& name, int panelWidth, const std::string& panels) {
    return R"({"channelOutputs": [{"type": "LEDPanelMatrix", "subType": "RGBMatrix", "enabled": 1,
        "startChannel": 1, "channelCount": 768, "panelWidth": )" +
           std::to_string(panelWidth) + R"(, "panelHeight": 8, "gamma": "1.0", "LEDPanelMatrixName": ")" +
           name + R"(", "panels": [)" + panels + "]}]}";
}
std::string Panel(int output, int chain, const char* orientation, int x, int y) {
    return R"({"outputNumber": )" + std::to_string(output) + R"(, "panelNumber": )" + std::to_string(chain) +
           R"(, "orientation": ")" + orientation + R"(", "xOffset": )" + std::to_string(x) +
           R"(, "yOffset": )" + std::to_string(y) + R"(, "colorOrder": "RGB"})";
}

// Channel c (0-based) of the frame sent: distinct along each of the 768 channels.
uint8_t Sent(int c) {
    return uint8_t(c * 7 + c / 256 + 1);
}

bool PixelShows(const ShownPanel& shown, int x, int y, int mx, int my, int matrixWidth) {
    for (int line = 0; line < 3; line++) {
        if (shown.at(x, y)[line] != Sent((my * matrixWidth + mx) * 3 + line)) {
            return false;
        }
    }
    return true;
}

class DaemonRGBMatrix : public ::testing::Test {
protected:
    // Before any socket of the test is made, so they all live in the private namespace.
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        path = "/dev/shm/kiv-hub75-daemon-" + std::to_string(getpid());
        setenv("KIV_HUB75_SIM_FILE", path.c_str(), 1);
        name = "hub75-daemon-" + std::to_string(getpid());
        media.write("settings", "kivMode = \"bridge\"\n");
        media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
            "timeout": 60000, "universes": [{"active": 1, "id": 1, "universeCount": 2, "startChannel": 1,
            "channelCount": 384, "type": 1}]}]})");
    }
    void TearDown() override { unlink(path.c_str()); }
    void SendFrame() {
        wire::Bytes one(384), two(384);
        for (int c = 0; c < 384; c++) {
            one[c] = Sent(c);
            two[c] = Sent(384 + c);
        }
        wire::UdpSender e131("127.0.0.1", 5568);
        e131.send(wire::E131Data(1, sequence, one));
        e131.send(wire::E131Data(2, sequence++, two));
    }
    // Sends the frame until the panel file shows a canvas of the size given that passes `check`.
    bool Shows(uint32_t width, uint32_t height, const std::function<bool(const ShownPanel&)>& check) {
        return WaitFor(
            [&] {
                SendFrame();
                shown = ReadShownPanel(path);
                return shown.valid && shown.width == width && shown.height == height && check(shown);
            },
            10000, 30);
    }

    TestMediaDir media;
    DaemonProcess daemon{media.path()};
    std::string path;
    std::string name;
    int sequence = 0;
    ShownPanel shown;
};

TEST_F(DaemonRGBMatrix, ShowsBridgeDataOnThePanelsAndReloadsARewrittenLayout) {
    // A 16x16 matrix: the top half upright on output 0, the bottom half upside down on output 1.
    media.write("config/channeloutputs.json",
                Outputs(name, 16, Panel(0, 0, "N", 0, 0) + ", " + Panel(1, 0, "U", 0, 8)));
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
    ASSERT_TRUE(daemon.waitForOutput("Configured RGBMatrix Channel Output")) << daemon.output();
    bool whole = Shows(16, 16, [](const ShownPanel& s) {
        for (int y = 0; y < 8; y++) {
            for (int x = 0; x < 16; x++) {
                if (!PixelShows(s, x, y, x, y, 16) || !PixelShows(s, x, 8 + y, 15 - x, 15 - y, 16)) {
                    return false;
                }
            }
        }
        return true;
    });
    ASSERT_TRUE(whole) << "valid " << shown.valid << " " << shown.width << "x" << shown.height << "\n"
                       << daemon.output();
    EXPECT_GT(shown.swaps, 1u);

    // One chain of two 16x8 panels, the second placed left of the first: a 32x8 canvas whose far end
    // (chain position 0) shows the right half of the matrix.
    size_t mark = daemon.output().size();
    media.write("config/channeloutputs.json",
                Outputs(name, 16, Panel(0, 0, "N", 16, 0) + ", " + Panel(0, 1, "N", 0, 0)), true);
    ASSERT_TRUE(daemon.waitForOutputAfter(mark, "Configured RGBMatrix Channel Output")) << daemon.output();
    whole = Shows(32, 8, [](const ShownPanel& s) {
        for (int y = 0; y < 8; y++) {
            for (int x = 0; x < 32; x++) {
                if (!PixelShows(s, x, y, x, y, 32)) {
                    return false;
                }
            }
        }
        return true;
    });
    EXPECT_TRUE(whole) << daemon.output().substr(mark);
    EXPECT_EQ(media.read("tmp/warnings.json").find("RGBMatrix"), std::string::npos);
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

// The pixel each matrix node (mx, my) of a 16x16 matrix should show under a test pattern.
using NodeColour = std::array<uint8_t, 3> (*)(int mx, int my);

struct PatternCase {
    const char* name;
    const char* args; // the JSON array of "Test Start"
    NodeColour colour;
};

const PatternCase PATTERNS[] = {
    {"fill of one colour over every output", R"(["60000", "RGB Fill", "--ALL--", "#102030"])",
     [](int, int) {
         return std::array<uint8_t, 3>{16, 32, 48};
     }},
    {"fill of the top panel's channels only", R"(["60000", "RGB Fill", "1-384", "FFFFFF"])",
     [](int, int my) {
         return my < 8 ? std::array<uint8_t, 3>{255, 255, 255} : std::array<uint8_t, 3>{};
     }},
    {"chase: node n lit in line n mod 3", R"(["60000", "RGB Chase", "--ALL--", ""])",
     [](int mx, int my) {
         std::array<uint8_t, 3> rgb{};
         rgb[(my * 16 + mx) % 3] = 255;
         return rgb;
     }},
    {"the panels' own pattern, first cycle red", R"(["60000", "Output Specific", "Pi Panels", "1"])",
     [](int, int) {
         return std::array<uint8_t, 3>{255, 0, 0};
     }},
    {"a pattern of other outputs leaves the panels dark",
     R"(["60000", "Output Specific", "Pixel Strings", "1"])",
     [](int, int) { return std::array<uint8_t, 3>{}; }},
};

TEST_F(DaemonRGBMatrix, TestPatternsStartedThroughTheApiShowOnThePanelsAndStopDark) {
    // The 16x16 matrix of two 16x8 panels, the bottom one upside down: canvas (x, 8 + y) shows
    // matrix node (15 - x, 15 - y).
    media.write("config/channeloutputs.json",
                Outputs(name, 16, Panel(0, 0, "N", 0, 0) + ", " + Panel(1, 0, "U", 0, 8)));
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Configured RGBMatrix Channel Output")) << daemon.output();
    ASSERT_TRUE(WaitForHttp(API + "/kivd/testing"));
    auto command = [](const std::string& name, const std::string& args) {
        return HttpPost(API + "/command", R"({"command": ")" + name + R"(", "args": )" + args + "}").status;
    };
    auto showsEverywhere = [&](NodeColour colour) {
        return WaitFor(
            [&] {
                shown = ReadShownPanel(path);
                if (!shown.valid || shown.width != 16 || shown.height != 16) {
                    return false;
                }
                for (int y = 0; y < 16; y++) {
                    for (int x = 0; x < 16; x++) {
                        std::array<uint8_t, 3> want = y < 8 ? colour(x, y) : colour(15 - x, 23 - y);
                        if (std::memcmp(shown.at(x, y), want.data(), 3) != 0) {
                            return false;
                        }
                    }
                }
                return true;
            },
            5000, 20);
    };
    NodeColour dark = [](int, int) { return std::array<uint8_t, 3>{}; };
    for (const PatternCase& c : PATTERNS) {
        ASSERT_EQ(200, command("Test Start", c.args)) << c.name;
        EXPECT_TRUE(showsEverywhere(c.colour)) << c.name << "\n" << daemon.output();
        EXPECT_EQ("testing", ParseJson(HttpGet(API + "/kivd/status").body)["status_name"].asString())
            << c.name;
        ASSERT_EQ(200, command("Test Stop", "[]")) << c.name;
        EXPECT_TRUE(showsEverywhere(dark)) << c.name << ": dark again after the stop";
    }
    EXPECT_EQ(500, command("Test Start", R"(["1000", "Plaid", "--ALL--", ""])"));
    EXPECT_EQ(500, command("Test Start", R"(["1000", "RGB Fill", "0-99999999", ""])"));
    EXPECT_EQ(
        400, HttpPost(API + "/kivd/testing", R"({"enabled": 1, "mode": "RGB Fill", "extra": "#12"})").status);
    EXPECT_EQ(0, ParseJson(HttpGet(API + "/kivd/testing").body)["enabled"].asInt())
        << "a refused pattern starts nothing";

    // The API's own switch draws the same patterns.
    ASSERT_EQ(
        200,
        HttpPost(API + "/kivd/testing", R"({"enabled": 1, "mode": "RGB Fill", "extra": "#0000FF"})").status);
    EXPECT_TRUE(showsEverywhere([](int, int) { return std::array<uint8_t, 3>{0, 0, 255}; }));
    ASSERT_EQ(200, HttpPost(API + "/kivd/testing", R"({"enabled": 0})").status);
    EXPECT_TRUE(showsEverywhere(dark));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

} // namespace
