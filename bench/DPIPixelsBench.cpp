// One DPI frame of 24 strings x 2400 channels in both display modes (1084 x 162 and 362 x 324),
// against memcpy of the bytes the frame writes (8 data phases of pixelsPerPhase 3-byte pixels per
// row), measured in the same run. The frame is PrepData: every port's prepareOutput and the
// painting of the page; prepareOutput of the same ports alone is measured too, and EncodeOnly
// takes it off each frame, which leaves the painting (its CPU column means nothing: manual time).
// PageStores is the floor the page itself sets: 16-byte stores of a constant that cover every
// data phase of a frame, in a framebuffer of the same geometry, rotating its pages the same way;
// LineStores the same for the whole-line writer's stores: 32 bytes at a time over every used
// line, from its first byte to its last data phase.

#include "non-gpl/DPIPixels/DPIPixels.h"

#include "channeloutput/PixelString.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "platform/SimulatedFrameBuffer.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <chrono>

#include <sched.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int STRINGS = 24;
constexpr int CHANNELS = 2400;

struct Setup {
    std::vector<uint8_t> channels = std::vector<uint8_t>(KIVD_MAX_CHANNELS + 8);
    std::unique_ptr<DPIPixelsOutput> output;
    std::vector<std::unique_ptr<PixelString>> ports;
    std::string device;
    Json::Value config;

    explicit Setup(const char* geometry) {
        // The frame-rate check may PUT to a local web server; a namespace without one keeps it
        // from reaching a real front end on this machine.
        static bool isolated = unshare(CLONE_NEWNET) == 0;
        (void)isolated;
        static char media[] = "/tmp/kiv-dpibench-XXXXXX";
        static bool made = mkdtemp(media) != nullptr;
        (void)made;
        setenv("KIV_MEDIA_DIR", media, 1);
        KIVLogger::INSTANCE.Init();
        KIVLogger::INSTANCE.General.level = KIVLOG_ERROR; // the settings PUTs find no web server
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_ERROR;
        SetSetting("SimulatedFrameBuffer", geometry);
        device = std::string("dpibench-") + std::to_string(getpid()) + "-" + geometry;
        std::mt19937 random(3);
        for (int i = 0; i < STRINGS * CHANNELS; i++) {
            channels[i] = uint8_t(random());
        }
        config["subType"] = "DPIPixels";
        config["device"] = device;
        for (int s = 0; s < STRINGS; s++) {
            Json::Value port;
            port["portNumber"] = s;
            Json::Value vs;
            vs["startChannel"] = s * CHANNELS;
            vs["pixelCount"] = CHANNELS / 3;
            vs["colorOrder"] = "GRB";
            vs["brightness"] = 100;
            vs["gamma"] = 1.0;
            port["virtualStrings"].append(vs);
            config["outputs"].append(port);
            ports.push_back(std::make_unique<PixelString>());
            ports.back()->Init(port);
        }
        output = std::make_unique<DPIPixelsOutput>(0, STRINGS * CHANNELS);
        if (!output->Init(config)) {
            output.reset();
        }
    }
    ~Setup() { unlink(SimulatedFrameBuffer::FilePath(device).c_str()); }
};

int PixelsPerPhase(const char* geometry) {
    return std::strncmp(geometry, "1084", 4) == 0 ? 3 : 1;
}

void Frame(benchmark::State& state, const char* geometry) {
    Setup setup(geometry);
    if (!setup.output) {
        state.SkipWithError("the output did not initialise");
        return;
    }
    for (auto _ : state) {
        setup.output->PrepData(setup.channels.data());
        setup.output->SendData(setup.channels.data());
        benchmark::ClobberMemory();
    }
}

// The painting alone: each iteration times a frame and then the ports' prepareOutput of the same
// channels, and counts the difference (real time only, as a manual time).
void EncodeOnly(benchmark::State& state, const char* geometry) {
    Setup setup(geometry);
    if (!setup.output) {
        state.SkipWithError("the output did not initialise");
        return;
    }
    using Clock = std::chrono::steady_clock;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        setup.output->PrepData(setup.channels.data());
        setup.output->SendData(setup.channels.data());
        benchmark::ClobberMemory();
        const Clock::time_point framed = Clock::now();
        for (auto& port : setup.ports) {
            benchmark::DoNotOptimize(port->prepareOutput(setup.channels.data()));
        }
        benchmark::ClobberMemory();
        const Clock::time_point prepared = Clock::now();
        state.SetIterationTime(std::chrono::duration<double>((framed - start) - (prepared - framed)).count());
    }
}

void PrepareOutputOnly(benchmark::State& state) {
    Setup setup("362x324");
    for (auto _ : state) {
        for (auto& port : setup.ports) {
            benchmark::DoNotOptimize(port->prepareOutput(setup.channels.data()));
        }
        benchmark::ClobberMemory();
    }
}

// A cleared framebuffer of the setup's geometry beside the output's (whose pages are not touched).
struct FloorFrameBuffer {
    std::string device;
    std::unique_ptr<FrameBuffer> fb;

    FloorFrameBuffer(const Setup& setup, const char* suffix) : device(setup.device + suffix) {
        Json::Value config;
        config["Device"] = device;
        config["Pages"] = 3;
        fb.reset(FrameBuffer::createFrameBuffer(config));
        if (fb) {
            fb->ClearAllPages();
        }
    }
    ~FloorFrameBuffer() { unlink(SimulatedFrameBuffer::FilePath(device).c_str()); }
};

void PageStores(benchmark::State& state, const char* geometry) {
    Setup setup(geometry);
    const int ppp = PixelsPerPhase(geometry);
    FloorFrameBuffer floor(setup, "-stores");
    FrameBuffer* fb = floor.fb.get();
    if (!fb) {
        state.SkipWithError("no framebuffer");
        return;
    }
    const int bitStep = 9 * ppp;         // bytes per WS281x bit
    const int bitsPerStore = 4 - ppp;    // a 16-byte store covers one 9-byte or two 3-byte data phases
    const int firstData = (ppp + 1) * 3; // as the encoder starts a frame
    const int linesUsed = CHANNELS * 8 / 120;
    uint8_t value[16];
    std::memset(value, 0x5A, sizeof(value));
    int page = 0;
    for (auto _ : state) {
        uint8_t* pixels = fb->BufferPage(page);
        page = (page + 1) % fb->Pages();
        for (int line = 0; line < linesUsed; line++) {
            uint8_t* at = pixels + size_t(line) * fb->LineLength() + firstData;
            for (int bit = 0; bit + bitsPerStore <= 120; bit += bitsPerStore) {
                std::memcpy(at + bit * bitStep, value, sizeof(value));
            }
        }
        benchmark::ClobberMemory();
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void storeLines(uint8_t* pixels, int lines, int lineLength,
                                                int storesPerLine) {
    const __m256i value = _mm256_set1_epi8(0x5A);
    for (int line = 0; line < lines; line++) {
        uint8_t* at = pixels + size_t(line) * lineLength;
        for (int store = 0; store < storesPerLine; store++) {
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(at + 32 * store), value);
        }
    }
}
#endif

void LineStores(benchmark::State& state, const char* geometry) {
#if defined(__x86_64__)
    if (!__builtin_cpu_supports("avx2")) {
        state.SkipWithError("no AVX2");
        return;
    }
    Setup setup(geometry);
    FloorFrameBuffer floor(setup, "-lines");
    FrameBuffer* fb = floor.fb.get();
    if (!fb) {
        state.SkipWithError("no framebuffer");
        return;
    }
    const int storesPerLine = PixelsPerPhase(geometry) == 3 ? 102 : 34;
    int page = 0;
    for (auto _ : state) {
        storeLines(fb->BufferPage(page), CHANNELS * 8 / 120, fb->LineLength(), storesPerLine);
        page = (page + 1) % fb->Pages();
        benchmark::ClobberMemory();
    }
#else
    state.SkipWithError("x86 only");
#endif
}

void MemcpyFrameBytes(benchmark::State& state, const char* geometry) {
    size_t bytes = size_t(CHANNELS) * 8 * PixelsPerPhase(geometry) * 3;
    std::vector<uint8_t> from(bytes, 0x5A), to(bytes);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), bytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * bytes);
}

} // namespace

BENCHMARK_CAPTURE(Frame, 1084x162, "1084x162");
BENCHMARK_CAPTURE(Frame, 362x324, "362x324");
BENCHMARK_CAPTURE(EncodeOnly, 1084x162, "1084x162")->UseManualTime();
BENCHMARK_CAPTURE(EncodeOnly, 362x324, "362x324")->UseManualTime();
BENCHMARK(PrepareOutputOnly);
BENCHMARK_CAPTURE(PageStores, 1084x162, "1084x162");
BENCHMARK_CAPTURE(PageStores, 362x324, "362x324");
BENCHMARK_CAPTURE(LineStores, 1084x162, "1084x162");
BENCHMARK_CAPTURE(LineStores, 362x324, "362x324");
BENCHMARK_CAPTURE(MemcpyFrameBytes, 1084x162, "1084x162");
BENCHMARK_CAPTURE(MemcpyFrameBytes, 362x324, "362x324");

KIV_BENCHMARK_MAIN_WITH_RATIOS({"Frame/1084x162", "MemcpyFrameBytes/1084x162"},
                               {"Frame/362x324", "MemcpyFrameBytes/362x324"},
                               {"EncodeOnly/1084x162/manual_time", "MemcpyFrameBytes/1084x162"},
                               {"EncodeOnly/362x324/manual_time", "MemcpyFrameBytes/362x324"},
                               {"PrepareOutputOnly", "MemcpyFrameBytes/362x324"},
                               {"PageStores/1084x162", "MemcpyFrameBytes/1084x162"},
                               {"PageStores/362x324", "MemcpyFrameBytes/362x324"},
                               {"LineStores/1084x162", "MemcpyFrameBytes/1084x162"},
                               {"LineStores/362x324", "MemcpyFrameBytes/362x324"});
