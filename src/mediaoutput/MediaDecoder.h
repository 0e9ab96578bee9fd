#pragma once
// FFmpeg demuxing and decoding of one media file for the players: audio is resampled to the
// device's format, video (when a size is given) scaled to width x height RGB24 with bicubic
// filtering. Not thread-safe: one thread decodes at a time (the owner's decode thread, or the
// owner before it starts that thread).
//
// Also the FFmpeg log callback: FFmpeg's lines go to the MediaOut logger with the name of the file
// last opened as context, repeated lines dropped.

#include "AudioDevice.h"

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVStream;
struct AVFrame;
struct AVPacket;
struct SwrContext;
struct SwsContext;

// One decoded video picture, stamped with its presentation time.
struct VideoFrame {
    long long ms = 0;
    std::vector<uint8_t> rgb; // width x height x 3
};

class MediaDecoder {
public:
    MediaDecoder();
    ~MediaDecoder();
    MediaDecoder(const MediaDecoder&) = delete;
    MediaDecoder& operator=(const MediaDecoder&) = delete;

    // Opens the container and its best audio stream (resampled to `audio`, channels laid out as
    // the "AudioLayout" value when the counts agree) and, when videoWidth > 0, its best video
    // stream. False when the container cannot be read (logged); a stream whose codec fails is
    // left out.
    bool open(const std::string& path, const AudioDeviceFormat& audio, int layout, int videoWidth = 0,
              int videoHeight = 0);
    bool hasAudio() const { return audioIndex >= 0; }
    bool hasVideo() const { return videoIndex >= 0; }
    double durationSeconds() const { return duration; }
    long long videoDurationMS() const { return videoDuration; }

    // Reads one packet and decodes it: audio bytes are appended to `audioOut`, pictures to
    // `videoOut`. At the end of the file the decoders are drained and false returned.
    bool decodePacket(std::vector<uint8_t>& audioOut, std::deque<VideoFrame>& videoOut);
    bool finished() const { return atEnd; }
    // Back to the first packet, for another loop.
    bool rewind();

private:
    bool openAudio(const AudioDeviceFormat& audio, int layout);
    bool openVideo(int width, int height);
    void decodeInto(AVCodecContext* decoder, AVPacket* packet, std::vector<uint8_t>& audioOut,
                    std::deque<VideoFrame>& videoOut);
    void convertAudio(std::vector<uint8_t>& out, const uint8_t** input, int samples);
    void scaleVideo(std::deque<VideoFrame>& out);
    void drain(std::vector<uint8_t>& audioOut, std::deque<VideoFrame>& videoOut);

    std::string fileName;
    AVFormatContext* format = nullptr;
    int audioIndex = -1;
    AVCodecContext* audioDecoder = nullptr;
    AVStream* audioStream = nullptr;
    int videoIndex = -1;
    AVCodecContext* videoDecoder = nullptr;
    AVStream* videoStream = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
    SwrContext* resampler = nullptr;
    SwsContext* scaler = nullptr;
    AudioDeviceFormat output;
    int width = 0;
    int height = 0;
    double duration = 0;
    long long videoDuration = 0;
    bool atEnd = false;
};

// Installs the FFmpeg log callback (once) and names the file its lines are about.
void SetMediaLogContext(const std::string& fileName);

// Stream set-up as FFmpeg's examples do it: 0, or a negative FFmpeg error with the reason on
// standard error.
int open_codec_context(int* streamIndex, AVCodecContext** decoderContext, AVFormatContext* formatContext,
                       int type, const std::string& fileName);
