// The settings store and its file.
//
// File lines read `name = "value"`. Inside the quotes a backslash escapes the next character:
// \" and \\ stand for themselves, \n and \r for a line break (so any value survives a write and a
// reload), and a backslash before anything else is kept as written.

#include "common/Settings.h"

#include "common/Common.h"
#include "common/Log.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace {

std::mutex settingsMutex;
// Current values by name. Guarded by settingsMutex.
std::map<std::string, std::string> values;
// Listeners by setting name, then by listener id. Guarded by settingsMutex.
std::map<std::string, std::map<std::string, SettingsListener>> listeners;
// Held across snapshot and write so concurrent persisting setters reach the disk in order.
std::mutex fileMutex;

// A callback to run once the lock is released, with the value it is told about.
using Notification = std::pair<SettingsListener, std::string>;

std::string escapeValue(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '"' || c == '\\') {
            out += '\\';
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else {
            out += c;
        }
    }
    return out;
}

char unescapeChar(char c) {
    if (c == 'n') {
        return '\n';
    }
    if (c == 'r') {
        return '\r';
    }
    return c;
}

// Reads the quoted text that starts at quoted[0]; false unless it ends with an unescaped quote.
bool unquote(const std::string& quoted, std::string& value) {
    if (quoted.size() < 2 || quoted.front() != '"') {
        return false;
    }
    value.clear();
    for (size_t i = 1; i < quoted.size(); i++) {
        char c = quoted[i];
        if (c == '\\' && i + 1 < quoted.size()) {
            char next = quoted[++i];
            bool known = next == '"' || next == '\\' || next == 'n' || next == 'r';
            if (!known) {
                value += '\\';
            }
            value += known ? unescapeChar(next) : next;
        } else if (c == '"' && i == quoted.size() - 1) {
            return true;
        } else {
            value += c;
        }
    }
    return false;
}

bool parseLine(const std::string& line, std::string& key, std::string& value) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) {
        return false;
    }
    key = trim(line.substr(0, eq));
    return !key.empty() && unquote(trim(line.substr(eq + 1)), value);
}

// Stores the given values; returns the listener calls owed for the ones that changed.
std::vector<Notification> storeValues(const std::map<std::string, std::string>& incoming) {
    std::vector<Notification> owed;
    std::lock_guard<std::mutex> lock(settingsMutex);
    for (const auto& [key, value] : incoming) {
        auto it = values.find(key);
        if (it != values.end() && it->second == value) {
            continue;
        }
        values[key] = value;
        auto found = listeners.find(key);
        if (found == listeners.end()) {
            continue;
        }
        for (const auto& [id, cb] : found->second) {
            owed.emplace_back(cb, value);
        }
    }
    return owed;
}

void notify(const std::vector<Notification>& owed) {
    for (const auto& [cb, value] : owed) {
        cb(value);
    }
}

void storeAndNotify(const std::string& key, const std::string& value) {
    notify(storeValues({{key, value}}));
}

// Written in key order (the map's) so the file is stable and easy to compare.
bool writeSettingsFile() {
    std::lock_guard<std::mutex> fileLock(fileMutex);
    std::string text;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        for (const auto& [key, value] : values) {
            text += key + " = \"" + escapeValue(value) + "\"\n";
        }
    }
    if (!DirectoryExists(getKIVMediaDir())) {
        EnsureMediaDirectory();
    }
    if (PutFileContents(GetSettingsFilePath(), text)) {
        return true;
    }
    LogErr(LG_SETTING, "Could not write the settings file %s\n", GetSettingsFilePath().c_str());
    return false;
}

bool readSettingsFile(const std::string& path, std::map<std::string, std::string>& read) {
    std::ifstream in(path);
    if (!in) {
        return false;
    }
    std::string line;
    int lineNumber = 0;
    while (std::getline(in, line)) {
        lineNumber++;
        std::string key, value;
        if (trim(line).empty()) {
            continue;
        }
        if (parseLine(trim(line), key, value)) {
            read[key] = value;
        } else {
            LogWarn(LG_SETTING, "Skipping malformed line %d of %s: %s\n", lineNumber, path.c_str(),
                    line.c_str());
        }
    }
    return true;
}

void applyLogLevelSetting() {
    std::string spec;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        auto it = values.find("LogLevel");
        if (it == values.end()) {
            return;
        }
        spec = it->second;
    }
    if (!SetLogLevelComplex(spec)) {
        LogWarn(LG_SETTING, "Invalid LogLevel setting '%s' ignored\n", spec.c_str());
    }
}

} // namespace

bool LoadSettings(const char* programPath) {
    EnsureMediaDirectory();
    std::string path = GetSettingsFilePath();
    std::map<std::string, std::string> read;
    if (!readSettingsFile(path, read)) {
        LogDebug(LG_SETTING, "No settings file %s for %s, keeping the current settings\n", path.c_str(),
                 programPath ? programPath : "");
        return false;
    }
    std::vector<Notification> owed = storeValues(read);
    applyLogLevelSetting();
    notify(owed);
    return true;
}

std::string getSetting(const std::string& key, const std::string& defaultValue) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    auto it = values.find(key);
    return it == values.end() ? defaultValue : it->second;
}

int getSettingInt(const std::string& key, int defaultValue) {
    std::string text = getSetting(key);
    char* end = nullptr;
    long value = strtol(text.c_str(), &end, 10);
    return end == text.c_str() ? defaultValue : (int)value;
}

void SetSetting(const std::string& key, const std::string& value) {
    storeAndNotify(key, value);
}

void SetSetting(const std::string& key, int value) {
    storeAndNotify(key, std::to_string(value));
}

void setSetting(const std::string& key, const std::string& value, bool persist) {
    storeAndNotify(key, value);
    if (persist) {
        writeSettingsFile();
    }
}

// Integer values set this way come from options and run-time state, so they stay in memory.
void setSetting(const std::string& key, int value) {
    storeAndNotify(key, std::to_string(value));
}

void registerSettingsListener(const std::string& listenerId, const std::string& setting,
                              SettingsListener cb) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    listeners[setting][listenerId] = std::move(cb);
}

void unregisterSettingsListener(const std::string& listenerId, const std::string& setting) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    auto it = listeners.find(setting);
    if (it == listeners.end()) {
        return;
    }
    it->second.erase(listenerId);
    if (it->second.empty()) {
        listeners.erase(it);
    }
}

std::string GetSettingsFilePath() {
    return getKIVMediaDir("/settings");
}

void ResetSettingsForTesting() {
    std::lock_guard<std::mutex> lock(settingsMutex);
    values.clear();
    listeners.clear();
}
