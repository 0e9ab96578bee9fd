// Overlay models on the frame path, a 512 x 256 RGB model (393,216 channels):
//  - doOverlay in the opaque state against a memcpy of the same bytes (BM_Memcpy);
//  - doOverlay in the two transparent states (a quarter of the pixels black, a few channels zero)
//    against the same memcpy; an output plugin is loaded so that they blend rather than copy;
//  - flushOverlayBuffer against a bare indexed gather through the same node map (BM_IndexedGather).

#include "channeloutput/ChannelOutput.h"
#include "common/Log.h"
#include "overlays/PixelOverlayModel.h"
#include "player/PluginManager.h"

#include "RatioReporter.h"

#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
constexpr int WIDTH = 512;
constexpr int HEIGHT = 256;
constexpr size_t CHANNELS = WIDTH * HEIGHT * 3;

struct Fixture {
    Fixture() : frame(KIVD_MAX_CHANNELS + 8, 0x40) {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
        blends = PluginManager::INSTANCE.findPlugin("TestRecorder", "kiv-co-TestRecorder") != nullptr;
        Json::Value definition;
        definition["Name"] = "bench-" + std::to_string(getpid());
        definition["Width"] = WIDTH;
        definition["Height"] = HEIGHT;
        model = std::make_unique<PixelOverlayModel>(definition);
        unsigned char* data = model->getChannelData();
        for (size_t i = 0; i < CHANNELS; i++) {
            bool blackPixel = (i / 3) % 4 == 0;
            data[i] = blackPixel || i % 7 == 0 ? 0 : static_cast<unsigned char>(i * 31 + 1);
        }
        unsigned char* pixels = model->getOverlayBuffer();
        memcpy(pixels, data, CHANNELS);
    }
    std::vector<unsigned char> frame;
    std::unique_ptr<PixelOverlayModel> model;
    bool blends = false;
};

Fixture& fixture() {
    static Fixture f;
    return f;
}

void overlayIn(benchmark::State& state, PixelOverlayState mode) {
    Fixture& f = fixture();
    f.model->setState(mode);
    if (!f.blends && !(mode == PixelOverlayState::Opaque)) {
        state.SkipWithError("kiv-co-TestRecorder is not built: transparent states would only copy");
        return;
    }
    for (auto _ : state) {
        f.model->doOverlay(f.frame.data());
        benchmark::ClobberMemory();
    }
    f.model->setState(PixelOverlayState::Off);
    state.SetBytesProcessed(state.iterations() * CHANNELS);
}

void BM_Memcpy(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        memcpy(f.frame.data(), f.model->getChannelData(), CHANNELS);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * CHANNELS);
}
BENCHMARK(BM_Memcpy);

void BM_OverlayOpaque(benchmark::State& state) {
    overlayIn(state, PixelOverlayState::Opaque);
}
BENCHMARK(BM_OverlayOpaque);

void BM_OverlayTransparentChannels(benchmark::State& state) {
    overlayIn(state, PixelOverlayState::TransparentChannels);
}
BENCHMARK(BM_OverlayTransparentChannels);

void BM_OverlayTransparentPixels(benchmark::State& state) {
    overlayIn(state, PixelOverlayState::TransparentPixels);
}
BENCHMARK(BM_OverlayTransparentPixels);

void BM_IndexedGather(benchmark::State& state) {
    Fixture& f = fixture();
    const int* map = f.model->getNodeMap().data();
    const unsigned char* pixels = f.model->getOverlayBuffer();
    unsigned char* data = f.model->getChannelData();
    for (auto _ : state) {
        for (size_t i = 0; i < CHANNELS; i++) {
            data[map[i]] = pixels[i];
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * CHANNELS);
}
BENCHMARK(BM_IndexedGather);

void BM_FlushOverlayBuffer(benchmark::State& state) {
    Fixture& f = fixture();
    for (auto _ : state) {
        f.model->flushOverlayBuffer();
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * CHANNELS);
}
BENCHMARK(BM_FlushOverlayBuffer);

} // namespace

KIV_BENCHMARK_MAIN_WITH_RATIOS({"BM_OverlayOpaque", "BM_Memcpy"},
                               {"BM_OverlayTransparentChannels", "BM_Memcpy"},
                               {"BM_OverlayTransparentPixels", "BM_Memcpy"},
                               {"BM_FlushOverlayBuffer", "BM_IndexedGather"})
