// The real kivd in bridge mode with overlay models from its models file and from a pixel output:
// the API lists and drives them, they are laid over E1.31 data in every state, another process
// draws into a model's overlay buffer, effects run through commands, and the picture route shows
// what was filled.

#include "e131bridge/WirePackets.h"
#include "overlays/OverlayTestSupport.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/RecordedFrames.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <Magick++.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

using overlaytest::Bytes;
using overlaytest::OVERLAY_PIXELS_AT;
using overlaytest::UniqueName;

namespace {
constexpr int RECORDED = 600;
const std::string API = "http://127.0.0.1:32322";

Json::Value Parse(const std::string& text) {
    Json::Value value;
    LoadJsonFromString(text, value);
    return value;
}

Bytes Repeat(const Bytes& pixel, int count) {
    Bytes out;
    for (int i = 0; i < count; i++) {
        out.insert(out.end(), pixel.begin(), pixel.end());
    }
    return out;
}

class DaemonOverlays : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        media.write("settings", "kivMode = \"bridge\"\n");
        media.write("config/co-other.json", RecordingOutputConfig(media.file("record.bin"), RECORDED));
        media.write(
            "config/co-pixelStrings.json",
            R"({"channelOutputs": [{"type": "DPIPixels", "enabled": 1, "startChannel": 1, "channelCount": 30,
            "subType": "DPIPixels", "device": ")" +
                UniqueName("dpi-overlays") + R"(", "outputs": [{"portNumber": 0, "virtualStrings":
            [{"startChannel": 0, "pixelCount": 10, "description": "Porch"}]}]}]})");
        media.write("config/ci-universes.json", R"({"channelInputs": [{"type": "universes", "enabled": 1,
            "timeout": 60000, "universes": [{"active": 1, "id": 1, "startChannel": 1, "channelCount": 510,
            "type": 0}]}]})");
        media.write("config/overlay-models.json", ModelsFile(true));
    }
    // A daemon that stops in order removes its models' blocks; whatever a failed test left goes too.
    void TearDown() override {
        daemon.signal(SIGTERM);
        daemon.waitForExit(5000);
        for (const std::string& model : {front, panel, std::string("Porch"), std::string("Side")}) {
            shm_unlink(("/KIV-Model-Data-" + model).c_str());
            shm_unlink(("/KIV-Model-Overlay-Buffer-" + model).c_str());
        }
        unlink(("/dev/shm/kiv-fb-" + device).c_str());
    }
    std::string ModelsFile(bool withPanel) const {
        return R"({"models": [{"Name": ")" + front + R"(", "Type": "Channel", "StartChannel": 1,
            "ChannelCount": 30, "StringCount": 1, "StartCorner": "TL"})" +
               (withPanel ? R"(, {"Name": ")" + panel + R"(", "Type": "Matrix", "Width": 4, "Height": 2})"
                          : "") +
               "]}";
    }
    void StartDaemon() {
        ASSERT_TRUE(daemon.start({"-f"}));
        ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
        ASSERT_TRUE(WaitForHttp(API + "/models"));
    }
    Bytes Recorded() const { return ReadRecordedFrame(media.file("record.bin"), RECORDED); }
    // Streams E1.31 data as a live show would until the output shows `expected` from channel 0.
    bool ShowsWhileStreaming(const Bytes& expected, const Bytes& stream = Bytes(510, 0x10)) {
        wire::UdpSender e131("127.0.0.1", 5568);
        int sequence = 0;
        return WaitFor(
            [&] {
                e131.send(wire::E131Data(1, sequence++ & 0xFF, stream));
                Bytes frame = Recorded();
                return !frame.empty() && Bytes(frame.begin(), frame.begin() + expected.size()) == expected;
            },
            5000);
    }
    long Put(const std::string& path, const std::string& body = "{}") {
        return HttpRequest("PUT", API + path, body).status;
    }
    Json::Value Get(const std::string& path) { return Parse(HttpGet(API + path).body); }
    int State(const std::string& model) { return Get("/overlays/model/" + model)["State"].asInt(); }

    TestMediaDir media;
    DaemonProcess daemon{media.path()};
    // Blocks of a killed daemon stay behind, so every test has models of its own.
    static inline int made = 0;
    std::string device = UniqueName("dpi-overlays");
    std::string front = UniqueName("Front") + "-" + std::to_string(++made);
    std::string panel = UniqueName("Panel") + "-" + std::to_string(made);
};

TEST_F(DaemonOverlays, ModelsAreListedAndLaidOverNetworkDataInEveryState) {
    StartDaemon();
    std::set<std::string> names;
    for (const Json::Value& definition : Get("/models")) {
        names.insert(definition["Name"].asString() + (definition["autoCreated"].asBool() ? " (auto)" : ""));
    }
    EXPECT_EQ(names, (std::set<std::string>{front, panel, "Porch (auto)"}));

    ASSERT_EQ(Put("/overlays/model/" + front + "/fill", R"({"RGB": [0, 0, 200]})"), 200);
    EXPECT_TRUE(ShowsWhileStreaming(Bytes(30, 0x10))) << "a model that is off shows nothing";
    const std::vector<std::pair<int, Bytes>> states = {
        {1, Repeat({0, 0, 200}, 10)}, {2, Repeat({0x10, 0x10, 200}, 10)}, {3, Repeat({0, 0, 200}, 10)}};
    for (const auto& [state, shown] : states) {
        ASSERT_EQ(Put("/overlays/model/" + front + "/state", "{\"State\": " + std::to_string(state) + "}"),
                  200);
        EXPECT_TRUE(ShowsWhileStreaming(shown)) << "state " << state;
    }
    ASSERT_EQ(Put("/overlays/model/" + front + "/pixel", R"({"X": 9, "Y": 0, "RGB": [0, 0, 0]})"), 200);
    Bytes lastPixelThrough = Repeat({0, 0, 200}, 9);
    lastPixelThrough.insert(lastPixelThrough.end(), {0x10, 0x10, 0x10});
    EXPECT_TRUE(ShowsWhileStreaming(lastPixelThrough)) << "an all-zero pixel lets the show through";
    ASSERT_EQ(Put("/overlays/model/" + front + "/state", R"({"State": 0})"), 200);
    EXPECT_TRUE(ShowsWhileStreaming(Bytes(30, 0x10)));

    // What the picture route draws is the model's data, pixel by pixel.
    auto png = HttpGet(API + "/overlays/model/" + front + "/image");
    ASSERT_EQ(png.contentType, "image/png");
    Magick::InitializeMagick(nullptr);
    Magick::Image image(Magick::Blob(png.body.data(), png.body.size()));
    ASSERT_EQ(image.columns(), 10u);
    ASSERT_EQ(image.rows(), 1u);
    Bytes pixels(30);
    image.write(0, 0, 10, 1, "RGB", Magick::CharPixel, pixels.data());
    Bytes expected = Repeat({0, 0, 200}, 9);
    expected.insert(expected.end(), {0, 0, 0});
    EXPECT_EQ(pixels, expected);
}

TEST_F(DaemonOverlays, RequestsFromOutsideTheModelAreRefusedAndChangeNothing) {
    StartDaemon();
    const std::vector<std::tuple<std::string, std::string, long>> requests = {
        {"/overlays/model/" + front + "/pixel", R"({"X": 10, "Y": 0, "RGB": [1, 2, 3]})", 400},
        {"/overlays/model/" + front + "/pixel", R"({"X": 0, "Y": -1, "RGB": [1, 2, 3]})", 400},
        {"/overlays/model/" + front + "/pixel", R"({"X": 0, "Y": 0, "RGB": [1, 2, 300]})", 400},
        {"/overlays/model/" + front + "/fill", R"({"RGB": [1, 2]})", 400},
        {"/overlays/model/" + front + "/state", R"({"State": 4})", 400},
        {"/overlays/model/" + front + "/state", "not json", 400},
        {"/overlays/model/" + front + "/effect",
         R"({"effect": "Bars", "args": ["Sideways", "1", "1", "#FF0000"]})", 400},
        {"/overlays/model/" + front + "/effect", R"({"effect": "Nothing"})", 400},
        {"/overlays/model/Nobody/state", R"({"State": 1})", 404},
    };
    for (const auto& [path, body, status] : requests) {
        EXPECT_EQ(Put(path, body), status) << path << " " << body;
    }
    Json::Value data = Get("/overlays/model/" + front + "/data?rle=true");
    EXPECT_EQ(SaveJsonToString(data["data"], ""), "[10,0,0,0]");
    EXPECT_EQ(State(front), 0);
    for (const std::string& name : {std::string(""), std::string(201, 'x'), std::string("bad\nname")}) {
        Json::Value definition;
        definition["Name"] = name;
        definition["Width"] = 2;
        definition["Height"] = 2;
        EXPECT_EQ(HttpRequest("POST", API + "/models", SaveJsonToString(definition)).status, 400) << name;
    }
}

TEST_F(DaemonOverlays, AnotherProcessDrawsIntoTheOverlayBuffer) {
    StartDaemon();
    ASSERT_EQ(Put("/overlays/model/" + panel + "/state", R"({"State": 1})"), 200);
    overlaytest::SharedBlock block = overlaytest::OverlayBlock(panel);
    ASSERT_TRUE(block.exists());
    ASSERT_EQ(block.word(0), 4u);
    ASSERT_EQ(block.word(4), 2u);
    Bytes picture(24);
    for (size_t i = 0; i < picture.size(); i++) {
        picture[i] = static_cast<unsigned char>(40 + i);
    }
    memcpy(block.data + OVERLAY_PIXELS_AT, picture.data(), picture.size());
    block.setWord(8, block.word(8) | 1);
    EXPECT_TRUE(ShowsWhileStreaming(picture));
    EXPECT_TRUE(WaitFor([&] { return (block.word(8) & 1) == 0; }, 2000)) << "the daemon clears the ready bit";
}

TEST_F(DaemonOverlays, EffectsRunThroughCommandsAndAFileRewriteKeepsUnchangedModels) {
    StartDaemon();
    auto command = [&](const std::string& json) {
        return HttpRequest("POST", API + "/command", json).status;
    };
    ASSERT_EQ(command(R"({"command": "Overlay Model Effect", "args": [")" + front +
                      R"(", "true", "Color Fade", "#000000", "#00FF00", "150"]})"),
              200);
    EXPECT_EQ(State(front), 1) << "auto-enabled";
    EXPECT_TRUE(ShowsWhileStreaming(Repeat({0, 255, 0}, 10)));
    EXPECT_FALSE(Get("/overlays/model/" + front)["effectRunning"].asBool()) << "a fade ends";

    ASSERT_EQ(
        Put("/overlays/model/" + front + "/effect",
            R"({"effect": "Bars", "args": ["Right", "2", "5", "#FF0000,#0000FF"], "autoEnable": true})"),
        200);
    EXPECT_TRUE(Get("/overlays/model/" + front)["effectRunning"].asBool());

    // The file loses the panel; the front model keeps its state and effect, the output's stays.
    media.write("config/overlay-models.json", ModelsFile(false), true);
    EXPECT_TRUE(WaitFor([&] { return HttpGet(API + "/models/" + panel).status == 404; }, 5000));
    EXPECT_EQ(State(front), 1);
    EXPECT_TRUE(Get("/overlays/model/" + front)["effectRunning"].asBool());
    EXPECT_EQ(HttpGet(API + "/models/Porch").status, 200);

    ASSERT_EQ(command(R"({"command": "Overlay Model Effect Stop", "args": [")" + front + R"("]})"), 200);
    EXPECT_EQ(State(front), 0) << "the effect switched it on, so stopping it switches it off";

    ASSERT_EQ(
        HttpPost(API + "/models", R"({"Name": "Side", "Type": "Matrix", "Width": 3, "Height": 1})").status,
        200);
    EXPECT_EQ(Get("/models/Side")["ChannelCount"].asInt(), 9);
    EXPECT_NE(media.read("config/overlay-models.json").find("\"Side\""), std::string::npos);
    EXPECT_EQ(HttpRequest("DELETE", API + "/models/Porch").status, 400);
    EXPECT_EQ(HttpRequest("DELETE", API + "/models/Side").status, 200);
    EXPECT_EQ(media.read("config/overlay-models.json").find("\"Side\""), std::string::npos);
}

} // namespace
