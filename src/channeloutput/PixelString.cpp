#include "PixelString.h"

#include "OutputMonitor.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>

const char* const SMART_RECEIVER_LABELS[SMART_RECEIVER_COUNT] = {
    "virtualStrings",  "virtualStringsB", "virtualStringsC",
    "virtualStringsD", "virtualStringsE", "virtualStringsF",
};

namespace {

// Members of something that may not be an object at all: a wrong type reads as missing.
const Json::Value& member(const Json::Value& object, const char* key) {
    static const Json::Value missing;
    return object.isObject() && object.isMember(key) ? object[key] : missing;
}

bool hasMember(const Json::Value& object, const char* key) {
    return object.isObject() && object.isMember(key);
}

struct Check {
    bool (*failed)(const VirtualString&);
    const char* text;
};

// Checked before a zero pixel count ends validation.
const Check COUNT_CHECKS[] = {
    {[](const VirtualString& vs) { return vs.pixelCount < 0; }, "vs.pixelCount < 0"},
    {[](const VirtualString& vs) { return vs.pixelCount > MAX_PIXEL_STRING_LENGTH; },
     "vs.pixelCount > MAX_PIXEL_STRING_LENGTH"},
};

// Checked, in this order, for strings that have pixels.
const Check LAYOUT_CHECKS[] = {
    {[](const VirtualString& vs) { return vs.startChannel < 0; }, "vs.startChannel < 0"},
    {[](const VirtualString& vs) { return vs.startChannel > (int)KIVD_MAX_CHANNELS; },
     "vs.startChannel > KIVD_MAX_CHANNELS"},
    {[](const VirtualString& vs) { return vs.startNulls < 0; }, "vs.startNulls < 0"},
    {[](const VirtualString& vs) { return vs.startNulls > MAX_PIXEL_STRING_LENGTH; },
     "vs.startNulls > MAX_PIXEL_STRING_LENGTH"},
    {[](const VirtualString& vs) { return vs.endNulls < 0; }, "vs.endNulls < 0"},
    {[](const VirtualString& vs) { return vs.endNulls > MAX_PIXEL_STRING_LENGTH; },
     "vs.endNulls > MAX_PIXEL_STRING_LENGTH"},
    {[](const VirtualString& vs) {
         return vs.startNulls + vs.pixelCount + vs.endNulls > MAX_PIXEL_STRING_LENGTH;
     },
     "(vs.startNulls + vs.pixelCount + vs.endNulls) > MAX_PIXEL_STRING_LENGTH"},
    {[](const VirtualString& vs) { return vs.reverse < 0; }, "vs.reverse < 0"},
    {[](const VirtualString& vs) { return vs.reverse > 1; }, "vs.reverse > 1"},
    {[](const VirtualString& vs) { return vs.groupCount < 0; }, "vs.groupCount < 0"},
    {[](const VirtualString& vs) { return vs.groupCount > vs.pixelCount; }, "vs.groupCount > vs.pixelCount"},
    {[](const VirtualString& vs) { return vs.zigZag > vs.pixelCount; }, "vs.zigZag > vs.pixelCount"},
    {[](const VirtualString& vs) { return vs.zigZag < 0; }, "vs.zigZag < 0"},
};

template <size_t N> bool passes(const Check (&checks)[N], const VirtualString& vs) {
    for (const Check& check : checks) {
        if (check.failed(vs)) {
            LogErr(LG_CHANNELOUT, "Invalid PixelString Config %s\n", check.text);
            WarningHolder::AddWarning(std::string("Invalid PixelString Config: ") + check.text);
            return false;
        }
    }
    return true;
}

float clampedGamma(double value) {
    float gamma = std::isnan(value) ? 0.0f : static_cast<float>(value);
    return gamma < 0.01f ? 0.01f : gamma > 50.0f ? 50.0f : gamma;
}

void makePlaceholder(VirtualString& vs) {
    vs.colorOrder = ColorOrderFromString("RGB");
    vs.zigZag = 0;
    vs.groupCount = 1;
    vs.reverse = 0;
    vs.startNulls = 0;
    vs.endNulls = 0;
    vs.startChannel = 0;
    vs.setIdentityBrightnessMap();
}

// Four letters carry a white channel, first when the text starts with W and last otherwise; a single
// letter is a one-channel node whatever the letter.
std::string colourLetters(const std::string& text, VirtualString& vs) {
    if (text.size() == 1) {
        return std::string(1, 'W');
    }
    if (text.size() != 4) {
        return text;
    }
    bool whiteFirst = std::toupper(static_cast<unsigned char>(text[0])) == 'W';
    vs.whiteOffset = whiteFirst ? 0 : 3;
    return whiteFirst ? text.substr(1) : text.substr(0, 3);
}

VirtualString receiverString(int type, int receiver) {
    // Type 1 receivers are addressed with marker runs, type 2 with a run of zero nodes; type 3
    // receivers take no in-band nodes, their string only carries the receiver number.
    return VirtualString(type == 1 ? receiver : type == 2 ? 3 : 4, receiver);
}

} // namespace

PixelString::PixelString(bool supportsSmartReceivers) : smartReceivers(supportsSmartReceivers) {}

PixelString::~PixelString() {
    if (portRegistered) {
        OutputMonitor::INSTANCE.RemovePortConfiguration(portNumber, portConfig);
    }
}

bool PixelString::ReadVirtualString(const Json::Value& config, VirtualString& vs) const {
    vs.startChannel = JsonInt(member(config, "startChannel"));
    vs.pixelCount = JsonInt(member(config, "pixelCount"));
    vs.groupCount = JsonInt(member(config, "groupCount"));
    vs.reverse = JsonInt(member(config, "reverse"));
    vs.startNulls = JsonInt(member(config, "nullNodes"));
    if (hasMember(config, "description")) {
        vs.description = JsonString(config["description"]);
    }
    if (hasMember(config, "endNulls")) {
        vs.endNulls = JsonInt(config["endNulls"]);
    }
    vs.zigZag = JsonInt(member(config, "zigZag"));
    vs.brightness = JsonInt(member(config, "brightness"));
    vs.gamma = clampedGamma(JsonDouble(member(config, "gamma")));
    if (static_cast<unsigned>(vs.brightness) > 100) {
        vs.brightness = 100;
    }

    if (!passes(COUNT_CHECKS, vs)) {
        return false;
    }
    if (vs.pixelCount == 0) {
        makePlaceholder(vs);
        return true;
    }
    if (!passes(LAYOUT_CHECKS, vs)) {
        return false;
    }

    vs.colorOrder = ColorOrderFromString(colourLetters(JsonString(member(config, "colorOrder")), vs));
    if (vs.groupCount == 1) {
        vs.groupCount = 0;
    }
    if (vs.zigZag == 1 || vs.zigZag == vs.pixelCount) {
        vs.zigZag = 0;
    }
    vs.buildBrightnessMap();
    return true;
}

void PixelString::AddVirtualString(const VirtualString& vs) {
    virtualStrings.push_back(vs);
    outputChannels += (vs.startNulls + vs.pixelCount + vs.endNulls) * vs.channelsPerNode();
}

void PixelString::AddNullPixelString() {
    VirtualString vs;
    vs.startChannel = PIXEL_NULL_CHANNEL;
    vs.pixelCount = 1;
    AddVirtualString(vs);
}

// Differential types 1-3, 4-9 and 10 and up select the three receiver families; the value within
// the family is the number of receivers daisy-chained on the port.
int PixelString::readReceiverCount(const Json::Value& config) {
    int type =
        smartReceivers && hasMember(config, "differentialType") ? JsonInt(config["differentialType"]) : 0;
    int receivers = 1;
    smartReceiverType = type >= 10 ? 3 : type >= 4 ? 2 : type >= 1 ? 1 : 0;
    if (smartReceiverType != 0) {
        receivers = smartReceiverType == 1 ? type : smartReceiverType == 2 ? type - 3 : type - 9;
    }
    smartReceivers = smartReceiverType != 0;
    if (receivers > SMART_RECEIVER_COUNT) {
        LogWarn(LG_CHANNELOUT, "Port %d: differential type %d gives %d receivers, using the first %d\n",
                portNumber + 1, type, receivers, SMART_RECEIVER_COUNT);
        receivers = SMART_RECEIVER_COUNT;
    }
    return receivers;
}

bool PixelString::addStringList(const Json::Value& list) {
    if (!list.isArray()) {
        return true;
    }
    for (const Json::Value& entry : list) {
        VirtualString vs;
        if (!ReadVirtualString(entry, vs)) {
            return false;
        }
        AddVirtualString(vs);
    }
    return true;
}

// A receiver whose own list is empty still needs its receiver string and one unlit pixel, so the
// receivers behind it keep their place in the chain; only the last one can be dropped entirely.
bool PixelString::addReceiver(const Json::Value& config, int receiver, bool last, bool& addedChannels) {
    size_t stringsBefore = virtualStrings.size();
    int channelsBefore = outputChannels;
    AddVirtualString(receiverString(smartReceiverType, receiver));
    int ownStart = outputChannels;
    if (!addStringList(member(config, SMART_RECEIVER_LABELS[receiver]))) {
        return false;
    }
    addedChannels = outputChannels > ownStart;
    if (addedChannels) {
        return true;
    }
    if (last) {
        virtualStrings.resize(stringsBefore);
        outputChannels = channelsBefore;
    } else {
        AddNullPixelString();
    }
    return true;
}

bool PixelString::Init(const Json::Value& config, const Json::Value* pinConfig) {
    portNumber = JsonInt(member(config, "portNumber"));
    outputChannels = 0;
    int receivers = readReceiverCount(config);
    if (smartReceiverType == 1) {
        AddVirtualString(receiverString(1, 0));
    }
    int mainStart = outputChannels;
    if (!addStringList(member(config, "virtualStrings"))) {
        return false;
    }
    bool ownChannels = outputChannels > mainStart;
    if (!ownChannels && (smartReceiverType == 1 || smartReceiverType == 2)) {
        AddNullPixelString();
    }
    for (int receiver = 1; receiver < receivers; receiver++) {
        bool added = false;
        if (!addReceiver(config, receiver, receiver == receivers - 1, added)) {
            return false;
        }
        ownChannels = ownChannels || added;
    }
    if (!ownChannels) {
        virtualStrings.clear();
        outputChannels = 0;
        virtualStrings.emplace_back();
    }

    if (pinConfig) {
        // The monitor reads members of it, which a value of another type would not survive.
        portConfig = pinConfig->isObject() ? *pinConfig : Json::Value(Json::objectValue);
        OutputMonitor::INSTANCE.AddPortConfiguration(portNumber, portConfig, outputChannels > 0);
        portRegistered = true;
    }
    BuildMap();
    if (outputChannels > 0) {
        portMarks.push_back({portNumber, outputChannels, 0, 0});
    }
    if (pinConfig && JsonBool(member(*pinConfig, "inverted"))) {
        invertOutput();
    }
    return true;
}

void PixelString::BuildMap() {
    outputMap.assign(outputChannels, PIXEL_NULL_CHANNEL);
    brightnessMaps.assign(outputChannels, nullptr);
    int position = 0;
    for (VirtualString& vs : virtualStrings) {
        int perNode = vs.channelsPerNode();
        vs.chMap = outputMap.data() + position;
        SetupMap(position + vs.startNulls * perNode, vs);
        vs.chanCount = (vs.startNulls + vs.pixelCount + vs.endNulls) * perNode;
        uint8_t* table = vs.brightnessMap;
        std::fill_n(brightnessMaps.begin() + position, vs.chanCount, table);
        position += vs.chanCount;
    }
    planStraightCopies();
    outputBuffer.assign(std::max(outputChannels, MIN_PIXEL_STRING_BUFFER), 0);
}

void PixelString::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "        port number      : %d\n", portNumber);
    int number = 0;
    for (const VirtualString& vs : virtualStrings) {
        if (vs.isSmartReceiver()) {
            continue;
        }
        LogDebug(LG_CHANNELOUT, "        --- Virtual String #%d ---\n", ++number);
        LogDebug(LG_CHANNELOUT, "        description   : %s\n", vs.description.c_str());
        LogDebug(LG_CHANNELOUT, "        start channel : %d\n", channelOffset + vs.startChannel);
        LogDebug(LG_CHANNELOUT, "        pixel count   : %d\n", vs.pixelCount);
        LogDebug(LG_CHANNELOUT, "        group count   : %d\n", vs.groupCount);
        LogDebug(LG_CHANNELOUT, "        reverse       : %d\n", vs.reverse);
        LogDebug(LG_CHANNELOUT, "        color order   : %s%s\n", vs.whiteOffset == 0 ? "W" : "",
                 ColorOrderToString(vs.colorOrder).c_str());
        LogDebug(LG_CHANNELOUT, "        start nulls   : %d\n", vs.startNulls);
        LogDebug(LG_CHANNELOUT, "        end nulls     : %d\n", vs.endNulls);
        LogDebug(LG_CHANNELOUT, "        zig zag       : %d\n", vs.zigZag);
        LogDebug(LG_CHANNELOUT, "        brightness    : %d\n", vs.brightness);
        LogDebug(LG_CHANNELOUT, "        gamma         : %.3f\n", vs.gamma);
    }
}
