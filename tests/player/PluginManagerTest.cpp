#include "player/PluginManager.h"

#include "plugins/TestRecorderOutput.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>

namespace {

class PluginManagerLoading : public ::testing::Test {
protected:
    void SetUp() override { PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR); }
    void TearDown() override { PluginManager::INSTANCE.Cleanup(); }

    static KIVPlugins::Plugin* recorder() {
        return PluginManager::INSTANCE.findPlugin("TestRecorder", "kiv-co-TestRecorder");
    }
};

TEST_F(PluginManagerLoading, LoadsAPluginThatCreatesWorkingOutputs) {
    KIVPlugins::Plugin* plugin = recorder();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->getName(), "TestRecorder");
    auto* outputs = dynamic_cast<KIVPlugins::ChannelOutputPlugin*>(plugin);
    ASSERT_NE(outputs, nullptr);

    std::unique_ptr<ChannelOutput> output(outputs->createChannelOutput(10, 4));
    ASSERT_NE(output, nullptr);
    ASSERT_EQ(output->GetOutputType(), "TestRecorder");
    EXPECT_EQ(output->GetStartChannel(), 10u);
    unsigned char frame[] = {1, 2, 3, 4, 5, 6};
    output->SendData(frame + 1);
    auto* recorded = static_cast<TestRecorderOutput*>(output.get());
    EXPECT_EQ(recorded->FramesSent(), 1);
    EXPECT_EQ(recorded->LastFrame(), (std::vector<unsigned char>{2, 3, 4, 5}));
}

TEST_F(PluginManagerLoading, ReturnsTheSamePluginEveryTime) {
    KIVPlugins::Plugin* first = recorder();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(recorder(), first);
    EXPECT_EQ(PluginManager::INSTANCE.findPlugin("TestRecorder"), first);
    EXPECT_TRUE(PluginManager::INSTANCE.hasPlugins());
}

TEST_F(PluginManagerLoading, ReturnsNullForAMissingLibrary) {
    EXPECT_EQ(PluginManager::INSTANCE.findPlugin("Nothing", "kiv-co-Nothing"), nullptr);
    EXPECT_FALSE(PluginManager::INSTANCE.hasPlugins());
}

TEST_F(PluginManagerLoading, RefusesALibraryWhosePluginHasAnotherName) {
    EXPECT_EQ(PluginManager::INSTANCE.findPlugin("Other", "kiv-co-TestRecorder"), nullptr);
    EXPECT_FALSE(PluginManager::INSTANCE.hasPlugins());
}

TEST_F(PluginManagerLoading, RefusesALibraryWithoutCreatePlugin) {
    // The daemon's own library is a loadable library that exports no createPlugin.
    EXPECT_EQ(PluginManager::INSTANCE.findPlugin("kivcore", "libkivcore"), nullptr);
}

TEST_F(PluginManagerLoading, LooksInTheExecutablesFolderByDefault) {
    PluginManager::INSTANCE.setPluginDirectory("");
    std::string exe = std::filesystem::read_symlink("/proc/self/exe").parent_path();
    std::filesystem::path link = exe + "/kiv-co-TestRecorder.so";
    bool made = !std::filesystem::exists(link);
    if (made) {
        std::filesystem::create_symlink(std::string(KIV_RUNTIME_DIR) + "/kiv-co-TestRecorder.so", link);
    }
    EXPECT_NE(recorder(), nullptr);
    if (made) {
        std::filesystem::remove(link);
    }
}

TEST_F(PluginManagerLoading, TriesAFailedLibraryAgainOnlyAfterASecond) {
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kiv-plugins-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir);
    PluginManager::INSTANCE.setPluginDirectory(dir);
    ASSERT_EQ(recorder(), nullptr);

    std::filesystem::create_symlink(std::string(KIV_RUNTIME_DIR) + "/kiv-co-TestRecorder.so",
                                    dir / "kiv-co-TestRecorder.so");
    EXPECT_EQ(recorder(), nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(1050));
    EXPECT_NE(recorder(), nullptr);
    std::filesystem::remove_all(dir);
}

TEST_F(PluginManagerLoading, ForgetsEveryPluginAtCleanup) {
    ASSERT_NE(recorder(), nullptr);
    PluginManager::INSTANCE.Cleanup();
    EXPECT_FALSE(PluginManager::INSTANCE.hasPlugins());
    EXPECT_NE(recorder(), nullptr);
}

} // namespace
