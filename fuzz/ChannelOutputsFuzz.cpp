// Feeds arbitrary documents to the output registry as a co-*.json or channeloutputs.json file,
// with the test output plugin behind every "TestOutput" element, then removes what was made.
// Inputs that ask the test plugin to write a record file are skipped: that member exists for
// tests and names any path. So are inputs that are no JSON at all: the registry waits 5 ms for a
// file caught mid-write before it gives up on one, which would slow the run down to a crawl.
//
// Run: ChannelOutputsFuzz -max_total_time=300 fuzz/corpus/ChannelOutputsFuzz

#include "FuzzSupport.h"

#include "channeloutput/ChannelOutputSetup.h"
#include "common/Common.h"
#include "player/PluginManager.h"

#include <string>

namespace {
std::string outputFile;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    std::string media = FuzzSetUp("ChannelOutputsFuzz");
    PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
    outputFile = media + "/config/co-other.json";
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    Json::Value parsed;
    if (text.find("recordFile") != std::string::npos || !LoadJsonFromString(text, parsed)) {
        return 0;
    }
    FuzzWriteFile(outputFile, data, size);
    ReloadChannelOutputsForFile(outputFile);
    FuzzWriteFile(outputFile, nullptr, 0);
    ReloadChannelOutputsForFile(outputFile);
    CloseChannelOutputs();
    FuzzForgetWarnings();
    return 0;
}
