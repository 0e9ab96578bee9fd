// The bridge's input files: the first byte picks ci-universes.json (read into the universe table)
// or ci-dmx.json (serial inputs opened by name). Devices are opened inside a private /dev that
// holds only /dev/null, so no name in an input can reach a device of the machine.
//
// Run: InputConfigFuzz -max_total_time=300 fuzz/corpus/InputConfigFuzz

#include "FuzzSupport.h"

#include "BridgeState.h"
#include "e131bridge.h"

namespace {
std::string media;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzIsolateDevices();
    media = FuzzSetUp("InputConfigFuzz");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    if (data[0] & 1) {
        FuzzWriteFile(media + "/config/ci-dmx.json", data + 1, size - 1);
        BridgeReloadDMXInputs();
    } else {
        FuzzWriteFile(media + "/config/ci-universes.json", data + 1, size - 1);
        LoadInputUniversesFromFile();
    }
    Bridge_Shutdown();
    FuzzForgetWarnings();
    return 0;
}
