#include "common/Log.h"
#include "common/Common.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <random>
#include <set>
#include <thread>
#include <vector>

namespace {

std::vector<int> currentLevels() {
    std::vector<int> levels;
    for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
        levels.push_back(KIVLogger::INSTANCE.All()[i]->level.load());
    }
    return levels;
}

// True when text has the shape's length and characters, with '#' in the shape standing for any digit.
bool matchesShape(const std::string& text, const std::string& shape) {
    if (text.size() != shape.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); i++) {
        if (shape[i] == '#' ? !isdigit((unsigned char)text[i]) : text[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

class LogLevels : public ::testing::Test {
protected:
    void SetUp() override { KIVLogger::INSTANCE.Init(); }
    void TearDown() override { KIVLogger::INSTANCE.Init(); }
};

// Logs into a fresh file in a temporary folder and hands back what was written.
class LogFile : public LogLevels {
protected:
    void SetUp() override {
        LogLevels::SetUp();
        char tmpl[] = "/tmp/kivlogtest.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/kivd.log";
        ASSERT_TRUE(SetLogFile(path, false));
    }
    void TearDown() override {
        SetLogFile("", true);
        std::filesystem::remove_all(dir);
        LogLevels::TearDown();
    }
    std::vector<std::string> lines() { return split(GetFileContents(path), '\n'); }
    // The text after the "[Logger] " prefix of a line.
    static std::string message(const std::string& line) { return line.substr(line.find("] ") + 2); }

    std::string dir;
    std::string path;
};

using LogLevelSpec = LogLevels;
using LogLevelString = LogLevels;
using LogHexDump = LogFile;

TEST_F(LogLevelSpec, SetsEveryLoggerFromABareLevel) {
    const std::pair<const char*, int> cases[] = {{"debug", 4}, {"excess", 5}, {"excessive", 5},
                                                 {"info", 3},  {"warn", 2},   {"warning", 2},
                                                 {"error", 1}, {"DEBUG", 4},  {"  Excess  ", 5}};
    for (const auto& [spec, level] : cases) {
        ASSERT_TRUE(SetLogLevelComplex(spec)) << spec;
        EXPECT_EQ(currentLevels(), std::vector<int>(KIVLogger::LOGGER_COUNT, level)) << spec;
    }
}

TEST_F(LogLevelSpec, SetsOnlyTheNamedLoggersIncludingAliases) {
    ASSERT_TRUE(SetLogLevelComplex("debug:schedule,player;excess:mqtt"));
    EXPECT_EQ(LG_SCHEDULE.level, KIVLOG_DEBUG);
    EXPECT_EQ(LG_PLAYLIST.level, KIVLOG_DEBUG);
    EXPECT_EQ(LG_CONTROL.level, KIVLOG_EXCESS);
    EXPECT_EQ(LG_GENERAL.level, KIVLOG_INFO);
    EXPECT_EQ(LG_SYNC.level, KIVLOG_INFO);
}

TEST_F(LogLevelSpec, AppliesPartsInOrderSoLaterPartsWin) {
    ASSERT_TRUE(SetLogLevelComplex("debug;warn:http;info"));
    EXPECT_EQ(currentLevels(), std::vector<int>(KIVLogger::LOGGER_COUNT, KIVLOG_INFO));
    ASSERT_TRUE(SetLogLevelComplex("debug;warn:http"));
    EXPECT_EQ(LG_HTTP.level, KIVLOG_WARN);
    EXPECT_EQ(LG_MEDIAOUT.level, KIVLOG_DEBUG);
}

TEST_F(LogLevelSpec, IgnoresWhitespaceAndATrailingSemicolon) {
    ASSERT_TRUE(SetLogLevelComplex(" excess : ChannelData , sync ; warn:GPIO ; "));
    EXPECT_EQ(LG_CHANNELDATA.level, KIVLOG_EXCESS);
    EXPECT_EQ(LG_SYNC.level, KIVLOG_EXCESS);
    EXPECT_EQ(LG_GPIO.level, KIVLOG_WARN);
    EXPECT_EQ(LG_HTTP.level, KIVLOG_INFO);
}

TEST_F(LogLevelSpec, RejectsAnInvalidSpecificationWithoutChangingAnything) {
    ASSERT_TRUE(SetLogLevelComplex("warn;debug:http;excess:sync"));
    std::vector<int> before = currentLevels();
    const char* invalid[] = {"",
                             ";",
                             "loud",
                             "debug:nosuch",
                             "debug;;info",
                             ";debug",
                             "debug:",
                             ":general",
                             "debug:general:sync",
                             "debug:general,,sync",
                             "info;debug:general;bogus",
                             "debug:general;excess:sync,"};
    for (const char* spec : invalid) {
        EXPECT_FALSE(SetLogLevelComplex(spec)) << spec;
        EXPECT_EQ(currentLevels(), before) << spec;
    }
}

TEST_F(LogLevelSpec, FindsLoggersByNameIgnoringCase) {
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger("E131BRIDGE"), &LG_E131BRIDGE);
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger("channelout"), &LG_CHANNELOUT);
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger("Player"), &LG_PLAYLIST);
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger("MQTT"), &LG_CONTROL);
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger("channel"), nullptr);
    EXPECT_EQ(KIVLogger::INSTANCE.FindLogger(""), nullptr);
}

TEST_F(LogLevelString, ReadsAsOneWordWhenAllLoggersAgree) {
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), "info");
    SetLogLevelComplex("debug");
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), "debug");
}

TEST_F(LogLevelString, ListsTheExceptionsByAscendingLevelInLoggerOrder) {
    ASSERT_TRUE(SetLogLevelComplex("debug:sync,general;warn:http;excess:command"));
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), "info;warn:HTTP;debug:General,Sync;excess:Command");
}

TEST_F(LogLevelString, StartsWithTheMostCommonLevel) {
    ASSERT_TRUE(SetLogLevelComplex("excess;info:http"));
    EXPECT_EQ(KIVLogger::INSTANCE.GetLogLevelString(), "excess;info:HTTP");
}

TEST_F(LogLevelString, ReproducesRandomLevelMixes) {
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> level(KIVLOG_ERROR, KIVLOG_EXCESS);
    for (int round = 0; round < 300; round++) {
        for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
            KIVLogger::INSTANCE.All()[i]->level = level(random);
        }
        std::vector<int> wanted = currentLevels();
        std::string text = KIVLogger::INSTANCE.GetLogLevelString();
        SetLogLevelComplex(round % 2 ? "error" : "excess");
        ASSERT_TRUE(SetLogLevelComplex(text)) << text;
        ASSERT_EQ(currentLevels(), wanted) << text;
    }
}

TEST_F(LogLevelString, MinimumLogLevelIsTheHighestOfAnyLogger) {
    EXPECT_EQ(KIVLogger::INSTANCE.MinimumLogLevel(), KIVLOG_INFO);
    SetLogLevelComplex("warn;excess:sync");
    EXPECT_EQ(KIVLogger::INSTANCE.MinimumLogLevel(), KIVLOG_EXCESS);
    SetLogLevelComplex("error;debug:plugin");
    EXPECT_EQ(KIVLogger::INSTANCE.MinimumLogLevel(), KIVLOG_DEBUG);
}

TEST_F(LogFile, WritesTimestampPidAndLoggerName) {
    EXPECT_TRUE(loggingToFile());
    LogInfo(LG_HTTP, "hello %d from %s\n", 42, "test");
    std::string text = GetFileContents(path);
    std::string shape =
        "####-##-## ##:##:##.### (" + std::to_string(getpid()) + ") [HTTP] hello 42 from test\n";
    EXPECT_TRUE(matchesShape(text, shape)) << text;
}

TEST_F(LogFile, EndsEveryMessageWithExactlyOneNewline) {
    LogInfo(LG_GENERAL, "no newline");
    LogInfo(LG_GENERAL, "with newline\n");
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 3u); // two lines and the empty rest after the last newline
    EXPECT_EQ(message(written[0]), "no newline");
    EXPECT_EQ(message(written[1]), "with newline");
    EXPECT_EQ(written[2], "");
}

TEST_F(LogFile, TagsErrorsAndWarnings) {
    LogErr(LG_SETTING, "broken\n");
    LogWarn(LG_SETTING, "careful\n");
    std::vector<std::string> written = lines();
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(message(written[0]), "ERROR: broken");
    EXPECT_EQ(message(written[1]), "WARN: careful");
}

TEST_F(LogFile, SkipsMessagesAboveTheLoggersLevel) {
    EXPECT_FALSE(WillLog(KIVLOG_DEBUG, LG_SYNC));
    EXPECT_TRUE(WillLog(KIVLOG_INFO, LG_SYNC));
    LogDebug(LG_SYNC, "hidden\n");
    SetLogLevelComplex("debug:sync");
    EXPECT_TRUE(WillLog(KIVLOG_DEBUG, LG_SYNC));
    EXPECT_FALSE(WillLog(KIVLOG_EXCESS, LG_SYNC));
    LogDebug(LG_SYNC, "shown\n");
    LogExcess(LG_SYNC, "hidden too\n");
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(message(written[0]), "shown");
}

TEST_F(LogFile, AppendsToAnExistingFile) {
    LogInfo(LG_GENERAL, "first\n");
    ASSERT_TRUE(SetLogFile(path, false));
    LogInfo(LG_GENERAL, "second\n");
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(message(written[0]), "first");
    EXPECT_EQ(message(written[1]), "second");
}

TEST_F(LogFile, UsesTheConsoleWhenAskedOrWhenTheFileCannotBeOpened) {
    EXPECT_FALSE(SetLogFile(dir + "/missing/kivd.log", false));
    EXPECT_FALSE(loggingToFile());
    std::string other = dir + "/other.log";
    EXPECT_TRUE(SetLogFile(other, true));
    EXPECT_FALSE(loggingToFile());
    LogInfo(LG_GENERAL, "to the console\n");
    EXPECT_FALSE(FileExists(other));
    EXPECT_TRUE(SetLogFile("", false));
    EXPECT_FALSE(loggingToFile());
}

TEST_F(LogFile, KeepsLinesWholeUnderConcurrentWriters) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; t++) {
        writers.emplace_back([t] {
            for (int i = 0; i < 200; i++) {
                LogInfo(LG_GENERAL, "writer %d line %d %s\n", t, i, "0123456789abcdefghijklmnopqrstuvwxyz");
            }
        });
    }
    for (std::thread& w : writers) {
        w.join();
    }
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 801u);
    std::set<std::string> messages;
    for (size_t i = 0; i < 800; i++) {
        ASSERT_TRUE(matchesShape(written[i].substr(0, 23), "####-##-## ##:##:##.###")) << written[i];
        ASSERT_TRUE(endsWith(written[i], " 0123456789abcdefghijklmnopqrstuvwxyz")) << written[i];
        messages.insert(message(written[i]));
    }
    EXPECT_EQ(messages.size(), 800u);
}

TEST_F(LogHexDump, WritesTheTitleThenSixteenBytesALine) {
    SetLogLevelComplex("debug:channeldata");
    unsigned char data[20];
    for (int i = 0; i < 20; i++) {
        data[i] = "Hello, hex dump!\x01\x7f\xff!"[i];
    }
    HexDump("Packet", data, sizeof(data), LG_CHANNELDATA, KIVLOG_DEBUG);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(message(written[0]), "Packet: 20 bytes");
    EXPECT_EQ(message(written[1]), "0000: 48 65 6c 6c 6f 2c 20 68 65 78 20 64 75 6d 70 21  Hello, hex dump!");
    EXPECT_EQ(message(written[2]), "0010: 01 7f ff 21 " + std::string(36, ' ') + " ...!");
}

TEST_F(LogHexDump, WritesNothingAboveTheLoggersLevel) {
    const char data[] = "abc";
    HexDump("Quiet", data, 3, LG_CHANNELDATA, KIVLOG_DEBUG);
    HexDump("Loud", data, 3, LG_CHANNELDATA, KIVLOG_INFO);
    std::vector<std::string> written = lines();
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(message(written[0]), "Loud: 3 bytes");
    EXPECT_EQ(message(written[1]), "0000: 61 62 63 " + std::string(39, ' ') + " abc");
}

} // namespace
