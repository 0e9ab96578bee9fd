// Start-up, main loop and shutdown of the real kivd binary, seen from outside.

#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <signal.h>

#include <chrono>
#include <filesystem>

namespace {
const char* const VERSION_URL = "http://127.0.0.1:32322/kivd/version";

// Positions of each text in the output, in the order given; fails when one is missing or out of order.
void ExpectInOrder(const std::string& output, const std::vector<std::string>& texts) {
    size_t from = 0;
    for (const auto& text : texts) {
        size_t at = output.find(text, from);
        ASSERT_NE(std::string::npos, at) << "missing or out of order: " << text << "\n" << output;
        from = at + text.size();
    }
}

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}
} // namespace

class DaemonLifecycle : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    TestMediaDir media;
};

TEST_F(DaemonLifecycle, StartsAnswersItsApiAndStopsInOrderOnSigterm) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    HttpResult version = HttpGet(VERSION_URL);
    EXPECT_EQ(200, version.status);
    EXPECT_EQ("application/json", version.contentType);
    Json::Value json = ParseJson(version.body);
    EXPECT_EQ("v1", json["kivdAPI"].asString());
    EXPECT_EQ("OK", json["Status"].asString());
    EXPECT_EQ(200, json["respCode"].asInt());

    auto stopAsked = std::chrono::steady_clock::now();
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(2000));
    EXPECT_LT(std::chrono::steady_clock::now() - stopAsked, std::chrono::seconds(2));
    ExpectInOrder(daemon.output(), {"Creating Scheduler, Playlist, and Sequence",
                                    "Creation of Scheduler, Playlist, and Sequence Complete",
                                    "Starting main processing loop", "Shutting down main loop.",
                                    "Stopping channel output thread.", "Main Loop complete, shutting down."});
    EXPECT_EQ(0, HttpGet(VERSION_URL).status);
}

TEST_F(DaemonLifecycle, ApiListensOnLoopbackOnly) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(RunCommand("ip link add kv0 type veth peer name kv1 && ip addr add 192.0.2.10/24 dev kv0 && "
                           "ip link set kv0 up && ip link set kv1 up"));
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_EQ(200, HttpGet(VERSION_URL).status);
    EXPECT_EQ(
        0, HttpRequest("GET", "http://192.0.2.10:32322/kivd/version", "", "application/json", 1000).status);
    daemon.signal(SIGINT);
    EXPECT_EQ(0, daemon.waitForExit(2000));
    RunCommand("ip link del kv0");
}

TEST_F(DaemonLifecycle, PresetsRunAroundTheLoopAndUnknownRoutesAnswer404) {
    media.write("config/commandPresets.json",
                R"({"commands": [{"name": "KIVD_STARTED", "command": "NoSuchStartCommand", "args": []},
                                  {"name": "KIVD_STOPPED", "command": "NoSuchStopCommand", "args": []}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    HttpResult missing = HttpGet("http://127.0.0.1:32322/kivd/nothing");
    EXPECT_EQ(404, missing.status);
    EXPECT_EQ("endpoint kivd/nothing does not exist", ParseJson(missing.body)["Message"].asString());
    EXPECT_EQ(200, HttpPost("http://127.0.0.1:32322/kivd/shutdown", "").status);
    EXPECT_EQ(0, daemon.waitForExit(2000));
    ExpectInOrder(daemon.output(), {"NoSuchStartCommand", "Starting main processing loop",
                                    "Main Loop complete, shutting down.", "NoSuchStopCommand"});
}

TEST_F(DaemonLifecycle, BlanksOutputsAtStartUnlessRestarted) {
    {
        DaemonProcess daemon(media.path());
        ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:Sequence"}));
        ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
        daemon.signal(SIGTERM);
        EXPECT_EQ(0, daemon.waitForExit(2000));
        EXPECT_NE(std::string::npos, daemon.output().find("SendBlankingData"));
    }
    media.write("tmp/kivd_restarted", "");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:Sequence"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_FALSE(media.exists("tmp/kivd_restarted"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(2000));
    EXPECT_EQ(std::string::npos, daemon.output().find("SendBlankingData"));
}

TEST_F(DaemonLifecycle, DebugLevelRaisesTheLogLevelWarningOnce) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    Json::Value warnings = ParseJson(HttpGet("http://127.0.0.1:32322/kivd/warnings_full").body);
    ASSERT_EQ(1u, warnings.size());
    EXPECT_EQ(3, warnings[0]["id"].asInt());
    EXPECT_EQ("A Log Level is set to Debug", warnings[0]["message"].asString());
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}

TEST_F(DaemonLifecycle, CreatesAMissingMediaDirectoryAndSurvivesABadSettingsFile) {
    std::string fresh = media.path() + "/fresh-media";
    DaemonProcess daemon(fresh);
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    for (const char* sub : {"config", "logs", "tmp", "music", "videos", "images", "crashes"}) {
        EXPECT_TRUE(std::filesystem::is_directory(fresh + "/" + sub)) << sub;
    }
    // A settings file that is garbage is reported and the daemon keeps answering.
    size_t mark = daemon.output().size();
    media.write("fresh-media/settings", "this is not = a \"settings\nfile\x01\n", true);
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "Settings file changed, reloading settings"));
    EXPECT_EQ(200, HttpGet(VERSION_URL).status);
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(2000));
}

TEST_F(DaemonLifecycle, SettingsFileChangesAreReloaded) {
    media.write("settings", "kivMode = \"bridge\"\n");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    size_t mark = daemon.output().size();
    media.write("settings", "kivMode = \"bridge\"\nalwaysTransmit = \"1\"\n", true);
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "Settings file changed, reloading settings"));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(2000));
}
