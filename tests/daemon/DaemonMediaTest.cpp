// The real kivd plays a media file on command: its audio reaches SDL's disk audio file, its video an
// overlay model and through it the recording test output; the status shows the progress; the end
// of the file and a stop leave the model off and dark. URL and volume commands through "/command".

#include "overlays/OverlayTestSupport.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/MediaFiles.h"
#include "support/MosquittoBroker.h"
#include "support/NetNamespace.h"
#include "support/RecordedFrames.h"
#include "support/TestHttpServer.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <csignal>

using namespace mediatest;

namespace {
const std::string API = "http://127.0.0.1:32322";
constexpr int CHANNELS = 4 * 2 * 3;

Json::Value Parse(const std::string& text) {
    Json::Value value;
    LoadJsonFromString(text, value);
    return value;
}

class DaemonMedia : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        made = new TestMediaDir();
        ASSERT_TRUE(MakeVideoWithTone(made->file("show.mkv"), 2, 4, 2));
    }
    static void TearDownTestSuite() { delete made; }
    void SetUp() override {
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", media.file("audio.raw").c_str(), 1);
        media.write("settings", "volume = \"70\"\n");
        media.write("config/co-other.json", RecordingOutputConfig(media.file("record.bin"), CHANNELS));
        media.write("config/overlay-models.json",
                    R"({"models": [{"Name": ")" + model +
                        R"(", "Type": "Matrix", "StartChannel": 1, "Width": 4, "Height": 2}]})");
        media.write("music/notmedia.mp3", "not a sound");
        media.write("videos/show.mkv", made->read("show.mkv"));
    }
    void StartDaemon() {
        ASSERT_TRUE(daemon.start({"-f"}));
        ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
        ASSERT_TRUE(WaitForHttp(API + "/models"));
    }
    void TearDown() override {
        if (daemon.pid() > 0) {
            daemon.signal(SIGTERM);
            EXPECT_EQ(daemon.waitForExit(5000), 0)
                << daemon.output().substr(daemon.output().size() > 4000 ? daemon.output().size() - 4000 : 0);
        }
        shm_unlink(("/KIV-Model-Data-" + model).c_str());
        shm_unlink(("/KIV-Model-Overlay-Buffer-" + model).c_str());
    }
    HttpResult Command(const std::string& name, const Json::Value& args) {
        Json::Value command;
        command["command"] = name;
        command["args"] = args;
        return HttpPost(API + "/command", SaveJsonToString(command, ""));
    }
    Json::Value Status() { return Parse(HttpGet(API + "/kivd/status").body); }
    int ModelState() { return Parse(HttpGet(API + "/overlays/model/" + model).body)["State"].asInt(); }
    std::vector<unsigned char> Recorded() { return ReadRecordedFrame(media.file("record.bin"), CHANNELS); }
    // A frame of the test video on the output: every pixel R = 10 N, G = 255 - 10 N, B = 64.
    bool ShowsVideo() {
        std::vector<unsigned char> frame = Recorded();
        if (frame.empty() || frame[2] != 64) {
            return false;
        }
        for (int at = 0; at < CHANNELS; at += 3) {
            EXPECT_EQ(frame[at + 1], 255 - frame[at]);
        }
        return true;
    }
    // The model's own channel data, as another process sees it, back to black as before playback.
    bool ModelIsDark() {
        overlaytest::SharedBlock block = overlaytest::DataBlock(model);
        return block.exists() && block.bytes(0, CHANNELS) == overlaytest::Bytes(CHANNELS, 0);
    }

    static inline TestMediaDir* made = nullptr; // the video, made once
    TestMediaDir media;
    DaemonProcess daemon{media.path()};
    std::string model = overlaytest::UniqueName("MediaWall");
};

TEST_F(DaemonMedia, PlaysAFileToTheEndOnCommandAndLeavesTheModelOff) {
    Json::Value args;
    args.append("show.mkv");
    args.append(model);
    StartDaemon();
    HttpResult played = Command("Play Show Media", args);
    ASSERT_EQ(played.status, 200) << played.body;
    EXPECT_EQ(played.body, "Playing");
    EXPECT_TRUE(WaitFor([&] { return ShowsVideo(); }, 2000));
    ASSERT_TRUE(WaitFor([&] { return Status()["seconds_elapsed"].asString() == "1"; }, 3000));
    Json::Value status = Status();
    EXPECT_EQ(status["current_song"].asString(), "show.mkv");
    EXPECT_EQ(status["seconds_remaining"].asString(), "0");
    EXPECT_EQ(ModelState(), 1);

    EXPECT_TRUE(WaitFor([&] { return ModelState() == 0 && ModelIsDark(); }, 3000));
    EXPECT_EQ(Status()["current_song"].asString(), "");
    std::vector<int16_t> heard = Samples16(ReadBytes(media.file("audio.raw")));
    size_t sound = std::count_if(heard.begin(), heard.end(), [](int16_t s) { return s != 0; });
    EXPECT_NEAR(static_cast<double>(sound), 2.0 * 2 * RATE, 2 * RATE * 0.06);
    EXPECT_NEAR(PeakOf(heard), 2896 * 0.7, 3);
}

TEST_F(DaemonMedia, StopAndBadMediaLeaveTheDaemonRunning) {
    Json::Value args;
    args.append("show.mkv");
    args.append(model);
    StartDaemon();
    ASSERT_EQ(Command("Play Show Media", args).status, 200);
    ASSERT_TRUE(WaitFor([&] { return ModelState() == 1; }, 2000));
    EXPECT_EQ(Command("Stop Show Media", Json::Value(Json::arrayValue)).body, "Stopped");
    EXPECT_EQ(ModelState(), 0);
    EXPECT_TRUE(WaitFor([&] { return ModelIsDark(); }, 2000));

    for (const char* file : {"missing.mp3", "notmedia.mp3"}) {
        Json::Value bad;
        bad.append(file);
        HttpResult refused = Command("Play Show Media", bad);
        EXPECT_EQ(refused.status, 500) << file;
        EXPECT_EQ(refused.body, std::string("Could not play ") + file);
    }
    args[1] = "NoSuchModel";
    EXPECT_EQ(Command("Play Show Media", args).status, 500);
    EXPECT_TRUE(daemon.waitForOutput("missing.mp3 does not exist!"));
    EXPECT_TRUE(daemon.waitForOutput("Could not find suitable input stream!"));
    EXPECT_EQ(Status()["kivd"].asString(), "running");
}

TEST_F(DaemonMedia, URLAndVolumeCommandsRunThroughTheApiAndMqtt) {
    MosquittoBroker broker;
    ASSERT_TRUE(broker.start());
    media.write("settings", "MQTTHost = \"127.0.0.1\"\nMQTTPort = \"1883\"\nMQTTPrefix = \"kivtest\"\n");
    StartDaemon();
    TestHttpServer server("127.0.0.1", 8080);
    ASSERT_TRUE(server.listening());
    server.serve("/scene", TestHttpReply{200, "{\"scene\": 3}", "application/json"});
    Json::Value args;
    args.append(server.url("/scene"));
    args.append("POST");
    args.append("scene=3");
    HttpResult fetched = Command("URL", args);
    EXPECT_EQ(fetched.status, 200);
    EXPECT_EQ(fetched.body, "{\"scene\": 3}");
    EXPECT_EQ(fetched.contentType, "application/json");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].body, "scene=3");

    Json::Value refused;
    refused.append("http://127.0.0.1:8099/");
    EXPECT_EQ(Command("URL", refused).status, 500);

    EXPECT_EQ(HttpGet(API + "/command/Volume%20Adjust/-30").body, "Volume Set");
    EXPECT_EQ(Parse(HttpGet(API + "/kivd/volume").body)["volume"].asInt(), 40);

    // The daemon subscribes a moment after it starts; messages before that are not kept.
    EXPECT_TRUE(WaitFor(
        [&] {
            broker.publish("kivtest/set/command", R"({"command": "Volume Set", "args": ["25"]})");
            broker.publish("kivtest/set/command",
                           R"({"command": "URL", "args": [")" + server.url("/scene") + "\"]}");
            return Parse(HttpGet(API + "/kivd/volume").body)["volume"].asInt() == 25 &&
                   server.requests().size() > 1;
        },
        5000, 200));
}

} // namespace
