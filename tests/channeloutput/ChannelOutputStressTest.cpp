// The output thread walks the lock-free output list at full speed while the main thread keeps
// rewriting, deleting and recreating output files: no output may be used after it was deleted.

#include "channeloutput/ChannelOutputSetup.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "player/PluginManager.h"
#include "player/Sequence.h"
#include "support/TestMediaDir.h"
#include "support/TestOutputAccess.h"

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace {
[[maybe_unused]] ::testing::Environment* const unloadPlugins =
    ::testing::AddGlobalTestEnvironment(new UnloadPluginsAtExit());

std::string RandomOutputs(std::mt19937& rng, int firstId) {
    std::string list;
    int outputs = std::uniform_int_distribution<int>(0, 4)(rng);
    for (int i = 0; i < outputs; i++) {
        int start = std::uniform_int_distribution<int>(1, 5000)(rng);
        int count = std::uniform_int_distribution<int>(1, 600)(rng);
        list += (list.empty() ? "" : ",") +
                std::string("{\"type\": \"TestOutput\", \"enabled\": 1, \"id\": ") +
                std::to_string(firstId + i) + ", \"startChannel\": " + std::to_string(start) +
                ", \"channelCount\": " + std::to_string(count) + "}";
    }
    return "{\"channelOutputs\": [" + list + "]}";
}
} // namespace

TEST(ChannelOutputStress, OutputsAreNeverUsedAfterTheyWereDeleted) {
    TestMediaDir media;
    PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
    sequence = new Sequence();
    SetSetting("ChannelOutputFrameRate", "240");
    SetSetting("alwaysTransmit", "1");
    StartChannelOutputThread();
    std::atomic<bool> forcing{true};
    std::thread forcer([&] {
        while (forcing) {
            ForceChannelOutputNow(); // frames back to back, not just 240 a second
            std::this_thread::yield();
        }
    });

    const char* files[] = {"co-other.json", "co-pixelStrings.json", "channeloutputs.json"};
    std::mt19937 rng(1234);
    for (int round = 0; round < 150; round++) {
        std::string file = files[round % 3];
        std::string path = media.file("config/" + file);
        if (round % 7 == 6) {
            media.remove("config/" + file);
        } else {
            media.write("config/" + file, RandomOutputs(rng, round * 10), round % 2 == 0);
        }
        if (ReloadChannelOutputsForFile(path)) {
            ComputeOutputRanges();
        }
        ASSERT_TRUE(ChannelOutputThreadIsRunning());
    }

    forcing = false;
    forcer.join();
    StopChannelOutputThread();
    TestOutputProbe* probe = ProbeOfLoadedTestOutput();
    ASSERT_NE(nullptr, probe);
    EXPECT_GT(probe->frames.load(), 1000);
    EXPECT_EQ(0, probe->useAfterDelete.load());
    CloseChannelOutputs();
    EXPECT_EQ(0, probe->live.load());
    delete sequence;
    sequence = nullptr;
    WarningHolder::RemoveAllWarnings();
}
