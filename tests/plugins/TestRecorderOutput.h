#pragma once
// A channel output for tests, made by the plugin library kiv-co-TestRecorder: it records every
// frame it is sent. Defined wholly in this header, so a test holding one that the plugin made may
// static_cast it here (after checking GetOutputType() == "TestRecorder") without needing any
// symbol of the plugin library. The record is guarded by a mutex, as frames arrive on the
// channel-output thread.

#include "channeloutput/ChannelOutput.h"

#include <mutex>
#include <vector>

class TestRecorderOutput : public ChannelOutput {
public:
    TestRecorderOutput(unsigned int startChannel, unsigned int channelCount)
        : ChannelOutput(startChannel, channelCount) {}

    std::string GetOutputType() const override { return "TestRecorder"; }
    int SendData(unsigned char* channelData) override {
        std::lock_guard<std::mutex> l(lock);
        lastFrame.assign(channelData, channelData + m_channelCount);
        framesSent++;
        return m_channelCount;
    }

    // The channels of the last frame sent (channelCount bytes), empty before the first.
    std::vector<unsigned char> LastFrame() const {
        std::lock_guard<std::mutex> l(lock);
        return lastFrame;
    }
    int FramesSent() const {
        std::lock_guard<std::mutex> l(lock);
        return framesSent;
    }

private:
    mutable std::mutex lock; // guards lastFrame and framesSent
    std::vector<unsigned char> lastFrame;
    int framesSent = 0;
};
