#include "ShowMedia.h"

#include "SDLOut.h"
#include "common/Log.h"
#include "overlays/PixelOverlayManager.h"

ShowMediaPlayer ShowMediaPlayer::INSTANCE;

void ShowMediaPlayer::Init() {
    // SDL keeps per-thread data that it frees only on threads it made or that call into it until
    // the end: bring its audio up here on the main thread rather than on a passing HTTP thread.
    sdlManager.initSDL();
    PixelOverlayManager::INSTANCE.setFramePrepass(
        [] { SDLOutput::ProcessVideoOverlay(SDLOutput::CurrentMediaMS()); });
}

void ShowMediaPlayer::Cleanup() {
    stop();
    PixelOverlayManager::INSTANCE.setFramePrepass(nullptr);
    sdlManager.shutdown();
}

bool ShowMediaPlayer::play(const std::string& file, const std::string& model, std::string& error) {
    std::lock_guard<std::mutex> guard(mediaOutputLock);
    closeLocked();
    if (!model.empty() && !PixelOverlayManager::INSTANCE.findModel(model)) {
        error = "No overlay model named " + model;
        LogWarn(LG_MEDIAOUT, "Cannot play %s: %s\n", file.c_str(), error.c_str());
        return false;
    }
    auto* started = new SDLOutput(file, mediaOutputStatus, model.empty() ? "--Disabled--" : model);
    if (!started->Start(0)) {
        error = "Could not play " + file;
        LogWarn(LG_MEDIAOUT, "%s\n", error.c_str());
        delete started;
        *mediaOutputStatus = MediaOutputStatus();
        return false;
    }
    LogInfo(LG_MEDIAOUT, "Playing %s%s%s\n", file.c_str(), model.empty() ? "" : " into ", model.c_str());
    output = started;
    mediaOutput = started;
    return true;
}

bool ShowMediaPlayer::stop() {
    std::lock_guard<std::mutex> guard(mediaOutputLock);
    bool wasPlaying = output != nullptr;
    closeLocked();
    return wasPlaying;
}

void ShowMediaPlayer::process() {
    std::lock_guard<std::mutex> guard(mediaOutputLock);
    if (output != nullptr && !output->Process()) {
        LogInfo(LG_MEDIAOUT, "%s has ended\n", output->m_mediaFilename.c_str());
        closeLocked();
    }
}

bool ShowMediaPlayer::isPlaying() {
    std::lock_guard<std::mutex> guard(mediaOutputLock);
    return output != nullptr;
}

void ShowMediaPlayer::closeLocked() {
    if (output == nullptr) {
        return;
    }
    output->Close();
    delete output;
    output = nullptr;
    mediaOutput = nullptr;
    *mediaOutputStatus = MediaOutputStatus();
}
