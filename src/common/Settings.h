#pragma once
// The settings store: one process-wide map of name to text value, loaded from the settings file
// (media directory + "/settings", one `name = "value"` a line) and optionally written back.
// Guarded by an internal mutex; listeners run on the thread that changed the value, after the
// mutex is released.

#include <functional>
#include <string>

// Reads the settings file (creating the media directory and its sub-folders when missing).
// programPath is argv[0]; unused beyond logging. Returns false when the file is missing or unreadable,
// in which case the values already held stay.
bool LoadSettings(const char* programPath);

std::string getSetting(const std::string& key, const std::string& defaultValue = "");
int getSettingInt(const std::string& key, int defaultValue = 0);

// Store in memory only.
void SetSetting(const std::string& key, const std::string& value);
void SetSetting(const std::string& key, int value);
// Store, and with persist true also rewrite the settings file (by rename, so readers never see half a file).
void setSetting(const std::string& key, const std::string& value, bool persist);
void setSetting(const std::string& key, int value);

using SettingsListener = std::function<void(const std::string& newValue)>;
// A listener is called whenever the setting's value changes, from a setter or a reload of the file.
void registerSettingsListener(const std::string& listenerId, const std::string& setting, SettingsListener cb);
void unregisterSettingsListener(const std::string& listenerId, const std::string& setting);

// Path of the settings file.
std::string GetSettingsFilePath();
// Drops every value and listener (tests).
void ResetSettingsForTesting();
