#include "SDLOut.h"

#include "channeloutput/ChannelOutputSetup.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"

#include <algorithm>
#include <chrono>
#include <cstring>

SDL sdlManager;

namespace {

long long lastCurTime = -1;
int ProcessCount = 0;
std::atomic<bool> AudioHasStalled{false};
std::atomic<bool> noDeviceWarning{false};
std::mutex noDeviceLock;
std::string noDeviceError; // guarded by noDeviceLock

constexpr size_t MAX_VIDEO_FRAMES = 30;
constexpr size_t RESUME_VIDEO_FRAMES = 24;
constexpr size_t MAX_VIDEO_FRAMES_STARVING = 150;
constexpr int STALL_CALLS = 49;

void sleepMS(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string resolveMediaPath(const std::string& name) {
    if (FileExists(name)) {
        return name;
    }
    for (const char* folder : {"/music", "/videos"}) {
        std::string path = getKIVMediaDir(folder) + "/" + name;
        if (FileExists(path)) {
            return path;
        }
    }
    return "";
}

bool videoDisabled(const std::string& videoOut) {
    return videoOut.empty() || videoOut == "--Disabled--" || videoOut == "--HDMI--" || videoOut == "HDMI";
}

// Bytes the device has played of what it was given; guarded by data->lock by the caller.
long long playedBytes(SDLInternalData* data) {
    long long queued = SDL_GetQueuedAudioSize(sdlManager.device.load());
    return std::max(0LL, data->position - queued - data->format.channels * AUDIO_DEVICE_SAMPLES);
}

bool audioDrivesClock(SDLInternalData* data) {
    return data->decoder.hasAudio() && sdlManager.device.load() != 0;
}

void appendHistory(SDLInternalData* data, const uint8_t* bytes, size_t count) {
    std::vector<uint8_t>& history = data->history;
    size_t capacity = 2 * static_cast<size_t>(data->format.sampleRate) * data->format.channels;
    if (count >= capacity) {
        history.assign(bytes + count - capacity, bytes + count);
        return;
    }
    if (history.size() + count > capacity) {
        history.erase(history.begin(), history.begin() + (history.size() + count - capacity));
    }
    history.insert(history.end(), bytes, bytes + count);
}

// Hands the pending audio to SDL at the current volume.
void queuePending(SDLInternalData* data) {
    std::vector<uint8_t>& pending = data->pending;
    ScaleSamples(pending.data(), pending.size(), data->format, VolumeGain());
    std::lock_guard<std::mutex> guard(data->lock);
    SDL_AudioDeviceID device = sdlManager.device.load();
    if (device != 0) {
        SDL_QueueAudio(device, pending.data(), static_cast<Uint32>(pending.size()));
    }
    appendHistory(data, pending.data(), pending.size());
    data->position += static_cast<long long>(pending.size());
    pending.clear();
}

// Keeps the newest frame at or before msTime and everything after it.
void dropFramesBefore(std::deque<VideoFrame>& frames, long long msTime) {
    while (frames.size() >= 2 && frames[1].ms <= msTime) {
        frames.pop_front();
    }
}

// Decodes one packet into the data; false at the end of the file.
bool decodeOne(SDLInternalData* data) {
    std::deque<VideoFrame> pictures;
    size_t before = data->pending.size();
    bool more = data->decoder.decodePacket(data->pending, pictures);
    data->totalBytes += static_cast<long long>(data->pending.size() - before);
    if (!pictures.empty()) {
        std::lock_guard<std::mutex> guard(data->videoLock);
        for (VideoFrame& picture : pictures) {
            data->frames.push_back(std::move(picture));
        }
    }
    if (!more) {
        data->bytesAtEnd = data->totalBytes;
        data->decodeFinished = true;
    }
    return more;
}

size_t frameCount(SDLInternalData* data) {
    std::lock_guard<std::mutex> guard(data->videoLock);
    return data->frames.size();
}

void raiseNoDeviceWarning() {
    if (!noDeviceWarning) {
        return;
    }
    std::lock_guard<std::mutex> guard(noDeviceLock);
    WarningHolder::AddWarningTimeout(noDeviceError, 60);
}

void setTimeFields(MediaOutputStatus* status, double mediaSeconds, double totalSeconds) {
    double remaining = std::max(0.0, totalSeconds - mediaSeconds);
    status->mediaSeconds = static_cast<float>(mediaSeconds);
    status->secondsElapsed = static_cast<int>(mediaSeconds);
    status->subSecondsElapsed = static_cast<int>((mediaSeconds - status->secondsElapsed) * 100);
    status->secondsRemaining = static_cast<int>(remaining);
    status->subSecondsRemaining = static_cast<int>((remaining - status->secondsRemaining) * 100);
}

} // namespace

SDLInternalData::SDLInternalData(const AudioDeviceFormat& device)
    : format(device), lowWaterMark(device.sampleRate),
      highWaterMark(static_cast<size_t>(device.sampleRate) * device.channels) {
    pending.reserve(highWaterMark);
}

// ---- SDL manager ----

SDL::~SDL() {
    shutdown();
}

bool SDL::initSDL() {
    if (state != 0) {
        return true;
    }
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0) {
        std::string reason = SDL_GetError();
        LogErr(LG_MEDIAOUT, "Could not initialize SDL - %s\n", reason.c_str());
        std::lock_guard<std::mutex> guard(noDeviceLock);
        noDeviceError = "Could not initialize SDL - " + reason;
        noDeviceWarning = true;
        return false;
    }
    std::lock_guard<std::mutex> guard(blacklistLock);
    for (const std::string& name : split(getSetting("MediaBlacklist", ""), ',')) {
        if (!trim(name).empty()) {
            blacklist.insert(trim(name));
        }
    }
    state = 1;
    return true;
}

bool SDL::openAudio() {
    if (state != 1) {
        return true;
    }
    std::string error;
    AudioDeviceFormat obtained;
    SDL_AudioDeviceID id = OpenAudioDevice(obtained, error);
    if (id == 0 && !noDeviceWarning) {
        LogErr(LG_MEDIAOUT, "%s\n", ("Could not open audio device - " + error).c_str());
        std::lock_guard<std::mutex> guard(noDeviceLock);
        noDeviceError = "Could not open audio device - " + error;
        noDeviceWarning = true;
    }
    format = obtained;
    device = id;
    state = 2;
    if (startsWith(getSetting("AudioCardType", ""), "Dummy")) {
        WarningHolder::AddWarningTimeout("Outputting Audio to Dummy device.", 60);
    }
    return true;
}

void SDL::closeAudio() {
    int now = state.load();
    if (now == 0 || now == 1) {
        return;
    }
    SDL_AudioDeviceID id = device.exchange(0);
    if (id != 0) {
        SDL_CloseAudioDevice(id);
    }
    state = 1;
}

void SDL::shutdown() {
    currentData = nullptr;
    bool wasUp = state.exchange(0) != 0;
    std::lock_guard<std::mutex> guard(threadLock);
    if (decodeThread.joinable()) {
        decodeThread.join();
    }
    state = 0; // the thread reported 5 on its way out
    if (!wasUp) {
        return;
    }
    SDL_AudioDeviceID id = device.exchange(0);
    if (id != 0) {
        SDL_CloseAudioDevice(id);
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void SDL::ensureDecodeThread() {
    std::lock_guard<std::mutex> guard(threadLock);
    if (decodeThread.joinable()) {
        return;
    }
    decodeThread = std::thread(decodeThreadEntry, this);
}

bool SDL::isBlacklisted(const std::string& name) {
    std::lock_guard<std::mutex> guard(blacklistLock);
    return blacklist.count(name) > 0;
}

void SDL::decodeThreadEntry(SDL* manager) {
    SetThreadName("KIV-SDLDecode");
    manager->runDecode();
}

void SDL::runDecode() {
    while (state != 0) {
        SDLInternalData* data = currentData.load();
        if (data == nullptr) {
            decodeBusy = false;
            for (int slept = 0; slept < 250 && state != 0 && currentData.load() == nullptr; slept += 10) {
                sleepMS(10);
            }
            continue;
        }
        decodeBusy = true;
        // Stop detaches the data first and then waits for this flag, so re-check after raising it.
        bool idle = currentData.load() != data || serve(data);
        decodeBusy = false;
        if (idle) {
            sleepMS(data->decodeFinished ? 25 : 10);
        }
    }
    state = 5;
}

// One round of work on the current data; true when there was nothing to do.
bool SDL::serve(SDLInternalData* data) {
    if (data->decoder.hasVideo()) {
        unsigned int now = SDLOutput::mediaMS(data);
        std::lock_guard<std::mutex> guard(data->videoLock);
        dropFramesBefore(data->frames, now);
    }
    SDL_AudioDeviceID id = device.load();
    if (id == 0) {
        data->pending.clear(); // no device: the audio has nowhere to go
    }
    size_t queued = id != 0 ? SDL_GetQueuedAudioSize(id) : 0;
    if (!data->pending.empty() && (queued < data->lowWaterMark || data->decodeFinished)) {
        queuePending(data);
        queued = SDL_GetQueuedAudioSize(id);
    }
    if (data->decodeFinished && data->pending.empty()) {
        data->allQueued = true;
    }
    if (data->pending.size() > data->highWaterMark) {
        AudioHasStalled = true;
        LogWarn(LG_MEDIAOUT, "Stalled audio, buffers are full.  %d\n",
                static_cast<int>(data->pending.size()));
        return true;
    }
    bool worked = false;
    while (!data->decodeFinished && queued + data->pending.size() < data->highWaterMark &&
           !stateChanged(data)) {
        size_t frames = frameCount(data);
        data->videoFull = frames > MAX_VIDEO_FRAMES || (data->videoFull && frames >= RESUME_VIDEO_FRAMES);
        // Files that interleave audio in long chunks need more video decoded ahead to reach the next
        // audio: a gap in the sound is worse than a few more frames in memory.
        bool audioStarving =
            id != 0 && data->decoder.hasAudio() && queued + data->pending.size() < data->lowWaterMark;
        if ((data->videoFull && !audioStarving) || frames > MAX_VIDEO_FRAMES_STARVING) {
            break;
        }
        if (AudioHasStalled.exchange(false)) {
            LogWarn(LG_MEDIAOUT, "Stalled audio, buffers still filling.\n");
        }
        decodeOne(data);
        worked = true;
    }
    return !worked;
}

// ---- SDLOutput ----

SDLOutput::SDLOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& videoOut)
    : MediaOutputBase(mediaFilename, status) {
    LogDebug(LG_MEDIAOUT, "SDLOutput::SDLOutput(%s)\n", mediaFilename.c_str());
    *status = MediaOutputStatus();
    if (sdlManager.isBlacklisted(mediaFilename)) {
        LogErr(LG_MEDIAOUT, "%s has been blacklisted!\n", mediaFilename.c_str());
        SetMediaLogContext("");
        return;
    }
    std::string path = resolveMediaPath(mediaFilename);
    if (path.empty()) {
        LogErr(LG_MEDIAOUT, "%s does not exist!\n", mediaFilename.c_str());
        return;
    }
    if (sdlManager.isBlacklisted(path)) {
        LogErr(LG_MEDIAOUT, "%s has been blacklisted!\n", path.c_str());
        SetMediaLogContext("");
        return;
    }
    SetMediaLogContext(mediaFilename);
    if (sdlManager.initSDL()) {
        sdlManager.openAudio();
    }
    auto opened = std::make_unique<SDLInternalData>(sdlManager.format);
    std::shared_ptr<PixelOverlayModel> model;
    if (!videoDisabled(videoOut)) {
        model = PixelOverlayManager::INSTANCE.findModel(videoOut);
    }
    int width = model ? model->getWidth() : 0;
    int height = model ? model->getHeight() : 0;
    if (!opened->decoder.open(path, opened->format, getSettingInt("AudioLayout", 0), width, height)) {
        SetMediaLogContext("");
        return;
    }
    opened->duration = opened->decoder.durationSeconds();
    status->minutesTotal = static_cast<int>(opened->duration) / 60;
    status->secondsTotal = static_cast<int>(opened->duration) % 60;
    if (opened->decoder.hasVideo()) {
        opened->model = model;
        opened->videoDuration = opened->decoder.videoDurationMS();
    }
    data = opened.release();
    prefill();
}

SDLOutput::~SDLOutput() {
    LogDebug(LG_MEDIAOUT, "SDLOutput::~SDLOutput() %X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    Close();
    delete data;
}

// Decodes until the audio passes the low-water mark or more than 30 frames wait.
void SDLOutput::prefill() {
    while (!data->decodeFinished && (data->decoder.hasAudio() || data->decoder.hasVideo())) {
        bool audioFilled = data->decoder.hasAudio() && data->pending.size() > data->lowWaterMark;
        if (audioFilled || frameCount(data) > MAX_VIDEO_FRAMES) {
            break;
        }
        decodeOne(data);
    }
}

// Drops the audio and video before msTime: the audio to the exact sample, so the device plays on
// from there without a gap or a repeat.
void SDLOutput::skipTo(int msTime) {
    const int frameBytes = data->format.frameBytes();
    long long skip = static_cast<long long>(data->format.sampleRate) * msTime / 1000 * frameBytes;
    data->position = skip;
    if (data->decoder.hasAudio()) {
        while (skip > 0) {
            size_t drop = static_cast<size_t>(std::min<long long>(skip, data->pending.size()));
            data->pending.erase(data->pending.begin(), data->pending.begin() + drop);
            skip -= static_cast<long long>(drop);
            if (skip == 0 || data->decodeFinished) {
                break;
            }
            decodeOne(data);
            std::lock_guard<std::mutex> guard(data->videoLock);
            dropFramesBefore(data->frames, msTime);
        }
    }
    while (data->decoder.hasVideo() && !data->decodeFinished) {
        {
            std::lock_guard<std::mutex> guard(data->videoLock);
            dropFramesBefore(data->frames, msTime);
            if (data->frames.size() >= 2 || (!data->frames.empty() && data->frames.back().ms >= msTime)) {
                break;
            }
        }
        decodeOne(data);
    }
    prefill();
}

bool SDLOutput::Start(int msTime) {
    LogDebug(LG_MEDIAOUT, "SDLOutput::Start() %X\n",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(this)));
    if (data == nullptr) {
        return false;
    }
    SetChannelOutputFrameNumber(0);
    bool ready = sdlManager.initSDL() && sdlManager.openAudio();
    // Nothing to hear and nothing to show would never end.
    if (!ready || (!audioDrivesClock(data) && !data->decoder.hasVideo())) {
        raiseNoDeviceWarning();
        Stop();
        m_mediaOutputStatus->status = 0;
        return false;
    }
    if (msTime > 0) {
        skipTo(msTime);
    }
    data->stopping = false;
    // The pending audio goes to the device before the decode thread may touch the data.
    SDL_AudioDeviceID device = sdlManager.device.load();
    if (device != 0) {
        SDL_ClearQueuedAudio(device);
        queuePending(data);
    }
    data->videoStartTime = GetTimeMS() - std::max(msTime, 0);
    sdlManager.currentData = data;
    sdlManager.state = 3;
    if (data->model) {
        StartChannelOutputThread();
    }
    sdlManager.ensureDecodeThread();
    if (device != 0) {
        SDL_PauseAudioDevice(device, 0);
    }
    lastCurTime = -1;
    ProcessCount = 0;
    m_mediaOutputStatus->status = 1;
    return true;
}

bool SDLOutput::Stop() {
    LogDebug(LG_MEDIAOUT, "SDLOutput::Stop()\n");
    if (sdlManager.state == 3 && sdlManager.currentData.load() == data) {
        SDL_AudioDeviceID device = sdlManager.device.load();
        if (device != 0) {
            SDL_PauseAudioDevice(device, 1);
            SDL_ClearQueuedAudio(device);
        }
        sdlManager.currentData = nullptr;
        sdlManager.state = 4;
        while (sdlManager.decodeBusy) {
            std::this_thread::yield();
        }
    }
    // Waits for a frame the output thread may be showing from this data.
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    if (data != nullptr) {
        data->stopping = true;
        if (data->model && data->modelEnabledByUs.exchange(false)) {
            data->model->setState(PixelOverlayState(PixelOverlayState::Off));
        }
    }
    m_mediaOutputStatus->status = 0;
    return true;
}

bool SDLOutput::Process() {
    if (data == nullptr) {
        return false;
    }
    MediaOutputStatus* status = m_mediaOutputStatus;
    if (audioDrivesClock(data)) {
        long long played;
        size_t queued;
        {
            std::lock_guard<std::mutex> guard(data->lock);
            played = playedBytes(data);
            queued = SDL_GetQueuedAudioSize(sdlManager.device.load());
        }
        if (played == lastCurTime && ++ProcessCount > STALL_CALLS) {
            LogWarn(LG_MEDIAOUT, "Audio has stalled   %d\n", static_cast<int>(played));
            AudioHasStalled = true;
            ProcessCount = 0;
        } else if (played != lastCurTime) {
            ProcessCount = 0;
        }
        lastCurTime = played;
        double mediaSeconds =
            static_cast<double>(played) / data->format.sampleRate / data->format.frameBytes();
        setTimeFields(status, mediaSeconds, data->duration);
        if (data->allQueued && queued == 0) {
            status->status = 0;
        }
    } else if (data->decoder.hasVideo()) {
        double mediaSeconds = (GetTimeMS() - data->videoStartTime) / 1000.0;
        setTimeFields(status, mediaSeconds, data->videoDuration / 1000.0);
        if (mediaSeconds * 1000 > data->videoDuration && data->decodeFinished) {
            status->status = 0;
        }
    }
    LogExcess(LG_MEDIAOUT, "Elapsed: %.2d.%.3d  Remaining: %.2d Total %.2d:%.2d.\n", status->secondsElapsed,
              status->subSecondsElapsed, status->secondsRemaining, status->minutesTotal,
              status->secondsTotal);
    return status->status == 1;
}

void SDLOutput::Close() {
    LogDebug(LG_MEDIAOUT, "SDLOutput::Close()\n");
    Stop();
    sdlManager.closeAudio();
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    if (data != nullptr && data->model) {
        data->model->clearOverlayBuffer();
        data->model->flushOverlayBuffer();
        data->model.reset();
    }
}

bool SDLOutput::IsPlaying() {
    return m_mediaOutputStatus->status == 1;
}

bool SDLOutput::IsOverlayingVideo() {
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    SDLInternalData* data = sdlManager.currentData.load();
    return data != nullptr && data->decoder.hasVideo() && !data->stopping;
}

unsigned int SDLOutput::CurrentMediaMS() {
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    return mediaMS(sdlManager.currentData.load());
}

// The caller keeps the data alive (overlayLock, or the decode thread's busy flag).
unsigned int SDLOutput::mediaMS(SDLInternalData* data) {
    if (data == nullptr) {
        return 0;
    }
    if (!audioDrivesClock(data)) {
        return static_cast<unsigned int>(std::max(0LL, GetTimeMS() - data->videoStartTime));
    }
    std::lock_guard<std::mutex> guard(data->lock);
    return static_cast<unsigned int>(playedBytes(data) * 1000 / data->format.frameBytes() /
                                     data->format.sampleRate);
}

void SDLOutput::ProcessVideoOverlay(unsigned int msTime) {
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    SDLInternalData* data = sdlManager.currentData.load();
    if (data == nullptr || data->stopping || !data->decoder.hasVideo() || !data->model) {
        return;
    }
    if (data->videoDuration > 0 && msTime > data->videoDuration) {
        return;
    }
    std::vector<uint8_t> picture;
    {
        std::lock_guard<std::mutex> frames(data->videoLock);
        dropFramesBefore(data->frames, msTime);
        if (data->frames.empty() || data->frames.front().ms > msTime) {
            return;
        }
        picture = data->frames.front().rgb;
    }
    data->model->setData(picture.data());
    if (data->model->getState() == PixelOverlayState(PixelOverlayState::Off)) {
        data->model->setState(PixelOverlayState(PixelOverlayState::Opaque));
        data->modelEnabledByUs = true;
    }
}

bool SDLOutput::GetAudioSamples(float* samples, int count, int& sampleRate) {
    std::lock_guard<std::mutex> guard(sdlManager.overlayLock);
    SDLInternalData* data = sdlManager.currentData.load();
    if (data == nullptr || !audioDrivesClock(data)) {
        return false;
    }
    std::lock_guard<std::mutex> history(data->lock);
    const AudioDeviceFormat& format = data->format;
    sampleRate = format.sampleRate;
    long long queued = SDL_GetQueuedAudioSize(sdlManager.device.load());
    long long playing = static_cast<long long>(data->history.size()) - queued;
    for (int i = 0; i < count; i++) {
        long long at = playing - static_cast<long long>(count - i) * format.frameBytes();
        samples[i] = at >= 0 ? NormalisedSample(data->history.data() + at, format) : 0.0f;
    }
    return true;
}
