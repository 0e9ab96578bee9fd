// DPIPixelsOutput set-up: strings from the board's pin configuration, their data lines, latch
// banks, the framebuffer and its frame-rate check.

#include "DPIPixels.h"

#include "channeloutput/PixelStringTester.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"
#include "platform/CapeUtils.h"
#include "platform/DeviceNames.h"
#include "platform/PinCapabilities.h"

#include <algorithm>
#include <map>

namespace {

// Header pin of DPI data line D, for D = 0 to 23 (GPIO 4 + D).
const char* const DPI_PINS[DPIPixelsOutput::DATA_LINES] = {
    "P1-7",  "P1-29", "P1-31", "P1-26", "P1-24", "P1-21", "P1-19", "P1-23",
    "P1-32", "P1-33", "P1-8",  "P1-10", "P1-36", "P1-11", "P1-12", "P1-35",
    "P1-38", "P1-40", "P1-15", "P1-16", "P1-18", "P1-22", "P1-37", "P1-13"};

// The frame rates the display modes give, and the rows a string may have at each.
constexpr int ROWS_AT_40_FPS = 2400;
constexpr int ROWS_AT_20_FPS = 4800;
const char* const WARNING_LEAD = "DPIPixels:";

} // namespace

DPIPixelsOutput::DPIPixelsOutput(unsigned int startChannel, unsigned int channelCount)
    : ChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "DPIPixelsOutput::DPIPixelsOutput(%u, %u)\n", startChannel, channelCount);
    bitPos.fill(-1);
}

DPIPixelsOutput::~DPIPixelsOutput() {
    LogDebug(LG_CHANNELOUT, "DPIPixelsOutput::~DPIPixelsOutput()\n");
    for (PixelString* ps : strings) {
        delete ps;
    }
    delete fb;
}

// Data lines are numbered from the most significant bit of each colour byte.
int DPIPixelsOutput::GetDPIPinBitPosition(const std::string& pin) {
    for (int d = 0; d < DATA_LINES; d++) {
        if (pin == DPI_PINS[d]) {
            return 8 * (d / 8) + 7 - (d % 8);
        }
    }
    return -1;
}

int DPIPixelsOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "DPIPixelsOutput::Init(JSON)\n");
    std::string subType = JsonString(config["subType"]);
    if (subType.empty()) {
        subType = "DPIPixels";
    }
    Json::Value pinConfig;
    if (!CapeUtils::getStringConfig(subType, pinConfig)) {
        LogErr(LG_CHANNELOUT, "Could not read pin configuration for %s\n", subType.c_str());
        WarningHolder::AddWarning("DPIPixels: Could not read pin configuration for " + subType);
        return false;
    }
    config["base"] = pinConfig;
    bitPos.fill(-1);
    if (!createStrings(config, pinConfig)) {
        return false;
    }
    latchMode = pinConfig["latches"].isArray() && pinConfig["latches"].size() == 3;
    if (latchMode) {
        setupLatches(pinConfig, pinNames);
    }
    assignBitPositions();
    enablePins(pinNames);
    buildBanks();

    std::string named = chooseDevice(config);
    if (!CheckDeviceName(named, "DPIPixels") || !openFrameBuffer(named)) {
        return false;
    }
    if (!FrameBufferIsConfigured()) {
        LogErr(LG_CHANNELOUT, "Error: FrameBuffer %s is not configured for DPI Pixels.\n", device.c_str());
        WarningHolder::AddWarning("DPIPixels: FrameBuffer " + device + " is not configured for DPI Pixels");
        return false;
    }
    LogDebug(LG_CHANNELOUT, "The framebuffer device %s was opened successfully.\n", device.c_str());
    if (protocol == "ws2811" && !InitializeWS281x()) {
        LogErr(LG_CHANNELOUT, "Error initializing pixel protocol, Channel Output will be disabled.\n");
        WarningHolder::AddWarning("DPIPixels: Error initializing pixel protocol");
        return false;
    }
    PixelString::AutoCreateOverlayModels(strings);
    return ChannelOutput::Init(config);
}

// An entry without a pin of its own takes the pin of the output it shares.
void DPIPixelsOutput::readPinNames(const Json::Value& pinConfig, std::vector<std::string>& names) {
    const Json::Value& outputs = pinConfig["outputs"];
    for (Json::ArrayIndex i = 0; i < outputs.size(); i++) {
        const Json::Value& entry = outputs[i];
        std::string pin = entry.isObject() ? JsonString(entry["pin"]) : "";
        if (pin.empty() && entry.isObject() && entry.isMember("sharedOutput")) {
            int k = JsonInt(entry["sharedOutput"], -1);
            if (k >= 0 && k < (int)outputs.size() && outputs[k].isObject()) {
                pin = JsonString(outputs[k]["pin"]);
            }
        }
        names.push_back(pin);
    }
}

bool DPIPixelsOutput::createStrings(Json::Value& config, Json::Value& pinConfig) {
    pinNames.clear();
    std::string where = "DPIPixels string configuration " + JsonString(config["subType"], "DPIPixels");
    if (!ConfigValueIs(pinConfig["outputs"], Json::arrayValue, where, "outputs", LG_CHANNELOUT) ||
        (!config["outputs"].isNull() &&
         !ConfigValueIs(config["outputs"], Json::arrayValue, "DPIPixels output", "outputs", LG_CHANNELOUT))) {
        return false;
    }
    readPinNames(pinConfig, pinNames);
    Json::Value& outputs = pinConfig["outputs"];
    for (Json::ArrayIndex i = 0; i < outputs.size() && i < (Json::ArrayIndex)MAX_STRINGS; i++) {
        auto* ps = new PixelString(true);
        strings.push_back(ps);
        if (!ps->Init(config["outputs"][i], &outputs[i])) {
            return false;
        }
        longestString = std::max(longestString, ps->OutputChannels());
    }
    if (outputs.size() > (Json::ArrayIndex)MAX_STRINGS) {
        LogWarn(LG_CHANNELOUT, "DPIPixels: only the first %d of %u outputs are used\n", MAX_STRINGS,
                outputs.size());
    }
    stringCount = (int)strings.size();
    pinNames.resize(stringCount);
    return true;
}

int DPIPixelsOutput::bankOfString(int index) const {
    if (!latchMode || index < firstStringInBank1) {
        return 0;
    }
    return index < firstStringInBank2 ? 1 : 2;
}

// Each bank slot keeps one data line, so only a slot's first naming counts, and a slot past the
// 24 lines gets none: later banks repeat the first bank's pins.
void DPIPixelsOutput::assignBitPositions() {
    for (int i = 0; i < stringCount; i++) {
        std::string own = JsonString(strings[i]->PortConfig()["pin"]);
        if (own.empty() || own[0] != 'P') {
            continue;
        }
        int bank = bankOfString(i);
        int slot = i - (bank == 0 ? 0 : bank == 1 ? firstStringInBank1 : firstStringInBank2);
        if (slot >= DATA_LINES) {
            LogWarn(LG_CHANNELOUT, "DPIPixels: output %d has no data line left in its bank\n", i + 1);
            continue;
        }
        if (bank == 0 || bitPos[slot] == -1) {
            bitPos[slot] = GetDPIPinBitPosition(own);
        }
    }
}

void DPIPixelsOutput::enablePins(const std::vector<std::string>& names) {
    int enabled = 0;
    for (int i = 0; i < stringCount; i++) {
        if (strings[i]->OutputChannels() <= 0) {
            continue;
        }
        LogExcess(LG_CHANNELOUT, "   Enabling Pin %s for DPI output since it has %d pixels configured\n",
                  names[i].c_str(), strings[i]->OutputChannels());
        PinCapabilities::getPinByName(names[i]).configPin("dpi", true, "DPIPixels");
        enabled++;
    }
    LogDebug(LG_CHANNELOUT, "   Found %d strings (out of %d total) that have 1 or more pixels configured\n",
             enabled, stringCount);
}

void DPIPixelsOutput::setupLatches(const Json::Value& pinConfig, const std::vector<std::string>& names) {
    int32_t* masks[3] = {&LatchPinAMask, &LatchPinBMask, &LatchPinCMask};
    for (int k = 0; k < 3; k++) {
        std::string pin = JsonString(pinConfig["latches"][k]);
        LogExcess(LG_CHANNELOUT, "   Enabling Pin %s for DPI output since it is a latch pin\n", pin.c_str());
        PinCapabilities::getPinByName(pin).configPin("dpi", true, "DPIPixels latch");
        int position = GetDPIPinBitPosition(pin);
        *masks[k] = position < 0 ? 0 : 0x800000 >> position;
    }
    findBanks(names);
    int longest[3] = {0, 0, 0};
    for (int i = 0; i < stringCount; i++) {
        int& m = longest[bankOfString(i)];
        m = std::max(m, strings[i]->OutputChannels());
    }
    longestStringBank0 = longest[0] + 1;
    longestStringBank1 = longest[2] > 0 ? longest[1] + 1 : longest[1];
    longestStringBank2 = longest[2];
    longestString = longestStringBank0 + longestStringBank1 + longestStringBank2;
    LogDebug(LG_CHANNELOUT,
             "Running in latch mode, Longest channel counts on each split: %d/%d/%d, total counting padding "
             "= %d\n",
             longestStringBank0, longestStringBank1, longestStringBank2, longestString);
}

// A pin named again starts the next bank.
void DPIPixelsOutput::findBanks(const std::vector<std::string>& names) {
    firstStringInBank0 = 0;
    firstStringInBank1 = MAX_STRINGS;
    firstStringInBank2 = MAX_STRINGS;
    std::map<std::string, int> seen;
    for (int i = 0; i < stringCount; i++) {
        if (names[i].empty()) {
            continue;
        }
        int before = seen[names[i]]++;
        if (before == 1 && firstStringInBank1 == MAX_STRINGS) {
            firstStringInBank1 = i;
        } else if (before == 2 && firstStringInBank2 == MAX_STRINGS) {
            firstStringInBank2 = i;
        }
    }
}

void DPIPixelsOutput::buildBanks() {
    banks.clear();
    if (!latchMode) {
        banks.push_back({0, longestString, 0, std::min(stringCount, (int)DATA_LINES), 0});
    } else {
        int ends[3] = {std::min(stringCount, firstStringInBank1), std::min(stringCount, firstStringInBank2),
                       std::min(stringCount, (int)MAX_STRINGS)};
        int firsts[3] = {0, firstStringInBank1, firstStringInBank2};
        int rows[3] = {longestStringBank0, longestStringBank1, longestStringBank2};
        int32_t masks[3] = {LatchPinAMask, LatchPinBMask, LatchPinCMask};
        int row = 0;
        for (int b = 0; b < 3; b++) {
            int count = std::clamp(ends[b] - firsts[b], 0, (int)DATA_LINES);
            banks.push_back({row, rows[b], std::min(firsts[b], (int)MAX_STRINGS), count, masks[b]});
            row += rows[b];
        }
    }
    lanes.assign(banks.size(), std::vector<Lane>(DATA_LINES));
    for (size_t b = 0; b < banks.size(); b++) {
        for (int k = 0; k < banks[b].count; k++) {
            int s = banks[b].firstString + k;
            if (bitPos[k] < 0 || strings[s]->OutputChannels() <= 0) {
                continue;
            }
            // Line p sits in byte p / 8 of the pixel value; the transposition wants its byte at
            // position 7 - p % 8 of that word.
            const int word = bitPos[k] / 8, byte = 7 - bitPos[k] % 8;
            const Lane lane{s, strings[s]->OutputChannels(), word, 8 * byte};
            Lane& slot = lanes[b][8 * word + byte];
            if (slot.length == 0) {
                slot = lane;
            } else {
                lanes[b].push_back(lane);
            }
        }
    }
}

std::string DPIPixelsOutput::chooseDevice(const Json::Value& config) const {
    std::string named = JsonString(config["device"]);
    if (!named.empty()) {
        return named;
    }
    for (int card = 0; card < 10; card++) {
        if (FileExists("/sys/class/drm/card" + std::to_string(card) + "-DPI-1/modes")) {
            return "DPI-1";
        }
    }
    if (FileExists("/dev/fb1")) {
        return "fb1";
    }
    return FileExists("/dev/fb0") ? "fb0" : "fb1";
}

bool DPIPixelsOutput::openFrameBuffer(const std::string& name) {
    device = name;
    Json::Value fbConfig;
    fbConfig["Width"] = 0;
    fbConfig["Height"] = 0;
    fbConfig["Device"] = device;
    fbConfig["BitsPerPixel"] = 24;
    fbConfig["Pages"] = 3;
    fb = FrameBuffer::createFrameBuffer(fbConfig);
    if (!fb) {
        LogErr(LG_CHANNELOUT, "Error: cannot open FrameBuffer device for %s.\n", device.c_str());
        WarningHolder::AddWarning("DPIPixels: Could not open FrameBuffer device for " + device);
        return false;
    }
    return true;
}

// The change only takes effect at the next boot, which the front end asks the user for.
void DPIPixelsOutput::requestSetting(const std::string& name, const std::string& value) {
    std::string url = LocalWebURL("/api/settings/" + name);
    std::string response;
    bool ok = urlPut(url, value, response);
    LogInfo(LG_CHANNELOUT, "Setting %s to %s through %s: %s\n", name.c_str(), value.c_str(), url.c_str(),
            ok ? "done" : "failed");
}

bool DPIPixelsOutput::FrameBufferIsConfigured() {
    if (!fb || protocol != "ws2811") {
        return false;
    }
    int fps = getSettingInt("DPI_FPS", 40);
    int w = fb->Width();
    int h = fb->Height();
    if ((w != 362 && w != 1084) || (h != 162 && h != 324)) {
        return false;
    }
    std::string count = std::to_string(longestString);
    if (h == 162) {
        if (longestString > ROWS_AT_40_FPS) {
            requestSetting("DPI_FPS", "20");
            requestSetting("rebootFlag", "1");
            std::string text = std::string(WARNING_LEAD) +
                               " Framebuffer configured for 40fps but channel count " + count +
                               " is too high.  Reboot is required.";
            WarningHolder::AddWarning(text);
            LogErr(LG_CHANNELOUT, "%s\n", text.c_str());
            return false;
        }
        return true;
    }
    if (longestString <= ROWS_AT_40_FPS) {
        requestSetting("DPI_FPS", "40");
        requestSetting("rebootFlag", "1");
        return true;
    }
    if (longestString > ROWS_AT_20_FPS) {
        std::string text = std::string(WARNING_LEAD) +
                           " Framebuffer configured for 20fps but channel count " + count + " is too high.";
        WarningHolder::AddWarning(text);
        LogErr(LG_CHANNELOUT, "%s\n", text.c_str());
        return false;
    }
    LogDebug(LG_CHANNELOUT, "DPIPixels running at %d fps setting with %d rows\n", fps, longestString);
    return true;
}

int DPIPixelsOutput::Close() {
    LogDebug(LG_CHANNELOUT, "DPIPixelsOutput::Close()\n");
    // The pages stay as last shown; a later PrepData or SendData finds no framebuffer and paints nothing.
    delete fb;
    fb = nullptr;
    return ChannelOutput::Close();
}

int DPIPixelsOutput::SendData(unsigned char* /*channelData*/) {
    LogExcess(LG_CHANNELOUT, "DPIPixelsOutput::SendData()\n");
    if (fb) {
        fb->SyncDisplay(true);
        fb->NextPage(false);
    }
    return m_channelCount;
}

void DPIPixelsOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    PixelString::AddRequiredChannelRanges(strings, addRange);
}

void DPIPixelsOutput::OverlayTestData(unsigned char* /*channelData*/, int cycleNum, float /*percentOfCycle*/,
                                      int type, const Json::Value& config) {
    testType = PixelStringTester::getPixelStringTester(type) ? type : 0;
    testCycle = testType ? cycleNum : -1;
    testBrightness = config.isMember("brightness") ? JsonDouble(config["brightness"]) / 100.0f : 1.0f;
}

void DPIPixelsOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "DPIPixelsOutput::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "protoBitsPerLine   : %d\n", protoBitsPerLine);
    LogDebug(LG_CHANNELOUT, "longestString      : %d\n", longestString);
    if (latchMode) {
        LogDebug(LG_CHANNELOUT, "longestStringBank0 : %d\n", longestStringBank0);
        LogDebug(LG_CHANNELOUT, "longestStringBank1 : %d\n", longestStringBank1);
        LogDebug(LG_CHANNELOUT, "longestStringBank2 : %d\n", longestStringBank2);
        LogDebug(LG_CHANNELOUT, "firstStringInBank0 : %d\n", firstStringInBank0);
        LogDebug(LG_CHANNELOUT, "firstStringInBank1 : %d\n", firstStringInBank1);
        LogDebug(LG_CHANNELOUT, "firstStringInBank2 : %d\n", firstStringInBank2);
        LogDebug(LG_CHANNELOUT, "LatchPinAMask      : 0x%06x\n", LatchPinAMask);
        LogDebug(LG_CHANNELOUT, "LatchPinBMask      : 0x%06x\n", LatchPinBMask);
        LogDebug(LG_CHANNELOUT, "LatchPinCMask      : 0x%06x\n", LatchPinCMask);
    }
    for (int i = 0; i < stringCount; i++) {
        LogDebug(LG_CHANNELOUT, "    String #%d\n", i);
        strings[i]->DumpConfig();
    }
    ChannelOutput::DumpConfig();
}
