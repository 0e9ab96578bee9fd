// Media playback of a 1920 x 1080, 30 fps H.264 video with a 48 kHz stereo tone, 10 seconds long,
// made by the ffmpeg program at the first run (in /tmp):
//  - BM_SDLOutputPlayback plays it through SDLOutput in real time (SDL's disk audio driver writing
//    to /dev/null), its video scaled into a 128 x 64 model that is drawn 40 times a second as the
//    overlay pass does, Process called every 10 ms as the main loop does;
//  - BM_FfmpegNullDecode, the bound, is the ffmpeg program decoding the same file to a null output.
// Both report CPU seconds per media second as their (manual) time, so the printed ratio is the
// CPU ratio. Counters: the decode thread's lead over the clock (audio queued and video frames
// decoded ahead, the least seen) and the audio underruns (the device queue found empty before the
// end of the file).

#include "channeloutput/ChannelOutputThread.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "mediaoutput/SDLOut.h"
#include "overlays/PixelOverlayManager.h"

#include "RatioReporter.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

namespace {
constexpr double MEDIA_SECONDS = 10;
const std::string FILE_PATH = "/tmp/kiv-bench-media-1080p.mp4";

bool makeFile() {
    if (access(FILE_PATH.c_str(), R_OK) == 0) {
        return true;
    }
    std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i testsrc2=s=1920x1080:r=30:d=10 "
                          "-f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 -ac 2 "
                          "-c:v libx264 -preset veryfast -pix_fmt yuv420p -c:a aac " +
                          FILE_PATH + ".part.mp4 && mv " + FILE_PATH + ".part.mp4 " + FILE_PATH;
    return std::system(command.c_str()) == 0;
}

double cpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_FfmpegNullDecode(benchmark::State& state) {
    if (!makeFile()) {
        state.SkipWithError("ffmpeg could not make the test video");
        return;
    }
    for (auto _ : state) {
        double before = cpuSeconds(RUSAGE_CHILDREN);
        int result = std::system(("ffmpeg -nostdin -v error -i " + FILE_PATH + " -f null -").c_str());
        state.SetIterationTime((cpuSeconds(RUSAGE_CHILDREN) - before) / MEDIA_SECONDS);
        if (result != 0) {
            state.SkipWithError("ffmpeg failed");
        }
    }
}
BENCHMARK(BM_FfmpegNullDecode)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);

struct Lead {
    double audioMS = 1e9;
    double videoMS = 1e9;
    int underruns = 0;
};

// The least lead of the decode thread over the clock at this moment.
void sampleLead(Lead& lead) {
    SDLInternalData* data = sdlManager.currentData.load();
    if (data == nullptr || data->decodeFinished) {
        return;
    }
    unsigned int now = SDLOutput::CurrentMediaMS();
    if (now < 500) {
        return; // the first frames are decoded before the clock starts
    }
    Uint32 queued = SDL_GetQueuedAudioSize(sdlManager.device.load());
    lead.underruns += queued == 0;
    lead.audioMS =
        std::min(lead.audioMS, queued * 1000.0 / data->format.sampleRate / data->format.frameBytes());
    std::lock_guard<std::mutex> guard(data->videoLock);
    if (!data->frames.empty()) {
        lead.videoMS = std::min(lead.videoMS, static_cast<double>(data->frames.back().ms) - now);
    }
}

void BM_SDLOutputPlayback(benchmark::State& state) {
    if (!makeFile()) {
        state.SkipWithError("ffmpeg could not make the test video");
        return;
    }
    KIVLogger::INSTANCE.MediaOut.level = KIVLOG_WARN;
    setenv("SDL_AUDIODRIVER", "disk", 1);
    setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    SetSetting("AudioFormat", 4); // 48 kHz, 16 bit
    Json::Value definition;
    definition["Name"] = "bench-media-" + std::to_string(getpid());
    definition["Type"] = "Matrix";
    definition["StartChannel"] = 1;
    definition["Width"] = 128;
    definition["Height"] = 64;
    auto model = PixelOverlayManager::INSTANCE.addModel(definition);
    Lead lead;
    for (auto _ : state) {
        MediaOutputStatus status;
        double before = cpuSeconds(RUSAGE_SELF);
        SDLOutput output(FILE_PATH, &status, model->getName());
        output.Start(0);
        auto nextFrame = std::chrono::steady_clock::now();
        while (output.Process()) {
            if (std::chrono::steady_clock::now() >= nextFrame) {
                SDLOutput::ProcessVideoOverlay(SDLOutput::CurrentMediaMS());
                nextFrame += std::chrono::milliseconds(25);
            }
            sampleLead(lead);
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        output.Close();
        state.SetIterationTime((cpuSeconds(RUSAGE_SELF) - before) / MEDIA_SECONDS);
    }
    state.counters["audio_lead_min_ms"] = lead.audioMS;
    state.counters["video_lead_min_ms"] = lead.videoMS;
    state.counters["underruns"] = lead.underruns;
    sdlManager.shutdown();
    StopChannelOutputThread();
    PixelOverlayManager::INSTANCE.Cleanup();
}
BENCHMARK(BM_SDLOutputPlayback)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

KIV_BENCHMARK_MAIN_WITH_RATIOS({"BM_SDLOutputPlayback", "BM_FfmpegNullDecode"})
