// MQTT topics that stop and restart a running kivd, through a real broker.

#include "support/DaemonProcess.h"
#include "support/MosquittoBroker.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace {
// Publishes until the daemon's output shows `expected` after `from` (the daemon subscribes a
// moment after it starts, and a message before that is not kept by the broker).
bool PublishUntil(const MosquittoBroker& broker, DaemonProcess& daemon, const std::string& topic, size_t from,
                  const std::string& expected) {
    for (int i = 0; i < 25; i++) {
        broker.publish(topic, "x");
        if (daemon.waitForOutputAfter(from, expected, 200)) {
            return true;
        }
    }
    return false;
}

std::string CommandLine(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline");
    std::stringstream ss;
    ss << in.rdbuf();
    std::string text = ss.str();
    for (char& c : text) {
        c = c == '\0' ? ' ' : c;
    }
    return text;
}
} // namespace

class DaemonMqtt : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        ASSERT_TRUE(broker.start());
        media.write("settings", "MQTTHost = \"127.0.0.1\"\nMQTTPort = \"1883\"\nMQTTPrefix = \"kivtest\"\n");
    }
    TestMediaDir media;
    MosquittoBroker broker{1883};
};

TEST_F(DaemonMqtt, StopTopicEndsTheDaemon) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_TRUE(PublishUntil(broker, daemon, "kivtest/system/kivd/stop", 0, "Stopping KIV for request:"));
    EXPECT_EQ(0, daemon.waitForExit(3000));
    EXPECT_NE(std::string::npos, daemon.output().find("Main Loop complete, shutting down."));
}

TEST_F(DaemonMqtt, RestartTopicReExecutesWithTheRestartedFlag) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:Sequence"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_TRUE(
        PublishUntil(broker, daemon, "kivtest/system/kivd/restart", 0, "Restarting KIV for request:"));
    ASSERT_TRUE(daemon.waitForOutput("Performing Restart."));
    size_t restartAt = daemon.output().find("Performing Restart.");
    ASSERT_TRUE(daemon.waitForOutputAfter(restartAt, "Starting main processing loop"));
    EXPECT_TRUE(daemon.running()); // same process, new image
    std::string cmdline = CommandLine(daemon.pid());
    EXPECT_NE(std::string::npos, cmdline.find(" -f --log-level info;debug:Sequence -r")) << cmdline;
    EXPECT_EQ(std::string::npos, daemon.output().find("SendBlankingData", restartAt));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}

TEST_F(DaemonMqtt, OtherTopicsOnlyLogTheInvalidRequest) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    ASSERT_TRUE(
        PublishUntil(broker, daemon, "kivtest/system/kivd/top", 0, "Invalid request in kivd_callback"));
    EXPECT_TRUE(daemon.running());
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}

TEST_F(DaemonMqtt, AnUnresolvableBrokerIsWarnedAndTheDaemonRuns) {
    media.write("settings", "MQTTHost = \"no-such-broker.invalid\"\nMQTTPrefix = \"kivtest\"\n");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_NE(std::string::npos, daemon.output().find("MQTT Init failed. Starting without MQTT."));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}
