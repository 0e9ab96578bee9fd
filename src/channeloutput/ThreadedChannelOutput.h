#pragma once
// A channel output that transmits on its own thread. SendData copies the frame into the output's
// hand-over buffer and wakes the sending thread, which calls RawSendData with the newest frame; a
// frame that arrives while the previous one is still being sent replaces the waiting one, so a slow
// device never delays the channel-output thread. The hand-over buffer and flags are guarded by
// frameLock; RawSendData runs without it on the sending thread only.

#include "ChannelOutput.h"

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class ThreadedChannelOutput : public ChannelOutput {
public:
    ThreadedChannelOutput(unsigned int startChannel = 0, unsigned int channelCount = 0);
    ~ThreadedChannelOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    int SendData(unsigned char* channelData) override;
    void DumpConfig() override;

    // The device transmission of one frame, called on the sending thread.
    virtual int RawSendData(unsigned char* channelData) = 0;
    // Called on the sending thread when no frame arrived for waitTimeoutMS (a keep-alive hook).
    virtual void WaitTimedOut();

    // Frames handed to RawSendData, and frames replaced before they could be sent.
    unsigned long FramesSent() const;
    unsigned long FramesDropped() const;

protected:
    int m_waitTimeoutMS = 1000;

private:
    void sendThreadMain();
    void stopThread();

    mutable std::mutex frameLock;
    std::condition_variable frameReady;
    std::vector<unsigned char> pendingFrame; // copy of the newest frame
    std::vector<unsigned char> sendingFrame; // frame being transmitted (sending thread only)
    bool framePending = false;
    bool runThread = false;
    unsigned long framesSent = 0;
    unsigned long framesDropped = 0;
    std::thread sendThread;
};
