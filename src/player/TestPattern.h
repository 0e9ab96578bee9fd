#pragma once
// One channel test pattern as "Test Start" or a "/kivd/testing" request asks for it, and its
// drawing into the channel data. Arguments, in order:
//   cycle time  milliseconds a cycle of the pattern lasts (10 to 60000; anything else: 1000)
//   pattern     "Output Specific": each output that supports testing draws its own pattern
//                 (panels through their layouts, pixel ports through their maps);
//               "RGB Chase": node n of the target shows red, green or blue by (n + cycle) mod 3;
//               "RGB Cycle": every node of the target red, then green, then blue, cycle by cycle;
//               "RGB Fill":  every node of the target the colour of the fourth argument
//   target      for "Output Specific": "--ALL--" or a comma-separated list of output types
//               (GetOutputType texts); otherwise "--ALL--" (every output's channels) or a
//               comma-separated list of 1-based channel ranges "first-last" or single channels
//   extra       for "Output Specific": the output's test type (a number, default 1); for
//               "RGB Fill": the colour "#RRGGBB" or "RRGGBB" (default white); otherwise unused
// Nodes are counted in threes from the first channel of each range. A value type, copied freely.

#include <jsoncpp/json/json.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

class TestPattern {
public:
    enum class Kind { OutputSpecific, RGBChase, RGBCycle, RGBFill };

    // False with the reason in error when the arguments name no pattern or a bad target or colour.
    static bool Parse(const std::vector<std::string>& args, TestPattern& pattern, std::string& error);

    // Draws cycle cycleNum (percent of it gone) into the channel buffer.
    void Draw(unsigned char* channelData, int cycleNum, float percentOfCycle) const;
    // Undoes what Draw leaves behind: the outputs are told the test is over and the channels drawn
    // over are blanked, so no stale pattern stays on the lights.
    void Clear(unsigned char* channelData) const;

    Kind kind = Kind::RGBCycle;
    int cycleMS = 1000;
    std::vector<std::string> args; // as given, for the status answer

private:
    using Ranges = std::vector<std::pair<unsigned int, unsigned int>>; // first (0-based), count
    Ranges targetRanges() const;
    void fill(unsigned char* channelData, const uint8_t rgb[3]) const;
    void chase(unsigned char* channelData, int cycleNum) const;

    std::set<std::string> outputTypes; // Output Specific: empty for every output
    int testType = 1;
    bool allChannels = true; // channel patterns: every output's channels
    Ranges ranges;           // channel patterns otherwise
    uint8_t colour[3] = {255, 255, 255};
    Json::Value config;
};
