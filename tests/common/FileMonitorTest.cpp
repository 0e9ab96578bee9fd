#include "common/FileMonitor.h"
#include "common/Common.h"
#include "common/EPollManager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>

namespace {

void writeInPlace(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// The way settings and configuration files are saved: a temporary beside it, then a rename.
void writeByRename(const std::string& path, const std::string& text) {
    writeInPlace(path + ".new", text);
    ASSERT_EQ(rename((path + ".new").c_str(), path.c_str()), 0);
}

// A monitor driven the way the main loop drives it: its descriptor registered with an epoll loop.
// A sentinel file in the same folder tells when every earlier event has been handled, so checks
// that something did not call back need no sleeping.
class FileMonitorTest : public ::testing::Test {
protected:
    std::string dir;
    FileMonitor monitor;
    EPollManager epoll;
    int sentinelCalls = 0;

    void SetUp() override {
        char tmpl[] = "/tmp/kiv-filemonitor-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        monitor.AddFile("sentinel", path("sentinel"), [this] { sentinelCalls++; });
        start();
    }
    void TearDown() override {
        monitor.Cleanup();
        std::filesystem::remove_all(dir);
    }

    void start() {
        std::map<int, std::function<bool(int)>> callbacks;
        monitor.Initialize(callbacks);
        ASSERT_EQ(callbacks.size(), 1u);
        for (auto& [fd, cb] : callbacks) {
            epoll.addFileDescriptor(fd, cb);
        }
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }

    bool pumpUntil(const std::function<bool()>& condition, int timeoutMS = 2000) {
        long long deadline = GetTimeMS() + timeoutMS;
        while (!condition()) {
            if (GetTimeMS() > deadline) {
                return false;
            }
            epoll.waitForEvents(20);
        }
        return true;
    }
    void settle() {
        int before = sentinelCalls;
        writeInPlace(path("sentinel"), "tick");
        ASSERT_TRUE(pumpUntil([&] { return sentinelCalls > before; }));
    }
};

TEST_F(FileMonitorTest, SeesAFileCreated) {
    int calls = 0;
    monitor.AddFile("test", path("new.json"), [&] { calls++; });
    writeInPlace(path("new.json"), "{}");
    EXPECT_TRUE(pumpUntil([&] { return calls > 0; }));
}

TEST_F(FileMonitorTest, SeesAFileRewrittenInPlace) {
    writeInPlace(path("config.json"), "old");
    settle(); // the events of this set-up write must not stand in for the ones tested
    std::string seen;
    monitor.AddFile("test", path("config.json"), [&] { seen = GetFileContents(path("config.json")); });
    writeInPlace(path("config.json"), "new");
    EXPECT_TRUE(pumpUntil([&] { return seen == "new"; }));
}

TEST_F(FileMonitorTest, SeesAFileRenamedIntoPlace) {
    writeInPlace(path("settings"), "old");
    settle(); // the events of this set-up write must not stand in for the ones tested
    std::string seen;
    monitor.AddFile("test", path("settings"), [&] { seen = GetFileContents(path("settings")); });
    writeByRename(path("settings"), "renamed");
    EXPECT_TRUE(pumpUntil([&] { return seen == "renamed"; }));
}

TEST_F(FileMonitorTest, SeesAFileDeleted) {
    writeInPlace(path("gone.json"), "x");
    settle(); // the events of this set-up write must not stand in for the ones tested
    bool existed = true;
    monitor.AddFile("test", path("gone.json"), [&] { existed = FileExists(path("gone.json")); });
    unlink(path("gone.json").c_str());
    EXPECT_TRUE(pumpUntil([&] { return !existed; }));
}

TEST_F(FileMonitorTest, CallsBackOncePerPathForABurstOfEvents) {
    int calls = 0, others = 0;
    monitor.AddFile("test", path("busy.json"), [&] { calls++; });
    monitor.AddFile("test", path("unrelated.json"), [&] { others++; });
    for (int i = 0; i < 5; i++) {
        writeInPlace(path("busy.json"), std::to_string(i));
    }
    writeInPlace(path("not-watched.json"), "x");
    // Events are queued by the writing system calls, so one drain sees all of them.
    monitor.HandleEvents();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(others, 0);
}

TEST_F(FileMonitorTest, SeesAFileInAFolderCreatedLater) {
    std::string file = path("later/deeper/file.json");
    int calls = 0;
    monitor.AddFile("test", file, [&] { calls++; });
    std::filesystem::create_directory(path("later"));
    settle();
    std::filesystem::create_directory(path("later/deeper"));
    settle();
    writeInPlace(file, "{}");
    EXPECT_TRUE(pumpUntil([&] { return calls > 0; }));
}

TEST_F(FileMonitorTest, SeesAFileWrittenBeforeItsNewFolderWasWatched) {
    std::string file = path("fresh/file.json");
    int calls = 0;
    monitor.AddFile("test", file, [&] { calls++; });
    std::filesystem::create_directories(path("fresh"));
    writeInPlace(file, "{}");
    EXPECT_TRUE(pumpUntil([&] { return calls > 0; }));
}

TEST_F(FileMonitorTest, KeepsWatchingAFolderThatWasRemovedAndMadeAgain) {
    std::filesystem::create_directory(path("sub"));
    std::string file = path("sub/file.json");
    int calls = 0;
    monitor.AddFile("test", file, [&] { calls++; });
    std::filesystem::remove_all(path("sub"));
    settle();
    int before = calls;
    std::filesystem::create_directory(path("sub"));
    settle();
    writeInPlace(file, "back");
    EXPECT_TRUE(pumpUntil([&] { return calls > before; }));
}

TEST_F(FileMonitorTest, TriggersAFileWhoseFolderIsMissing) {
    int calls = 0;
    monitor.AddFile("test", path("missing/file.json"), [&] { calls++; });
    monitor.TriggerFileChanged(path("missing/file.json"));
    monitor.TriggerFileChanged(path("never-added.json"));
    EXPECT_EQ(calls, 1);
}

TEST_F(FileMonitorTest, SkipsContentOnlyCallbacksWhenTheBytesDidNotChange) {
    std::string file = path("content.json");
    writeInPlace(file, "same");
    int contentOnly = 0, every = 0;
    monitor.AddFile(
        "content", file, [&] { contentOnly++; }, true);
    monitor.AddFile("every", file, [&] { every++; });

    writeByRename(file, "same");
    settle();
    EXPECT_EQ(contentOnly, 0);
    EXPECT_EQ(every, 1);

    writeByRename(file, "different");
    settle();
    EXPECT_EQ(contentOnly, 1);

    writeInPlace(file, "");
    settle();
    EXPECT_EQ(contentOnly, 2);

    // A missing file is a state of its own, apart from an empty one.
    unlink(file.c_str());
    settle();
    EXPECT_EQ(contentOnly, 3);
    EXPECT_EQ(every, 4);
}

TEST_F(FileMonitorTest, TriggerRunsContentOnlyCallbacksAndRecordsTheContent) {
    std::string file = path("triggered.json");
    writeInPlace(file, "v1");
    int calls = 0;
    monitor.AddFile(
        "content", file, [&] { calls++; }, true);
    writeInPlace(file, "v2");
    monitor.TriggerFileChanged(file);
    monitor.TriggerFileChanged(file);
    EXPECT_EQ(calls, 2);
    // The event of the v2 write comes after the trigger saw v2: nothing new to load.
    settle();
    EXPECT_EQ(calls, 2);
}

TEST_F(FileMonitorTest, RemovesOnlyTheCallbacksOfTheGivenId) {
    std::string file = path("shared.json");
    int a = 0, b = 0;
    monitor.AddFile("a", file, [&] { a++; });
    monitor.AddFile("b", file, [&] { b++; });
    monitor.RemoveFile("a", file);
    monitor.TriggerFileChanged(file);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 1);
    monitor.RemoveFile("b", file);
    writeInPlace(file, "x");
    settle();
    EXPECT_EQ(b, 1);
}

TEST_F(FileMonitorTest, LetsACallbackChangeTheMonitor) {
    std::string first = path("first.json"), second = path("second.json");
    int firstCalls = 0, secondCalls = 0;
    monitor.AddFile("second", second, [&] { secondCalls++; });
    monitor.AddFile("first", first, [&] {
        firstCalls++;
        monitor.RemoveFile("first", first);
        monitor.TriggerFileChanged(second);
        monitor.AddFile("third", path("third.json"), [] {});
    });
    monitor.TriggerFileChanged(first);
    monitor.TriggerFileChanged(first);
    EXPECT_EQ(firstCalls, 1);
    EXPECT_EQ(secondCalls, 1);
}

TEST_F(FileMonitorTest, WatchesFilesAddedBeforeItStarted) {
    monitor.Cleanup();
    int calls = 0;
    monitor.AddFile("sentinel", path("sentinel"), [this] { sentinelCalls++; });
    monitor.AddFile("early", path("early.json"), [&] { calls++; });
    EXPECT_EQ(monitor.Descriptor(), -1);
    start();
    writeInPlace(path("early.json"), "x");
    EXPECT_TRUE(pumpUntil([&] { return calls > 0; }));
}

TEST_F(FileMonitorTest, ForgetsEverythingOnCleanup) {
    int calls = 0;
    monitor.AddFile("test", path("file.json"), [&] { calls++; });
    int fd = monitor.Descriptor();
    monitor.Cleanup();
    EXPECT_EQ(monitor.Descriptor(), -1);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1);
    monitor.TriggerFileChanged(path("file.json"));
    EXPECT_EQ(calls, 0);
    epoll.removeFileDescriptor(fd);
}

} // namespace
