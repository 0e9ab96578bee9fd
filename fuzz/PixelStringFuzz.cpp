// Pixel-string port objects and board files. The first byte picks the parser: a port object and
// its pin configuration (a JSON list of the two) through PixelString::Init and one frame of
// prepareOutput over a full channel buffer, or a board pin table through PiGPIOPinProvider.
//
// Run: PixelStringFuzz -max_total_time=300 fuzz/corpus/PixelStringFuzz

#include "FuzzSupport.h"

#include "channeloutput/ChannelOutput.h"
#include "channeloutput/PixelString.h"
#include "common/Common.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"

#include <vector>

namespace {
std::string boardFile;
std::vector<uint8_t> channels;
PiGPIOPinProvider* pins = nullptr;

void portObject(const std::string& text) {
    Json::Value both;
    if (!LoadJsonFromString(text, both)) {
        return;
    }
    const Json::Value& config = both.isArray() ? both[0u] : both;
    const Json::Value* pinConfig = both.isArray() && both.size() > 1 ? &both[1u] : nullptr;
    PixelString ps(true);
    if (ps.Init(config, pinConfig)) {
        ps.prepareOutput(channels.data());
    }
}

void boardTable(const uint8_t* data, size_t size) {
    FuzzWriteFile(boardFile, data, size);
    PiGPIOPinProvider provider(PiGPIOPinProvider::Backend::Simulated, boardFile);
    provider.Init();
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string media = FuzzSetUp("PixelStringFuzz");
    boardFile = media + "/pins.json";
    channels.assign(KIVD_MAX_CHANNELS + 8, 0x5a);
    pins = new PiGPIOPinProvider(PiGPIOPinProvider::Backend::Simulated);
    PinCapabilities::InitGPIO("fuzz", pins);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if (data[0] & 1) {
        boardTable(data + 1, size - 1);
    } else {
        portObject(std::string(reinterpret_cast<const char*>(data + 1), size - 1));
    }
    FuzzForgetWarnings();
    return 0;
}
