#include "VLCOut.h"

#include "SDLOut.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"

#include <chrono>
#include <deque>

namespace {
// Half a second of audio queued ahead is plenty for a background track and keeps volume changes quick.
long long queueTarget(const AudioDeviceFormat& format) {
    return static_cast<long long>(format.sampleRate) * format.frameBytes() / 2;
}
} // namespace

VLCOutput::VLCOutput(const std::string& mediaFilename, MediaOutputStatus* status, const std::string& video,
                     int loopCount)
    : MediaOutputBase(mediaFilename, status), videoOut(video), loops(std::max(loopCount, 1)) {
    *status = MediaOutputStatus();
    std::string path = FileExists(mediaFilename) ? mediaFilename : getKIVMediaDir("/music/" + mediaFilename);
    if (!FileExists(path)) {
        path = getKIVMediaDir("/videos/" + mediaFilename);
    }
    if (!FileExists(path)) {
        LogErr(LG_MEDIAOUT, "%s does not exist!\n", mediaFilename.c_str());
        return;
    }
    if (!sdlManager.initSDL()) {
        return;
    }
    std::string error;
    device = OpenAudioDevice(format, error);
    if (device == 0) {
        LogErr(LG_MEDIAOUT, "Could not open audio device for %s - %s\n", mediaFilename.c_str(),
               error.c_str());
        return;
    }
    SetMediaLogContext(mediaFilename);
    opened = decoder.open(path, format, getSettingInt("AudioLayout", 0)) && decoder.hasAudio();
    if (!opened) {
        LogErr(LG_MEDIAOUT, "%s has no audio to play\n", mediaFilename.c_str());
    }
    status->minutesTotal = static_cast<int>(decoder.durationSeconds()) / 60;
    status->secondsTotal = static_cast<int>(decoder.durationSeconds()) % 60;
}

VLCOutput::~VLCOutput() {
    Halt();
    if (device != 0) {
        SDL_CloseAudioDevice(device);
    }
}

void VLCOutput::Halt() {
    stoppedCalled = true;
    std::lock_guard<std::mutex> guard(stopLock);
    stopRequested = true;
    if (player.joinable() && player.get_id() != std::this_thread::get_id()) {
        player.join();
    } else if (player.joinable()) {
        player.detach();
    }
}

bool VLCOutput::Start(int /*msTime*/) {
    std::lock_guard<std::mutex> guard(stopLock);
    if (!opened || player.joinable()) {
        if (!opened) {
            m_mediaOutputStatus->status = 0;
            // Nothing will play: say so as an ended playback would, from this thread.
            if (!stoppedCalled.exchange(true)) {
                Stopped();
            }
        }
        return false;
    }
    m_mediaOutputStatus->status = 1;
    SDL_PauseAudioDevice(device, 0);
    player = std::thread(&VLCOutput::run, this);
    return true;
}

bool VLCOutput::Stop() {
    {
        std::lock_guard<std::mutex> guard(stopLock);
        stopRequested = true;
        if (player.joinable() && player.get_id() != std::this_thread::get_id()) {
            player.join();
        }
        if (device != 0) {
            SDL_PauseAudioDevice(device, 1);
            SDL_ClearQueuedAudio(device);
        }
        m_mediaOutputStatus->status = 0;
    }
    if (!stoppedCalled.exchange(true)) {
        Stopped();
    }
    return true;
}

bool VLCOutput::Process() {
    long long played = queuedTotal - static_cast<long long>(SDL_GetQueuedAudioSize(device));
    double seconds = played / static_cast<double>(format.sampleRate) / format.frameBytes();
    m_mediaOutputStatus->mediaSeconds = static_cast<float>(seconds);
    m_mediaOutputStatus->secondsElapsed = static_cast<int>(seconds);
    m_mediaOutputStatus->secondsRemaining =
        std::max(0, static_cast<int>(decoder.durationSeconds() - seconds));
    return m_mediaOutputStatus->status == 1;
}

void VLCOutput::run() {
    SetThreadName("KIV-BgMedia");
    while (!stopRequested) {
        if (!fillQueue()) {
            // The device still plays its last buffer after the queue ran dry.
            std::this_thread::sleep_for(
                std::chrono::milliseconds(AUDIO_DEVICE_SAMPLES * 1000 / format.sampleRate + 10));
            finish();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// Tops the device's queue up; false once every loop has been played out.
bool VLCOutput::fillQueue() {
    std::deque<VideoFrame> noVideo;
    while (static_cast<long long>(SDL_GetQueuedAudioSize(device)) < queueTarget(format) && !stopRequested) {
        if (decoder.finished()) {
            if (loopsDone + 1 >= loops) {
                return SDL_GetQueuedAudioSize(device) > 0;
            }
            loopsDone++;
            queuedTotal = 0;
            if (!decoder.rewind()) {
                return false;
            }
        }
        pending.clear();
        decoder.decodePacket(pending, noVideo);
        noVideo.clear();
        ScaleSamples(pending.data(), pending.size(), format, VolumeGain(volumeAdjustment));
        SDL_QueueAudio(device, pending.data(), static_cast<Uint32>(pending.size()));
        queuedTotal += static_cast<long long>(pending.size());
    }
    return true;
}

void VLCOutput::finish() {
    m_mediaOutputStatus->status = 0;
    LogDebug(LG_MEDIAOUT, "Background media %s has ended\n", m_mediaFilename.c_str());
    if (!stoppedCalled.exchange(true)) {
        Stopped();
    }
}
