// The "/kivd" API of the real kivd: every route's status, content type and message, the status
// object of each mode, the channel output switch, the bridge statistics, bad and slow clients,
// and requests racing a shutdown.

#include "e131bridge/WirePackets.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

using wire::Bytes;

namespace {
const std::string API = "http://127.0.0.1:32322";
constexpr size_t BODY_LIMIT = 4 * 1024 * 1024;

Json::Value ParseJson(const std::string& text) {
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

HttpResult Call(const std::string& method, const std::string& path, const std::string& body = "") {
    return HttpRequest(method, API + path, body);
}

Json::Value Status() {
    return ParseJson(Call("GET", "/kivd/status").body);
}

std::set<std::string> Keys(const Json::Value& object) {
    std::vector<std::string> names = object.getMemberNames();
    return std::set<std::string>(names.begin(), names.end());
}

// The set of the space-separated names.
std::set<std::string> KeySet(const std::string& names, const std::string& more = "") {
    std::set<std::string> set;
    std::istringstream words(names + " " + more);
    for (std::string word; words >> word;) {
        set.insert(word);
    }
    return set;
}

// Keys every mode reports; the player and remote blocks follow, the bridge stops here.
const std::string COMMON_KEYS =
    "kivd version branch platform uuid host_name host_description mode mode_name status bridging multisync "
    "powerBad status_name volume time timeStrFull timeStr dateStr uptime uptimeTotalSeconds uptimeSeconds "
    "uptimeDays uptimeMinutes uptimeHours uptimeStr sensors warnings warningInfo";
const std::string PLAYER_KEYS =
    "MQTT next_playlist scheduler current_playlist current_sequence current_song seconds_played "
    "seconds_elapsed seconds_remaining time_elapsed time_remaining repeat_mode";
const std::string REMOTE_KEYS =
    "MQTT playlist sequence_filename media_filename current_sequence current_song seconds_played "
    "seconds_elapsed seconds_remaining time_elapsed time_remaining";

// A raw connection to the API port, for requests no HTTP client would send.
int Connect(const char* address) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(32322);
    inet_pton(AF_INET, address, &to.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

void Send(int fd, const std::string& text) {
    ASSERT_EQ(static_cast<ssize_t>(text.size()), send(fd, text.data(), text.size(), MSG_NOSIGNAL));
}

// The status line's code of the answer on a raw connection, 0 when none came within a second.
int ReadStatusCode(int fd) {
    timeval wait{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    char head[64] = {};
    if (recv(fd, head, sizeof(head) - 1, 0) < 12) {
        return 0;
    }
    return atoi(head + 9);
}
} // namespace

class DaemonApi : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    bool Start(const std::string& settings) {
        media.write("settings", settings);
        return daemon.start({"-f"}) && daemon.waitForOutput("Starting main processing loop") &&
               WaitForHttp(API + "/kivd/version");
    }
    // Bridge mode with universe 1 (E1.31 unicast, 510 channels from channel 1) and a test output
    // recording channels 1-510 of every frame.
    bool StartBridge() {
        media.write("config/ci-universes.json",
                    R"({"channelInputs": [{"type": "universes", "enabled": 1, "timeout": 60000, "universes": [
                        {"active": 1, "id": 1, "startChannel": 1, "channelCount": 510, "type": 1}]}]})");
        media.write("config/co-other.json",
                    R"({"channelOutputs": [{"type": "TestOutput", "enabled": 1, "startChannel": 1,
                        "channelCount": 510, "recordFile": ")" +
                        media.file("record.bin") + "\"}]}");
        return Start("kivMode = \"bridge\"\nalwaysTransmit = \"1\"\n");
    }
    Bytes Recorded() const {
        std::ifstream in(media.file("record.bin"), std::ios::binary);
        Bytes frame((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return frame.size() == 510 ? frame : Bytes();
    }
    TestMediaDir media;
    DaemonProcess daemon{media.path()};
};

struct Exchange {
    const char* method;
    const char* path;
    const char* body;
    long status;
    const char* type;
    const char* message; // the "Message" of a JSON answer, or the whole text/plain body
};

TEST_F(DaemonApi, AnswersEveryRouteWithItsStatusContentTypeAndMessage) {
    ASSERT_TRUE(Start(""));
    const char* json = "application/json";
    const char* text = "text/plain";
    const Exchange table[] = {
        {"GET", "/kivd/version", "", 200, json, ""},
        {"POST", "/kivd/log/level/debug:HTTP", "", 200, json, "Log Level Updated"},
        {"GET", "/kivd/nothing", "", 404, json, "endpoint kivd/nothing does not exist"},
        {"GET", "/kivd", "", 404, json, "endpoint kivd/ does not exist"},
        {"GET", "/kivd/portsX", "", 404, json, "endpoint kivd/portsX does not exist"},
        {"GET", "/kivd/sequence", "", 200, json, "GET endpoint helper did not set result JSON"},
        {"GET", "/kivd/mqtt/cache", "", 400, json, "Mqtt not Initialized"},
        {"GET", "/kivd/schedule", "", 200, json, ""},
        {"GET", "/kivd/playlists", "", 200, json, ""},
        {"GET", "/kivd/playlist/filetime", "", 200, json, ""},
        {"GET", "/kivd/playlist/config", "", 200, json, ""},
        {"GET", "/kivd/effects", "", 200, json, ""},
        {"GET", "/kivd/multiSyncSystems?localOnly=1", "", 200, json, ""},
        {"GET", "/kivd/multiSyncStats?reset=1", "", 200, json, ""},
        {"GET", "/kivd/e131stats", "", 200, json, ""},
        {"GET", "/kivd/volume?set=70&simple=true", "", 200, text, "70"},
        {"GET", "/kivd/volume?set=abc", "", 400, json, "Invalid volume 'abc'"},
        {"GET", "/kivd/volume?simple=true", "", 200, text, "70"},
        {"POST", "/kivd/volume/55", "", 200, json, "Volume set"},
        {"POST", "/kivd/volume/5x", "", 400, json, "Invalid volume '5x'"},
        {"GET", "/kivd/volume?simple=true", "", 200, text, "55"},
        {"POST", "/kivd/sequences/x/start", "", 400, json, "POST endpoint helper did not set result JSON"},
        {"POST", "/kivd/playlists/a/item/3", "{}", 400, json, "POST endpoint helper did not set result JSON"},
        {"POST", "/kivd/playlists//start", "", 404, json, "endpoint kivd/playlists//start does not exist"},
        {"POST", "/kivd/outputs", "{", 400, text, "Error parsing POST content"},
        {"POST", "/kivd/outputs", R"({"command": "Disable"})", 400, json,
         "POST endpoint helper did not set result JSON"},
        {"POST", "/kivd/outputs", "[1, 2]", 400, json, "'command' field not specified"},
        {"POST", "/kivd/outputs", R"("enable")", 400, json, "'command' field not specified"},
        {"POST", "/kivd/outputs", R"({"command": {"enable": 1}})", 400, json,
         "POST endpoint helper did not set result JSON"},
        {"POST", "/kivd/outputs/remap", R"({"command": "reload"})", 200, json, "channel remaps reloaded"},
        {"POST", "/kivd/schedule", "", 400, json, "'command' field not specified"},
        {"POST", "/kivd/schedule", R"({"command": "reload"})", 200, json, "Schedule reload triggered"},
        {"POST", "/kivd/gpio/ext", R"({"config": 1})", 400, json,
         "POST endpoint helper did not set result JSON"},
        {"POST", "/kivd/gpio/ext", "{}", 400, json, "'config' field not specified"},
        {"POST", "/kivd/effects/snow", R"({"command": "start"})", 200, json,
         "PostEffect result would go here"},
        {"POST", "/kivd/quarn/hardware", "", 200, json, "PostQuarnHardware result would go here"},
        {"POST", "/kivd/unknown", "", 404, json, "endpoint kivd/unknown does not exist"},
        {"PUT", "/kivd/playlists/a/settings", "{}", 400, json, "PUT endpoint helper did not set result JSON"},
        {"PUT", "/kivd/status", "", 404, json, "endpoint kivd/status does not exist"},
        {"DELETE", "/kivd/e131stats", "", 200, json, "Stats Cleared"},
        {"DELETE", "/kivd/status", "", 404, json, "endpoint kivd/status does not exist"},
        {"PATCH", "/kivd/status", "", 405, text, "Method Not Allowed"},
        {"GET", "/nothing", "", 404, text, "Not Found"},
    };
    for (const auto& e : table) {
        SCOPED_TRACE(std::string(e.method) + " " + e.path + " " + e.body);
        HttpResult r = Call(e.method, e.path, e.body);
        EXPECT_EQ(e.status, r.status);
        EXPECT_EQ(e.type, r.contentType);
        std::string message = r.contentType == json ? ParseJson(r.body)["Message"].asString() : r.body;
        EXPECT_EQ(e.message, message) << r.body;
        if (r.contentType == json && r.body.find("GET endpoint helper") == std::string::npos) {
            EXPECT_EQ(e.status, ParseJson(r.body)["respCode"].asInt()) << "respCode is the HTTP status";
        }
    }
    EXPECT_TRUE(daemon.output().find("API - Jumping to item 3 in playlist 'a'") != std::string::npos)
        << "the log level request took effect";
}

TEST_F(DaemonApi, EveryRegisteredFamilyOfPathsReachesItsResource) {
    ASSERT_TRUE(Start(""));
    for (const char* prefix : {"/kivd/ports", "/kivd/testing", "/kivd/status", "/models", "/overlays",
                               "/command", "/commands", "/commandPresets", "/gpio", "/player"}) {
        for (const std::string& path : {std::string(prefix), std::string(prefix) + "/below/it"}) {
            HttpResult r = Call("GET", path);
            EXPECT_NE(0, r.status) << path;
            EXPECT_FALSE(r.status == 404 && r.body == "Not Found") << path << " is claimed by no resource";
        }
    }
}

TEST_F(DaemonApi, ReadersReportTheVersionTheVolumeTheLogLevelsAndTheWarnings) {
    ASSERT_TRUE(Start(""));
    Json::Value version = ParseJson(Call("GET", "/kivd/version").body);
    EXPECT_EQ("v1", version["kivdAPI"].asString());
    EXPECT_EQ("OK", version["Status"].asString());
    EXPECT_EQ(200, version["respCode"].asInt());
    EXPECT_FALSE(version["version"].asString().empty());
    EXPECT_EQ(70, ParseJson(Call("GET", "/kivd/volume").body)["volume"].asInt());

    EXPECT_EQ(200, Call("POST", "/kivd/log/level/excess:Sync;warn:GPIO").status);
    Json::Value log = ParseJson(Call("GET", "/kivd/log").body)["log"];
    EXPECT_EQ(16u, log.size());
    EXPECT_EQ("excess", log["Sync"].asString());
    EXPECT_EQ("warn", log["GPIO"].asString());
    EXPECT_EQ("info", log["HTTP"].asString());

    HttpResult warnings = Call("GET", "/kivd/warnings");
    EXPECT_EQ(200, warnings.status);
    EXPECT_TRUE(ParseJson(warnings.body).isArray()) << warnings.body;
}

TEST_F(DaemonApi, StatusOfAnIdlePlayerHoldsExactlyItsKeys) {
    ASSERT_TRUE(Start("HostName = \"first\"\n"));
    Json::Value status = Status();
    EXPECT_EQ(KeySet(COMMON_KEYS, PLAYER_KEYS), Keys(status)) << status.toStyledString();
    EXPECT_EQ("running", status["kivd"].asString());
    EXPECT_EQ(2, status["mode"].asInt());
    EXPECT_EQ("player", status["mode_name"].asString());
    EXPECT_EQ(0, status["status"].asInt());
    EXPECT_EQ("idle", status["status_name"].asString());
    EXPECT_FALSE(status["bridging"].asBool());
    EXPECT_FALSE(status["MQTT"]["configured"].asBool());
    EXPECT_EQ("first", status["host_name"].asString());
    EXPECT_LT(status["uptimeTotalSeconds"].asInt(), 60);
    EXPECT_NE(std::string::npos, status["uptimeStr"].asString().find("0 days, 0 hours, 0 minutes, "));
    EXPECT_FALSE(status.isMember("Status")) << "the status carries no result keys";

    size_t mark = daemon.output().size();
    media.write("settings", "HostName = \"second\"\n", true);
    ASSERT_TRUE(daemon.waitForOutputAfter(mark, "reloading settings"));
    EXPECT_EQ("first", Status()["host_name"].asString()) << "identity is read once";
}

TEST_F(DaemonApi, StatusNamesTestingWhileTheChannelTesterRuns) {
    ASSERT_TRUE(Start(""));
    ASSERT_EQ(200, Call("POST", "/kivd/testing", R"({"enabled": 1})").status);
    Json::Value status = Status();
    EXPECT_EQ("testing", status["status_name"].asString());
    EXPECT_EQ(0, status["status"].asInt());
    EXPECT_EQ(KeySet(COMMON_KEYS, PLAYER_KEYS), Keys(status));
    ASSERT_EQ(200, Call("POST", "/kivd/testing", R"({"enabled": 0})").status);
    EXPECT_EQ("idle", Status()["status_name"].asString());
}

TEST_F(DaemonApi, StatusOfAnIdleRemoteReportsNothingPlaying) {
    ASSERT_TRUE(Start("kivMode = \"remote\"\n"));
    Json::Value status = Status();
    EXPECT_EQ(KeySet(COMMON_KEYS, REMOTE_KEYS), Keys(status)) << status.toStyledString();
    EXPECT_EQ(8, status["mode"].asInt());
    EXPECT_EQ(0, status["status"].asInt());
    EXPECT_EQ("idle", status["status_name"].asString());
    EXPECT_EQ("0", status["seconds_played"].asString());
    EXPECT_EQ("", status["media_filename"].asString());
    EXPECT_EQ("00:00", status["time_remaining"].asString());
}

TEST_F(DaemonApi, BridgeStatusAndStatisticsFollowTheData) {
    ASSERT_TRUE(StartBridge());
    Json::Value status = Status();
    EXPECT_EQ(KeySet(COMMON_KEYS), Keys(status)) << status.toStyledString();
    EXPECT_FALSE(status["bridging"].asBool());

    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(1, 0, Bytes(510, 0x21)));
    ASSERT_TRUE(WaitFor([] { return Status()["bridging"].asBool(); }));
    Json::Value row = ParseJson(Call("GET", "/kivd/e131stats").body)["universes"][0];
    EXPECT_EQ("510", row["bytesReceived"].asString());
    EXPECT_EQ("1", row["packetsReceived"].asString());

    HttpResult cleared = Call("DELETE", "/kivd/e131stats");
    EXPECT_EQ("Stats Cleared", ParseJson(cleared.body)["Message"].asString());
    row = ParseJson(Call("GET", "/kivd/e131stats").body)["universes"][0];
    EXPECT_EQ("0", row["bytesReceived"].asString());
    EXPECT_EQ("0", row["packetsReceived"].asString());
}

TEST_F(DaemonApi, DisabledChannelOutputStopsFramesWhileTheBridgeKeepsReceiving) {
    ASSERT_TRUE(StartBridge());
    ASSERT_TRUE(WaitFor([&] { return Recorded() == Bytes(510, 0); }));
    HttpResult off = Call("POST", "/kivd/outputs", R"({"command": "disable"})");
    EXPECT_EQ(200, off.status);
    EXPECT_EQ("channel output disabled", ParseJson(off.body)["Message"].asString());

    wire::UdpSender("127.0.0.1", 5568).send(wire::E131Data(1, 0, Bytes(510, 0x5A)));
    ASSERT_TRUE(WaitFor([] {
        return ParseJson(Call("GET", "/kivd/e131stats").body)["universes"][0]["bytesReceived"] == "510";
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // eight frame periods
    EXPECT_EQ(Bytes(510, 0), Recorded()) << "a frame reached the output while disabled";

    HttpResult on = Call("POST", "/kivd/outputs", R"({"command": "enable"})");
    EXPECT_EQ("channel output enabled", ParseJson(on.body)["Message"].asString());
    EXPECT_TRUE(WaitFor([&] { return Recorded() == Bytes(510, 0x5A); }));
}

TEST_F(DaemonApi, BodiesAtAndPastTheLimitAndDeepJsonGetProperAnswers) {
    ASSERT_TRUE(Start(""));
    std::string exact = R"({"command": "none")";
    exact += std::string(BODY_LIMIT - exact.size() - 1, ' ') + "}";
    HttpResult atLimit = Call("POST", "/kivd/outputs", exact);
    EXPECT_EQ(400, atLimit.status);
    EXPECT_EQ("POST endpoint helper did not set result JSON", ParseJson(atLimit.body)["Message"].asString());

    HttpResult past = Call("POST", "/kivd/outputs", exact + " ");
    EXPECT_EQ(413, past.status);
    EXPECT_EQ("text/plain", past.contentType);

    HttpResult deep = Call("POST", "/kivd/outputs", std::string(200000, '['));
    EXPECT_EQ(400, deep.status);
    EXPECT_EQ("Error parsing POST content", deep.body);
    EXPECT_EQ(200, Call("GET", "/kivd/version").status);
}

TEST_F(DaemonApi, SlowAndStalledClientsDoNotHoldUpOthers) {
    ASSERT_TRUE(Start(""));
    std::vector<int> stalled;
    for (int i = 0; i < 30; i++) { // three for each worker thread
        int fd = Connect("127.0.0.1");
        ASSERT_GE(fd, 0);
        Send(fd, i % 2 ? "GET /kivd/status HTTP/1.1\r\nHost: x\r\n"
                       : "POST /kivd/outputs HTTP/1.1\r\nHost: x\r\nContent-Length: 100\r\n\r\n{\"comm");
        stalled.push_back(fd);
    }
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 20; i++) {
        ASSERT_EQ(200, Call("GET", "/kivd/version").status);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));

    Send(stalled[1], "\r\n"); // a stalled request that completes is answered
    EXPECT_EQ(200, ReadStatusCode(stalled[1]));
    for (int fd : stalled) {
        close(fd);
    }
    EXPECT_EQ(-1, Connect("127.0.0.2")) << "only 127.0.0.1 is served";
    EXPECT_TRUE(daemon.running());
}

TEST_F(DaemonApi, ShutdownEndsTheDaemonWhileOtherRequestsAreInFlight) {
    ASSERT_TRUE(Start(""));
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, refused{0}, wrong{0};
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; i++) {
        clients.emplace_back([&, i] {
            while (!stop) {
                HttpResult r = Call(i % 2 ? "GET" : "POST", i % 2 ? "/kivd/status" : "/kivd/schedule",
                                    R"({"command": "reload"})");
                if (r.status == 0) {
                    refused++;
                } else if (r.status == 200 && ParseJson(r.body).isObject()) {
                    answered++;
                } else {
                    wrong++;
                }
            }
        });
    }
    ASSERT_TRUE(WaitFor([&] { return answered > 20; }));
    HttpResult bye = Call("POST", "/kivd/shutdown");
    EXPECT_EQ(200, bye.status);
    EXPECT_EQ("Shutting down kivd", ParseJson(bye.body)["Message"].asString());
    EXPECT_EQ(0, daemon.waitForExit(5000));
    EXPECT_TRUE(WaitFor([&] { return refused > 0; }));
    stop = true;
    for (auto& t : clients) {
        t.join();
    }
    EXPECT_EQ(0, wrong);
    EXPECT_NE(std::string::npos, daemon.output().find("Shutting down main loop."));
}
