#pragma once
// Up to 16 clocked (two-wire) pixel strings sent in parallel through the spixels library: one
// shared clock on GPIO 27 at 4 MHz and one data line per port ("portNumber" 0 to 15, data GPIOs
// in PORT_GPIOS). Each port's "protocol" (WS2801, APA102, LPD6803 or LPD8806, any case) picks the
// library strip; its pixels are the port string's channels in threes, through the string's map
// and brightness tables, so the library adds only its protocol's wire order and framing.
//
// Ports with fewer than 3 channels, and ports whose number is outside 0 to 15 (with a warning),
// are not kept. Owns its driver, strips and strings. Init, Close and DumpConfig run on the main
// thread; PrepData on the channel-output thread fills the strips and RawSendData on the output's
// sending thread sends them, each holding stripLock.

#include "channeloutput/PixelString.h"
#include "channeloutput/ThreadedChannelOutput.h"

#include <mutex>
#include <vector>

namespace spixels {
class MultiSPI;
class LEDStrip;
} // namespace spixels

class SpixelsOutput : public ThreadedChannelOutput {
public:
    static constexpr int PORTS = 16;
    static const int PORT_GPIOS[PORTS];
    static constexpr int CLOCK_GPIO = 27;
    static constexpr int SPEED_MHZ = 4;

    SpixelsOutput(unsigned int startChannel, unsigned int channelCount);
    ~SpixelsOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int RawSendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;

    int StringCount() const { return (int)strings.size(); }

private:
    bool addPort(const Json::Value& portConfig);
    spixels::LEDStrip* createStrip(const std::string& protocol, int gpio, int pixels);

    spixels::MultiSPI* spi = nullptr;
    std::vector<spixels::LEDStrip*> strips;
    std::vector<PixelString*> strings; // entry i belongs to strips[i]
    std::mutex stripLock;
};
