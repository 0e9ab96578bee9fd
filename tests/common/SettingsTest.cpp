#include "common/Settings.h"
#include "common/Common.h"
#include "common/Log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Each test gets an empty store and its own media directory.
class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivsettingstest.XXXXXX";
        media = mkdtemp(tmpl);
        setenv("KIV_MEDIA_DIR", media.c_str(), 1);
        ResetSettingsForTesting();
        KIVLogger::INSTANCE.Init();
    }
    void TearDown() override {
        ResetSettingsForTesting();
        KIVLogger::INSTANCE.Init();
        unsetenv("KIV_MEDIA_DIR");
        std::filesystem::remove_all(media);
    }
    void writeFile(const std::string& text) { ASSERT_TRUE(PutFileContents(media + "/settings", text)); }
    // Records the values a listener was told about.
    void listen(const std::string& setting, std::vector<std::string>& seen, const std::string& id = "test") {
        registerSettingsListener(id, setting, [&seen](const std::string& v) { seen.push_back(v); });
    }

    std::string media;
};

TEST_F(Settings, ReadsQuotedValuesAndSkipsMalformedLines) {
    writeFile("alpha = \"one\"\n"
              "\n"
              "quoted = \"say \\\"hi\\\" \\\\ back\"\n"
              "empty = \"\"\n"
              "spaced=\"  padded  \"\r\n"
              "noequals\n"
              "bare = unquoted\n"
              "= \"nameless\"\n"
              "open = \"never closed\n"
              "escapedEnd = \"x\\\"\n"
              "last = \"ok\"");
    EXPECT_TRUE(LoadSettings("kivd"));
    EXPECT_EQ(getSetting("alpha"), "one");
    EXPECT_EQ(getSetting("quoted"), "say \"hi\" \\ back");
    EXPECT_EQ(getSetting("empty", "default"), "");
    EXPECT_EQ(getSetting("spaced"), "  padded  ");
    EXPECT_EQ(getSetting("last"), "ok");
    for (const char* absent : {"noequals", "bare", "", "open", "escapedEnd"}) {
        EXPECT_EQ(getSetting(absent, "absent"), "absent") << absent;
    }
}

TEST_F(Settings, KeepsHeldValuesWhenTheFileIsMissing) {
    SetSetting("held", "yes");
    EXPECT_FALSE(LoadSettings("kivd"));
    EXPECT_EQ(getSetting("held"), "yes");
    EXPECT_TRUE(DirectoryExists(media + "/config"));
    EXPECT_TRUE(DirectoryExists(media + "/logs"));
}

TEST_F(Settings, ReloadReplacesValuesReadAndKeepsTheOthers) {
    SetSetting("fromFile", "old");
    SetSetting("onlyInMemory", "kept");
    writeFile("fromFile = \"new\"\n");
    ASSERT_TRUE(LoadSettings("kivd"));
    EXPECT_EQ(getSetting("fromFile"), "new");
    EXPECT_EQ(getSetting("onlyInMemory"), "kept");
}

TEST_F(Settings, PersistsInKeyOrderAndReadsBackEveryValue) {
    const std::string tricky = "a \"q\" \\ b\nsecond line";
    setSetting("zeta", "last", true);
    setSetting("alpha", tricky, true);
    SetSetting("memoryOnly", "x");
    setSetting("mid", "m", true);
    EXPECT_EQ(GetFileContents(GetSettingsFilePath()), "alpha = \"a \\\"q\\\" \\\\ b\\nsecond line\"\n"
                                                      "memoryOnly = \"x\"\n"
                                                      "mid = \"m\"\n"
                                                      "zeta = \"last\"\n");
    ResetSettingsForTesting();
    ASSERT_TRUE(LoadSettings("kivd"));
    EXPECT_EQ(getSetting("alpha"), tricky);
    EXPECT_EQ(getSetting("mid"), "m");
}

TEST_F(Settings, PersistingLeavesNoTemporaryFileBehind) {
    setSetting("a", "1", true);
    setSetting("a", "2", true);
    for (const auto& entry : std::filesystem::directory_iterator(media)) {
        EXPECT_TRUE(entry.is_directory() || entry.path().filename() == "settings") << entry.path();
    }
}

TEST_F(Settings, InMemorySettersLeaveTheFileAlone) {
    SetSetting("a", "1");
    SetSetting("b", 2);
    setSetting("c", 3);
    setSetting("d", "4", false);
    EXPECT_FALSE(FileExists(GetSettingsFilePath()));
    EXPECT_EQ(getSetting("b"), "2");
    EXPECT_EQ(getSettingInt("c"), 3);
}

TEST_F(Settings, ListenersHearChangesOnly) {
    std::vector<std::string> seen;
    SetSetting("volume", "50");
    listen("volume", seen);
    SetSetting("volume", "50");
    SetSetting("volume", 60);
    setSetting("volume", "60", false);
    SetSetting("other", "x");
    setSetting("volume", "70", true);
    EXPECT_EQ(seen, (std::vector<std::string>{"60", "70"}));
    unregisterSettingsListener("test", "volume");
    SetSetting("volume", "80");
    EXPECT_EQ(seen.size(), 2u);
}

TEST_F(Settings, EveryListenerOfASettingIsCalledAndIdsReplace) {
    std::vector<std::string> first, second, replaced;
    listen("mode", replaced, "a");
    listen("mode", first, "a");
    listen("mode", second, "b");
    SetSetting("mode", "bridge");
    EXPECT_TRUE(replaced.empty());
    EXPECT_EQ(first, std::vector<std::string>{"bridge"});
    EXPECT_EQ(second, std::vector<std::string>{"bridge"});
}

TEST_F(Settings, ListenersHearValuesChangedByAReload) {
    SetSetting("same", "1");
    SetSetting("changed", "1");
    std::vector<std::string> same, changed, added;
    listen("same", same);
    listen("changed", changed);
    listen("added", added);
    writeFile("same = \"1\"\nchanged = \"2\"\nadded = \"new\"\n");
    ASSERT_TRUE(LoadSettings("kivd"));
    EXPECT_TRUE(same.empty());
    EXPECT_EQ(changed, std::vector<std::string>{"2"});
    EXPECT_EQ(added, std::vector<std::string>{"new"});
}

TEST_F(Settings, ListenersMayUseTheStoreWhileBeingCalled) {
    std::string readBack;
    registerSettingsListener("reader", "trigger", [&readBack](const std::string&) {
        readBack = getSetting("trigger");
        SetSetting("follower", "done");
    });
    SetSetting("trigger", "go");
    EXPECT_EQ(readBack, "go");
    EXPECT_EQ(getSetting("follower"), "done");
}

TEST_F(Settings, IntegerReadsFallBackToTheDefault) {
    SetSetting("number", "42");
    SetSetting("negative", " -7");
    SetSetting("word", "abc");
    SetSetting("blank", "");
    SetSetting("suffixed", "12px");
    EXPECT_EQ(getSettingInt("number", 5), 42);
    EXPECT_EQ(getSettingInt("negative", 5), -7);
    EXPECT_EQ(getSettingInt("word", 5), 5);
    EXPECT_EQ(getSettingInt("blank", 5), 5);
    EXPECT_EQ(getSettingInt("missing", 5), 5);
    EXPECT_EQ(getSettingInt("suffixed", 5), 12);
}

TEST_F(Settings, LoadingAppliesTheLogLevelSetting) {
    writeFile("LogLevel = \"debug:http;excess:sync\"\n");
    ASSERT_TRUE(LoadSettings("kivd"));
    EXPECT_EQ(LG_HTTP.level, KIVLOG_DEBUG);
    EXPECT_EQ(LG_SYNC.level, KIVLOG_EXCESS);
    EXPECT_EQ(LG_GENERAL.level, KIVLOG_INFO);
}

TEST_F(Settings, AnInvalidLogLevelSettingChangesNoLevel) {
    SetLogLevelComplex("warn");
    writeFile("LogLevel = \"debug:nosuchlogger\"\nother = \"read\"\n");
    ASSERT_TRUE(LoadSettings("kivd"));
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), "warn");
    EXPECT_EQ(getSetting("other"), "read");
}

TEST_F(Settings, ResetDropsValuesAndListeners) {
    std::vector<std::string> seen;
    listen("x", seen);
    SetSetting("x", "1");
    ResetSettingsForTesting();
    EXPECT_EQ(getSetting("x", "gone"), "gone");
    SetSetting("x", "2");
    EXPECT_EQ(seen, std::vector<std::string>{"1"});
}

} // namespace
