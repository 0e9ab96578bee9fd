#pragma once
// The background media player: plays a file's audio on an SDL audio device of its own (beside the
// show's), a given number of times, at the volume plus an adjustment; calls Stopped() once when it
// ends or is stopped. Video is not shown (the only target is "--hdmi--", which this system has no
// output for).
//
// Threads: Start, Stop and the setters from any thread; the player's own thread decodes and
// queues; Stopped() runs on that thread when the end is reached, or on the thread calling Stop.
// stopLock serialises Start and Stop; the counters are atomics.

#include "AudioDevice.h"
#include "MediaDecoder.h"
#include "MediaOutput.h"

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class VLCOutput : public MediaOutputBase {
public:
    VLCOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut,
              int loopCount = 1);
    ~VLCOutput() override;

    bool Start(int msTime = 0) override;
    bool Stop() override;
    // Progress into the status; false once playback has ended.
    bool Process() override;
    // Ends playback without calling Stopped(); a derived class calls it first in its destructor, so
    // the player thread never calls into a half-destroyed object.
    void Halt();
    void SetVolumeAdjustment(int adjustment) { volumeAdjustment = adjustment; }
    int GetVolumeAdjustment() const { return volumeAdjustment; }

protected:
    // Playback has ended or was stopped; called once.
    virtual void Stopped() {}

private:
    void run();
    bool fillQueue();
    void finish();

    std::string videoOut;
    int loops;
    std::atomic<int> volumeAdjustment{0};
    AudioDeviceFormat format;
    SDL_AudioDeviceID device = 0;
    MediaDecoder decoder;
    bool opened = false;
    std::vector<uint8_t> pending;
    std::atomic<long long> queuedTotal{0}; // bytes handed to the device in this loop
    std::atomic<int> loopsDone{0};
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> stoppedCalled{false};
    std::mutex stopLock;
    std::thread player;
};
