// Output files changed under a running kivd take effect without a restart.

#include "support/DaemonProcess.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <thread>

class DaemonOutputs : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    std::string outputs(int start, int count) {
        return "{\"channelOutputs\": [{\"type\": \"TestOutput\", \"enabled\": 1, \"startChannel\": " +
               std::to_string(start) + ", \"channelCount\": " + std::to_string(count) +
               ", \"recordFile\": \"" + media.file("frames.bin") + "\"}]}";
    }
    TestMediaDir media;
};

TEST_F(DaemonOutputs, WritingRewritingAndDeletingAnOutputFileTakesEffectLive) {
    media.write("settings", "kivMode = \"bridge\"\nalwaysTransmit = \"1\"\n");
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_NE(std::string::npos, daemon.output().find("Determined range needed 0 - 7"));

    size_t mark = daemon.output().size();
    media.write("config/co-other.json", outputs(1, 10), true);
    ASSERT_TRUE(daemon.waitForOutputAfter(mark, "Configured TestOutput Channel Output"));
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "TestOutput: Determined range needed 0 - 9"));
    for (int i = 0; i < 100 && media.read("frames.bin").size() != 10; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(std::string(10, '\0'), media.read("frames.bin"));

    mark = daemon.output().size();
    media.write("config/co-other.json", outputs(21, 5), true);
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "TestOutput: Determined range needed 20 - 24"));
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "Determined range needed 20 - 24"));

    mark = daemon.output().size();
    media.remove("config/co-other.json");
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "Determined range needed 0 - 7"));

    mark = daemon.output().size();
    media.write("config/co-other.json", "{\"channelOutputs\": [", true);
    EXPECT_TRUE(daemon.waitForOutputAfter(mark, "Error parsing " + media.file("config/co-other.json")));
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}
