// One frame (PrepareChannelData + SendChannelData) over 64 outputs that do nothing, against a walk
// of a plain std::vector of the same 64 outputs; and a count of allocations made per frame.

#include "channeloutput/ChannelOutputSetup.h"
#include "common/Log.h"
#include "player/PluginManager.h"
#include "player/Sequence.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <new>
#include <vector>

static std::atomic<long> allocations{0};

// Kept out of line: GCC otherwise pairs an inlined call site with free() and reports a mismatch.
__attribute__((noinline)) void* operator new(size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept {
    std::free(p);
}

namespace {
constexpr int OUTPUTS = 64;

class NoopOutput : public ChannelOutput {
public:
    NoopOutput(unsigned start, unsigned count) : ChannelOutput(start, count) {}
    void PrepData(unsigned char*) override {}
    int SendData(unsigned char*) override { return 0; }
};

struct Setup {
    Setup() {
        std::string media = std::filesystem::temp_directory_path() / "kiv-bench-media";
        std::filesystem::create_directories(media + "/config");
        setenv("KIV_MEDIA_DIR", media.c_str(), 1);
        KIVLogger::INSTANCE.Init();
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        std::string list;
        for (int i = 0; i < OUTPUTS; i++) {
            list += (i ? "," : "") +
                    std::string("{\"type\":\"TestOutput\",\"enabled\":1,\"noop\":1,\"startChannel\":") +
                    std::to_string(1 + i * 512) + ",\"channelCount\":512}";
            plain.push_back(new NoopOutput(i * 512, 512));
        }
        std::string path = media + "/config/co-other.json";
        std::ofstream(path) << "{\"channelOutputs\":[" << list << "]}";
        PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
        ReloadChannelOutputsForFile(path);
        sequence = new Sequence();
    }
    std::vector<ChannelOutput*> plain;
};

Setup& setup() {
    static Setup s;
    return s;
}

void BM_RegistryFrame(benchmark::State& state) {
    Setup& s = setup();
    (void)s;
    char* data = reinterpret_cast<char*>(sequence->Data());
    // Counted apart from the timed loop, where the benchmark library itself may allocate.
    long before = allocations.load();
    for (int i = 0; i < 1000; i++) {
        PrepareChannelData(data);
        SendChannelData(data);
    }
    state.counters["allocs_in_1000_frames"] = static_cast<double>(allocations.load() - before);
    for (auto _ : state) {
        PrepareChannelData(data);
        SendChannelData(data);
    }
    state.counters["outputs"] = ChannelOutputCount();
}
BENCHMARK(BM_RegistryFrame);

void BM_PlainVectorWalk(benchmark::State& state) {
    Setup& s = setup();
    unsigned char* data = sequence->Data();
    for (auto _ : state) {
        for (ChannelOutput* o : s.plain) {
            o->PrepData(data);
        }
        for (ChannelOutput* o : s.plain) {
            o->SendData(data + o->GetStartChannel());
        }
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_PlainVectorWalk);
} // namespace

KIV_BENCHMARK_MAIN_WITH_RATIOS({"BM_RegistryFrame", "BM_PlainVectorWalk"})
