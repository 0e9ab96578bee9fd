#pragma once
// Console reporter that also prints how a measured path compares with its bound, both measured in
// the same run: "ratio PATH / BOUND = x.xx" for each pair given.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RatioReporter : public benchmark::ConsoleReporter {
public:
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs) : ratios(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            nsPerIteration[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        for (const auto& [path, bound] : ratios) {
            if (nsPerIteration.count(path) && nsPerIteration.count(bound) && nsPerIteration[bound] > 0) {
                std::printf("ratio %s / %s = %.2f\n", path.c_str(), bound.c_str(),
                            nsPerIteration[path] / nsPerIteration[bound]);
            }
        }
    }

private:
    std::vector<std::pair<std::string, std::string>> ratios;
    std::map<std::string, double> nsPerIteration;
};

// main() for a benchmark program whose results are compared pairwise.
#define KIV_BENCHMARK_MAIN_WITH_RATIOS(...)                                                                  \
    int main(int argc, char** argv) {                                                                        \
        benchmark::Initialize(&argc, argv);                                                                  \
        RatioReporter reporter({__VA_ARGS__});                                                               \
        benchmark::RunSpecifiedBenchmarks(&reporter);                                                        \
        benchmark::Shutdown();                                                                               \
        return 0;                                                                                            \
    }
