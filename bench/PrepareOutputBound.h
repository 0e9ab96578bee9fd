#pragma once
// The pixel-string bound shared by the pixel benchmarks: every port's prepareOutput over the same
// channel data, once per iteration.

#include "channeloutput/PixelString.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

inline void PrepareEveryPort(benchmark::State& state, const uint8_t* channels,
                             const std::vector<std::unique_ptr<PixelString>>& ports) {
    for (auto _ : state) {
        for (const auto& port : ports) {
            benchmark::DoNotOptimize(port->prepareOutput(channels));
        }
        benchmark::ClobberMemory();
    }
}
