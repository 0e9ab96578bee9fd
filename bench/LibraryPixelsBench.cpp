// PrepData of the two library pixel outputs at their largest configurations, against the bound of
// the pixel-string copy over the same ports in the same run (prepareOutput of each port; and the
// bare gather through each port's map, no brightness table):
//   RPIWS281x: 2 header-pin strings and 2 SPI strings of 800 RGB pixels;
//   Spixels:   16 APA102 ports of 800 RGB pixels.
// The simulated devices and the board file live under /dev/shm/kiv-bench-PID* for the run and are
// removed after it.

#include "channeloutput/PixelString.h"
#include "channeloutput/rpi_ws281x.h"
#include "channeloutput/spixels.h"
#include "common/Common.h"
#include "common/Log.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"
#include "player/Sequence.h"

#include "PrepareOutputBound.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int PIXELS = 800;

Json::Value Port(int number, int start) {
    Json::Value port;
    port["portNumber"] = number;
    port["protocol"] = "apa102";
    Json::Value vs;
    vs["startChannel"] = start;
    vs["pixelCount"] = PIXELS;
    vs["colorOrder"] = "GRB";
    vs["brightness"] = 80;
    vs["gamma"] = 2.2;
    port["virtualStrings"].append(vs);
    return port;
}

struct Setup {
    std::vector<uint8_t> channels = std::vector<uint8_t>(KIVD_MAX_CHANNELS + SEQUENCE_RESERVED_BYTES);
    std::string tag = "/dev/shm/kiv-bench-" + std::to_string(getpid());
    std::unique_ptr<PiGPIOPinProvider> pins;
    std::unique_ptr<RPIWS281xOutput> ws281x;
    std::unique_ptr<SpixelsOutput> spixels;
    std::vector<std::unique_ptr<PixelString>> ws281xPorts, spixelsPorts;

    Setup() {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        for (size_t i = 0; i < channels.size(); i++) {
            channels[i] = uint8_t(i * 31 + 7);
        }
        setenv("KIV_GPIO_SIM_FILE", (tag + "-gpio").c_str(), 1);
        setenv("KIV_WS281X_SIM_FILE", (tag + "-ws281x").c_str(), 1);
        setenv("KIV_SPIXELS_SIM_FILE", (tag + "-spixels").c_str(), 1);
        mkdir(tag.c_str(), 0755);
        setenv("KIV_SPI_SIM_DIR", tag.c_str(), 1);
        mkdir((tag + "/tmp").c_str(), 0755);
        mkdir((tag + "/tmp/strings").c_str(), 0755);
        setenv("KIV_MEDIA_DIR", tag.c_str(), 1);
        Json::Value board;
        for (const char* pin : {"P1-12", "P1-35", "spidev0.0", "spidev0.1"}) {
            board["outputs"].append(Json::Value(Json::objectValue))["pin"] = pin;
        }
        SaveJsonToFile(board, tag + "/tmp/strings/Bench.json");
        pins = std::make_unique<PiGPIOPinProvider>(PiGPIOPinProvider::Backend::Simulated);
        PinCapabilities::InitGPIO("bench", pins.get());

        Json::Value config;
        config["subType"] = "Bench";
        for (int p = 0; p < 4; p++) {
            config["outputs"].append(Port(p, p * PIXELS * 3));
        }
        ws281x = std::make_unique<RPIWS281xOutput>(0, 4 * PIXELS * 3);
        ws281x->Init(config);
        ws281xPorts = PortsOf(config);
        config["outputs"] = Json::Value(Json::arrayValue);
        for (int p = 0; p < 16; p++) {
            config["outputs"].append(Port(p, 100000 + p * PIXELS * 3));
        }
        spixels = std::make_unique<SpixelsOutput>(0, 16 * PIXELS * 3);
        spixels->Init(config);
        spixelsPorts = PortsOf(config);
    }
    ~Setup() {
        ws281x->Close();
        spixels->Close();
        for (const char* end : {"-gpio", "-ws281x", "-spixels", "/tmp/strings/Bench.json", "/kiv-spidev0.0",
                                "/kiv-spidev0.1"}) {
            unlink((tag + end).c_str());
        }
        rmdir((tag + "/tmp/strings").c_str());
        rmdir((tag + "/tmp").c_str());
        rmdir(tag.c_str());
    }
    static std::vector<std::unique_ptr<PixelString>> PortsOf(const Json::Value& config) {
        std::vector<std::unique_ptr<PixelString>> ports;
        for (const Json::Value& port : config["outputs"]) {
            ports.push_back(std::make_unique<PixelString>(false));
            ports.back()->Init(port);
        }
        return ports;
    }
};

Setup& setup() {
    static Setup s;
    return s;
}

void PrepData(benchmark::State& state, ChannelOutput* output) {
    for (auto _ : state) {
        output->PrepData(setup().channels.data());
        benchmark::ClobberMemory();
    }
}

void Prepare(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    PrepareEveryPort(state, setup().channels.data(), ports);
}

void Gather(benchmark::State& state, const std::vector<std::unique_ptr<PixelString>>& ports) {
    const uint8_t* data = setup().channels.data();
    for (auto _ : state) {
        for (const auto& port : ports) {
            uint8_t* __restrict out = port->OutputBuffer();
            const int32_t* __restrict map = port->OutputMap().data();
            for (int k = 0; k < port->OutputChannels(); k++) {
                out[k] = data[map[k]];
            }
            benchmark::DoNotOptimize(out);
        }
        benchmark::ClobberMemory();
    }
}

} // namespace

BENCHMARK_CAPTURE(PrepData, RPIWS281x, setup().ws281x.get());
BENCHMARK_CAPTURE(Prepare, RPIWS281x, setup().ws281xPorts);
BENCHMARK_CAPTURE(Gather, RPIWS281x, setup().ws281xPorts);
BENCHMARK_CAPTURE(PrepData, Spixels, setup().spixels.get());
BENCHMARK_CAPTURE(Prepare, Spixels, setup().spixelsPorts);
BENCHMARK_CAPTURE(Gather, Spixels, setup().spixelsPorts);

KIV_BENCHMARK_MAIN_WITH_RATIOS({"PrepData/RPIWS281x", "Prepare/RPIWS281x"},
                               {"PrepData/RPIWS281x", "Gather/RPIWS281x"},
                               {"PrepData/Spixels", "Prepare/Spixels"},
                               {"PrepData/Spixels", "Gather/Spixels"})
