// The kivoled program against a real kivd in a private network namespace: the status page shows
// the daemon's mode on the emulated panel, buttons written to the simulated GPIO file move through
// the menu and switch the outputs off, and SIGTERM blanks the display. Then against an API that
// hangs or answers garbage.
#include "OledText.h"
#include "common/Common.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/SimulatedGpioFile.h"
#include "support/TestMediaDir.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

const std::string API = "http://127.0.0.1:32322";
constexpr int UP = 23, DOWN = 24, ENTER = 25, BACK = 5; // P1-16, P1-18, P1-22, P1-29

// A stand-in for the daemon's API port that accepts connections and either never answers or
// answers every request with the same bytes.
class BrokenApi {
public:
    explicit BrokenApi(const std::string& reply) : answer(reply) {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(32322);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bound = bind(listener, (sockaddr*)&a, sizeof(a)) == 0 && listen(listener, 16) == 0;
        server = std::thread([this] { serve(); });
    }
    ~BrokenApi() {
        stopping = true;
        shutdown(listener, SHUT_RDWR);
        close(listener);
        server.join();
        for (int c : clients) {
            close(c);
        }
    }
    bool bound = false;

private:
    void serve() {
        while (!stopping) {
            int c = accept(listener, nullptr, nullptr);
            if (c < 0) {
                return;
            }
            clients.push_back(c);
            char request[4096];
            if (!answer.empty() && recv(c, request, sizeof(request), 0) > 0) {
                send(c, answer.data(), answer.size(), MSG_NOSIGNAL);
                shutdown(c, SHUT_WR);
            }
        }
    }
    std::string answer; // empty: never answer
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::thread server;
    std::vector<int> clients;
};

class KivOledProgram : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        media.write("settings", "kivMode = \"bridge\"\nLEDDisplayType = \"1\"\n");
        media.write("config/kivoled.json",
                    R"({"buttons": {"Up": "P1-16", "Down": "P1-18", "Enter": "P1-22", "Back": "P1-29"}})");
    }
    // Holds the button down past the debounce time, then lets it go.
    void press(int line) {
        gpio.drive(line, 0);
        usleep(100 * 1000);
        gpio.drive(line, 1);
        usleep(100 * 1000);
    }
    // Waits until one of the content lines (x 6, rows 12 to 52) reads text.
    bool waitForLine(const std::string& text, bool inverted = false, int timeoutMS = 8000) {
        return WaitFor(
            [&] {
                OledPanelSnapshot s = panel.read();
                for (int y = 12; y <= 52; y += 10) {
                    if (ReadPanelText(s, 6, y, 19, inverted) == text) {
                        return true;
                    }
                }
                return false;
            },
            timeoutMS, 50);
    }
    std::string lines() {
        OledPanelSnapshot s = panel.read();
        return s.picture(0, 0, 128, 64);
    }

    SimulatedGpioFile gpio{"kivoled"};
    OledPanelFile panel{"kivoled"};
    TestMediaDir media;
};

TEST_F(KivOledProgram, ShowsTheDaemonsModeAndTurnsTheOutputsOffFromTheMenu) {
    media.write("config/co-other.json", R"({"channelOutputs": [{"type": "TestPorts", "enabled": 1,
        "startChannel": 1, "channelCount": 3, "ports": [{"portNumber": 0, "enablePin": "P1-7"}]}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_TRUE(WaitForHttp(API + "/kivd/status"));
    ASSERT_EQ("OK", HttpPost(API + "/command", R"({"command": "Outputs On", "args": []})").body);
    ASSERT_EQ(1, gpio.level(4));

    DaemonProcess oled(media.path(), KIVOLED_BINARY);
    ASSERT_TRUE(oled.start({}));
    ASSERT_TRUE(waitForLine("Mode: bridge")) << lines() << oled.output();
    EXPECT_TRUE(waitForLine("Status: idle")) << lines();

    press(ENTER);
    ASSERT_TRUE(waitForLine("Status", true)) << lines(); // the menu, its first item selected
    press(DOWN);
    press(DOWN);
    press(UP);
    press(DOWN);
    press(DOWN);
    ASSERT_TRUE(waitForLine("Outputs Off", true)) << lines();
    press(ENTER);
    EXPECT_TRUE(WaitFor([&] { return gpio.level(4) == 0; }, 5000, 20)) << oled.output();
    Json::Value ports;
    ASSERT_TRUE(LoadJsonFromString(HttpGet(API + "/kivd/ports").body, ports));
    EXPECT_FALSE(ports[0]["enabled"].asBool());
    EXPECT_TRUE(waitForLine("Mode: bridge")) << lines(); // back on the status page

    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
    EXPECT_TRUE(waitForLine("kivd not running")) << lines();

    oled.signal(SIGTERM);
    EXPECT_EQ(0, oled.waitForExit(5000));
    OledPanelSnapshot last = panel.read();
    EXPECT_EQ(0, last.countLit(0, 0, 128, 64));
}

TEST_F(KivOledProgram, KeepsRunningAndAnsweringButtonsWhenTheApiHangsOrAnswersGarbage) {
    for (const std::string& reply : {std::string(), std::string("HTTP/1.0 200 OK\r\n\r\n{\"mode_name\": [1,"),
                                     std::string("HTTP/1.0 200 OK\r\n\r\n\xff\xfe garbage \x80")}) {
        SCOPED_TRACE(reply);
        BrokenApi api(reply);
        ASSERT_TRUE(api.bound);
        DaemonProcess oled(media.path(), KIVOLED_BINARY);
        ASSERT_TRUE(oled.start({}));
        ASSERT_TRUE(waitForLine("kivd not running")) << lines();
        press(ENTER);
        EXPECT_TRUE(waitForLine("Status", true, 3000)) << lines();
        press(BACK);
        EXPECT_TRUE(waitForLine("kivd not running", false, 3000)) << lines();
        EXPECT_TRUE(oled.running());
        oled.signal(SIGTERM);
        EXPECT_EQ(0, oled.waitForExit(5000));
    }
}

} // namespace
