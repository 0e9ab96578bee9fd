// RGBMatrixOutput::PrepData for 2 parallel outputs of 8 panels of 64x32 (a 512x64 matrix) with
// gamma 2.2, against a bound over the same bytes in the same run: a bare gather through the same
// panel maps and a 256-byte table into a buffer of the canvas's size. The per_byte counter is the
// time per canvas byte. Run with --benchmark_repetitions=N to have the medians compared as well.

#include "channeloutput/PanelMatrix.h"
#include "channeloutput/RGBMatrix/RGBMatrix.h"
#include "common/Log.h"
#include "overlays/PixelOverlayManager.h"
#include "player/Sequence.h"

#include "PanelBenchConfig.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int OUTPUTS = 2;
constexpr int CHAIN = 8;
constexpr int PANEL_WIDTH = 64;
constexpr int PANEL_HEIGHT = 32;
constexpr int START = 3000;
constexpr int64_t CANVAS_BYTES = int64_t(OUTPUTS) * CHAIN * PANEL_WIDTH * PANEL_HEIGHT * 3;

struct Setup {
    Setup() : channels(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES), canvas(CANVAS_BYTES) {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        path = "/dev/shm/kiv-hub75-bench-" + std::to_string(getpid());
        setenv("KIV_HUB75_SIM_FILE", path.c_str(), 1);
        PixelOverlayManager::INSTANCE.setAutoCreatePixelOverlayModels(false);
        FillBenchChannels(channels);
        Json::Value config = PanelMatrixBenchConfig(OUTPUTS, CHAIN, PANEL_WIDTH, PANEL_HEIGHT);
        output = std::make_unique<RGBMatrixOutput>(START, 0);
        if (!output->Init(config)) {
            std::abort();
        }
        layout = std::make_unique<PanelMatrix>(PANEL_WIDTH, PANEL_HEIGHT, 0);
        layout->AddPanelsFromConfig(config["panels"], kColorOrderRGB, "bench");
        FillPanelGammaTable(2.2, gamma);
    }
    ~Setup() {
        output->Close();
        unlink(path.c_str());
    }
    std::string path;
    std::vector<uint8_t> channels;
    std::vector<uint8_t> canvas;
    std::unique_ptr<RGBMatrixOutput> output;
    std::unique_ptr<PanelMatrix> layout;
    uint8_t gamma[256];
};

Setup& setup() {
    static Setup s;
    return s;
}

void PrepData(benchmark::State& state) {
    Setup& s = setup();
    for (auto _ : state) {
        s.output->PrepData(s.channels.data());
        benchmark::ClobberMemory();
    }
    ReportPerByte(state, CANVAS_BYTES);
}

// Every panel's map, in the output's order, through the table into one flat buffer.
void GammaGather(benchmark::State& state) {
    Setup& s = setup();
    const uint8_t* data = s.channels.data() + START;
    for (auto _ : state) {
        uint8_t* __restrict out = s.canvas.data();
        for (int o = 0; o < OUTPUTS; o++) {
            for (int index : s.layout->OutputPanels(o)) {
                const std::vector<int32_t>& map = s.layout->Panel(index).pixelMap;
                const int32_t* __restrict m = map.data();
                const int count = static_cast<int>(map.size());
                for (int k = 0; k < count; k++) {
                    out[k] = s.gamma[data[m[k]]];
                }
                out += count;
            }
        }
        benchmark::DoNotOptimize(s.canvas.data());
        benchmark::ClobberMemory();
    }
    ReportPerByte(state, CANVAS_BYTES);
}

} // namespace

BENCHMARK(PrepData);
BENCHMARK(GammaGather);

KIV_BENCHMARK_MAIN_WITH_RATIOS({"PrepData", "GammaGather"})
