// The pieces of the status object that a running daemon cannot be made to show: long uptimes,
// clock jumps, every player status, and media playing on a remote.

#include "PlayerStatus.h"
#include "common/Settings.h"
#include "mediaoutput/MediaOutput.h"

#include <gtest/gtest.h>

#include <sys/sysinfo.h>

#include <ctime>

TEST(PlayerStatus, NamesEveryPlayerStatusAndTestingOverridesThem) {
    const char* names[] = {"idle",
                           "playing",
                           "stopping gracefully",
                           "stopping gracefully after loop",
                           "stopping now",
                           "paused",
                           "unknown",
                           "unknown"};
    for (int status = 0; status <= 7; status++) {
        EXPECT_EQ(names[status], StatusName(false, status)) << status;
        EXPECT_EQ("testing", StatusName(true, status)) << status;
    }
    EXPECT_EQ("unknown", StatusName(false, -1));
}

TEST(PlayerStatus, SpellsOutAnUptimeOfADayAnHourAMinuteAndASecond) {
    Json::Value result;
    AddUptime(result, 90061);
    EXPECT_EQ("1 days, 1 hours, 1 minutes, 1 seconds", result["uptimeStr"].asString());
    EXPECT_EQ(90061, result["uptimeTotalSeconds"].asInt());
    EXPECT_EQ(1, result["uptimeSeconds"].asInt());
    EXPECT_DOUBLE_EQ(90061 / 86400.0, result["uptimeDays"].asDouble());
    EXPECT_DOUBLE_EQ(3661 / 3600.0, result["uptimeHours"].asDouble());
    EXPECT_DOUBLE_EQ(61 / 60.0, result["uptimeMinutes"].asDouble());
    EXPECT_EQ("25:01:01", result["uptime"].asString());
}

TEST(PlayerStatus, FormatsSecondsAsMinutesAndFromAnHourOnWithHours) {
    const std::pair<long long, const char*> cases[] = {
        {0, "00:00"}, {59, "00:59"}, {61, "01:01"}, {3599, "59:59"}, {3600, "1:00:00"}, {90061, "25:01:01"}};
    for (const auto& [seconds, text] : cases) {
        EXPECT_EQ(text, secondsToTime(seconds)) << seconds;
    }
}

TEST(PlayerStatus, CountsUptimeAgainFromAForwardClockJump) {
    long long now = time(nullptr);
    struct sysinfo info {};
    ASSERT_EQ(0, sysinfo(&info));
    startupTime = now - 2;
    EXPECT_NEAR(2, SecondsSinceStartup(), 1);
    startupTime = now - info.uptime - 3600;
    EXPECT_EQ(0, SecondsSinceStartup());
    EXPECT_NEAR(now, startupTime.load(), 1);
}

TEST(PlayerStatus, TakesTheMediaNameAfterItsLastSeparator) {
    EXPECT_EQ("song.mp3", MediaBaseName("/home/kiv/media/music/song.mp3"));
    EXPECT_EQ("song.mp3", MediaBaseName("C:\\music\\song.mp3"));
    EXPECT_EQ("song.mp3", MediaBaseName("song.mp3"));
    EXPECT_EQ("", MediaBaseName("music/"));
}

TEST(PlayerStatus, KeepsTheHostNameOfTheFirstRequest) {
    SetSetting("HostName", "first");
    Json::Value before;
    GetCurrentKIVDStatus(before);
    SetSetting("HostName", before["host_name"].asString() + "-changed");
    Json::Value after;
    GetCurrentKIVDStatus(after);
    EXPECT_EQ(before["host_name"], after["host_name"]);
}

TEST(PlayerStatus, ARemotePlayingMediaReportsItAsPlaying) {
    SetSetting("kivMode", "remote");
    MediaOutputBase playing;
    playing.m_mediaFilename = "/home/kiv/media/music/song.mp3";
    mediaOutputStatus->secondsElapsed = 65;
    mediaOutputStatus->secondsRemaining = 10;
    mediaOutput = &playing;
    Json::Value status;
    GetCurrentKIVDStatus(status);
    mediaOutput = nullptr;
    EXPECT_EQ(1, status["status"].asInt());
    EXPECT_EQ("playing", status["status_name"].asString());
    EXPECT_EQ("song.mp3", status["media_filename"].asString());
    EXPECT_EQ("song.mp3", status["current_song"].asString());
    EXPECT_EQ("", status["sequence_filename"].asString());
    EXPECT_EQ("65", status["seconds_played"].asString());
    EXPECT_EQ("10", status["seconds_remaining"].asString());
    EXPECT_EQ("01:05", status["time_elapsed"].asString());
    EXPECT_EQ("00:10", status["time_remaining"].asString());
}

TEST(PlayerStatus, ExpandsMinutesToMinutesAndSecondsInTheFullTime) {
    SetSetting("TimeFormat", "[%M]");
    Json::Value status;
    GetCurrentKIVDStatus(status);
    std::string full = status["timeStrFull"].asString();
    ASSERT_EQ(7u, full.size()) << full;
    EXPECT_EQ(':', full[3]);
    EXPECT_EQ(4u, status["timeStr"].asString().size());
}
