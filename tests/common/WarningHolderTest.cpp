#include "common/WarningHolder.h"
#include "common/Common.h"
#include "support/WaitFor.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

namespace {

bool waitUntil(const std::function<bool()>& condition, int timeoutMS = 2000) {
    return WaitFor(condition, timeoutMS, 10);
}

std::set<std::string> messages(const Json::Value& array) {
    std::set<std::string> result;
    for (const auto& w : array) {
        result.insert(w["message"].asString());
    }
    return result;
}

// False when the warnings file is missing or not a JSON array.
bool readWarningsFile(std::set<std::string>& result) {
    Json::Value json;
    if (!LoadJsonFromFile(WarningHolder::WarningsFilePath(), json) || !json.isArray()) {
        return false;
    }
    result = messages(json);
    return true;
}

bool fileHolds(const std::set<std::string>& expected) {
    std::set<std::string> found;
    return readWarningsFile(found) && found == expected;
}

int threadsNamed(const std::string& name) {
    int count = 0;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
        if (trim(GetFileContents(task.path().string() + "/comm")) == name) {
            count++;
        }
    }
    return count;
}

class WarningHolderTest : public ::testing::Test {
protected:
    std::string mediaDir;

    void SetUp() override {
        char tmpl[] = "/tmp/kiv-warnings-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        mediaDir = tmpl;
        setenv("KIV_MEDIA_DIR", mediaDir.c_str(), 1);
        WarningHolder::RemoveAllWarnings();
    }
    void TearDown() override {
        WarningHolder::StopNotifyThread();
        WarningHolder::RemoveAllWarnings();
        std::filesystem::remove_all(mediaDir);
        unsetenv("KIV_MEDIA_DIR");
    }
};

TEST_F(WarningHolderTest, KeepsAPlainWarningOnceWithIdMinusOne) {
    WarningHolder::AddWarning("Disk almost full");
    WarningHolder::AddWarning("Disk almost full");
    auto list = WarningHolder::GetWarnings();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().id, -1);
    EXPECT_EQ(list.front().message, "Disk almost full");
}

TEST_F(WarningHolderTest, ReplacesAWarningWithTheSameIdAndText) {
    WarningHolder::AddWarning(5, "Port fuse tripped", {{"port", "1"}});
    WarningHolder::AddWarning(5, "Port fuse tripped", {{"port", "2"}});
    WarningHolder::AddWarning(6, "Port fuse tripped");
    auto list = WarningHolder::GetWarnings();
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list.front().id, 5);
    EXPECT_EQ(list.front().data.at("port"), "2");
    EXPECT_EQ(list.back().id, 6);
}

TEST_F(WarningHolderTest, GivesIdMessageAndADataObjectInJson) {
    WarningHolder::AddWarning(7, "Output failed", {{"output", "DPI"}});
    WarningHolder::AddWarning("Plain");
    Json::Value json = WarningHolder::GetWarningsJson();
    ASSERT_TRUE(json.isArray());
    ASSERT_EQ(json.size(), 2u);
    EXPECT_EQ(json[0]["id"].asInt(), 7);
    EXPECT_EQ(json[0]["message"].asString(), "Output failed");
    EXPECT_EQ(json[0]["data"]["output"].asString(), "DPI");
    EXPECT_EQ(json[1]["id"].asInt(), -1);
    EXPECT_TRUE(json[1]["data"].isObject());
    EXPECT_EQ(json[1]["data"].size(), 0u);
}

TEST_F(WarningHolderTest, RemovesByTextByIdAndTextOrAll) {
    WarningHolder::AddWarning(1, "Shared text");
    WarningHolder::AddWarning(2, "Shared text");
    WarningHolder::AddWarning(3, "Other");
    WarningHolder::RemoveWarning(1, "Shared text");
    EXPECT_EQ(messages(WarningHolder::GetWarningsJson()), (std::set<std::string>{"Shared text", "Other"}));
    WarningHolder::RemoveWarning("Shared text");
    EXPECT_EQ(messages(WarningHolder::GetWarningsJson()), (std::set<std::string>{"Other"}));
    WarningHolder::RemoveAllWarnings();
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(WarningHolderTest, DropsATimedWarningWhenItsTimeIsUp) {
    long long start = GetTimeMS();
    WarningHolder::AddWarningTimeout("Brief", 1);
    WarningHolder::AddWarning("Lasting");
    EXPECT_EQ(WarningHolder::GetWarnings().size(), 2u);
    ASSERT_TRUE(waitUntil([] { return WarningHolder::GetWarnings().size() == 1; }));
    EXPECT_GE(GetTimeMS() - start, 1000);
    EXPECT_EQ(WarningHolder::GetWarnings().front().message, "Lasting");
}

TEST_F(WarningHolderTest, RefreshingATimedWarningMovesItsDeadline) {
    WarningHolder::AddWarningTimeout("Refreshed", 0);
    WarningHolder::AddWarningTimeout("Refreshed", 60);
    ASSERT_EQ(WarningHolder::GetWarnings().size(), 1u);
    WarningHolder::AddWarningTimeout("Refreshed", 0);
    EXPECT_TRUE(WarningHolder::GetWarnings().empty());
}

TEST_F(WarningHolderTest, NotifyThreadWritesAndRewritesTheFile) {
    EXPECT_EQ(WarningHolder::WarningsFilePath(), mediaDir + "/tmp/warnings.json");
    WarningHolder::AddWarning("First");
    WarningHolder::StartNotifyThread();
    EXPECT_TRUE(waitUntil([] { return fileHolds({"First"}); }));
    WarningHolder::AddWarning(4, "Second");
    EXPECT_TRUE(waitUntil([] { return fileHolds({"First", "Second"}); }));
    WarningHolder::RemoveWarning("First");
    EXPECT_TRUE(waitUntil([] { return fileHolds({"Second"}); }));
    WarningHolder::RemoveAllWarnings();
    EXPECT_TRUE(waitUntil([] { return fileHolds({}); }));

    WarningHolder::ClearWarningsFile();
    EXPECT_FALSE(FileExists(WarningHolder::WarningsFilePath()));
}

TEST_F(WarningHolderTest, NotifyThreadRemovesExpiredWarningsFromTheFile) {
    WarningHolder::StartNotifyThread();
    WarningHolder::AddWarningTimeout("Expiring", 1);
    EXPECT_TRUE(waitUntil([] { return fileHolds({"Expiring"}); }));
    // Nothing else touches the set, so only the thread's own expiry can rewrite the file.
    EXPECT_TRUE(waitUntil([] { return fileHolds({}); }));
}

TEST_F(WarningHolderTest, NotifyThreadIsNamedAndStopsOnce) {
    WarningHolder::StopNotifyThread(); // never started: must be harmless
    WarningHolder::StartNotifyThread();
    WarningHolder::StartNotifyThread(); // a second start must not add a thread
    EXPECT_TRUE(waitUntil([] { return threadsNamed("KIV-Warnings") > 0; }));
    EXPECT_EQ(threadsNamed("KIV-Warnings"), 1);
    WarningHolder::StopNotifyThread();
    WarningHolder::StopNotifyThread();
    // A joined thread can stay listed under /proc for a moment while the kernel reaps it.
    EXPECT_TRUE(waitUntil([] { return threadsNamed("KIV-Warnings") == 0; }));
}

TEST_F(WarningHolderTest, WriteWarningsFileWritesTheCurrentSetAtOnce) {
    WarningHolder::AddWarning("Direct");
    WarningHolder::WriteWarningsFile();
    EXPECT_TRUE(fileHolds({"Direct"}));
}

} // namespace
