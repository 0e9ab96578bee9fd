#include "MediaOutput.h"

#include "common/Log.h"
#include "common/Settings.h"

#include <algorithm>

namespace {
constexpr int DEFAULT_VOLUME = 70;
MediaOutputStatus status;
} // namespace

MediaOutputStatus* mediaOutputStatus = &status;
MediaOutputBase* mediaOutput = nullptr;
std::mutex mediaOutputLock;

MediaOutputBase::MediaOutputBase(const std::string& mediaFilename, MediaOutputStatus* status)
    : m_mediaFilename(mediaFilename), m_mediaOutputStatus(status) {}

void MediaOutputBase::SetVolume(int volume) {
    setVolume(volume);
}

void InitMediaOutput() {
    // A value from the settings file may be out of range; clamp it once here.
    setVolume(getVolume());
    LogDebug(LG_MEDIAOUT, "Media output initialised, volume %d\n", getVolume());
}

void CleanupMediaOutput() {
    mediaOutputStatus->status = 0;
}

void setVolume(int volume) {
    volume = std::clamp(volume, 0, 100);
    SetSetting("volume", volume);
    LogDebug(LG_MEDIAOUT, "Volume set to %d\n", volume);
}

int getVolume() {
    return std::clamp(getSettingInt("volume", DEFAULT_VOLUME), 0, 100);
}

float VolumeGain(int adjustment) {
    return std::clamp(getVolume() + adjustment, 0, 100) / 100.0f;
}
