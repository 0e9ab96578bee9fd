#include "common/WarningHolder.h"

#include "common/Common.h"
#include "common/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

// All warning state, guarded by warningLock. version counts changes so the notify thread knows
// when the file it last wrote is stale.
std::mutex warningLock;
std::condition_variable warningChanged;
std::list<KIVWarning> warnings;
unsigned long long version = 0;
bool stopRequested = false;

// The notify thread itself; start and stop are serialised by threadLock so they never race.
std::mutex threadLock;
std::thread notifyThread;

// A process that exits without StopNotifyThread must not end in std::terminate from a still
// joinable thread; declared after the thread so it is destroyed first.
struct NotifyThreadGuard {
    ~NotifyThreadGuard() { WarningHolder::StopNotifyThread(); }
} notifyThreadGuard;

constexpr int NOTIFY_PERIOD_MS = 250;

// Caller holds warningLock.
void markChanged() {
    ++version;
    warningChanged.notify_all();
}

// Caller holds warningLock. Returns true when something expired.
bool dropExpired(long long now) {
    auto before = warnings.size();
    warnings.remove_if([now](const KIVWarning& w) { return w.expiresMS != 0 && w.expiresMS <= now; });
    if (warnings.size() == before) {
        return false;
    }
    markChanged();
    return true;
}

// Caller holds warningLock. Removes every warning the predicate matches; true when any went.
template <typename Pred> bool removeMatching(Pred pred) {
    auto before = warnings.size();
    warnings.remove_if(pred);
    if (warnings.size() == before) {
        return false;
    }
    markChanged();
    return true;
}

Json::Value toJsonArray(const std::list<KIVWarning>& list) {
    Json::Value result(Json::arrayValue);
    for (const auto& w : list) {
        result.append(w.toJson());
    }
    return result;
}

bool writeFile(const Json::Value& json) {
    std::string path = WarningHolder::WarningsFilePath();
    std::string folder = path.substr(0, path.rfind('/'));
    if (!DirectoryExists(folder) && mkdir(folder.c_str(), 0775) != 0 && errno != EEXIST) {
        LogWarn(LG_GENERAL, "Cannot create %s for the warnings file: %s\n", folder.c_str(), strerror(errno));
        return false;
    }
    // Written through a temporary and a rename, so readers never see a half-written file.
    return SaveJsonToFile(json, path);
}

// Wakes on every change or every NOTIFY_PERIOD_MS to expire warnings; writes the file outside the
// lock so adding or removing a warning never waits for the disk.
void notifyLoop() {
    SetThreadName("KIV-Warnings");
    unsigned long long written = version - 1; // write once at start so the file matches the set
    std::unique_lock<std::mutex> lk(warningLock);
    while (!stopRequested) {
        dropExpired(GetTimeMS());
        bool failed = false;
        if (written != version) {
            unsigned long long snapshotVersion = version;
            Json::Value json = toJsonArray(warnings);
            lk.unlock();
            failed = !writeFile(json);
            lk.lock();
            if (!failed) {
                written = snapshotVersion;
            }
        }
        // A change made while the file was written is picked up at once; a failed write waits
        // for the next period instead of spinning.
        if (failed || written == version) {
            warningChanged.wait_for(lk, std::chrono::milliseconds(NOTIFY_PERIOD_MS));
        }
    }
}

} // namespace

Json::Value KIVWarning::toJson() const {
    Json::Value result;
    result["id"] = id;
    result["message"] = message;
    Json::Value dataObject(Json::objectValue);
    for (const auto& [key, value] : data) {
        dataObject[key] = value;
    }
    result["data"] = dataObject;
    return result;
}

void WarningHolder::AddWarning(const std::string& text) {
    {
        std::lock_guard<std::mutex> lk(warningLock);
        for (const auto& w : warnings) {
            if (w.message == text) {
                return;
            }
        }
        KIVWarning w;
        w.message = text;
        warnings.push_back(w);
        markChanged();
    }
    LogDebug(LG_GENERAL, "Adding warning: %s\n", text.c_str());
}

void WarningHolder::AddWarning(int id, const std::string& text,
                               const std::map<std::string, std::string>& data) {
    {
        std::lock_guard<std::mutex> lk(warningLock);
        warnings.remove_if([&](const KIVWarning& w) { return w.id == id && w.message == text; });
        KIVWarning w;
        w.id = id;
        w.message = text;
        w.data = data;
        warnings.push_back(w);
        markChanged();
    }
    LogDebug(LG_GENERAL, "Adding warning %d: %s\n", id, text.c_str());
}

void WarningHolder::AddWarningTimeout(const std::string& text, int seconds) {
    long long expires = GetTimeMS() + 1000LL * seconds;
    {
        std::lock_guard<std::mutex> lk(warningLock);
        bool found = false;
        for (auto& w : warnings) {
            if (w.id == -1 && w.message == text) {
                w.expiresMS = expires;
                found = true;
            }
        }
        if (!found) {
            KIVWarning w;
            w.message = text;
            w.expiresMS = expires;
            warnings.push_back(w);
        }
        markChanged();
    }
    LogDebug(LG_GENERAL, "Adding warning for %d seconds: %s\n", seconds, text.c_str());
}

void WarningHolder::RemoveWarning(const std::string& text) {
    bool removed;
    {
        std::lock_guard<std::mutex> lk(warningLock);
        removed = removeMatching([&](const KIVWarning& w) { return w.message == text; });
    }
    if (removed) {
        LogDebug(LG_GENERAL, "Removing warning: %s\n", text.c_str());
    }
}

void WarningHolder::RemoveWarning(int id, const std::string& text) {
    bool removed;
    {
        std::lock_guard<std::mutex> lk(warningLock);
        removed = removeMatching([&](const KIVWarning& w) { return w.id == id && w.message == text; });
    }
    if (removed) {
        LogDebug(LG_GENERAL, "Removing warning %d: %s\n", id, text.c_str());
    }
}

void WarningHolder::RemoveAllWarnings() {
    bool removed;
    {
        std::lock_guard<std::mutex> lk(warningLock);
        removed = removeMatching([](const KIVWarning&) { return true; });
    }
    if (removed) {
        LogDebug(LG_GENERAL, "Removed all warnings\n");
    }
}

std::list<KIVWarning> WarningHolder::GetWarnings() {
    std::lock_guard<std::mutex> lk(warningLock);
    dropExpired(GetTimeMS());
    return warnings;
}

Json::Value WarningHolder::GetWarningsJson() {
    return toJsonArray(GetWarnings());
}

void WarningHolder::WriteWarningsFile() {
    writeFile(GetWarningsJson());
}

void WarningHolder::ClearWarningsFile() {
    unlink(WarningsFilePath().c_str());
}

std::string WarningHolder::WarningsFilePath() {
    return getKIVMediaDir("/tmp/warnings.json");
}

void WarningHolder::StartNotifyThread() {
    std::lock_guard<std::mutex> tl(threadLock);
    if (notifyThread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(warningLock);
        stopRequested = false;
    }
    notifyThread = std::thread(notifyLoop);
}

void WarningHolder::StopNotifyThread() {
    std::lock_guard<std::mutex> tl(threadLock);
    if (!notifyThread.joinable()) {
        return;
    }
    {
        std::lock_guard<std::mutex> lk(warningLock);
        stopRequested = true;
        warningChanged.notify_all();
    }
    notifyThread.join();
}
