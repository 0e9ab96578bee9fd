#pragma once
// Opening an SDL playback device as the settings ask, and the sample arithmetic of the players.
//
// Settings: "AudioFormat" (0..9: rate and sample format), "AudioLayout" (0..15: channel layout),
// "ForceAudioId" (device name prefix) or "AudioOutput" (sound card number, default "0", whose
// /sys/class/sound/cardN/id is looked up among SDL's devices), "AudioCard0Type". Devices are
// opened for queued audio (no callback), 2,048 samples a buffer.

#include <SDL2/SDL.h>

#include <cstddef>
#include <cstdint>
#include <string>

// The format a device was opened with; samples are interleaved.
struct AudioDeviceFormat {
    int sampleRate = 44100;
    int bytesPerSample = 2; // 2: signed 16 bit, 4: signed 32 bit or float
    int channels = 2;
    bool isFloat = false;
    int frameBytes() const { return bytesPerSample * channels; }
};

constexpr int AUDIO_DEVICE_SAMPLES = 2048;

// The channel count and FFmpeg channel mask of an "AudioLayout" value (other values: stereo).
int AudioLayoutChannels(int layout);
uint64_t AudioLayoutMask(int layout);

// Opens a device; 0 when none could be opened, with SDL's reason in `error`. SDL's audio subsystem
// must be initialised.
SDL_AudioDeviceID OpenAudioDevice(AudioDeviceFormat& format, std::string& error);

// Multiplies every sample of an interleaved block by gain (0..1).
void ScaleSamples(uint8_t* data, size_t bytes, const AudioDeviceFormat& format, float gain);
// One sample as -1..1 (signed 32 bit divided by 2,415,919,104, as the level meters expect).
float NormalisedSample(const uint8_t* sample, const AudioDeviceFormat& format);
