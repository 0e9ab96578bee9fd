#pragma once
// The daemon's status object (GET /kivd/status, and any part of the daemon that wants it) and the
// pieces it is built from. The readers of PlayerResource are defined beside it in PlayerStatus.cpp.
//
// Callable from any thread at once: the values computed at the first call are a function-local
// static (initialised once, thread-safe), startupTime is an atomic, and everything else is read
// from parts that guard themselves.

#include <jsoncpp/json/json.h>

#include <atomic>
#include <string>

// Seconds since the epoch when the daemon started (taken as the library loads). Moved to "now"
// when the wall clock is found to have jumped forward past the system's own uptime.
extern std::atomic<long long> startupTime;

// Fills result with the status keys: identity, mode, player and bridge state, time, uptime,
// sensors, warnings, MQTT and, by mode, the remote block or the player and scheduler keys.
void GetCurrentKIVDStatus(Json::Value& result);

// Seconds since startupTime, after resetting it to now when that exceeds the system uptime.
long long SecondsSinceStartup();
// "testing" while a test runs, else the name of the player status (7 and beyond: "unknown").
std::string StatusName(bool testing, int status);
// The "uptime*" keys for elapsed seconds.
void AddUptime(Json::Value& result, long long elapsed);
// "MM:SS", or "H:MM:SS" from one hour on.
std::string secondsToTime(long long seconds);
// The part of a media path after its last "/" or "\\" (the whole path when it has neither).
std::string MediaBaseName(const std::string& path);
// Local time in the strftime format; GetDateStr is the same clock, named for date formats.
std::string GetTimeStr(const std::string& format);
std::string GetDateStr(const std::string& format);
// "Raspberry Pi" on a Pi (from the device tree's model), else "Linux".
std::string getPlatform();
