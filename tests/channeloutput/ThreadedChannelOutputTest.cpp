// The hand-over of frames from SendData to RawSendData on the output's own thread.

#include "channeloutput/ThreadedChannelOutput.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {
class RecordingOutput : public ThreadedChannelOutput {
public:
    RecordingOutput(unsigned count, int sendDelayMS = 0, int waitTimeoutMS = 1000)
        : ThreadedChannelOutput(0, count), delay(sendDelayMS) {
        m_waitTimeoutMS = waitTimeoutMS;
    }
    ~RecordingOutput() override { Close(); }

    int RawSendData(unsigned char* data) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
        std::lock_guard<std::mutex> lk(lock);
        frames.emplace_back(data, data + m_channelCount);
        senderThread = std::this_thread::get_id();
        changed.notify_all();
        return m_channelCount;
    }
    void WaitTimedOut() override { timeouts++; }

    bool waitForFrames(size_t n, int timeoutMS = 2000) {
        std::unique_lock<std::mutex> lk(lock);
        return changed.wait_for(lk, std::chrono::milliseconds(timeoutMS), [&] { return frames.size() >= n; });
    }

    std::mutex lock;
    std::condition_variable changed;
    std::vector<std::vector<unsigned char>> frames;
    std::thread::id senderThread;
    std::atomic<int> timeouts{0};
    int delay;
};
} // namespace

TEST(ThreadedChannelOutput, SendsEachFrameOnItsOwnThreadWithTheExactBytes) {
    RecordingOutput out(4);
    ASSERT_TRUE(out.Init(Json::Value(Json::objectValue)));
    unsigned char frame[4] = {1, 2, 3, 4};
    out.SendData(frame);
    ASSERT_TRUE(out.waitForFrames(1));
    frame[0] = 9; // the output must have taken a copy
    std::lock_guard<std::mutex> lk(out.lock);
    EXPECT_EQ((std::vector<unsigned char>{1, 2, 3, 4}), out.frames[0]);
    EXPECT_NE(std::this_thread::get_id(), out.senderThread);
}

TEST(ThreadedChannelOutput, ASlowDeviceNeverDelaysTheCallerAndGetsTheNewestFrame) {
    RecordingOutput out(1, 100);
    ASSERT_TRUE(out.Init(Json::Value(Json::objectValue)));
    unsigned char first = 1;
    out.SendData(&first);
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // the device is now busy with frame 1
    auto started = std::chrono::steady_clock::now();
    for (unsigned char i = 2; i <= 10; i++) {
        out.SendData(&i);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(50));
    ASSERT_TRUE(out.waitForFrames(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    std::lock_guard<std::mutex> lk(out.lock);
    ASSERT_EQ(2u, out.frames.size()); // frames 2 to 9 were replaced while the device was busy
    EXPECT_EQ(1, out.frames[0][0]);
    EXPECT_EQ(10, out.frames[1][0]);
    EXPECT_EQ(8u, out.FramesDropped());
    EXPECT_EQ(2u, out.FramesSent());
}

TEST(ThreadedChannelOutput, WaitTimesOutWhenNoFrameArrives) {
    RecordingOutput out(1, 0, 20);
    ASSERT_TRUE(out.Init(Json::Value(Json::objectValue)));
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_GE(out.timeouts.load(), 3);
}

TEST(ThreadedChannelOutput, NothingIsSentAfterClose) {
    RecordingOutput out(1);
    ASSERT_TRUE(out.Init(Json::Value(Json::objectValue)));
    out.Close();
    unsigned char byte = 5;
    EXPECT_EQ(0, out.SendData(&byte));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    std::lock_guard<std::mutex> lk(out.lock);
    EXPECT_TRUE(out.frames.empty());
}
