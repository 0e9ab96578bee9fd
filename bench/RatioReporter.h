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
    explicit RatioReporter(std::vector<std::pair<std::string, std::string>> pairs)
        : ratios(std::move(pairs)) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const auto& run : runs) {
            realTime[run.benchmark_name()] = run.GetAdjustedRealTime();
            cpuTime[run.benchmark_name()] = run.GetAdjustedCPUTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        // With --benchmark_repetitions the runs are named NAME_median and so on; compare medians then.
        for (const auto& [path, bound] : ratios) {
            for (const char* suffix : {"", "_median"}) {
                printRatio(path + suffix, bound + suffix);
            }
        }
    }

private:
    void printRatio(const std::string& path, const std::string& bound) {
        if (realTime.count(path) && realTime.count(bound) && realTime[bound] > 0 && cpuTime[bound] > 0) {
            std::printf("ratio %s / %s = %.2f (real time), %.2f (cpu time)\n", path.c_str(), bound.c_str(),
                        realTime[path] / realTime[bound], cpuTime[path] / cpuTime[bound]);
        }
    }

    std::vector<std::pair<std::string, std::string>> ratios;
    std::map<std::string, double> realTime;
    std::map<std::string, double> cpuTime;
};

// main() for a benchmark program whose results are compared pairwise.
#define KIV_BENCHMARK_MAIN_WITH_RATIOS(...)                                                                  \
    int main(int argc, char** argv) {                                                                        \
        benchmark::Initialize(&argc, argv);                                                                  \
        RatioReporter reporter(std::vector<std::pair<std::string, std::string>>{__VA_ARGS__});               \
        benchmark::RunSpecifiedBenchmarks(&reporter);                                                        \
        benchmark::Shutdown();                                                                               \
        return 0;                                                                                            \
    }
