// The output monitor in a running daemon: ports registered by an output on simulated pins, a fuse
// tripped from outside the process, and the port switched back on through the command resource.
#include "common/Common.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/SimulatedGpioFile.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace {

const std::string API = "http://127.0.0.1:32322";

class DaemonPorts : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    // What another process sees of the daemon's pins, and how it drives one.
    int pinLevel(int gpio) { return gpioFile.level(gpio); }
    void drivePin(int gpio, unsigned char level) { EXPECT_TRUE(gpioFile.drive(gpio, level)); }
    // The warnings the daemon shows, from the API when it serves them, else from its file.
    std::string shownWarnings() {
        HttpResult r = HttpGet(API + "/kivd/warnings");
        return r.status == 200 ? r.body : media.read("tmp/warnings.json");
    }
    static bool waitFor(const std::function<bool()>& done, int timeoutMS = 3000) {
        return WaitFor(done, timeoutMS, 10);
    }
    static HttpResult command(const std::string& name, const std::string& args) {
        return HttpPost(API + "/command", R"({"command": ")" + name + R"(", "args": )" + args + "}");
    }

    SimulatedGpioFile gpioFile{"daemontest"};
    TestMediaDir media;
};

TEST_F(DaemonPorts, AFuseTrippedFromOutsideIsWarnedAndSetPortStatusPowersThePortAgain) {
    media.write("settings", "kivMode = \"bridge\"\n");
    media.write("config/co-other.json", R"({"channelOutputs": [{"type": "TestPorts", "enabled": 1,
        "startChannel": 1, "channelCount": 3, "ports": [
        {"portNumber": 0, "enablePin": "P1-7", "eFusePin": "!+P1-11"},
        {"portNumber": 1, "enablePin": "P1-13", "eFusePin": "!+P1-15"}]}]})");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_TRUE(WaitForHttp(API + "/kivd/ports/list"));

    HttpResult list = HttpGet(API + "/kivd/ports/list");
    EXPECT_EQ(200, list.status);
    EXPECT_EQ("application/json", list.contentType);
    EXPECT_EQ(R"(["--ALL--","Port 1","Port 2"])", list.body);

    EXPECT_EQ("OK", command("Outputs On", "[]").body);
    EXPECT_EQ(1, pinLevel(4));
    EXPECT_EQ(1, pinLevel(27));

    drivePin(17, 0);
    EXPECT_TRUE(waitFor([&]() { return contains(shownWarnings(), "eFUSE Triggered for Port 1"); }));
    EXPECT_EQ(0, pinLevel(4));
    EXPECT_EQ(1, pinLevel(27));
    EXPECT_NE(std::string::npos, daemon.output().find("eFUSE Triggered for Port 1"));

    drivePin(17, 1);
    HttpResult set = command("Set Port Status", R"(["Port 1", "true"])");
    EXPECT_EQ(200, set.status);
    EXPECT_EQ("OK", set.body);
    EXPECT_TRUE(waitFor([&]() { return !contains(shownWarnings(), "eFUSE Triggered for Port 1"); }));
    EXPECT_EQ(1, pinLevel(4));
    Json::Value ports;
    ASSERT_TRUE(LoadJsonFromString(HttpGet(API + "/kivd/ports").body, ports));
    EXPECT_TRUE(ports[0]["enabled"].asBool());
    EXPECT_TRUE(ports[0]["status"].asBool());

    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

} // namespace
