#include "PlayerStatus.h"

#include "NetworkController.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"
#include "e131bridge.h"
#include "httpAPI.h"
#include "mediaoutput/MediaOutput.h"
#include "player/ChannelTester.h"
#include "player/Effects.h"
#include "player/MosquittoClient.h"
#include "player/MultiSync.h"
#include "player/Player.h"
#include "player/Scheduler.h"
#include "player/Sensors.h"
#include "player/Sequence.h"
#include "player/Version.h"

#include <arpa/inet.h>
#include <sys/sysinfo.h>

#include <ctime>
#include <memory>

std::atomic<long long> startupTime{static_cast<long long>(time(nullptr))};

namespace {

// What a status request reports about the host: read once, so later setting changes do not show.
struct Identity {
    std::string version = getKIVVersion();
    std::string branch = getKIVBranch();
    std::string platform = getPlatform();
    std::string uuid = getSetting("SystemUUID", "");
    std::string hostName = getSetting("HostName", "");
    std::string hostDescription = getSetting("HostDescription", "");
};

const Identity& identity() {
    static const Identity once;
    return once;
}

std::string formatLocalTime(const char* format) {
    time_t now = time(nullptr);
    tm local{};
    localtime_r(&now, &local);
    char text[256];
    size_t length = strftime(text, sizeof(text), format, &local);
    return std::string(text, length);
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

void addIdentityAndState(Json::Value& result) {
    const Identity& id = identity();
    result["kivd"] = "running";
    result["version"] = id.version;
    result["branch"] = id.branch;
    result["platform"] = id.platform;
    result["uuid"] = id.uuid;
    result["host_name"] = id.hostName;
    result["host_description"] = id.hostDescription;
    int mode = getKIVmode();
    result["mode"] = mode;
    result["mode_name"] = getKIVmodeName(mode);
    int status = Player::INSTANCE.GetStatus();
    result["status"] = status;
    result["bridging"] = HasBridgeData();
    result["multisync"] = multiSync != nullptr && multiSync->isMultiSyncEnabled();
    result["powerBad"] = piPowerBad.load();
    result["status_name"] = StatusName(ChannelTester::INSTANCE.Testing(), status);
    result["volume"] = getVolume();
}

void addTime(Json::Value& result) {
    std::string timeFormat = getSetting("TimeFormat", "%H:%M");
    result["time"] = formatLocalTime("%a %b %d %H:%M:%S %Z %Y");
    result["timeStrFull"] = GetTimeStr(replaceAll(timeFormat, "%M", "%M:%S"));
    result["timeStr"] = GetTimeStr(timeFormat);
    result["dateStr"] = GetDateStr(getSetting("DateFormat", "%Y-%m-%d"));
}

void addWarnings(Json::Value& result) {
    Json::Value messages(Json::arrayValue);
    Json::Value objects(Json::arrayValue);
    for (const auto& warning : WarningHolder::GetWarnings()) {
        messages.append(warning.message);
        objects.append(warning.toJson());
    }
    result["warnings"] = messages;
    result["warningInfo"] = objects;
}

void addMqtt(Json::Value& result) {
    Json::Value broker;
    broker["configured"] = mqtt != nullptr;
    broker["connected"] = mqtt != nullptr && mqtt->IsConnected();
    result["MQTT"] = broker;
}

// A remote follows its master's sequence and media, so it reports what it is playing itself.
void addRemoteBlock(Json::Value& result) {
    std::string sequenceName, mediaName;
    long long elapsed = 0, remaining = 0;
    if (sequence && sequence->IsSequenceRunning()) {
        sequenceName = sequence->GetSequenceName();
        elapsed = sequence->GetPositionMS() / 1000;
        remaining = sequence->GetRemainingMS() / 1000;
    }
    {
        std::lock_guard<std::mutex> lk(mediaOutputLock);
        if (mediaOutput) {
            mediaName = mediaOutput->m_mediaFilename;
            elapsed = mediaOutputStatus->secondsElapsed;
            remaining = mediaOutputStatus->secondsRemaining;
        }
    }
    if (!sequenceName.empty() || !mediaName.empty()) {
        result["status"] = 1;
        result["status_name"] = "playing";
    }
    result["playlist"] = sequenceName;
    result["sequence_filename"] = sequenceName;
    result["media_filename"] = MediaBaseName(mediaName);
    result["current_sequence"] = sequenceName;
    result["current_song"] = result["media_filename"];
    result["seconds_played"] = std::to_string(elapsed);
    result["seconds_elapsed"] = std::to_string(elapsed);
    result["seconds_remaining"] = std::to_string(remaining);
    result["time_elapsed"] = secondsToTime(elapsed);
    result["time_remaining"] = secondsToTime(remaining);
}

void addPlayerBlock(Json::Value& result) {
    Json::Value next;
    next["playlist"] = scheduler ? scheduler->GetNextPlaylistName() : "";
    next["start_time"] = scheduler ? scheduler->GetNextPlaylistStartStr() : "";
    result["next_playlist"] = next;
    Player::INSTANCE.GetCurrentStatus(result);
    result["scheduler"] = scheduler ? scheduler->GetInfo() : Json::Value(Json::objectValue);
}

} // namespace

std::string getPlatform() {
    return startsWith(GetFileContents("/proc/device-tree/model"), "Raspberry Pi") ? "Raspberry Pi" : "Linux";
}

std::string GetTimeStr(const std::string& format) {
    return formatLocalTime(format.c_str());
}

std::string GetDateStr(const std::string& format) {
    return formatLocalTime(format.c_str());
}

std::string StatusName(bool testing, int status) {
    static const char* const names[] = {
        "idle", "playing", "stopping gracefully", "stopping gracefully after loop", "stopping now", "paused"};
    if (testing) {
        return "testing";
    }
    return status >= 0 && status <= 5 ? names[status] : "unknown";
}

std::string secondsToTime(long long seconds) {
    char text[32];
    if (seconds >= 3600) {
        snprintf(text, sizeof(text), "%lld:%02lld:%02lld", seconds / 3600, seconds % 3600 / 60, seconds % 60);
    } else {
        snprintf(text, sizeof(text), "%02lld:%02lld", seconds / 60, seconds % 60);
    }
    return text;
}

std::string MediaBaseName(const std::string& path) {
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A clock set forward after start-up (a Pi without RTC getting NTP time) would show an uptime
// longer than the machine has been running; counting from the jump is the honest fallback.
long long SecondsSinceStartup() {
    long long now = time(nullptr);
    long long elapsed = now - startupTime.load();
    struct sysinfo info {};
    if (sysinfo(&info) == 0 && elapsed > info.uptime) {
        startupTime = now;
        elapsed = 0;
    }
    return elapsed;
}

void AddUptime(Json::Value& result, long long elapsed) {
    result["uptime"] = secondsToTime(elapsed);
    result["uptimeTotalSeconds"] = static_cast<Json::Int64>(elapsed);
    result["uptimeSeconds"] = static_cast<Json::Int64>(elapsed % 60);
    result["uptimeDays"] = elapsed / 86400.0;
    result["uptimeMinutes"] = (elapsed % 3600) / 60.0;
    result["uptimeHours"] = (elapsed % 86400) / 3600.0;
    result["uptimeStr"] =
        std::to_string(elapsed / 86400) + " days, " + std::to_string(elapsed % 86400 / 3600) + " hours, " +
        std::to_string(elapsed % 3600 / 60) + " minutes, " + std::to_string(elapsed % 60) + " seconds";
}

void GetCurrentKIVDStatus(Json::Value& result) {
    addIdentityAndState(result);
    addTime(result);
    AddUptime(result, SecondsSinceStartup());
    Sensors::INSTANCE.reportSensors(result);
    addWarnings(result);
    int mode = result["mode"].asInt();
    if (mode == BRIDGE_MODE) {
        return;
    }
    addMqtt(result);
    if (mode == REMOTE_MODE) {
        addRemoteBlock(result);
    } else {
        addPlayerBlock(result);
    }
}

void PlayerResource::GetCurrentStatus(Json::Value& result) {
    LogDebug(LG_HTTP, "API - Getting kivd status\n");
    GetCurrentKIVDStatus(result);
}

void PlayerResource::GetE131BytesReceived(Json::Value& result) {
    result = GetE131UniverseBytesReceived();
    if (result.isObject() && result.isMember("universes")) {
        SetOKResult(result, "");
    } else {
        result = Json::Value(Json::objectValue);
        SetErrorResult(result, 400, "GetE131UniverseBytesReceived() did not return any universes.");
    }
}

// Statistics and system lists both carry "systems"; without it MultiSync had nothing to say.
static void finishMultiSync(Json::Value& result) {
    if (result.isObject() && result.isMember("systems")) {
        PlayerResource::SetOKResult(result, "");
    } else {
        result = Json::Value(Json::objectValue);
        PlayerResource::SetErrorResult(result, 400, "MultiSync did not return any systems.");
    }
}

void PlayerResource::GetMultiSyncSystems(Json::Value& result, bool localOnly) {
    result = multiSync ? multiSync->GetSystems(localOnly, true) : Json::Value(Json::objectValue);
    finishMultiSync(result);
}

void PlayerResource::GetMultiSyncStats(Json::Value& result, bool reset) {
    if (multiSync && reset) {
        multiSync->ResetSyncStats();
    }
    result = multiSync ? multiSync->GetSyncStats() : Json::Value(Json::objectValue);
    finishMultiSync(result);
}

void PlayerResource::GetCurrentPlaylists(Json::Value& result) {
    LogDebug(LG_HTTP, "API - Getting current playlist\n");
    Json::Value playlists(Json::arrayValue);
    if (Player::INSTANCE.IsPlaying()) {
        playlists.append(Player::INSTANCE.GetPlaylistName());
    }
    result["playlists"] = playlists;
    SetOKResult(result, "");
}

void PlayerResource::GetPlaylistFileTime(Json::Value& result) {
    bool playing = Player::INSTANCE.IsPlaying();
    result["fileTime"] = static_cast<Json::UInt64>(playing ? Player::INSTANCE.GetFileTime() : 0);
    SetOKResult(result, "");
}

void PlayerResource::GetPlaylistConfig(Json::Value& result) {
    if (Player::INSTANCE.IsPlaying()) {
        result = Player::INSTANCE.GetConfig();
    }
    SetOKResult(result, "");
}

void PlayerResource::GetLogSettings(Json::Value& result) {
    SetOKResult(result, "");
    Json::Value levels(Json::objectValue);
    KIVLoggerInstance* const* loggers = KIVLogger::INSTANCE.All();
    for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
        levels[loggers[i]->name] = LogLevelToString(loggers[i]->level.load(std::memory_order_relaxed));
    }
    result["log"] = levels;
}

void PlayerResource::GetRunningEffects(Json::Value& result) {
    LogDebug(LG_HTTP, "API - Getting list of running effects\n");
    SetOKResult(result, "");
    result["runningEffects"] = ::GetRunningEffects();
}

// Only an IPv4 address or a plain host name may go into the URL: anything else could point the
// request at another path, port or user part.
static bool isControllerAddress(const std::string& address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
        return true;
    }
    if (address.empty() || address.size() > 253) {
        return false;
    }
    for (char c : address) {
        if (!isalnum((unsigned char)c) && c != '.' && c != '-') {
            return false;
        }
    }
    return true;
}

void PlayerResource::GetNetworkController(const std::string& address, Json::Value& result) {
    if (!isControllerAddress(address)) {
        SetErrorResult(result, 400, "Invalid controller address '" + address + "'");
        return;
    }
    LogDebug(LG_HTTP, "API - Detecting the controller at %s\n", address.c_str());
    std::string page;
    if (!urlGet("http://" + address + "/", page, NetworkController::DETECTION_TIMEOUT_MS,
                NetworkController::DETECTION_MAX_BYTES)) {
        SetErrorResult(result, 404, "No web page could be read from " + address);
        return;
    }
    std::unique_ptr<NetworkController> controller(NetworkController::DetectControllerViaHTML(address, page));
    if (!controller) {
        SetErrorResult(result, 404, "No known controller at " + address);
        return;
    }
    result = controller->ToJson();
}
