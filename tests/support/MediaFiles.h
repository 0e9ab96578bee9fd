#pragma once
// Media files made by the Debian ffmpeg program for the media tests, and the readers of what they
// hold and of what reached SDL's "disk" audio driver.
//
// Tones are 16-bit stereo PCM WAV at 44,100 Hz (the default device format, so the device gets the
// file's samples unchanged apart from the volume). Videos are FFV1 (lossless) in Matroska, one solid
// colour a frame at 10 frames a second: frame N is R = 10 N, G = 255 - 10 N, B = 64.
// The disk driver writes the device's samples as they play, interleaved, no header.

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mediatest {

constexpr int RATE = 44100;
constexpr int VIDEO_FPS = 10;

// Runs ffmpeg with the arguments; the last one is the output file, whose folder is made first.
inline bool Ffmpeg(const std::string& arguments) {
    std::filesystem::create_directories(
        std::filesystem::path(arguments.substr(arguments.rfind(' ') + 1)).parent_path());
    return std::system(("ffmpeg -nostdin -v error -y " + arguments).c_str()) == 0;
}

inline std::string ToneInput(int hz, double seconds) {
    return "-f lavfi -i sine=frequency=" + std::to_string(hz) +
           ":sample_rate=44100:duration=" + std::to_string(seconds);
}

inline std::string VideoInput(double seconds, int width, int height) {
    return "-f lavfi -i \"color=c=black:s=" + std::to_string(width) + "x" + std::to_string(height) +
           ":r=10:d=" + std::to_string(seconds) + ",format=gbrp,geq=r='10*N':g='255-10*N':b=64\"";
}

inline bool MakeTone(const std::string& path, int hz, double seconds) {
    return Ffmpeg(ToneInput(hz, seconds) + " -ac 2 -c:a pcm_s16le " + path);
}
inline bool MakeVideo(const std::string& path, double seconds, int width, int height) {
    return Ffmpeg(VideoInput(seconds, width, height) + " -c:v ffv1 " + path);
}
inline bool MakeVideoWithTone(const std::string& path, double seconds, int width, int height) {
    return Ffmpeg(VideoInput(seconds, width, height) + " " + ToneInput(440, seconds) +
                  " -c:v ffv1 -ac 2 -c:a pcm_s16le " + path);
}

inline std::vector<uint8_t> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
inline void WriteBytes(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Interleaved little-endian 16-bit samples from an offset on.
inline std::vector<int16_t> Samples16(const std::vector<uint8_t>& bytes, size_t offset = 0) {
    std::vector<int16_t> samples;
    for (size_t i = offset; i + 1 < bytes.size(); i += 2) {
        samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
    }
    return samples;
}

// The samples of a PCM WAV file: the chunks are walked from offset 12 to the "data" chunk.
inline std::vector<int16_t> WavSamples(const std::string& path) {
    std::vector<uint8_t> bytes = ReadBytes(path);
    size_t at = 12;
    while (at + 8 <= bytes.size()) {
        uint32_t size =
            bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 | uint32_t(bytes[at + 7]) << 24;
        if (std::string(bytes.begin() + at, bytes.begin() + at + 4) == "data") {
            return Samples16(std::vector<uint8_t>(bytes.begin() + at + 8, bytes.begin() + at + 8 + size));
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// Where `needle` first occurs in `haystack`, or -1.
inline long Find(const std::vector<int16_t>& haystack, const std::vector<int16_t>& needle) {
    for (size_t i = 0; needle.size() <= haystack.size() && i + needle.size() <= haystack.size(); i++) {
        if (std::equal(needle.begin(), needle.end(), haystack.begin() + i)) {
            return static_cast<long>(i);
        }
    }
    return -1;
}

inline int PeakOf(const std::vector<int16_t>& samples) {
    int peak = 0;
    for (int16_t s : samples) {
        peak = std::max(peak, std::abs(static_cast<int>(s)));
    }
    return peak;
}

// Sign changes of the first channel per second: twice the frequency of a pure tone.
inline double FrequencyOf(const std::vector<int16_t>& stereo) {
    int changes = 0;
    for (size_t i = 2; i < stereo.size(); i += 2) {
        changes += (stereo[i - 2] < 0) != (stereo[i] < 0);
    }
    return changes / 2.0 / (stereo.size() / 2.0 / RATE);
}

} // namespace mediatest
