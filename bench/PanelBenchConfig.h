#pragma once
// What the panel benchmarks share: a panel matrix configuration of `outputs` chains of `chain`
// panels, every second one upside down and every third one GRB, with gamma 2.2; channel data that
// differs along the buffer; and the time-per-byte counter.

#include <benchmark/benchmark.h>
#include <jsoncpp/json/json.h>

#include <cstdint>
#include <vector>

inline Json::Value PanelMatrixBenchConfig(int outputs, int chain, int panelWidth, int panelHeight) {
    Json::Value config;
    config["panelWidth"] = panelWidth;
    config["panelHeight"] = panelHeight;
    config["gamma"] = "2.2";
    for (int o = 0; o < outputs; o++) {
        for (int c = 0; c < chain; c++) {
            Json::Value panel;
            panel["outputNumber"] = o;
            panel["panelNumber"] = c;
            panel["orientation"] = (c % 2) ? "U" : "N";
            panel["colorOrder"] = (c % 3) ? "RGB" : "GRB";
            panel["xOffset"] = c * panelWidth;
            panel["yOffset"] = o * panelHeight;
            config["panels"].append(panel);
        }
    }
    return config;
}

inline void FillBenchChannels(std::vector<uint8_t>& channels) {
    for (size_t i = 0; i < channels.size(); i++) {
        channels[i] = static_cast<uint8_t>(i * 31 + 7);
    }
}

// Bytes a second, and the time per byte as "per_byte".
inline void ReportPerByte(benchmark::State& state, int64_t bytes) {
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["per_byte"] =
        benchmark::Counter(static_cast<double>(bytes),
                           benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
