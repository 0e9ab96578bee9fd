#pragma once
// Small shared helpers: time, strings, files and JSON, paths and the daemon's mode.

#include <jsoncpp/json/json.h>

#include <functional>
#include <string>
#include <vector>

// Monotonic milliseconds / microseconds.
long long GetTimeMS();
long long GetTimeMicros();

bool startsWith(const std::string& text, const std::string& prefix);
bool endsWith(const std::string& text, const std::string& suffix);
bool contains(const std::string& text, const std::string& part);
std::vector<std::string> split(const std::string& text, char separator);
std::string toLower(std::string text);
std::string trim(const std::string& text);
// Names the calling thread (cut to the 15 characters Linux keeps).
void SetThreadName(const std::string& name);
// strtol over the whole text; false when it is not a number.
bool ParseInt(const std::string& text, long& value);

bool FileExists(const std::string& path);
bool DirectoryExists(const std::string& path);
// Whole file as text; empty when unreadable.
std::string GetFileContents(const std::string& path);
// Writes by a temporary file and rename, so a reader sees the old or the new file, never half.
bool PutFileContents(const std::string& path, const std::string& contents);
bool LoadJsonFromFile(const std::string& path, Json::Value& value);
bool LoadJsonFromString(const std::string& text, Json::Value& value);
bool SaveJsonToFile(const Json::Value& value, const std::string& path, const std::string& indentation = "\t");
std::string SaveJsonToString(const Json::Value& value, const std::string& indentation = "\t");
// Group-writable file (0664) or folder (0775).
void SetFilePerms(const std::string& path, bool isDirectory = false);

// $KIV_MEDIA_DIR, else "/home/kiv/media"; the relative path is appended as given.
std::string getKIVMediaDir(const std::string& relative = "");
// The folder above the running executable's folder, with the relative path appended.
std::string getKIVDDir(const std::string& relative = "");
// Creates the media directory and its standard sub-folders when missing; true when it exists after.
bool EnsureMediaDirectory();

// Mode flags from the setting "kivMode": "bridge" 1, "player" 2 (default), "master" 6, "remote" 8.
constexpr int BRIDGE_MODE = 1;
constexpr int PLAYER_MODE = 2;
constexpr int MASTER_MODE = 6;
constexpr int REMOTE_MODE = 8;
int getKIVmode();
std::string getKIVmodeName(int mode);

// The daemon registers how a stop or restart is requested; anything may then ask for one.
void RegisterShutdownHandler(std::function<void(bool restart)> handler);
void ShutdownKIVD(bool restart);
