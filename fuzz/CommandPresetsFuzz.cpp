// commandPresets.json as the command manager reads it when a preset fires: the entries of the
// fired name run (here: no command is registered, so each is an unknown command) with their
// "%KEY%" arguments substituted.
//
// Run: CommandPresetsFuzz -max_total_time=300 fuzz/corpus/CommandPresetsFuzz

#include "FuzzSupport.h"

#include "common/CommandManager.h"

#include <map>

namespace {
std::string presetsFile;
const std::map<std::string, std::string> KEYWORDS = {{"PORT", "Port 1"}, {"", "empty"}, {"%", "%%"}};
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    presetsFile = FuzzSetUp("CommandPresetsFuzz") + "/config/commandPresets.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzWriteFile(presetsFile, data, size);
    CommandManager::INSTANCE.TriggerPreset("KIVD_STARTED", &KEYWORDS);
    CommandManager::INSTANCE.TriggerPreset("x");
    FuzzForgetWarnings();
    return 0;
}
