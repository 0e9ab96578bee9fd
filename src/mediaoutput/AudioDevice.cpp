#include "AudioDevice.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"

#include <algorithm>
#include <cstring>

namespace {

struct LayoutEntry {
    int channels;
    uint64_t mask;
};

// Index: the "AudioLayout" value; masks are FFmpeg's (2.1, 2_1, surround, 3.1, 4.0, 2_2, quad,
// 4.1, 5.0, 5.0 back, 5.1, 5.1 back, 6.1, 7.0, 7.1).
const LayoutEntry LAYOUTS[] = {{2, 0x03},  {3, 0x0B},  {3, 0x103}, {3, 0x07},  {4, 0x0F}, {4, 0x107},
                               {4, 0x603}, {4, 0x33},  {5, 0x10F}, {5, 0x607}, {5, 0x37}, {6, 0x60F},
                               {6, 0x3F},  {7, 0x70F}, {7, 0x637}, {8, 0x63F}};

const LayoutEntry& layoutEntry(int layout) {
    if (layout < 0 || layout >= static_cast<int>(std::size(LAYOUTS))) {
        return LAYOUTS[0];
    }
    return LAYOUTS[layout];
}

// "AudioFormat": 1..9 pick rate and format; 0 is 16 bit at 44,100 Hz, or 48,000 Hz on the Pi's own
// sound card, which resamples everything else.
void wantedRateAndFormat(SDL_AudioSpec& wanted) {
    static const int RATES[] = {44100, 48000, 96000};
    static const SDL_AudioFormat FORMATS[] = {AUDIO_S16SYS, AUDIO_S32SYS, AUDIO_F32SYS};
    int setting = getSettingInt("AudioFormat", 0);
    if (setting >= 1 && setting <= 9) {
        wanted.freq = RATES[(setting - 1) / 3];
        wanted.format = FORMATS[(setting - 1) % 3];
        return;
    }
    wanted.format = AUDIO_S16SYS;
    bool onBoardCard =
        getSetting("AudioOutput", "0") == "0" && contains(getSetting("AudioCard0Type", ""), "bcm");
    wanted.freq = onBoardCard ? 48000 : 44100;
}

// The SDL device name to open, or empty for the default device.
std::string wantedDeviceName() {
    std::string id = getSetting("ForceAudioId", "");
    if (id.empty()) {
        std::string card = getSetting("AudioOutput", "0");
        id = trim(GetFileContents("/sys/class/sound/card" + card + "/id"));
    }
    if (id.empty()) {
        return "";
    }
    for (int i = 0; i < SDL_GetNumAudioDevices(0); i++) {
        const char* name = SDL_GetAudioDeviceName(i, 0);
        if (name != nullptr && startsWith(name, id)) {
            LogDebug(LG_MEDIAOUT, "Using output device: %s\n", name);
            return name;
        }
    }
    return "";
}

bool supportedFormat(SDL_AudioFormat format) {
    return format == AUDIO_S16SYS || format == AUDIO_S32SYS || format == AUDIO_F32SYS;
}

template <typename T> void scaleAll(uint8_t* data, size_t bytes, float gain) {
    size_t count = bytes / sizeof(T);
    for (size_t i = 0; i < count; i++) {
        T value;
        std::memcpy(&value, data + i * sizeof(T), sizeof(T));
        value = static_cast<T>(value * gain);
        std::memcpy(data + i * sizeof(T), &value, sizeof(T));
    }
}

} // namespace

int AudioLayoutChannels(int layout) {
    return layoutEntry(layout).channels;
}

uint64_t AudioLayoutMask(int layout) {
    return layoutEntry(layout).mask;
}

SDL_AudioDeviceID OpenAudioDevice(AudioDeviceFormat& format, std::string& error) {
    SDL_AudioSpec wanted{};
    SDL_AudioSpec obtained{};
    wantedRateAndFormat(wanted);
    wanted.channels = AudioLayoutChannels(getSettingInt("AudioLayout", 0));
    wanted.samples = AUDIO_DEVICE_SAMPLES;
    wanted.callback = nullptr;
    std::string name = wantedDeviceName();
    const char* device = name.empty() ? nullptr : name.c_str();
    int changes =
        SDL_AUDIO_ALLOW_FREQUENCY_CHANGE | SDL_AUDIO_ALLOW_FORMAT_CHANGE | SDL_AUDIO_ALLOW_CHANNELS_CHANGE;
    SDL_AudioDeviceID id = SDL_OpenAudioDevice(device, 0, &wanted, &obtained, changes);
    if (id == 0) {
        error = SDL_GetError();
        return 0;
    }
    LogDebug(LG_MEDIAOUT,
             "Opened Audio Device -  Rates:  %d -> %d     AudioFormat:  %X -> %X    Channels: %d -> %d\n",
             wanted.freq, obtained.freq, wanted.format, obtained.format, wanted.channels, obtained.channels);
    if (!supportedFormat(obtained.format)) {
        LogDebug(LG_MEDIAOUT, "    Format not supported, will reopen\n");
        SDL_CloseAudioDevice(id);
        id = SDL_OpenAudioDevice(device, 0, &wanted, &obtained, 0);
        if (id == 0) {
            error = SDL_GetError();
            return 0;
        }
        LogDebug(LG_MEDIAOUT, "Repened Audio Device -  Rates:  %d -> %d     AudioFormat:  %X -> %X \n",
                 wanted.freq, obtained.freq, wanted.format, obtained.format);
    }
    format.sampleRate = obtained.freq;
    format.bytesPerSample = obtained.format == AUDIO_S16SYS ? 2 : 4;
    format.channels = obtained.channels;
    format.isFloat = obtained.format == AUDIO_F32SYS;
    return id;
}

void ScaleSamples(uint8_t* data, size_t bytes, const AudioDeviceFormat& format, float gain) {
    if (gain >= 1.0f) {
        return;
    }
    if (format.isFloat) {
        scaleAll<float>(data, bytes, gain);
    } else if (format.bytesPerSample == 4) {
        scaleAll<int32_t>(data, bytes, gain);
    } else {
        scaleAll<int16_t>(data, bytes, gain);
    }
}

float NormalisedSample(const uint8_t* sample, const AudioDeviceFormat& format) {
    if (format.isFloat) {
        float value;
        std::memcpy(&value, sample, sizeof(value));
        return value;
    }
    if (format.bytesPerSample == 4) {
        int32_t value;
        std::memcpy(&value, sample, sizeof(value));
        return static_cast<float>(value / 2415919104.0);
    }
    int16_t value;
    std::memcpy(&value, sample, sizeof(value));
    return value / 32767.0f;
}
