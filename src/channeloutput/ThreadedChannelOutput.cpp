#include "ThreadedChannelOutput.h"

#include "common/Common.h"
#include "common/Log.h"

#include <chrono>
#include <cstring>

ThreadedChannelOutput::ThreadedChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "ThreadedChannelOutput::ThreadedChannelOutput()\n");
}

ThreadedChannelOutput::~ThreadedChannelOutput() {
    LogDebug(LG_CHANNELOUT, "ThreadedChannelOutput::~ThreadedChannelOutput()\n");
    // A derived class has already been destroyed here, so the thread must be gone before; Close()
    // stops it. This is a last resort for outputs deleted without Close().
    stopThread();
}

int ThreadedChannelOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "ThreadedChannelOutput::Init()\n");
    int result = ChannelOutput::Init(config);
    {
        std::lock_guard<std::mutex> lk(frameLock);
        pendingFrame.assign(m_channelCount, 0);
        sendingFrame.assign(m_channelCount, 0);
        framePending = false;
        runThread = true;
    }
    sendThread = std::thread(&ThreadedChannelOutput::sendThreadMain, this);
    return result;
}

int ThreadedChannelOutput::Close() {
    LogDebug(LG_CHANNELOUT, "ThreadedChannelOutput::Close()\n");
    stopThread();
    return ChannelOutput::Close();
}

void ThreadedChannelOutput::stopThread() {
    {
        std::lock_guard<std::mutex> lk(frameLock);
        runThread = false;
    }
    frameReady.notify_all();
    if (sendThread.joinable()) {
        sendThread.join();
    }
}

int ThreadedChannelOutput::SendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "ThreadedChannelOutput::SendData(%p)\n", channelData);
    {
        std::lock_guard<std::mutex> lk(frameLock);
        if (!runThread) {
            return 0;
        }
        if (framePending) {
            framesDropped++;
        }
        std::memcpy(pendingFrame.data(), channelData, pendingFrame.size());
        framePending = true;
    }
    frameReady.notify_one();
    return m_channelCount;
}

void ThreadedChannelOutput::sendThreadMain() {
    SetThreadName("KIV-OutThread");
    std::unique_lock<std::mutex> lk(frameLock);
    while (runThread) {
        bool woke = frameReady.wait_for(lk, std::chrono::milliseconds(m_waitTimeoutMS),
                                        [this] { return framePending || !runThread; });
        if (!runThread) {
            break;
        }
        if (!woke) {
            lk.unlock();
            WaitTimedOut();
            lk.lock();
            continue;
        }
        sendingFrame.swap(pendingFrame);
        framePending = false;
        framesSent++;
        lk.unlock();
        RawSendData(sendingFrame.data());
        lk.lock();
    }
}

void ThreadedChannelOutput::WaitTimedOut() {}

unsigned long ThreadedChannelOutput::FramesSent() const {
    std::lock_guard<std::mutex> lk(frameLock);
    return framesSent;
}

unsigned long ThreadedChannelOutput::FramesDropped() const {
    std::lock_guard<std::mutex> lk(frameLock);
    return framesDropped;
}

void ThreadedChannelOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "ThreadedChannelOutput::DumpConfig()\n");
    ChannelOutput::DumpConfig();
    LogDebug(LG_CHANNELOUT, "    Wait time-out    : %d ms\n", m_waitTimeoutMS);
}
