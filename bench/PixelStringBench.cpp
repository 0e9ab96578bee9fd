// PixelString::prepareOutput for one port of 1600 RGBW pixels and for 48 ports of 800 RGB pixels,
// each against bounds over the same bytes in the same run: memcpy, a bare gather through the same
// output map without the brightness table, and that gather with prepareOutput's store packing. The per_byte
// counter is the time per output byte. Run with --benchmark_repetitions=N to have the medians compared as
// well.

#include "channeloutput/PixelString.h"
#include "common/Log.h"
#include "player/Sequence.h"

#include "PrepareOutputBound.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int BIG_PIXELS = 1600;
constexpr int PORTS = 48;
constexpr int PORT_PIXELS = 800;

std::unique_ptr<PixelString> MakePort(int port, int startChannel, int pixels, const char* order) {
    Json::Value config;
    config["portNumber"] = port;
    Json::Value vs;
    vs["startChannel"] = startChannel;
    vs["pixelCount"] = pixels;
    vs["colorOrder"] = order;
    vs["brightness"] = 80;
    vs["gamma"] = 2.2;
    config["virtualStrings"].append(vs);
    auto string = std::make_unique<PixelString>(false);
    string->Init(config);
    return string;
}

struct Setup {
    Setup() : channels(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES) {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        for (size_t i = 0; i < channels.size(); i++) {
            channels[i] = static_cast<uint8_t>(i * 31 + 7);
        }
        big.push_back(MakePort(0, 0, BIG_PIXELS, "GRBW"));
        for (int p = 0; p < PORTS; p++) {
            many.push_back(MakePort(p, 100000 + p * PORT_PIXELS * 3, PORT_PIXELS, "GRB"));
        }
    }
    std::vector<uint8_t> channels;
    std::vector<std::unique_ptr<PixelString>> big;
    std::vector<std::unique_ptr<PixelString>> many;
};

Setup& setup() {
    static Setup s;
    return s;
}

int64_t OutputBytes(const std::vector<std::unique_ptr<PixelString>>& ports) {
    int64_t bytes = 0;
    for (const auto& port : ports) {
        bytes += port->OutputChannels();
    }
    return bytes;
}

void Finish(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    int64_t bytes = OutputBytes(ports);
    state.SetBytesProcessed(state.iterations() * bytes);
    // An inverted rate: time per output byte, printed with its unit (e.g. "850ps").
    state.counters["per_byte"] =
        benchmark::Counter(static_cast<double>(bytes),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void Prepare(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    PrepareEveryPort(state, setup().channels.data(), ports);
    Finish(state, ports);
}

// Copies each port's own bytes from the channel data, as a port without any mapping would.
void Memcpy(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    const uint8_t* data = setup().channels.data();
    for (auto _ : state) {
        for (const auto& port : ports) {
            std::memcpy(port->OutputBuffer(), data + port->VirtualStrings()[0].startChannel,
                        port->OutputChannels());
            benchmark::DoNotOptimize(port->OutputBuffer());
        }
        benchmark::ClobberMemory();
    }
    Finish(state, ports);
}

void Gather(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    const uint8_t* data = setup().channels.data();
    for (auto _ : state) {
        for (const auto& port : ports) {
            uint8_t* __restrict out = port->OutputBuffer();
            const int32_t* __restrict map = port->OutputMap().data();
            const int count = port->OutputChannels();
            for (int k = 0; k < count; k++) {
                out[k] = data[map[k]];
            }
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
    Finish(state, ports);
}

// The gather with prepareOutput's own store packing (eight bytes a store) but no table: the
// difference to prepareOutput is what the brightness table alone costs.
void WordGather(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    const uint8_t* data = setup().channels.data();
    for (auto _ : state) {
        for (const auto& port : ports) {
            uint8_t* __restrict out = port->OutputBuffer();
            const int32_t* __restrict map = port->OutputMap().data();
            const int count = port->OutputChannels();
            int k = 0;
            for (; k + 8 <= count; k += 8) {
                auto at = [&](int b) { return uint64_t(data[map[k + b]]) << (8 * b); };
                uint64_t word = at(0) | at(1) | at(2) | at(3) | at(4) | at(5) | at(6) | at(7);
                std::memcpy(out + k, &word, sizeof(word));
            }
            for (; k < count; k++) {
                out[k] = data[map[k]];
            }
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
    Finish(state, ports);
}

} // namespace

BENCHMARK_CAPTURE(Prepare, 1600RGBW, setup().big);
BENCHMARK_CAPTURE(Memcpy, 1600RGBW, setup().big);
BENCHMARK_CAPTURE(Gather, 1600RGBW, setup().big);
BENCHMARK_CAPTURE(WordGather, 1600RGBW, setup().big);
BENCHMARK_CAPTURE(Prepare, 48x800RGB, setup().many);
BENCHMARK_CAPTURE(Memcpy, 48x800RGB, setup().many);
BENCHMARK_CAPTURE(Gather, 48x800RGB, setup().many);
BENCHMARK_CAPTURE(WordGather, 48x800RGB, setup().many);

KIV_BENCHMARK_MAIN_WITH_RATIOS({"Prepare/1600RGBW", "Gather/1600RGBW"},
                               {"Prepare/1600RGBW", "WordGather/1600RGBW"},
                               {"Prepare/1600RGBW", "Memcpy/1600RGBW"},
                               {"Prepare/48x800RGB", "Gather/48x800RGB"},
                               {"Prepare/48x800RGB", "WordGather/48x800RGB"},
                               {"Prepare/48x800RGB", "Memcpy/48x800RGB"})
