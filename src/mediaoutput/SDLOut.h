#pragma once
// Plays one audio or video file for the show: audio through SDL's queued-audio interface, video
// scaled into a pixel overlay model in step with the audio clock.
//
// One process-wide SDL manager (sdlManager) owns the audio device and the decode thread
// "KIV-SDLDecode", which keeps the device's queue between its low- and high-water marks for
// whichever SDLOutput is current (started and not stopped).
//
// Threads: Start, Stop, Process and Close run on the owner's thread (the main loop); the decode
// thread fills the queue; ProcessVideoOverlay and GetAudioSamples come from the channel-output
// thread. The SDL queue, position and history are guarded by the playback data's lock; the video
// frames by its videoLock; the manager's state, current data and decode-busy flag are sequentially
// consistent atomics; overlayLock keeps the current data alive while the output thread uses it.

#include "AudioDevice.h"
#include "MediaDecoder.h"
#include "MediaOutput.h"

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

class PixelOverlayModel;

// What one SDLOutput plays: the decoder and the audio and video not yet shown.
struct SDLInternalData {
    explicit SDLInternalData(const AudioDeviceFormat& device);

    MediaDecoder decoder;
    AudioDeviceFormat format;
    size_t lowWaterMark;          // bytes
    size_t highWaterMark;         // bytes
    std::vector<uint8_t> pending; // decoded audio not yet handed to SDL
    std::vector<uint8_t> history; // the audio queued last, for GetAudioSamples; guarded by lock
    long long totalBytes = 0;     // audio decoded so far
    long long bytesAtEnd = 0;     // total at the end of the file
    double duration = 0;          // seconds
    std::atomic<bool> decodeFinished{false};
    std::atomic<bool> allQueued{false}; // finished and every byte handed to SDL

    std::mutex videoLock;
    std::deque<VideoFrame> frames; // guarded by videoLock; the front one is showing or next
    bool videoFull = false;        // decode thread only: 30 frames reached, resume below 24
    long long videoDuration = 0;   // ms
    long long videoStartTime = 0;  // GetTimeMS() at media time 0
    std::shared_ptr<PixelOverlayModel> model;
    std::atomic<bool> modelEnabledByUs{false};

    std::mutex lock;
    long long position = 0; // bytes handed to SDL (counting skipped ones); guarded by lock
    std::atomic<bool> stopping{false};
};

class SDLOutput : public MediaOutputBase {
public:
    // Opens the file (a path, or a name under the media folders "music" and "videos"); videoOut
    // names the overlay model for the video ("--Disabled--", "--HDMI--", "HDMI": none).
    SDLOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut);
    ~SDLOutput() override;

    bool Start(int msTime = 0) override;
    bool Stop() override;
    bool Process() override;
    void Close() override;
    bool IsPlaying() override;

    static bool IsOverlayingVideo();
    // Shows the video frame for that media time in the model.
    static void ProcessVideoOverlay(unsigned int msTime);
    // The `count` samples (first channel) being played now, -1..1, and the device's rate.
    static bool GetAudioSamples(float* samples, int count, int& sampleRate);
    // Media time of the current playback as the device plays it (ms), 0 when nothing plays.
    static unsigned int CurrentMediaMS();

private:
    friend class SDL;
    static unsigned int mediaMS(SDLInternalData* data);
    void prefill();
    void skipTo(int msTime);

    SDLInternalData* data = nullptr;
};

class SDL {
public:
    ~SDL();
    bool initSDL();
    bool openAudio();
    void closeAudio();
    // Ends the decode thread and SDL's audio; used at shutdown (the destructor does it too).
    void shutdown();
    void runDecode();
    static void decodeThreadEntry(SDL* manager);
    void ensureDecodeThread();
    bool isBlacklisted(const std::string& name);

    std::atomic<int> state{0}; // 0 none, 1 SDL up, 2 device open, 3 playing, 4 stopping, 5 thread done
    AudioDeviceFormat format;
    std::atomic<SDL_AudioDeviceID> device{0};
    std::atomic<bool> decodeBusy{false};
    std::atomic<SDLInternalData*> currentData{nullptr};
    std::mutex overlayLock; // held while the output thread works on the current data
    std::mutex threadLock;  // guards decodeThread
    std::thread decodeThread;
    std::mutex blacklistLock;
    std::set<std::string> blacklist; // from the setting "MediaBlacklist" (comma separated names)

private:
    bool serve(SDLInternalData* data);
    bool stateChanged(SDLInternalData* data) const { return currentData.load() != data; }
};
extern SDL sdlManager;
