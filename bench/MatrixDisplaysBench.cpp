// Matrix outputs on the frame path:
//  - a framebuffer matrix frame, 512 x 256 pixels at 32 bits per pixel (PrepData and SendData with
//    the model off, so the page is painted and shown), against a memcpy of its 393,216 channel bytes;
//  - a virtual display's SendData with 20,000 lights of pixelSize 2 and 4 on a 1000 x 500 model that
//    is on (the page is the overlay pass's, measured above), against storing the same pixels' colours
//    with direct indexed stores (BM_IndexedStores/2 and /4).

#include "FBMatrix.h"
#include "VirtualDisplay.h"
#include "common/Log.h"
#include "overlays/FrameBufferOverlayModel.h"
#include "overlays/PixelOverlayManager.h"

#include "RatioReporter.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
constexpr int FB_WIDTH = 512;
constexpr int FB_HEIGHT = 256;
constexpr size_t FB_CHANNELS = FB_WIDTH * FB_HEIGHT * 3;
constexpr int VD_WIDTH = 1000;
constexpr int VD_HEIGHT = 500;
constexpr int LIGHTS = 20000;

struct Setup {
    Setup() : frame(KIVD_MAX_CHANNELS + 8) {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_ERROR;
        for (size_t i = 0; i < frame.size(); i++) {
            frame[i] = static_cast<unsigned char>(i * 31 + 7);
        }
        media = std::filesystem::temp_directory_path() / ("kiv-bench-" + std::to_string(getpid()));
        std::filesystem::create_directories(media / "config");
        setenv("KIV_MEDIA_DIR", media.c_str(), 1);
        PixelOverlayManager::INSTANCE.registerModelType("FB", FrameBufferOverlayModel::Create);
        writeLayout();
    }
    ~Setup() {
        std::filesystem::remove_all(media);
        unlink(("/dev/shm/kiv-fb-" + device).c_str());
    }
    // 20,000 lights 5 model pixels apart, in every colour type, on a 1000 x 500 layout.
    void writeLayout() {
        const int types[] = {0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11};
        std::ofstream out(media / "config/virtualdisplay.csv");
        out << "size," << VD_WIDTH << "," << VD_HEIGHT << "\n";
        int channel = 1;
        for (int n = 0; n < LIGHTS; n++) {
            int type = types[n % 11];
            int channels = type <= 5 ? 3 : 1;
            out << (n % 200) * 5 << "," << (n / 200) * 5 << "," << channel << "," << channels << "," << type
                << (type == 11 ? ",1,2,3\n" : "\n");
            channel += channels;
        }
    }

    std::vector<unsigned char> frame;
    std::filesystem::path media;
    std::string device = "bench-fbm-" + std::to_string(getpid());
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_Memcpy(benchmark::State& state) {
    Setup& s = setup();
    std::vector<unsigned char> target(FB_CHANNELS);
    for (auto _ : state) {
        memcpy(target.data(), s.frame.data(), FB_CHANNELS);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * FB_CHANNELS);
}
BENCHMARK(BM_Memcpy);

void BM_FBMatrixFrame(benchmark::State& state) {
    Setup& s = setup();
    FBMatrixOutput output(0, FB_CHANNELS);
    Json::Value config;
    config["device"] = s.device;
    config["width"] = FB_WIDTH;
    config["height"] = FB_HEIGHT;
    if (!output.Init(config)) {
        state.SkipWithError("the matrix did not start");
        return;
    }
    for (auto _ : state) {
        output.PrepData(s.frame.data());
        output.SendData(s.frame.data());
        benchmark::ClobberMemory();
    }
    output.Close();
    state.SetBytesProcessed(state.iterations() * FB_CHANNELS);
}
BENCHMARK(BM_FBMatrixFrame);

std::shared_ptr<PixelOverlayModel> displayModel() {
    static std::shared_ptr<PixelOverlayModel> model = [] {
        Json::Value definition;
        definition["Name"] = "bench-vd-" + std::to_string(getpid());
        definition["Type"] = "Matrix";
        definition["Width"] = VD_WIDTH;
        definition["Height"] = VD_HEIGHT;
        auto m = PixelOverlayManager::INSTANCE.addModel(definition);
        m->setState(PixelOverlayState::Opaque);
        return m;
    }();
    return model;
}

void BM_VirtualDisplaySendData(benchmark::State& state) {
    Setup& s = setup();
    VirtualDisplayOutput output(0, 40000);
    Json::Value config;
    config["modelName"] = displayModel()->getName();
    config["PixelSize"] = static_cast<int>(state.range(0));
    if (!output.Init(config) || output.Lights().size() != LIGHTS) {
        state.SkipWithError("the display did not start");
        return;
    }
    for (auto _ : state) {
        output.SendData(s.frame.data());
        benchmark::ClobberMemory();
    }
    output.Close();
    state.SetItemsProcessed(state.iterations() * LIGHTS);
}
BENCHMARK(BM_VirtualDisplaySendData)->Arg(2)->Arg(4);

// The same pixels (the lights' discs inside the model) stored straight into the model's data.
void BM_IndexedStores(benchmark::State& state) {
    Setup& s = setup();
    const int radius = state.range(0) / 2;
    std::vector<int> offsets;
    for (int dy = -radius; dy < radius; dy++) {
        for (int dx = -radius; dx < radius; dx++) {
            if (dx * dx + dy * dy <= radius * radius) {
                offsets.push_back(dy * VD_WIDTH + dx);
            }
        }
    }
    std::vector<int> centres;
    for (int n = 0; n < LIGHTS; n++) {
        centres.push_back((n / 200) * 5 * VD_WIDTH + (n % 200) * 5 + radius * VD_WIDTH + radius);
    }
    std::vector<unsigned char> data(static_cast<size_t>(VD_WIDTH + 8) * (VD_HEIGHT + 8) * 3);
    for (auto _ : state) {
        const unsigned char* channel = s.frame.data();
        for (int n = 0; n < LIGHTS; n++, channel += 3) {
            for (int offset : offsets) {
                unsigned char* pixel = &data[(centres[n] + offset) * 3];
                pixel[0] = channel[0];
                pixel[1] = channel[1];
                pixel[2] = channel[2];
            }
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * LIGHTS);
}
BENCHMARK(BM_IndexedStores)->Arg(2)->Arg(4);

} // namespace

KIV_BENCHMARK_MAIN_WITH_RATIOS({"BM_FBMatrixFrame", "BM_Memcpy"},
                               {"BM_VirtualDisplaySendData/2", "BM_IndexedStores/2"},
                               {"BM_VirtualDisplaySendData/4", "BM_IndexedStores/4"})
