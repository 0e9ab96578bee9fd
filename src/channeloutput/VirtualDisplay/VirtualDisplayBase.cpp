#include "VirtualDisplayBase.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <algorithm>
#include <fstream>

namespace {

// Lines listed one by one in the log; past these only their count is given.
constexpr size_t LOGGED_PROBLEMS = 10;

void warn(const std::string& text) {
    LogWarn(LG_CHANNELOUT, "VirtualDisplay: %s\n", text.c_str());
    WarningHolder::AddWarning("VirtualDisplay: " + text);
}

void reportProblems(const std::vector<std::string>& problems) {
    for (size_t i = 0; i < problems.size() && i < LOGGED_PROBLEMS; i++) {
        LogWarn(LG_CHANNELOUT, "VirtualDisplay: virtualdisplay.csv %s\n", problems[i].c_str());
    }
    if (!problems.empty()) {
        WarningHolder::AddWarning("VirtualDisplay: virtualdisplay.csv: " + std::to_string(problems.size()) +
                                  " lines skipped, the first at " + problems.front());
    }
}

} // namespace

VirtualDisplayBaseOutput::VirtualDisplayBaseOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {}

VirtualDisplayBaseOutput::~VirtualDisplayBaseOutput() = default;

std::string VirtualDisplayBaseOutput::LayoutPath() {
    return getKIVMediaDir("/config/virtualdisplay.csv");
}

int VirtualDisplayBaseOutput::Init(Json::Value config) {
    width = JsonInt(config["width"]);
    height = JsonInt(config["height"]);
    if (width < 1 || height < 1) {
        LogErr(LG_CHANNELOUT, "VirtualDisplay: size %dx%d is not usable\n", width, height);
        return 0;
    }
    return ChannelOutput::Init(config);
}

int VirtualDisplayBaseOutput::Close() {
    picture.clear();
    picture.shrink_to_fit();
    return ChannelOutput::Close();
}

bool VirtualDisplayBaseOutput::InitializePixelMap() {
    std::ifstream in(LayoutPath());
    if (!in) {
        LogErr(LG_CHANNELOUT, "VirtualDisplay: cannot read the layout %s\n", LayoutPath().c_str());
        WarningHolder::AddWarning("VirtualDisplay: cannot read the layout " + LayoutPath());
        return false;
    }
    VirtualDisplayLayout layout;
    std::vector<std::string> problems;
    bool sized = ParseVirtualDisplayLayout(in, layout, problems);
    reportProblems(problems);
    if (!sized) {
        LogErr(LG_CHANNELOUT, "VirtualDisplay: %s has no usable size line\n", LayoutPath().c_str());
        return false;
    }
    addLights(layout);
    LogDebug(LG_CHANNELOUT, "VirtualDisplay: %zu lights on %dx%d\n", lights.size(), width, height);
    return true;
}

// Positions scale from the layout's size to the picture's; channels must lie in the buffer.
void VirtualDisplayBaseOutput::addLights(const VirtualDisplayLayout& layout) {
    lights.clear();
    size_t outside = 0;
    for (const VirtualDisplayLight& given : layout.lights) {
        if (given.startChannel < m_startChannel || given.startChannel + given.channels > KIVD_MAX_CHANNELS) {
            outside++;
            continue;
        }
        Light light;
        light.x = static_cast<int>(1LL * given.x * width / layout.width);
        light.y = static_cast<int>(1LL * given.y * height / layout.height);
        light.offset = static_cast<unsigned int>(given.startChannel - m_startChannel);
        light.channels = given.channels;
        light.colorType = given.colorType;
        std::copy(given.color, given.color + 3, light.color);
        lights.push_back(light);
    }
    if (outside) {
        warn(std::to_string(outside) + " lights skipped: their channels are not within channels " +
             std::to_string(m_startChannel + 1) + "-" + std::to_string(KIVD_MAX_CHANNELS));
    }
}

void VirtualDisplayBaseOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "VirtualDisplayBaseOutput::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "    width         : %d\n", width);
    LogDebug(LG_CHANNELOUT, "    height        : %d\n", height);
    LogDebug(LG_CHANNELOUT, "    pixelSize     : %d\n", pixelSize);
    LogDebug(LG_CHANNELOUT, "    bytesPerPixel : %d\n", bytesPerPixel);
    LogDebug(LG_CHANNELOUT, "    lights        : %zu\n", lights.size());
    ChannelOutput::DumpConfig();
}

void VirtualDisplayBaseOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    std::vector<std::pair<long long, long long>> spans;
    for (const Light& light : lights) {
        long long first = 1LL * m_startChannel + light.offset;
        spans.emplace_back(first, first + light.channels - 1);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 0; i < spans.size();) {
        long long first = spans[i].first;
        long long last = spans[i].second;
        for (i++; i < spans.size() && spans[i].first <= last + 1; i++) {
            last = std::max(last, spans[i].second);
        }
        addRange(static_cast<int>(first), static_cast<int>(last));
    }
}
