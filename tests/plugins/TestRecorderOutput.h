#pragma once
// A channel output for tests, built as the plugin library kiv-co-TestRecorder: it records every
// frame it is sent. Tests that get one from the plugin may static_cast it to this class (after
// checking GetOutputType() == "TestRecorder") and read the record through the virtual accessors,
// which need no symbol of the plugin library. The record is guarded by a mutex, as frames arrive
// on the channel-output thread.

#include "channeloutput/ChannelOutput.h"

#include <mutex>
#include <vector>

class TestRecorderOutput : public ChannelOutput {
public:
    TestRecorderOutput(unsigned int startChannel, unsigned int channelCount);
    ~TestRecorderOutput() override;

    std::string GetOutputType() const override;
    int SendData(unsigned char* channelData) override;

    // The channels of the last frame sent (channelCount bytes), empty before the first.
    virtual std::vector<unsigned char> LastFrame() const;
    virtual int FramesSent() const;

private:
    mutable std::mutex lock; // guards lastFrame and framesSent
    std::vector<unsigned char> lastFrame;
    int framesSent = 0;
};
