// The settings file (one "name = \"value\"" a line) as the daemon loads it at start and on every
// change, followed by the readers of settings that parse their values further.
//
// Run: SettingsFuzz -max_total_time=300 fuzz/corpus/SettingsFuzz

#include "FuzzSupport.h"

#include "common/Settings.h"
#include "platform/SimulatedHardware.h"

namespace {
std::string settingsFile;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzSetUp("SettingsFuzz");
    settingsFile = GetSettingsFilePath();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzWriteFile(settingsFile, data, size);
    LoadSettings("SettingsFuzz");
    getSettingInt("fppMode");
    getSettingInt("MediaOutputFrameRate");
    SimulatedHardwareMode();
    ResetSettingsForTesting();
    FuzzQuietLogs();
    FuzzForgetWarnings();
    return 0;
}
