#include "ChannelOutputThread.h"

#include "ChannelOutputSetup.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "overlays/PixelOverlayManager.h"
#include "player/ChannelTester.h"
#include "player/Sequence.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {
std::mutex threadLock; // guards outputThread, forceFrame and the wake-up
std::condition_variable wakeUp;
std::thread outputThread;
std::atomic<bool> threadRunning{false};
std::atomic<bool> stopRequested{false};
bool forceFrame = false;
std::atomic<unsigned long> framesSent{0};
std::atomic<int> framePeriodMS{25};
std::atomic<bool> outputEnabled{true};
std::atomic<bool> alwaysTransmit{false}; // "alwaysTransmit", read when the thread starts

bool somethingToShow() {
    if (sequence && (sequence->hasBridgeData() || sequence->IsSequenceRunning())) {
        return true;
    }
    return PixelOverlayManager::INSTANCE.hasActiveOverlays() || ChannelTester::INSTANCE.Testing() ||
           alwaysTransmit.load();
}

void sendOneFrame() {
    if (!sequence) {
        return;
    }
    sequence->ExpireBridgeData(GetTimeMS());
    if (!outputEnabled) {
        return;
    }
    std::lock_guard<std::mutex> lk(sequence->DataLock());
    PixelOverlayManager::INSTANCE.doOverlays(sequence->Data());
    ChannelTester::INSTANCE.OverlayTestData(sequence->Data());
    PrepareChannelData(reinterpret_cast<char*>(sequence->Data()));
    SendChannelData(reinterpret_cast<const char*>(sequence->Data()));
    framesSent++;
}

enum class Wake { Due, Forced, Stop };

// Waits until the next frame is due, a frame is forced or the thread is asked to stop.
Wake waitForNextFrame(std::chrono::steady_clock::time_point due) {
    std::unique_lock<std::mutex> lk(threadLock);
    wakeUp.wait_until(lk, due, [] { return forceFrame || stopRequested.load(); });
    bool forced = forceFrame;
    forceFrame = false;
    return stopRequested ? Wake::Stop : forced ? Wake::Forced : Wake::Due;
}

void outputThreadMain() {
    SetThreadName("KIV-ChanOut");
    LogDebug(LG_CHANNELOUT, "Channel output thread started, frame period %d ms\n", framePeriodMS.load());
    StartingOutput();
    auto period = std::chrono::milliseconds(framePeriodMS.load());
    auto nextFrame = std::chrono::steady_clock::now();
    Wake wake = Wake::Due;
    long long lastBusy = GetTimeMS();
    while (!stopRequested) {
        sendOneFrame();
        if (somethingToShow()) {
            lastBusy = GetTimeMS();
        } else if (GetTimeMS() - lastBusy >= IDLE_STOP_MS) {
            LogDebug(LG_CHANNELOUT, "Nothing to show, stopping the channel output thread\n");
            break;
        }
        auto now = std::chrono::steady_clock::now();
        // A forced frame restarts the schedule from now, so a stream of sync packets never pushes
        // the regular frames away; a late frame does not cause a burst of catch-up frames.
        nextFrame = wake == Wake::Forced ? now + period : std::max(nextFrame + period, now);
        wake = waitForNextFrame(nextFrame);
        if (wake == Wake::Stop) {
            break;
        }
    }
    StoppingOutput();
    threadRunning = false;
    LogDebug(LG_CHANNELOUT, "Channel output thread stopped\n");
}
} // namespace

int StartChannelOutputThread() {
    std::lock_guard<std::mutex> lk(threadLock);
    if (threadRunning) {
        return 1;
    }
    if (outputThread.joinable()) {
        outputThread.join(); // a thread that stopped by itself
    }
    int fps = std::clamp(getSettingInt("ChannelOutputFrameRate", 40), 1, 240);
    framePeriodMS = 1000 / fps;
    alwaysTransmit = getSettingInt("alwaysTransmit", 0) != 0;
    stopRequested = false;
    forceFrame = false;
    threadRunning = true;
    outputThread = std::thread(outputThreadMain);
    return 1;
}

int StopChannelOutputThread() {
    std::thread stopping;
    {
        std::lock_guard<std::mutex> lk(threadLock);
        stopRequested = true;
        stopping = std::move(outputThread);
    }
    wakeUp.notify_all();
    if (stopping.joinable()) {
        stopping.join();
    }
    return 1;
}

bool ChannelOutputThreadIsRunning() {
    return threadRunning;
}

void ForceChannelOutputNow() {
    {
        std::lock_guard<std::mutex> lk(threadLock);
        forceFrame = true;
    }
    wakeUp.notify_all();
}

unsigned long ChannelOutputFramesSent() {
    return framesSent;
}

int ChannelOutputFramePeriodMS() {
    return framePeriodMS;
}

void EnableChannelOutput() {
    outputEnabled = true;
    LogDebug(LG_CHANNELOUT, "Channel output enabled\n");
}

void DisableChannelOutput() {
    outputEnabled = false;
    LogDebug(LG_CHANNELOUT, "Channel output disabled\n");
}

bool ChannelOutputEnabled() {
    return outputEnabled;
}
