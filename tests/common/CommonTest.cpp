#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <thread>

namespace {

using Strings = std::vector<std::string>;

// A fresh folder used as the media directory, removed afterwards.
class TempMedia : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/kivcommontest.XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("KIV_MEDIA_DIR", dir.c_str(), 1);
        ResetSettingsForTesting();
    }
    void TearDown() override {
        ResetSettingsForTesting();
        unsetenv("KIV_MEDIA_DIR");
        std::filesystem::remove_all(dir);
    }
    std::string dir;
};

using Files = TempMedia;
using JsonFiles = TempMedia;
using MediaDir = TempMedia;
using KivMode = TempMedia;

TEST(Split, KeepsEmptyPiecesBetweenSeparators) {
    EXPECT_EQ(split("a,,b", ','), (Strings{"a", "", "b"}));
    EXPECT_EQ(split("a,", ','), (Strings{"a", ""}));
    EXPECT_EQ(split(",a", ','), (Strings{"", "a"}));
    EXPECT_EQ(split(",", ','), (Strings{"", ""}));
    EXPECT_EQ(split("abc", ','), (Strings{"abc"}));
    EXPECT_EQ(split("a;b,c", ';'), (Strings{"a", "b,c"}));
}

TEST(Split, GivesNothingForEmptyText) {
    EXPECT_TRUE(split("", ',').empty());
}

TEST(StringHelpers, CompareEndsAndParts) {
    EXPECT_TRUE(startsWith("/kivd/status", "/kivd"));
    EXPECT_TRUE(startsWith("abc", ""));
    EXPECT_FALSE(startsWith("ab", "abc"));
    EXPECT_FALSE(startsWith("xabc", "abc"));
    EXPECT_TRUE(endsWith("/system/kivd/stop", "/stop"));
    EXPECT_FALSE(endsWith("stop", "/stop"));
    EXPECT_FALSE(endsWith("/stopx", "/stop"));
    EXPECT_TRUE(contains("channel output", "nel out"));
    EXPECT_FALSE(contains("channel", "Channel"));
}

TEST(StringHelpers, TrimAndLowerCase) {
    EXPECT_EQ(trim(" \t value \r\n"), "value");
    EXPECT_EQ(trim("   "), "");
    EXPECT_EQ(trim("a b"), "a b");
    EXPECT_EQ(toLower("MiXeD 123"), "mixed 123");
}

TEST(StringHelpers, ParseIntAcceptsOnlyWholeNumbers) {
    long value = 99;
    EXPECT_TRUE(ParseInt("42", value));
    EXPECT_EQ(value, 42);
    EXPECT_TRUE(ParseInt(" -17 ", value));
    EXPECT_EQ(value, -17);
    value = 99;
    for (const char* bad : {"", "  ", "12x", "x12", "1 2", "99999999999999999999999"}) {
        EXPECT_FALSE(ParseInt(bad, value)) << bad;
    }
    EXPECT_EQ(value, 99);
}

TEST(Time, MillisecondsAndMicrosecondsAdvanceTogether) {
    long long ms = GetTimeMS();
    long long us = GetTimeMicros();
    EXPECT_LE(ms, us / 1000);
    EXPECT_LE(us / 1000 - ms, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(GetTimeMS() - ms, 20);
    EXPECT_GE(GetTimeMicros() - us, 20000);
}

TEST(ThreadName, IsCutToWhatLinuxKeeps) {
    char name[32] = {};
    std::thread([&name] {
        SetThreadName("KIV-AVeryLongThreadName");
        pthread_getname_np(pthread_self(), name, sizeof(name));
    }).join();
    EXPECT_STREQ(name, "KIV-AVeryLongTh");
}

TEST_F(Files, ReplacesContentsAndKeepsTheFileMode) {
    std::string path = dir + "/data.txt";
    ASSERT_TRUE(PutFileContents(path, "first"));
    EXPECT_EQ(GetFileContents(path), "first");
    chmod(path.c_str(), 0600);
    ASSERT_TRUE(PutFileContents(path, std::string("second\0binary", 13)));
    EXPECT_EQ(GetFileContents(path), std::string("second\0binary", 13));
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

TEST_F(Files, FailsToWriteIntoAMissingFolder) {
    EXPECT_FALSE(PutFileContents(dir + "/missing/data.txt", "x"));
    EXPECT_EQ(GetFileContents(dir + "/missing/data.txt"), "");
}

TEST_F(Files, TellFilesFromFolders) {
    std::string file = dir + "/f";
    PutFileContents(file, "");
    EXPECT_TRUE(FileExists(file));
    EXPECT_TRUE(FileExists(dir));
    EXPECT_FALSE(FileExists(dir + "/nothing"));
    EXPECT_TRUE(DirectoryExists(dir));
    EXPECT_FALSE(DirectoryExists(file));
}

TEST_F(Files, SetsGroupWritablePermissions) {
    std::string file = dir + "/f";
    std::string sub = dir + "/sub";
    PutFileContents(file, "");
    mkdir(sub.c_str(), 0700);
    SetFilePerms(file);
    SetFilePerms(sub, true);
    struct stat st;
    stat(file.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0664u);
    stat(sub.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0775u);
}

TEST_F(JsonFiles, RoundTripsThroughAFile) {
    ::Json::Value doc;
    doc["name"] = "Pixel \"Tree\"";
    doc["channels"] = 8388608;
    doc["outputs"].append(1.5);
    doc["outputs"].append(true);
    std::string path = dir + "/co.json";
    ASSERT_TRUE(SaveJsonToFile(doc, path));
    ::Json::Value read;
    ASSERT_TRUE(LoadJsonFromFile(path, read));
    EXPECT_EQ(read, doc);
}

TEST_F(JsonFiles, ReadsCommentsAndRejectsBrokenOrMissingFiles) {
    ::Json::Value value;
    ASSERT_TRUE(LoadJsonFromString("{ // the port\n \"port\": 32322 /* fixed */ }", value));
    EXPECT_EQ(value["port"].asInt(), 32322);
    value = "untouched";
    EXPECT_FALSE(LoadJsonFromString("{\"port\": }", value));
    EXPECT_FALSE(LoadJsonFromString("", value));
    EXPECT_FALSE(LoadJsonFromFile(dir + "/missing.json", value));
    EXPECT_FALSE(LoadJsonFromFile(dir, value));
    PutFileContents(dir + "/broken.json", "[1, 2");
    EXPECT_FALSE(LoadJsonFromFile(dir + "/broken.json", value));
    EXPECT_EQ(value.asString(), "untouched");
}

TEST_F(JsonFiles, WritesOneCompactLineWithoutIndentation) {
    ::Json::Value doc;
    doc["a"] = 1;
    doc["b"]["c"] = "x";
    EXPECT_EQ(SaveJsonToString(doc, ""), "{\"a\":1,\"b\":{\"c\":\"x\"}}");
    EXPECT_EQ(SaveJsonToString(doc), "{\n\t\"a\" : 1,\n\t\"b\" : \n\t{\n\t\t\"c\" : \"x\"\n\t}\n}");
}

TEST_F(MediaDir, ComesFromTheEnvironmentWithTheRelativePathAppended) {
    EXPECT_EQ(getKIVMediaDir(), dir);
    EXPECT_EQ(getKIVMediaDir("/settings"), dir + "/settings");
    setenv("KIV_MEDIA_DIR", "", 1);
    EXPECT_EQ(getKIVMediaDir("/config"), "/home/kiv/media/config");
    unsetenv("KIV_MEDIA_DIR");
    EXPECT_EQ(getKIVMediaDir(), "/home/kiv/media");
}

TEST_F(MediaDir, EnsureCreatesTheFolderAndItsSubFolders) {
    std::string nested = dir + "/deeper/media";
    setenv("KIV_MEDIA_DIR", nested.c_str(), 1);
    ASSERT_TRUE(EnsureMediaDirectory());
    for (const char* sub : {"config", "logs", "tmp", "music", "videos", "images", "crashes"}) {
        EXPECT_TRUE(DirectoryExists(nested + "/" + sub)) << sub;
    }
    EXPECT_TRUE(EnsureMediaDirectory());
}

TEST(InstallDir, IsTheFolderAboveTheExecutablesFolder) {
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe");
    EXPECT_EQ(getKIVDDir(), exe.parent_path().parent_path().string());
    EXPECT_EQ(getKIVDDir("/src/kivd"), exe.parent_path().parent_path().string() + "/src/kivd");
}

TEST_F(KivMode, FollowsTheModeSetting) {
    EXPECT_EQ(getKIVmode(), PLAYER_MODE);
    const std::pair<const char*, int> modes[] = {
        {"bridge", BRIDGE_MODE}, {"player", PLAYER_MODE}, {"master", MASTER_MODE}, {"remote", REMOTE_MODE}};
    for (const auto& [name, mode] : modes) {
        SetSetting("kivMode", name);
        EXPECT_EQ(getKIVmode(), mode) << name;
        EXPECT_EQ(getKIVmodeName(mode), name);
    }
}

TEST_F(KivMode, FallsBackToPlayerForUnknownTextAndWarnsOnce) {
    std::string log = dir + "/mode.log";
    ASSERT_TRUE(SetLogFile(log, false));
    SetSetting("kivMode", "jukebox");
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(getKIVmode(), PLAYER_MODE);
    }
    SetLogFile("", true);
    std::string text = GetFileContents(log);
    EXPECT_TRUE(contains(text, "jukebox")) << text;
    EXPECT_EQ(split(text, '\n').size(), 2u) << text;
}

TEST(Shutdown, CallsTheRegisteredHandlerWithTheRestartFlag) {
    ShutdownKIVD(false); // nothing registered yet: only a warning
    std::vector<bool> calls;
    RegisterShutdownHandler([&calls](bool restart) { calls.push_back(restart); });
    ShutdownKIVD(true);
    ShutdownKIVD(false);
    RegisterShutdownHandler(nullptr);
    ShutdownKIVD(true);
    EXPECT_EQ(calls, (std::vector<bool>{true, false}));
}

} // namespace
