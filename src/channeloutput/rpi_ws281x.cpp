// RPIWS281xOutput: pin configuration, placement of strings on library channels and SPI ports,
// the library's life cycle and the per-frame copy into its LED arrays.

#include "rpi_ws281x.h"

#include "channeloutput/PixelStringTester.h"
#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "platform/CapeUtils.h"
#include "platform/PinCapabilities.h"

#include "ws2811.h"

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstring>

namespace {

// The library's control structure, and whether a library channel of it is in use.
ws2811_t ledstring;
std::atomic<int> ledstringActive{0};

constexpr int STRIP_TYPE = 0x18000810; // 4 bytes an LED: white 24, red 0, green 8, blue 16
constexpr int PWM0_GPIO = 18;
constexpr int SPI_SPEED = 1000000;
const char* const WARNING_LEAD = "RPIWS281x: ";

struct sigaction previousInterrupt;
bool interruptHandlerInstalled = false;

// An interrupt that reaches this process stops the library's DMA before the process ends the
// way it would have without us.
void interruptHandler(int sig) {
    if (ledstringActive.load()) {
        ws2811_fini(&ledstring);
        ledstringActive = 0;
    }
    sigaction(sig, &previousInterrupt, nullptr);
    raise(sig);
}

void installInterruptHandler() {
    if (interruptHandlerInstalled) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = interruptHandler;
    sigemptyset(&action.sa_mask);
    interruptHandlerInstalled = sigaction(SIGINT, &action, &previousInterrupt) == 0;
}

void removeInterruptHandler() {
    if (interruptHandlerInstalled) {
        sigaction(SIGINT, &previousInterrupt, nullptr);
        interruptHandlerInstalled = false;
    }
}

void resetLibraryStructure() {
    memset(&ledstring, 0, sizeof(ledstring));
    ledstring.freq = WS2811_TARGET_FREQ;
    ledstring.dmanum = 10;
    for (ws2811_channel_t& ch : ledstring.channel) {
        ch.strip_type = STRIP_TYPE;
        ch.brightness = 255;
    }
}

std::string pinoutSuffix(const std::string& version) {
    if (version == "2.x") {
        return "-v2";
    }
    return version == "3.x" ? "-v3" : "";
}

int ledCountFor(const PixelString* ps) {
    return ps->OutputChannels() / 4 + 1;
}

} // namespace

RPIWS281xOutput::RPIWS281xOutput(unsigned int startChannel, unsigned int channelCount)
    : ThreadedChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "RPIWS281xOutput::RPIWS281xOutput(%u, %u)\n", startChannel, channelCount);
    stringTarget.fill(TARGET_NONE);
}

RPIWS281xOutput::~RPIWS281xOutput() {
    LogDebug(LG_CHANNELOUT, "RPIWS281xOutput::~RPIWS281xOutput()\n");
    if (libraryStarted) {
        Close();
    }
    for (PixelString* ps : strings) {
        delete ps;
    }
    delete spi0;
    delete spi1;
    free(spi0Buffer);
    free(spi1Buffer);
}

int RPIWS281xOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "RPIWS281xOutput::Init(JSON)\n");
    Json::Value pinConfig;
    if (!readPinConfig(config, pinConfig)) {
        return false;
    }
    resetLibraryStructure();
    if (!createStrings(config, pinConfig)) {
        return false;
    }
    putChannel0OnPWM0();
    LogDebug(LG_CHANNELOUT, "   Found %d strings of pixels\n", (int)strings.size());
    if (!startLibrary()) {
        return false;
    }
    PixelString::AutoCreateOverlayModels(strings);
    return ThreadedChannelOutput::Init(config);
}

bool RPIWS281xOutput::readPinConfig(const Json::Value& config, Json::Value& pinConfig) {
    std::string subType = JsonString(config["subType"]);
    if (subType.empty()) {
        subType = "PiHat";
    }
    std::string name = subType + pinoutSuffix(JsonString(config["pinoutVersion"]));
    std::string path = CapeUtils::findStringConfigFile(name);
    if (path.empty() || !FileExists(path)) {
        LogErr(LG_CHANNELOUT, "No output pin configuration for %s\n", name.c_str());
        WarningHolder::AddWarning(std::string(WARNING_LEAD) + "No output pin configuration for: " + name);
        return false;
    }
    if (!LoadJsonFromFile(path, pinConfig) || !pinConfig.isObject()) {
        LogErr(LG_CHANNELOUT, "Could not read pin configuration for %s\n", name.c_str());
        WarningHolder::AddWarning(std::string(WARNING_LEAD) +
                                  "Could not read pin configuration for: " + name);
        return false;
    }
    return true;
}

bool RPIWS281xOutput::createStrings(Json::Value& config, const Json::Value& pinConfig) {
    const Json::Value& outputs = config["outputs"];
    int headerStrings = 0;
    for (Json::ArrayIndex i = 0; outputs.isArray() && i < outputs.size(); i++) {
        auto* ps = new PixelString(false);
        strings.push_back(ps);
        if (!ps->Init(outputs[i])) {
            return false;
        }
        std::string pin = JsonString(pinConfig["outputs"][i]["pin"]);
        if (i >= stringTarget.size()) {
            LogWarn(LG_CHANNELOUT, "%sstring %u is past the four this output drives; it is not sent\n",
                    WARNING_LEAD, i + 1);
            WarningHolder::AddWarning(std::string(WARNING_LEAD) + "string " + std::to_string(i + 1) +
                                      " is past the four this output drives and is not sent");
        } else if (!pin.empty() && pin[0] == 'P') {
            placeOnHeaderPin(i, pin, headerStrings++);
        } else if (pin == "spidev0.0" || pin == "spidev0.1") {
            placeOnSPI(i, pin == "spidev0.0" ? 0 : 1);
        } else if (ps->OutputChannels() > 0) {
            LogWarn(LG_CHANNELOUT, "%sstring %u has pixels but no output pin (\"%s\"); it is not sent\n",
                    WARNING_LEAD, i + 1, pin.c_str());
            WarningHolder::AddWarning(std::string(WARNING_LEAD) + "string " + std::to_string(i + 1) +
                                      " has pixels but no output pin");
        }
    }
    return true;
}

// The first header string takes library channel 0 and the next channel 1; a third has no channel
// left and would take over the second's LED array, so it stays unplaced.
void RPIWS281xOutput::placeOnHeaderPin(int i, const std::string& pin, int headerStrings) {
    const PinCapabilities* p = PinCapabilities::getPinByName(pin).ptr();
    std::string which = "string " + std::to_string(i + 1);
    if (!p) {
        LogWarn(LG_CHANNELOUT, "%s%s: pin %s does not exist on this board; it is not sent\n", WARNING_LEAD,
                which.c_str(), pin.c_str());
        WarningHolder::AddWarning(std::string(WARNING_LEAD) + which + ": pin " + pin +
                                  " does not exist on this board");
        return;
    }
    if (headerStrings >= RPI_PWM_CHANNELS) {
        LogWarn(LG_CHANNELOUT, "%s%s: only two strings can use header pins; %s is not sent\n", WARNING_LEAD,
                which.c_str(), pin.c_str());
        WarningHolder::AddWarning(std::string(WARNING_LEAD) + which +
                                  ": only two strings can use header pins");
        return;
    }
    int channel = i == 0 ? 0 : 1;
    if (ledstring.channel[channel].gpionum != 0) {
        channel = 1 - channel; // a string after an unplaced first one
    }
    ledstring.channel[channel].gpionum = p->kernelGpio;
    ledstring.channel[channel].count = ledCountFor(strings[i]);
    stringTarget[i] = channel;
    ledstringActive = 1;
}

void RPIWS281xOutput::placeOnSPI(int i, int port) {
    SPIUtils*& spi = port == 0 ? spi0 : spi1;
    uint8_t*& buffer = port == 0 ? spi0Buffer : spi1Buffer;
    int32_t& size = port == 0 ? spi0Size : spi1Size;
    if (spi) {
        LogWarn(LG_CHANNELOUT, "%sstring %d: spidev0.%d already carries a string; it is not sent\n",
                WARNING_LEAD, i + 1, port);
        WarningHolder::AddWarning(std::string(WARNING_LEAD) + "string " + std::to_string(i + 1) +
                                  ": spidev0." + std::to_string(port) + " already carries a string");
        return;
    }
    spi = new SPIUtils(port, SPI_SPEED);
    size = strings[i]->OutputChannels();
    buffer = static_cast<uint8_t*>(calloc(std::max(size, 1), 1));
    stringTarget[i] = port == 0 ? TARGET_SPI0 : TARGET_SPI1;
}

// The library wants channel 0 on a PWM0 pin: a lone string on a PWM1 pin moves to channel 1 and
// channel 0 gets the PWM0 pin GPIO 18 without LEDs.
void RPIWS281xOutput::putChannel0OnPWM0() {
    ws2811_channel_t* ch = ledstring.channel;
    int gpio = ch[0].gpionum;
    if (gpio != 0 && gpio != 13 && gpio != 19) {
        return;
    }
    std::swap(ch[0].gpionum, ch[1].gpionum);
    std::swap(ch[0].count, ch[1].count);
    if (ch[0].gpionum == 0) {
        ch[0].gpionum = PWM0_GPIO;
    }
    for (int32_t& target : stringTarget) {
        if (target == 0 || target == 1) {
            target = 1 - target;
        }
    }
}

bool RPIWS281xOutput::startLibrary() {
    installInterruptHandler();
    int result = ws2811_init(&ledstring);
    if (result != 0) {
        LogErr(LG_CHANNELOUT, "ws2811_init() failed with error: %d\n", result);
        WarningHolder::AddWarning(std::string(WARNING_LEAD) +
                                  "ws2811_init() failed.  Error code: " + std::to_string(result));
        ledstringActive = 0;
        removeInterruptHandler();
        return false;
    }
    libraryStarted = true;
    return true;
}

const uint8_t* RPIWS281xOutput::stringBytes(int i, const uint8_t* channelData) {
    PixelStringTester* tester =
        (testType != 0 && testCycle >= 0) ? PixelStringTester::getPixelStringTester(testType) : nullptr;
    if (tester) {
        return tester->createTestData(strings[i], testCycle, testBrightness, channelData);
    }
    return strings[i]->prepareOutput(channelData);
}

void RPIWS281xOutput::PrepData(unsigned char* channelData) {
    std::lock_guard<std::mutex> lk(bufferLock);
    if (!libraryStarted) {
        return;
    }
    for (size_t i = 0; i < strings.size() && i < stringTarget.size(); i++) {
        int target = stringTarget[i];
        if (target == TARGET_NONE) {
            continue;
        }
        const uint8_t* bytes = stringBytes(i, channelData);
        int count = strings[i]->OutputChannels();
        if (target < TARGET_SPI0) {
            // The LED array holds outputChannels / 4 + 1 words, room for every byte.
            memcpy(ledstring.channel[target].leds, bytes, count);
        } else {
            int32_t room = target == TARGET_SPI0 ? spi0Size : spi1Size;
            memcpy(target == TARGET_SPI0 ? spi0Buffer : spi1Buffer, bytes, std::min(count, room));
        }
    }
}

int RPIWS281xOutput::RawSendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "RPIWS281xOutput::RawSendData(%p)\n", channelData);
    {
        std::lock_guard<std::mutex> lk(bufferLock);
        if (!libraryStarted) {
            return m_channelCount;
        }
        if (ws2811_render(&ledstring) != 0) {
            LogErr(LG_CHANNELOUT, "ws2811_render() failed\n");
        }
        spiSending[0].assign(spi0Buffer, spi0Buffer + spi0Size);
        spiSending[1].assign(spi1Buffer, spi1Buffer + spi1Size);
    }
    if (spi0Size > 0) {
        spi0->xfer(spiSending[0].data(), nullptr, spi0Size);
    }
    if (spi1Size > 0) {
        spi1->xfer(spiSending[1].data(), nullptr, spi1Size);
    }
    return m_channelCount;
}

int RPIWS281xOutput::Close() {
    LogDebug(LG_CHANNELOUT, "RPIWS281xOutput::Close()\n");
    // The sending thread stops first, so nothing renders into a finished library.
    int result = ThreadedChannelOutput::Close();
    std::lock_guard<std::mutex> lk(bufferLock);
    if (libraryStarted) {
        ledstringActive = 0;
        removeInterruptHandler();
        ws2811_fini(&ledstring);
        libraryStarted = false;
    }
    return result;
}

void RPIWS281xOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    PixelString::AddRequiredChannelRanges(strings, addRange);
}

void RPIWS281xOutput::OverlayTestData(unsigned char* /*channelData*/, int cycleNum, float /*percentOfCycle*/,
                                      int type, const Json::Value& config) {
    testType = PixelStringTester::getPixelStringTester(type) ? type : 0;
    testCycle = testType ? cycleNum : -1;
    testBrightness = config.isMember("brightness") ? JsonDouble(config["brightness"]) / 100.0f : 1.0f;
}

void RPIWS281xOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "RPIWS281xOutput::DumpConfig()\n");
    for (size_t i = 0; i < strings.size(); i++) {
        LogDebug(LG_CHANNELOUT, "    String #%d\n", (int)i);
        int target = StringTarget(i);
        if (target >= 0 && target < TARGET_SPI0) {
            LogDebug(LG_CHANNELOUT, "      GPIO       : %d\n", ledstring.channel[target].gpionum);
        } else if (target >= TARGET_SPI0) {
            LogDebug(LG_CHANNELOUT, "      SPI        : %d\n", target - TARGET_SPI0);
        }
        strings[i]->DumpConfig();
    }
    ThreadedChannelOutput::DumpConfig();
}
