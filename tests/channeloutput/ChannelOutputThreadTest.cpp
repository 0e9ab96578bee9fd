// The channel-output thread's frame rate, forced frames and stopping.

#include "channeloutput/ChannelOutputThread.h"
#include "common/Common.h"
#include "common/Settings.h"
#include "player/Sequence.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

class ChannelOutputThread : public ::testing::Test {
protected:
    void SetUp() override { sequence = new Sequence(); }
    void TearDown() override {
        StopChannelOutputThread();
        delete sequence;
        sequence = nullptr;
        ResetSettingsForTesting();
    }
    TestMediaDir media;
};

TEST_F(ChannelOutputThread, RunsFramesAtTheConfiguredRate) {
    SetSetting("ChannelOutputFrameRate", "40");
    StartChannelOutputThread();
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    EXPECT_EQ(25, ChannelOutputFramePeriodMS());
    unsigned long before = ChannelOutputFramesSent();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    unsigned long frames = ChannelOutputFramesSent() - before;
    EXPECT_GE(frames, 35u);
    EXPECT_LE(frames, 45u);
}

TEST_F(ChannelOutputThread, ForcedFramesGoOutAtOnce) {
    SetSetting("ChannelOutputFrameRate", "1");
    StartChannelOutputThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    unsigned long before = ChannelOutputFramesSent();
    for (int i = 0; i < 5; i++) {
        ForceChannelOutputNow();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GE(ChannelOutputFramesSent() - before, 4u);
}

TEST_F(ChannelOutputThread, ForcedFramesNeverHoldBackTheRegularOnes) {
    SetSetting("ChannelOutputFrameRate", "40");
    StartChannelOutputThread();
    for (int i = 0; i < 100; i++) { // a sender syncing at 200 fps for half a second
        ForceChannelOutputNow();
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    unsigned long before = ChannelOutputFramesSent();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GE(ChannelOutputFramesSent() - before, 6u); // 8 frames are due in 200 ms
}

TEST_F(ChannelOutputThread, StopsByItselfWhenThereIsNothingToShowAndRestarts) {
    SetSetting("ChannelOutputFrameRate", "100");
    StartChannelOutputThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(IDLE_STOP_MS + 500));
    EXPECT_FALSE(ChannelOutputThreadIsRunning());
    unsigned long stoppedAt = ChannelOutputFramesSent();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(stoppedAt, ChannelOutputFramesSent());
    StartChannelOutputThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    EXPECT_GT(ChannelOutputFramesSent(), stoppedAt);
}

TEST_F(ChannelOutputThread, KeepsRunningWhileBridgeDataIsFresh) {
    SetSetting("ChannelOutputFrameRate", "100");
    unsigned char data[3] = {1, 2, 3};
    StartChannelOutputThread();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(IDLE_STOP_MS + 500);
    while (std::chrono::steady_clock::now() < until) {
        sequence->SetBridgeData(data, 0, 3, GetTimeMS() + 1000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
}

TEST_F(ChannelOutputThread, SendsNoFramesWhileOutputIsDisabledButKeepsItsPace) {
    SetSetting("ChannelOutputFrameRate", "100");
    SetSetting("alwaysTransmit", "1");
    StartChannelOutputThread();
    DisableChannelOutput();
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // a frame already being sent
    unsigned long disabledAt = ChannelOutputFramesSent();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(disabledAt, ChannelOutputFramesSent());
    EXPECT_TRUE(ChannelOutputThreadIsRunning());
    EXPECT_FALSE(ChannelOutputEnabled());
    EnableChannelOutput();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_GE(ChannelOutputFramesSent() - disabledAt, 5u);
}
