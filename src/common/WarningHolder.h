#pragma once
// User-visible warnings. Static state guarded by one mutex; the notify thread writes the warnings
// file (media directory + "/tmp/warnings.json") whenever the set changes and drops expired warnings.

#include <jsoncpp/json/json.h>

#include <list>
#include <map>
#include <string>

class KIVWarning {
public:
    int id = -1; // -1: a plain text warning
    std::string message;
    std::map<std::string, std::string> data;
    long long expiresMS = 0; // GetTimeMS() time it is dropped at; 0: never

    Json::Value toJson() const; // {"id", "message", "data" (object)}
};

class WarningHolder {
public:
    static void AddWarning(const std::string& text);
    static void AddWarning(int id, const std::string& text,
                           const std::map<std::string, std::string>& data = {});
    static void AddWarningTimeout(const std::string& text, int seconds);
    static void RemoveWarning(const std::string& text);
    static void RemoveWarning(int id, const std::string& text);
    static void RemoveAllWarnings();
    // Current warnings, expired ones already removed.
    static std::list<KIVWarning> GetWarnings();
    static Json::Value GetWarningsJson();
    static void WriteWarningsFile();
    static void ClearWarningsFile();
    static std::string WarningsFilePath();

    static void StartNotifyThread();
    static void StopNotifyThread();
};
