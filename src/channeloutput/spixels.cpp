// SpixelsOutput: ports to library strips, and the per-frame pixels through each port's map.

#include "spixels.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"

#include "led-strip.h"
#include "multi-spi.h"

const int SpixelsOutput::PORT_GPIOS[PORTS] = {18, 23, 22, 5, 12, 16, 19, 21, 4, 17, 24, 25, 6, 13, 26, 20};

SpixelsOutput::SpixelsOutput(unsigned int startChannel, unsigned int channelCount)
    : ThreadedChannelOutput(startChannel, channelCount) {
    LogDebug(LG_CHANNELOUT, "SpixelsOutput::SpixelsOutput(%u, %u)\n", startChannel, channelCount);
}

SpixelsOutput::~SpixelsOutput() {
    LogDebug(LG_CHANNELOUT, "SpixelsOutput::~SpixelsOutput()\n");
    ThreadedChannelOutput::Close(); // the sending thread must not outlive the strips
    for (spixels::LEDStrip* strip : strips) {
        delete strip;
    }
    for (PixelString* ps : strings) {
        delete ps;
    }
    delete spi;
}

int SpixelsOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "SpixelsOutput::Init(JSON)\n");
    spi = spixels::CreateDirectMultiSPI(SPEED_MHZ, CLOCK_GPIO);
    const Json::Value& outputs = config["outputs"];
    for (Json::ArrayIndex i = 0; outputs.isArray() && i < outputs.size(); i++) {
        if (!addPort(outputs[i])) {
            return false;
        }
    }
    spi->FinishRegistration();
    LogDebug(LG_CHANNELOUT, "   Found %d strings of pixels\n", (int)strings.size());
    PixelString::AutoCreateOverlayModels(strings);
    return ThreadedChannelOutput::Init(config);
}

// False only for what fails the whole output: an invalid virtual string or an unknown protocol.
bool SpixelsOutput::addPort(const Json::Value& portConfig) {
    auto* ps = new PixelString(false);
    if (!ps->Init(portConfig)) {
        delete ps;
        return false;
    }
    int pixels = ps->OutputChannels() / 3;
    if (pixels <= 0) {
        delete ps;
        return true;
    }
    // A port number outside the table names no data line; guessing one could drive a pin that
    // belongs to something else.
    if (ps->PortNumber() < 0 || ps->PortNumber() >= PORTS) {
        std::string text = "Spixels: port number " + std::to_string(ps->PortNumber()) +
                           " is outside 0 to 15; its pixels are not sent";
        LogWarn(LG_CHANNELOUT, "%s\n", text.c_str());
        WarningHolder::AddWarning(text);
        delete ps;
        return true;
    }
    std::string protocol = toLower(JsonString(portConfig["protocol"]));
    spixels::LEDStrip* strip = createStrip(protocol, PORT_GPIOS[ps->PortNumber()], pixels);
    if (!strip) {
        LogErr(LG_CHANNELOUT, "Unknown Pixel Protocol: %s\n", protocol.c_str());
        WarningHolder::AddWarning("Spixels: Unknown Pixel Protocol: \"" + protocol + "\" on port " +
                                  std::to_string(ps->PortNumber()));
        delete ps;
        return false;
    }
    strings.push_back(ps);
    strips.push_back(strip);
    return true;
}

spixels::LEDStrip* SpixelsOutput::createStrip(const std::string& protocol, int gpio, int pixels) {
    if (protocol == "ws2801") {
        return spixels::CreateWS2801Strip(spi, gpio, pixels);
    }
    if (protocol == "apa102") {
        return spixels::CreateAPA102Strip(spi, gpio, pixels);
    }
    if (protocol == "lpd6803") {
        return spixels::CreateLPD6803Strip(spi, gpio, pixels);
    }
    if (protocol == "lpd8806") {
        return spixels::CreateLPD8806Strip(spi, gpio, pixels);
    }
    return nullptr;
}

// The map already holds the configured colour order, so the three channels of pixel j go to the
// library as red, green and blue; prepareOutput reads each channel through the map and its
// string's brightness table. Only whole pixels are sent: a port with white channels can end in a
// partial one.
void SpixelsOutput::PrepData(unsigned char* channelData) {
    std::lock_guard<std::mutex> lk(stripLock);
    for (size_t s = 0; s < strings.size(); s++) {
        const uint8_t* bytes = strings[s]->prepareOutput(channelData);
        spixels::LEDStrip* strip = strips[s];
        const int pixels = strip->count();
        for (int j = 0; j < pixels; j++, bytes += 3) {
            strip->SetPixel(j, bytes[0], bytes[1], bytes[2]);
        }
    }
}

int SpixelsOutput::RawSendData(unsigned char* channelData) {
    LogExcess(LG_CHANNELOUT, "SpixelsOutput::RawSendData(%p)\n", channelData);
    std::lock_guard<std::mutex> lk(stripLock);
    if (spi) {
        spi->SendBuffers();
    }
    return m_channelCount;
}

int SpixelsOutput::Close() {
    LogDebug(LG_CHANNELOUT, "SpixelsOutput::Close()\n");
    return ThreadedChannelOutput::Close();
}

void SpixelsOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    PixelString::AddRequiredChannelRanges(strings, addRange);
}

void SpixelsOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "SpixelsOutput::DumpConfig()\n");
    for (size_t i = 0; i < strings.size(); i++) {
        LogDebug(LG_CHANNELOUT, "    String #%d\n", (int)i);
        strings[i]->DumpConfig();
    }
    ThreadedChannelOutput::DumpConfig();
}
