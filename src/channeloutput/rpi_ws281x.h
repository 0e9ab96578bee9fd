#pragma once
// WS281x pixel strings through the rpi_ws281x library: up to two strings on the board's PWM pins
// (the library's two channels) and two more sent as raw bytes on SPI ports spidev0.0 and
// spidev0.1. Each string's prepared bytes go to the library unchanged, four to an LED word, with
// a strip type that sends them in memory order, so colour order, brightness and gamma are the
// strings' own.
//
// The board's pin configuration is "SUBTYPE[-v2|-v3].json" among the string boards (see
// CapeUtils); its "outputs"[i]["pin"] places string i: a header pin name ("P1-12") for a library
// channel, "spidev0.0" or "spidev0.1" for an SPI port. Library channel 0 must be on a PWM0 pin,
// so strings are swapped onto the channel their pin belongs to.
//
// The library's control structure is one process-wide value, so one output exists at a time. Owns
// its strings, SPI ports and buffers. Init, Close and DumpConfig run on the main thread; PrepData
// on the channel-output thread and RawSendData on the output's sending thread, which take
// bufferLock while they touch the LED arrays and SPI buffers.

#include "channeloutput/PixelString.h"
#include "channeloutput/ThreadedChannelOutput.h"
#include "platform/SPIUtils.h"

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class RPIWS281xOutput : public ThreadedChannelOutput {
public:
    RPIWS281xOutput(unsigned int startChannel, unsigned int channelCount);
    ~RPIWS281xOutput() override;

    int Init(Json::Value config) override;
    int Close() override;
    void PrepData(unsigned char* channelData) override;
    int RawSendData(unsigned char* channelData) override;
    void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) override;
    void DumpConfig() override;
    std::string GetOutputType() const override { return "RPI Pixel Strings"; }
    bool SupportsTesting() const override { return true; }
    void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                         const Json::Value& config) override;

    static constexpr int TARGET_NONE = -1;
    static constexpr int TARGET_SPI0 = 2;
    static constexpr int TARGET_SPI1 = 3;
    // Where string i goes: 0 or 1 a library channel, TARGET_SPI0/1 an SPI port, TARGET_NONE nowhere.
    int StringTarget(int i) const { return i < (int)stringTarget.size() ? stringTarget[i] : TARGET_NONE; }

private:
    bool readPinConfig(const Json::Value& config, Json::Value& pinConfig);
    bool createStrings(Json::Value& config, const Json::Value& pinConfig);
    void placeOnHeaderPin(int i, const std::string& pin, int headerStrings);
    void placeOnSPI(int i, int port);
    void putChannel0OnPWM0();
    bool startLibrary();
    const uint8_t* stringBytes(int i, const uint8_t* channelData);

    std::vector<PixelString*> strings;
    std::array<int32_t, 4> stringTarget;
    SPIUtils* spi0 = nullptr;
    SPIUtils* spi1 = nullptr;
    uint8_t* spi0Buffer = nullptr;
    uint8_t* spi1Buffer = nullptr;
    int32_t spi0Size = 0;
    int32_t spi1Size = 0;
    int32_t testCycle = -1;
    int32_t testType = 0;
    float testBrightness = 0;

    std::mutex bufferLock;              // LED arrays and SPI buffers between PrepData and RawSendData
    std::vector<uint8_t> spiSending[2]; // a frame's SPI bytes, sent outside the lock
    bool libraryStarted = false;
};
