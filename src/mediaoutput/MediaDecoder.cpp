#include "MediaDecoder.h"

#include "common/Log.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

std::mutex logLock;               // guards the two below; FFmpeg logs from its own threads too
std::string currentMediaFilename; // context of FFmpeg's lines
std::string previousLine;

void LogCallback(void* context, int level, const char* fmt, va_list args) {
    char line[256];
    int printPrefix = 1;
    av_log_format_line(context, level, fmt, args, line, sizeof(line), &printPrefix);
    std::lock_guard<std::mutex> guard(logLock);
    if (previousLine == line) {
        return;
    }
    previousLine = line;
    const char* name = currentMediaFilename.c_str();
    if (level >= AV_LOG_DEBUG) {
        LogExcess(LG_MEDIAOUT, "Debug: \"%s\" - %s", name, line);
    } else if (level >= AV_LOG_VERBOSE) {
        LogDebug(LG_MEDIAOUT, "Verbose: \"%s\" - %s", name, line);
    } else if (level >= AV_LOG_INFO) {
        LogInfo(LG_MEDIAOUT, "Info: \"%s\" - %s", name, line);
    } else if (level >= AV_LOG_WARNING) {
        // Common with audio files that carry no index; nothing the user can act on.
        if (strstr(line, "Could not update timestamps") || strstr(line, "Estimating duration from bitrate")) {
            LogDebug(LG_MEDIAOUT, "Verbose: \"%s\" - %s", name, line);
        } else {
            LogWarn(LG_MEDIAOUT, "Warn: \"%s\" - %s", name, line);
        }
    } else {
        LogErr(LG_MEDIAOUT, "\"%s\" - %s", name, line);
    }
}

AVSampleFormat sampleFormatOf(const AudioDeviceFormat& device) {
    if (device.bytesPerSample == 2) {
        return AV_SAMPLE_FMT_S16;
    }
    return device.isFloat ? AV_SAMPLE_FMT_FLT : AV_SAMPLE_FMT_S32;
}

void freeDecoder(AVCodecContext*& decoder) {
    avcodec_free_context(&decoder);
}

// A decoder that keeps refusing input is given up on for that packet.
constexpr int MAX_SEND_ATTEMPTS = 1000;

} // namespace

void SetMediaLogContext(const std::string& fileName) {
    static std::once_flag installed;
    std::call_once(installed, [] {
        av_log_set_flags(AV_LOG_SKIP_REPEATED);
        av_log_set_callback(LogCallback);
    });
    std::lock_guard<std::mutex> guard(logLock);
    currentMediaFilename = fileName;
}

int open_codec_context(int* streamIndex, AVCodecContext** decoderContext, AVFormatContext* formatContext,
                       int type, const std::string& fileName) {
    AVMediaType mediaType = static_cast<AVMediaType>(type);
    const char* typeName = av_get_media_type_string(mediaType);
    int index = av_find_best_stream(formatContext, mediaType, -1, -1, nullptr, 0);
    if (index < 0) {
        fprintf(stderr, "Could not find %s stream in input file '%s'\n", typeName, fileName.c_str());
        return index;
    }
    AVStream* stream = formatContext->streams[index];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    if (codec == nullptr) {
        fprintf(stderr, "Failed to find %s codec\n", typeName);
        return AVERROR(EINVAL);
    }
    AVCodecContext* context = avcodec_alloc_context3(codec);
    if (context == nullptr) {
        fprintf(stderr, "Failed to allocate the %s codec context\n", typeName);
        return AVERROR(ENOMEM);
    }
    int result = avcodec_parameters_to_context(context, stream->codecpar);
    if (result < 0) {
        fprintf(stderr, "Failed to copy %s codec parameters to decoder context\n", typeName);
        avcodec_free_context(&context);
        return result;
    }
    context->thread_count = static_cast<int>(std::thread::hardware_concurrency()) + 1;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "refcounted_frames", "0", 0);
    result = avcodec_open2(context, codec, &options);
    av_dict_free(&options);
    if (result < 0) {
        fprintf(stderr, "Failed to open %s codec\n", typeName);
        avcodec_free_context(&context);
        return result;
    }
    *streamIndex = index;
    *decoderContext = context;
    return 0;
}

MediaDecoder::MediaDecoder() : frame(av_frame_alloc()), packet(av_packet_alloc()) {}

MediaDecoder::~MediaDecoder() {
    swr_free(&resampler);
    sws_freeContext(scaler);
    freeDecoder(audioDecoder);
    freeDecoder(videoDecoder);
    avformat_close_input(&format);
    av_frame_free(&frame);
    av_packet_free(&packet);
}

bool MediaDecoder::open(const std::string& path, const AudioDeviceFormat& audio, int layout, int videoWidth,
                        int videoHeight) {
    fileName = path;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0 ||
        avformat_find_stream_info(format, nullptr) < 0) {
        LogErr(LG_MEDIAOUT, "Could not find suitable input stream!\n");
        avformat_close_input(&format);
        return false;
    }
    duration = format->duration == AV_NOPTS_VALUE ? 0 : format->duration / static_cast<double>(AV_TIME_BASE);
    if (open_codec_context(&audioIndex, &audioDecoder, format, AVMEDIA_TYPE_AUDIO, path) < 0 ||
        !openAudio(audio, layout)) {
        freeDecoder(audioDecoder);
        audioIndex = -1;
    }
    if (videoWidth > 0 && videoHeight > 0 &&
        (open_codec_context(&videoIndex, &videoDecoder, format, AVMEDIA_TYPE_VIDEO, path) < 0 ||
         !openVideo(videoWidth, videoHeight))) {
        freeDecoder(videoDecoder);
        videoIndex = -1;
    }
    return true;
}

bool MediaDecoder::openAudio(const AudioDeviceFormat& audio, int layout) {
    audioStream = format->streams[audioIndex];
    output = audio;
    AVChannelLayout in{};
    if (audioDecoder->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC) {
        av_channel_layout_default(&in, audioDecoder->ch_layout.nb_channels);
    } else {
        av_channel_layout_copy(&in, &audioDecoder->ch_layout);
    }
    AVChannelLayout out{};
    // The device may have given fewer channels than the layout asked for; its count wins.
    if (AudioLayoutChannels(layout) == audio.channels) {
        av_channel_layout_from_mask(&out, AudioLayoutMask(layout));
    } else {
        av_channel_layout_default(&out, audio.channels);
    }
    int result = swr_alloc_set_opts2(&resampler, &out, sampleFormatOf(audio), audio.sampleRate, &in,
                                     audioDecoder->sample_fmt, audioDecoder->sample_rate, 0, nullptr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    if (result < 0 || swr_init(resampler) < 0) {
        LogErr(LG_MEDIAOUT, "Could not set up audio conversion for %s\n", fileName.c_str());
        swr_free(&resampler);
        return false;
    }
    return true;
}

bool MediaDecoder::openVideo(int videoWidth, int videoHeight) {
    videoStream = format->streams[videoIndex];
    width = videoWidth;
    height = videoHeight;
    scaler = sws_getContext(videoDecoder->width, videoDecoder->height, videoDecoder->pix_fmt, width, height,
                            AV_PIX_FMT_RGB24, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (scaler == nullptr) {
        LogErr(LG_MEDIAOUT, "Could not set up video scaling for %s\n", fileName.c_str());
        return false;
    }
    if (videoStream->duration != AV_NOPTS_VALUE) {
        videoDuration = av_rescale_q(videoStream->duration, videoStream->time_base, AVRational{1, 1000});
    } else {
        videoDuration = static_cast<long long>(duration * 1000);
    }
    return true;
}

bool MediaDecoder::decodePacket(std::vector<uint8_t>& audioOut, std::deque<VideoFrame>& videoOut) {
    if (atEnd) {
        return false;
    }
    if (av_read_frame(format, packet) < 0) {
        drain(audioOut, videoOut);
        atEnd = true;
        return false;
    }
    if (packet->stream_index == audioIndex && audioIndex >= 0) {
        decodeInto(audioDecoder, packet, audioOut, videoOut);
    } else if (packet->stream_index == videoIndex && videoIndex >= 0) {
        decodeInto(videoDecoder, packet, audioOut, videoOut);
    }
    av_packet_unref(packet);
    return true;
}

// Sends the packet (null: end of stream) and takes every frame the decoder has ready.
void MediaDecoder::decodeInto(AVCodecContext* decoder, AVPacket* input, std::vector<uint8_t>& audioOut,
                              std::deque<VideoFrame>& videoOut) {
    bool sent = false;
    for (int attempt = 0; !sent && attempt < MAX_SEND_ATTEMPTS; attempt++) {
        int result = avcodec_send_packet(decoder, input);
        sent = result != AVERROR(EAGAIN);
        while (avcodec_receive_frame(decoder, frame) == 0) {
            if (decoder == audioDecoder) {
                convertAudio(audioOut, const_cast<const uint8_t**>(frame->extended_data), frame->nb_samples);
            } else {
                scaleVideo(videoOut);
            }
            av_frame_unref(frame);
        }
    }
}

// input null: flushes what the resampler still holds.
void MediaDecoder::convertAudio(std::vector<uint8_t>& out, const uint8_t** input, int samples) {
    int room = swr_get_out_samples(resampler, samples);
    if (room <= 0) {
        return;
    }
    size_t at = out.size();
    out.resize(at + static_cast<size_t>(room) * output.frameBytes());
    uint8_t* target = out.data() + at;
    int converted = swr_convert(resampler, &target, room, input, samples);
    out.resize(at + static_cast<size_t>(std::max(converted, 0)) * output.frameBytes());
}

void MediaDecoder::scaleVideo(std::deque<VideoFrame>& out) {
    VideoFrame picture;
    long long pts = frame->best_effort_timestamp == AV_NOPTS_VALUE ? 0 : frame->best_effort_timestamp;
    picture.ms = av_rescale_q(pts, videoStream->time_base, AVRational{1, 1000});
    if (videoStream->start_time != AV_NOPTS_VALUE) {
        picture.ms -= av_rescale_q(videoStream->start_time, videoStream->time_base, AVRational{1, 1000});
    }
    picture.rgb.resize(static_cast<size_t>(width) * height * 3);
    uint8_t* planes[1] = {picture.rgb.data()};
    int strides[1] = {width * 3};
    sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, planes, strides);
    out.push_back(std::move(picture));
}

void MediaDecoder::drain(std::vector<uint8_t>& audioOut, std::deque<VideoFrame>& videoOut) {
    if (audioDecoder != nullptr) {
        decodeInto(audioDecoder, nullptr, audioOut, videoOut);
        convertAudio(audioOut, nullptr, 0);
    }
    if (videoDecoder != nullptr) {
        decodeInto(videoDecoder, nullptr, audioOut, videoOut);
    }
}

bool MediaDecoder::rewind() {
    if (format == nullptr || av_seek_frame(format, -1, 0, AVSEEK_FLAG_BACKWARD) < 0) {
        return false;
    }
    if (audioDecoder != nullptr) {
        avcodec_flush_buffers(audioDecoder);
    }
    if (videoDecoder != nullptr) {
        avcodec_flush_buffers(videoDecoder);
    }
    atEnd = false;
    return true;
}
