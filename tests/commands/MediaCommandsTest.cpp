// The media, volume and URL commands through the command manager: background media heard on SDL's
// disk audio driver, URL requests against a local HTTP server in the test's network namespace.

#include "commands/MediaCommands.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Settings.h"
#include "common/Timers.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/SDLOut.h"
#include "support/MediaFiles.h"
#include "support/NetNamespace.h"
#include "support/TestHttpServer.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

using namespace mediatest;

namespace {

class MediaCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        setenv("SDL_AUDIODRIVER", "disk", 1);
        media = new TestMediaDir();
        ASSERT_TRUE(MakeTone(media->file("music/short.wav"), 440, 0.4));
        ASSERT_TRUE(MakeTone(media->file("music/long.wav"), 440, 5));
        RegisterMediaCommands();
    }
    static void TearDownTestSuite() {
        CleanupCommandMedia();
        CommandManager::INSTANCE.Cleanup();
        sdlManager.shutdown();
        delete media;
    }
    std::unique_ptr<Command::Result> Run(const std::string& name, const std::vector<std::string>& args) {
        return CommandManager::INSTANCE.run(name, args);
    }
    // Runs the main loop's timers until the background media has deleted itself.
    static bool BackgroundMediaGone(int timeoutMS) {
        return WaitFor(
            [] {
                Timers::INSTANCE.fireTimersInternal(GetTimeMS());
                std::lock_guard<std::mutex> guard(runningCommandMediaLock);
                return runningCommandMedia.empty();
            },
            timeoutMS, 10);
    }
    std::vector<int16_t> Heard(const std::string& file) {
        std::vector<int16_t> samples = Samples16(ReadBytes(file));
        std::vector<int16_t> sound;
        for (int16_t s : samples) {
            if (s != 0) {
                sound.push_back(s);
            }
        }
        return sound;
    }
    static inline TestMediaDir* media = nullptr;
};

struct VolumeCase {
    const char* command;
    std::vector<std::string> args;
    int before;
    const char* result;
    bool error;
    int after;
};

TEST_F(MediaCommands, VolumeCommandsSetAndChangeTheVolume) {
    const VolumeCase cases[] = {
        {"Volume Set", {"55"}, 70, "Volume Set", false, 55},
        {"Volume Adjust", {"-10"}, 50, "Volume Set", false, 40},
        {"Volume Decrease", {"10"}, 50, "Volume Set", false, 40},
        {"Volume Increase", {"10"}, 50, "Volume Set", false, 60},
        {"Volume Increase", {"80"}, 50, "Volume Set", false, 100},
        {"Volume Set", {}, 50, "Not found", true, 50},
        {"Volume Adjust", {"1", "2"}, 50, "Not found", true, 50},
    };
    for (const VolumeCase& c : cases) {
        SCOPED_TRACE(std::string(c.command) + " at " + std::to_string(c.before));
        setVolume(c.before);
        auto result = Run(c.command, c.args);
        EXPECT_EQ(result->get(), c.result);
        EXPECT_EQ(result->isError(), c.error);
        EXPECT_EQ(result->contentType(), "text/plain");
        EXPECT_EQ(getVolume(), c.after);
    }
}

TEST_F(MediaCommands, CommandsAreDescribedForTheirForms) {
    std::map<std::string, Json::Value> described;
    for (const Json::Value& d : CommandManager::INSTANCE.getDescriptions()) {
        described[d["name"].asString()] = d;
    }
    const std::pair<const char*, const char*> texts[] = {
        {"Play Media", "Plays the media in the background"},
        {"Stop Media", "Stops the media in the background started via a command"},
        {"Stop All Media", "Stops all running media was was created via a Command"},
        {"Volume Set", "Sets the volume to the specific value. (0 - 100)"},
        {"Volume Increase", "Increases the volume by the given amount (0 - 100)"},
        {"Volume Decrease", "Decreases the volume by the given amount (0 - 100)"},
        {"Volume Adjust", "Adjust volume either up or down by the given amount. (-100 - 100)"},
        {"URL", ""},
        {"Play Show Media", "Plays a media file for the show, its video into an overlay model"},
        {"Stop Show Media", "Stops the media started by Play Show Media"},
    };
    for (const auto& [name, description] : texts) {
        ASSERT_TRUE(described.count(name)) << name;
        EXPECT_EQ(described[name]["description"].asString(), description) << name;
    }
    const Json::Value& play = described["Play Media"]["args"];
    ASSERT_EQ(play.size(), 3u);
    EXPECT_EQ(play[1]["name"].asString(), "loop");
    EXPECT_EQ(play[1]["min"].asInt(), 1);
    EXPECT_EQ(play[1]["max"].asInt(), 100);
    EXPECT_EQ(play[2]["min"].asInt(), -100);
    EXPECT_EQ(described["Volume Set"]["args"][0]["default"].asString(), "70");
}

struct PlayCase {
    std::vector<std::string> args;
    int copies;
    float gain;
};

// Heard: the file as many times as the loop count says, at the volume plus the adjustment.
TEST_F(MediaCommands, PlayMediaLoopsAtTheAdjustedVolumeAndCleansUpAfterItself) {
    const int toneSamples = 2 * RATE * 4 / 10;
    const int peak = PeakOf(WavSamples(media->file("music/short.wav")));
    for (const PlayCase& c :
         {PlayCase{{"short.wav", "2", "-20"}, 2, 0.5f}, PlayCase{{"short.wav", "0"}, 1, 0.7f}}) {
        SCOPED_TRACE(c.args[1]);
        std::string device = media->file("background-" + c.args[1] + ".raw");
        setenv("SDL_DISKAUDIOFILE", device.c_str(), 1);
        setVolume(70);
        EXPECT_EQ(Run("Play Media", c.args)->get(), "Playing");
        EXPECT_TRUE(BackgroundMediaGone(5000));
        std::vector<int16_t> heard = Heard(device);
        // A sine crosses zero now and then: count the sound within a few samples.
        EXPECT_NEAR(static_cast<double>(heard.size()), c.copies * toneSamples, toneSamples * 0.03);
        EXPECT_NEAR(PeakOf(heard), peak * c.gain, 2);
    }
}

TEST_F(MediaCommands, StopMediaStopsByNameAndSaysWhenNothingRuns) {
    setenv("SDL_DISKAUDIOFILE", media->file("stopped.raw").c_str(), 1);
    auto notRunning = Run("Stop Media", {"long.wav"});
    EXPECT_EQ(notRunning->get(), "Media Not Running");
    EXPECT_FALSE(notRunning->isError());
    EXPECT_EQ(Run("Stop Media", {})->get(), "Invalid Number of Arguments");
    EXPECT_TRUE(Run("Play Media", {"missing.wav", "1", "0"})->isError());

    long long started = GetTimeMS();
    EXPECT_EQ(Run("Play Media", {"long.wav", "1", "0"})->get(), "Playing");
    EXPECT_EQ(Run("Play Media", {"short.wav", "1", "0"})->get(), "Playing");
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(Run("Stop Media", {"long.wav"})->get(), "Stopped");
    EXPECT_EQ(Run("Stop All Media", {})->get(), "Stopped");
    EXPECT_TRUE(BackgroundMediaGone(2000));
    EXPECT_LT(GetTimeMS() - started, 2000);
}

struct UrlCase {
    std::vector<std::string> args;
    const char* method;
    const char* body;
};

TEST_F(MediaCommands, URLCommandFetchesWithGetOrPostAndReportsFailures) {
    TestHttpServer server("127.0.0.1", 8080);
    ASSERT_TRUE(server.listening());
    server.serve("/state", TestHttpReply{200, "{\"on\": true}", "application/json"});
    const UrlCase cases[] = {
        {{server.url("/state")}, "GET", ""},
        {{server.url("/state"), "POST", "level=5"}, "POST", "level=5"},
        {{server.url("/state"), "PUT", "level=6"}, "GET", ""},
        {{server.url("/state"), "", "level=7"}, "GET", ""},
    };
    size_t requests = 0;
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.args.size() > 1 ? c.args[1] : "default");
        auto result = Run("URL", c.args);
        EXPECT_EQ(result->contentType(), "text/plain");
        ASSERT_TRUE(CommandManager::waitUntilDone(*result));
        EXPECT_FALSE(result->isError());
        EXPECT_EQ(result->get(), "{\"on\": true}");
        EXPECT_EQ(result->contentType(), "application/json");
        ASSERT_TRUE(server.waitForRequests(++requests));
        TestHttpRequest seen = server.requests().back();
        EXPECT_EQ(seen.method, c.method);
        EXPECT_EQ(seen.body, c.body);
    }
    long long started = GetTimeMS();
    auto refused = Run("URL", {"http://127.0.0.1:8099/"});
    EXPECT_TRUE(CommandManager::waitUntilDone(*refused));
    EXPECT_TRUE(refused->isError());
    EXPECT_LT(GetTimeMS() - started, 2000);
}

} // namespace
