#include "TestPattern.h"

#include "channeloutput/ChannelOutput.h"
#include "channeloutput/ChannelOutputSetup.h"
#include "common/Common.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {
constexpr const char* ALL = "--ALL--";
constexpr int DEFAULT_CYCLE_MS = 1000;

// Whole decimal text only, so "12abc" or "" is refused rather than read as a number.
bool ParseNumber(const std::string& text, long long& value) {
    std::string t = trim(text);
    if (t.empty() || t.size() > 12) {
        return false;
    }
    char* end = nullptr;
    value = std::strtoll(t.c_str(), &end, 10);
    return *end == '\0';
}

bool ParseKind(const std::string& name, TestPattern::Kind& kind) {
    static const std::pair<const char*, TestPattern::Kind> NAMES[] = {
        {"Output Specific", TestPattern::Kind::OutputSpecific},
        {"RGB Chase", TestPattern::Kind::RGBChase},
        {"RGB Cycle", TestPattern::Kind::RGBCycle},
        {"RGB Fill", TestPattern::Kind::RGBFill},
    };
    for (const auto& [text, value] : NAMES) {
        if (name == text) {
            kind = value;
            return true;
        }
    }
    return false;
}

// "first-last" or "channel", 1-based and inside the channel buffer.
bool ParseRange(const std::string& text, std::pair<unsigned int, unsigned int>& range) {
    std::vector<std::string> ends = split(text, '-');
    long long first = 0, last = 0;
    if (ends.empty() || ends.size() > 2 || !ParseNumber(ends[0], first) ||
        !ParseNumber(ends.size() == 2 ? ends[1] : ends[0], last)) {
        return false;
    }
    if (first < 1 || last < first || last > KIVD_MAX_CHANNELS) {
        return false;
    }
    range = {unsigned(first - 1), unsigned(last - first + 1)};
    return true;
}

bool ParseColour(const std::string& text, uint8_t rgb[3]) {
    std::string hex = trim(text);
    if (!hex.empty() && hex[0] == '#') {
        hex.erase(0, 1);
    }
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return false;
    }
    unsigned long value = std::strtoul(hex.c_str(), nullptr, 16);
    rgb[0] = uint8_t(value >> 16);
    rgb[1] = uint8_t(value >> 8);
    rgb[2] = uint8_t(value);
    return true;
}
} // namespace

bool TestPattern::Parse(const std::vector<std::string>& args, TestPattern& pattern, std::string& error) {
    TestPattern p;
    p.args = args;
    long long cycle = 0;
    if (!args.empty() && ParseNumber(args[0], cycle) && cycle >= 10 && cycle <= 60000) {
        p.cycleMS = int(cycle);
    } else {
        p.cycleMS = DEFAULT_CYCLE_MS;
    }
    std::string name = args.size() > 1 ? trim(args[1]) : "RGB Cycle";
    if (!ParseKind(name, p.kind)) {
        error = "Unknown test pattern '" + name + "'";
        return false;
    }
    std::string target = args.size() > 2 ? trim(args[2]) : ALL;
    std::string extra = args.size() > 3 ? trim(args[3]) : "";
    if (p.kind == Kind::OutputSpecific) {
        if (target != ALL && !target.empty()) {
            for (const std::string& type : split(target, ',')) {
                p.outputTypes.insert(trim(type));
            }
        }
        long long type = 1;
        if (!extra.empty() && !ParseNumber(extra, type)) {
            error = "Test type '" + extra + "' is not a number";
            return false;
        }
        p.testType = int(std::clamp(type, -1000000LL, 1000000LL));
    } else {
        p.allChannels = target == ALL || target.empty();
        for (const std::string& piece : p.allChannels ? std::vector<std::string>() : split(target, ',')) {
            std::pair<unsigned int, unsigned int> range;
            if (!ParseRange(piece, range)) {
                error = "Bad channel range '" + piece + "' (1-based first-last, up to " +
                        std::to_string(KIVD_MAX_CHANNELS) + ")";
                return false;
            }
            p.ranges.push_back(range);
        }
        if (p.kind == Kind::RGBFill && !extra.empty() && !ParseColour(extra, p.colour)) {
            error = "Bad colour '" + extra + "' (#RRGGBB)";
            return false;
        }
    }
    pattern = p;
    return true;
}

namespace {
// The part of a (first, count) range that lies inside the channel buffer, as [first, end).
std::pair<unsigned int, unsigned int> insideBuffer(const OutputRange& range) {
    unsigned int end =
        std::min<unsigned long long>(range.first + (unsigned long long)range.second, KIVD_MAX_CHANNELS);
    return {std::min(range.first, end), end};
}
} // namespace

TestPattern::Ranges TestPattern::targetRanges() const {
    return allChannels ? GetOutputRanges(true) : ranges;
}

void TestPattern::fill(unsigned char* channelData, const uint8_t rgb[3]) const {
    for (const auto& range : targetRanges()) {
        auto [first, end] = insideBuffer(range);
        for (unsigned int c = first; c < end; c++) {
            channelData[c] = rgb[(c - first) % 3];
        }
    }
}

void TestPattern::chase(unsigned char* channelData, int cycleNum) const {
    for (const auto& range : targetRanges()) {
        auto [first, end] = insideBuffer(range);
        for (unsigned int c = first; c < end; c++) {
            unsigned int node = (c - first) / 3;
            channelData[c] = (c - first) % 3 == (node + unsigned(cycleNum)) % 3 ? 255 : 0;
        }
    }
}

void TestPattern::Draw(unsigned char* channelData, int cycleNum, float percentOfCycle) const {
    static const uint8_t CYCLE[3][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
    switch (kind) {
    case Kind::OutputSpecific:
        OverlayOutputTestData(outputTypes, channelData, cycleNum, percentOfCycle, testType, config);
        break;
    case Kind::RGBChase:
        chase(channelData, cycleNum);
        break;
    case Kind::RGBCycle:
        fill(channelData, CYCLE[cycleNum % 3]);
        break;
    case Kind::RGBFill:
        fill(channelData, colour);
        break;
    }
}

void TestPattern::Clear(unsigned char* channelData) const {
    static const uint8_t BLACK[3] = {0, 0, 0};
    if (kind == Kind::OutputSpecific) {
        // Test type 0 ends the pattern of outputs that keep painting it until told otherwise.
        OverlayOutputTestData(outputTypes, channelData, -1, 0.0f, 0, config);
        for (const auto& range : GetTestedOutputRanges(outputTypes)) {
            auto [first, end] = insideBuffer(range);
            std::memset(channelData + first, 0, end - first);
        }
        return;
    }
    fill(channelData, BLACK);
}
