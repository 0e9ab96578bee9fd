#include "httpAPI.h"

#include "OutputMonitor.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "e131bridge.h"
#include "mediaoutput/MediaOutput.h"
#include "overlays/PixelOverlayApi.h"
#include "platform/FirmwareMailbox.h"
#include "platform/GPIOManager.h"
#include "player/ChannelTester.h"
#include "player/MosquittoClient.h"
#include "player/Player.h"
#include "player/PluginManager.h"
#include "player/Scheduler.h"
#include "player/Version.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <sstream>
#include <vector>

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

std::atomic<bool> piPowerBad{false};

namespace {
const std::string API_PREFIX = "/kivd/";

struct ResourceEntry {
    const char* prefix;
    httpserver::http_resource* resource; // null: the PlayerResource
};

// The path below "/kivd/", logged with the query string under the method's label.
std::string routePath(const http_request& req, const char* label) {
    LogRequest(req);
    std::string path = req.get_path();
    if (startsWith(path, API_PREFIX)) {
        path = path.substr(API_PREFIX.size());
    } else if (path == "/kivd") {
        path = "";
    }
    LogDebug(LG_HTTP, "%s: %s %s\n", label, path.c_str(), req.get_querystring().c_str());
    return path;
}

// The text SaveJsonToString(result, "") gives. Building a writer costs more than writing a small
// result, so each worker thread keeps one.
std::string serialise(const Json::Value& result) {
    thread_local std::unique_ptr<Json::StreamWriter> writer = [] {
        Json::StreamWriterBuilder builder;
        builder["indentation"] = "";
        builder["commentStyle"] = "None";
        return std::unique_ptr<Json::StreamWriter>(builder.newStreamWriter());
    }();
    std::ostringstream text;
    writer->write(result, &text);
    return text.str();
}

std::shared_ptr<http_response> jsonResponse(const http_request& req, const Json::Value& result, int status) {
    std::string body = serialise(result);
    LogResponse(req, status, body);
    return std::make_shared<string_response>(body, status, "application/json");
}

void unknownEndpoint(const char* method, const std::string& path, Json::Value& result) {
    LogErr(LG_HTTP, "API - Error unknown %s request: %s\n", method, path.c_str());
    PlayerResource::SetErrorResult(result, 404, "endpoint kivd/" + path + " does not exist");
}

// POST, PUT and DELETE answer with the result's own code, filling an error when none was set.
std::shared_ptr<http_response> finishWrite(const http_request& req, const char* method, Json::Value& result) {
    if (!result.isMember("Status")) {
        PlayerResource::SetErrorResult(result, 400,
                                       std::string(method) + " endpoint helper did not set result JSON");
    }
    return jsonResponse(req, result, JsonInt(result["respCode"], 400));
}

// jsoncpp throws rather than fails on some input (nesting past its stack limit); to a client that is
// a body that does not parse like any other.
bool parseBody(const std::string& content, Json::Value& body) {
    try {
        return LoadJsonFromString(content, body);
    } catch (const std::exception&) {
        return false;
    }
}

// Handlers read members of bodies sent by any client; a body that is JSON but no object has none.
bool bodyHas(const Json::Value& body, const char* key) {
    return body.isObject() && body.isMember(key);
}

int toInt(const std::string& text) {
    return static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
}

// A path matches a pattern when their "/"-separated pieces agree; "*" takes any non-empty piece,
// which is captured in order.
bool matchPattern(const std::string& pattern, const std::string& path, std::vector<std::string>& captured) {
    captured.clear();
    size_t p = 0, q = 0;
    while (true) {
        size_t pEnd = std::min(pattern.find('/', p), pattern.size());
        size_t qEnd = std::min(path.find('/', q), path.size());
        std::string want = pattern.substr(p, pEnd - p), piece = path.substr(q, qEnd - q);
        if (want == "*" ? piece.empty() : want != piece) {
            return false;
        }
        if (want == "*") {
            captured.push_back(piece);
        }
        bool patternDone = pEnd == pattern.size(), pathDone = qEnd == path.size();
        if (patternDone || pathDone) {
            return patternDone && pathDone;
        }
        p = pEnd + 1;
        q = qEnd + 1;
    }
}

using Pieces = std::vector<std::string>;

// Playback and settings requests this daemon only logs; "/player" and "/command" serve playback.
struct LogOnlyRoute {
    const char* pattern;
    void (*log)(const Pieces& piece, const char* content);
};

const LogOnlyRoute LOG_ONLY_POST_ROUTES[] = {
    {"restart", [](const Pieces&, const char*) { LogDebug(LG_HTTP, "API - Restarting kivd daemon\n"); }},
    {"settings/reload",
     [](const Pieces&, const char*) { LogDebug(LG_HTTP, "API - Reloading all settings\n"); }},
    {"settings/reload/*",
     [](const Pieces& p, const char*) { LogDebug(LG_HTTP, "API - Reloading setting: %s\n", p[0].c_str()); }},
    {"playlists/stop",
     [](const Pieces&, const char* c) {
         LogDebug(LG_HTTP, "API - Stopping all running playlists w/ content '%s'\n", c);
     }},
    {"playlists/*/start",
     [](const Pieces& p, const char* c) {
         LogDebug(LG_HTTP, "API - Starting playlist '%s' w/ content '%s'\n", p[0].c_str(), c);
     }},
    {"playlists/*/stop",
     [](const Pieces& p, const char* c) {
         LogDebug(LG_HTTP, "API - Stopping playlist '%s' w/ content '%s'\n", p[0].c_str(), c);
     }},
    {"playlists/*/nextItem",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Skipping to next entry in playlist '%s'\n", p[0].c_str());
     }},
    {"playlists/*/prevItem",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Skipping to prev entry in playlist '%s'\n", p[0].c_str());
     }},
    {"playlists/*/restartItem",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Restarting current item in playlist '%s'\n", p[0].c_str());
     }},
    {"playlists/*/section/*",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Jumping to section '%s' in playlist '%s'\n", p[1].c_str(), p[0].c_str());
     }},
    {"playlists/*/item/*",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Jumping to item %d in playlist '%s'\n", toInt(p[1]), p[0].c_str());
     }},
    {"sequences/*/start",
     [](const Pieces& p, const char*) { LogDebug(LG_HTTP, "API - Starting sequence '%s'\n", p[0].c_str()); }},
    {"sequences/*/stop",
     [](const Pieces& p, const char*) { LogDebug(LG_HTTP, "API - Stopping sequence '%s'\n", p[0].c_str()); }},
    {"sequences/*/pause",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - (un)Pausing sequence '%s'\n", p[0].c_str());
     }},
    {"sequences/*/pause/0",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - UnPausing sequence '%s'\n", p[0].c_str());
     }},
    {"sequences/*/pause/1",
     [](const Pieces& p, const char*) { LogDebug(LG_HTTP, "API - Pausing sequence '%s'\n", p[0].c_str()); }},
    {"sequences/*/step",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Stepping sequence '%s' by 1 frame\n", p[0].c_str());
     }},
    {"sequences/*/step/*",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Stepping sequence '%s' by %d frame(s)\n", p[0].c_str(), toInt(p[1]));
     }},
    {"sequences/*/back",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Stepping sequence '%s' BACK by 1 frame\n", p[0].c_str());
     }},
    {"sequences/*/back/*",
     [](const Pieces& p, const char*) {
         LogDebug(LG_HTTP, "API - Stepping sequence '%s' BACK by %d frame(s)\n", p[0].c_str(), toInt(p[1]));
     }},
};

bool logOnlyRoute(const std::string& path, const std::string& content) {
    Pieces pieces;
    for (const auto& route : LOG_ONLY_POST_ROUTES) {
        if (matchPattern(route.pattern, path, pieces)) {
            route.log(pieces, content.c_str());
            return true;
        }
    }
    return false;
}

using GetHandler = void (*)(PlayerResource& resource, const http_request& req, Json::Value& result);

const std::map<std::string, GetHandler>& getRoutes() {
    static const std::map<std::string, GetHandler> routes = {
        {"status", [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetCurrentStatus(res); }},
        {"effects",
         [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetRunningEffects(res); }},
        {"log", [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetLogSettings(res); }},
        {"e131stats",
         [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetE131BytesReceived(res); }},
        {"multiSyncSystems",
         [](PlayerResource& r, const http_request& req, Json::Value& res) {
             r.GetMultiSyncSystems(res, req.get_arg("localOnly") == "1");
         }},
        {"multiSyncStats", [](PlayerResource& r, const http_request& req,
                              Json::Value& res) { r.GetMultiSyncStats(res, req.get_arg("reset") == "1"); }},
        {"controller", [](PlayerResource& r, const http_request& req,
                          Json::Value& res) { r.GetNetworkController(req.get_arg("ip"), res); }},
        {"playlists",
         [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetCurrentPlaylists(res); }},
        {"playlist/filetime",
         [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetPlaylistFileTime(res); }},
        {"playlist/config",
         [](PlayerResource& r, const http_request&, Json::Value& res) { r.GetPlaylistConfig(res); }},
        {"warnings",
         [](PlayerResource&, const http_request&, Json::Value& res) {
             res = Json::Value(Json::arrayValue);
             for (const auto& w : WarningHolder::GetWarnings()) {
                 res.append(w.message);
             }
         }},
        {"warnings_full", [](PlayerResource&, const http_request&,
                             Json::Value& res) { res = WarningHolder::GetWarningsJson(); }},
        {"schedule",
         [](PlayerResource&, const http_request&, Json::Value& res) {
             res["schedule"] = scheduler ? scheduler->GetSchedule() : Json::Value(Json::objectValue);
             PlayerResource::SetOKResult(res, "");
         }},
        {"version",
         [](PlayerResource&, const http_request&, Json::Value& res) {
             res["version"] = getKIVVersion();
             res["majorVersion"] = getKIVMajorVersion();
             res["minorVersion"] = getKIVMinorVersion();
             res["branch"] = getKIVBranch();
             res["kivdAPI"] = "v1";
             PlayerResource::SetOKResult(res, "");
         }},
        {"sequence", [](PlayerResource&, const http_request&,
                        Json::Value&) { LogDebug(LG_HTTP, "API - Getting list of running sequences\n"); }},
        {"mqtt/cache",
         [](PlayerResource&, const http_request&, Json::Value& res) {
             LogDebug(LG_HTTP, "API - Getting MQTT Cached data\n");
             if (mqtt) {
                 mqtt->dumpMessageCache(res);
             } else {
                 PlayerResource::SetErrorResult(res, 400, "Mqtt not Initialized");
             }
         }},
    };
    return routes;
}

// Volumes come from clients; text that is not a whole number must not be read as 0.
bool parseVolume(const std::string& text, long& volume, Json::Value& result) {
    if (ParseInt(text, volume)) {
        return true;
    }
    PlayerResource::SetErrorResult(result, 400, "Invalid volume '" + text + "'");
    return false;
}
} // namespace

void LogRequest(const http_request& req) {
    LogDebug(LG_HTTP, "API Req: %s%s\n", req.get_path().c_str(), req.get_querystring().c_str());
}

void LogResponse(const http_request& req, int status, const std::string& body) {
    LogExcess(LG_HTTP, "API Res: %s%s %d %s\n", req.get_path().c_str(), req.get_querystring().c_str(), status,
              body.c_str());
}

PlayerResource::PlayerResource() {
    vcioFd = open(FirmwareMailbox::DEVICE_PATH, O_RDONLY | O_CLOEXEC);
}

PlayerResource::~PlayerResource() {
    if (vcioFd > 0) {
        close(vcioFd);
    }
}

void PlayerResource::SetOKResult(Json::Value& result, const std::string& message) {
    result["Status"] = "OK";
    result["respCode"] = 200;
    result["Message"] = message;
}

void PlayerResource::SetErrorResult(Json::Value& result, int code, const std::string& message) {
    result["Status"] = "ERROR";
    result["respCode"] = code;
    result["Message"] = message;
}

void PlayerResource::periodicWork() {
    if (vcioFd <= 0) {
        return;
    }
    std::string reply;
    if (FirmwareMailbox::SendGeneralCommand(vcioFd, "get_throttled", reply)) {
        checkThrottledReply(reply);
    }
}

void PlayerResource::checkThrottledReply(const std::string& reply) {
    unsigned long flags = 0;
    if (!FirmwareMailbox::ParseThrottled(reply, flags)) {
        return;
    }
    piPowerBad = (flags & 1) != 0;
    if (!piPowerBad) {
        lowVoltageCount = 0;
        return;
    }
    if (++lowVoltageCount > 5 && !lowVoltageWarned) {
        WarningHolder::AddWarning("Raspberry Pi Voltage Too Low");
        lowVoltageWarned = true;
    }
}

std::shared_ptr<http_response> PlayerResource::volumeGET(const http_request& req, Json::Value& result) {
    std::string set = req.get_arg("set");
    long volume = 0;
    if (!set.empty()) {
        if (!parseVolume(set, volume, result)) {
            return nullptr;
        }
        setVolume(static_cast<int>(std::clamp(volume, 0L, 100L)));
    }
    if (req.get_arg("simple") == "true") {
        std::string text = std::to_string(getVolume());
        LogResponse(req, 200, text);
        return std::make_shared<string_response>(text, 200, "text/plain");
    }
    result["volume"] = getVolume();
    SetOKResult(result, "");
    return nullptr;
}

bool PlayerResource::routeGET(const std::string& path, const http_request& req, Json::Value& result) {
    const auto& routes = getRoutes();
    auto route = routes.find(path);
    if (route == routes.end()) {
        return false;
    }
    route->second(*this, req, result);
    return true;
}

std::shared_ptr<http_response> PlayerResource::render_GET(const http_request& req) {
    std::string path = routePath(req, "URL");
    Json::Value result(Json::objectValue);
    if (path == "volume") {
        if (auto plain = volumeGET(req, result)) {
            return plain;
        }
    } else if (!routeGET(path, req, result)) {
        unknownEndpoint("GET", path, result);
    }
    if (result.isArray()) {
        return jsonResponse(req, result, 200);
    }
    if (result.empty()) {
        SetErrorResult(result, 400, "GET endpoint helper did not set result JSON");
        return jsonResponse(req, result, 200);
    }
    return jsonResponse(req, result, result.isMember("respCode") ? JsonInt(result["respCode"], 200) : 200);
}

bool PlayerResource::volumePOST(const std::string& path, Json::Value& result) {
    long volume = 0;
    if (parseVolume(path.substr(std::string("volume/").size()), volume, result)) {
        setVolume(static_cast<int>(std::clamp(volume, 0L, 100L)));
        result["volume"] = static_cast<Json::Int64>(volume);
        SetOKResult(result, "Volume set");
    }
    return true;
}

bool PlayerResource::routePOST(const std::string& path, const http_request& req, const Json::Value& body,
                               Json::Value& result) {
    if (path == "outputs") {
        PostOutputs(body, result);
    } else if (path == "outputs/remap") {
        PostOutputsRemap(body, result);
    } else if (path == "schedule") {
        PostSchedule(body, result);
    } else if (path == "quarn/hardware") {
        PostQuarnHardware(result);
    } else if (path == "gpio/ext") {
        PostGPIOExt(body, result);
    } else if (startsWith(path, "effects/")) {
        PostEffects(path.substr(std::string("effects/").size()), body, result);
    } else if (startsWith(path, "log/level/")) {
        SetLogLevelComplex(path.substr(std::string("log/level/").size()));
        SetOKResult(result, "Log Level Updated");
    } else if (startsWith(path, "volume/")) {
        return volumePOST(path, result);
    } else if (path == "shutdown") {
        SetOKResult(result, "Shutting down kivd");
        ShutdownKIVD(false);
    } else {
        return logOnlyRoute(path, req.get_content());
    }
    return true;
}

std::shared_ptr<http_response> PlayerResource::render_POST(const http_request& req) {
    std::string path = routePath(req, "POST URL");
    Json::Value body;
    if (!req.get_content().empty() && !parseBody(req.get_content(), body)) {
        LogErr(LG_HTTP, "Error parsing POST content\n");
        return std::make_shared<string_response>("Error parsing POST content", 400, "text/plain");
    }
    Json::Value result(Json::objectValue);
    if (!routePOST(path, req, body, result)) {
        unknownEndpoint("POST", path, result);
    }
    return finishWrite(req, "POST", result);
}

std::shared_ptr<http_response> PlayerResource::render_PUT(const http_request& req) {
    std::string path = routePath(req, "PUT URL");
    Json::Value result(Json::objectValue);
    Pieces pieces;
    if (matchPattern("playlists/*/settings", path, pieces)) {
        LogDebug(LG_HTTP, "API - Updating runtime settings for playlist '%s'\n", pieces[0].c_str());
    } else {
        unknownEndpoint("PUT", path, result);
    }
    return finishWrite(req, "PUT", result);
}

std::shared_ptr<http_response> PlayerResource::render_DELETE(const http_request& req) {
    std::string path = routePath(req, "DELETE URL");
    Json::Value result(Json::objectValue);
    if (path == "e131stats") {
        LogDebug(LG_HTTP, "Resetting E131 Statistics\n");
        ResetBytesReceived();
        SetOKResult(result, "Stats Cleared");
    } else {
        unknownEndpoint("DELETE", path, result);
    }
    return finishWrite(req, "DELETE", result);
}

void PlayerResource::PostOutputs(const Json::Value& body, Json::Value& result) {
    if (!bodyHas(body, "command")) {
        SetErrorResult(result, 400, "'command' field not specified");
        return;
    }
    std::string command = JsonString(body["command"]);
    if (command == "enable") {
        EnableChannelOutput();
        SetOKResult(result, "channel output enabled");
    } else if (command == "disable") {
        DisableChannelOutput();
        SetOKResult(result, "channel output disabled");
    }
}

// The remaps are applied by the output processors when their file changes; this request is only
// acknowledged.
void PlayerResource::PostOutputsRemap(const Json::Value& body, Json::Value& result) {
    if (!bodyHas(body, "command")) {
        SetErrorResult(result, 400, "'command' field not specified");
    } else if (JsonString(body["command"]) == "reload") {
        SetOKResult(result, "channel remaps reloaded");
    }
}

void PlayerResource::PostSchedule(const Json::Value& body, Json::Value& result) {
    if (!bodyHas(body, "command")) {
        SetErrorResult(result, 400, "'command' field not specified");
    } else if (JsonString(body["command"]) == "reload") {
        if (scheduler) {
            scheduler->ReloadScheduleFile();
        }
        SetOKResult(result, "Schedule reload triggered");
    }
}

void PlayerResource::PostEffects(const std::string& name, const Json::Value& body, Json::Value& result) {
    if (!bodyHas(body, "command")) {
        SetErrorResult(result, 400, "'command' field not specified");
        return;
    }
    LogDebug(LG_HTTP, "API - PostEffect(%s) cmd: %s\n", name.c_str(), JsonString(body["command"]).c_str());
    SetOKResult(result, "PostEffect result would go here");
}

void PlayerResource::PostQuarnHardware(Json::Value& result) {
    LogDebug(LG_HTTP, "API - Reloading hardware config\n");
    SetOKResult(result, "PostQuarnHardware result would go here");
}

void PlayerResource::PostGPIOExt(const Json::Value& body, Json::Value& result) {
    if (!bodyHas(body, "config")) {
        SetErrorResult(result, 400, "'config' field not specified");
        return;
    }
    LogDebug(LG_HTTP, "API - Doing something with gpio\n");
}

APIServer::APIServer() : m_params(KIVD_API_PORT) {}

static ResourceEntry* resourceTable(size_t& count) {
    static ResourceEntry table[] = {
        {"/kivd/ports", &OutputMonitor::INSTANCE},
        {"/kivd/testing", &ChannelTester::INSTANCE},
        {"/kivd", nullptr},
        {"/models", &PixelOverlayApi::INSTANCE},
        {"/overlays", &PixelOverlayApi::INSTANCE},
        {"/command", &CommandManager::INSTANCE},
        {"/commands", &CommandManager::INSTANCE},
        {"/commandPresets", &CommandManager::INSTANCE},
        {"/gpio", &GPIOManager::INSTANCE},
        {"/player", &Player::INSTANCE},
    };
    count = sizeof(table) / sizeof(table[0]);
    return table;
}

bool APIServer::Init() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(KIVD_API_PORT);
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    m_params.port(KIVD_API_PORT)
        .bind_address(reinterpret_cast<const sockaddr*>(&address))
        .start_method(httpserver::http::http_utils::INTERNAL_SELECT)
        .max_threads(10);
    m_ws = std::make_unique<httpserver::webserver>(m_params);
    m_pr = std::make_unique<PlayerResource>();
    size_t count = 0;
    ResourceEntry* table = resourceTable(count);
    for (size_t i = 0; i < count; i++) {
        m_ws->register_resource(table[i].prefix, table[i].resource ? table[i].resource : m_pr.get(), true);
    }
    PluginManager::INSTANCE.registerApis(m_ws.get());
    bool started = m_ws->start(false);
    if (!started) {
        LogErr(LG_HTTP, "Could not start the API server on 127.0.0.1:%d\n", KIVD_API_PORT);
    }
    return started;
}

void APIServer::periodicWork() {
    if (m_pr) {
        m_pr->periodicWork();
    }
}

APIServer::~APIServer() {
    if (!m_ws) {
        return;
    }
    m_ws->sweet_kill();
    m_ws->stop();
    PluginManager::INSTANCE.unregisterApis(m_ws.get());
    size_t count = 0;
    ResourceEntry* table = resourceTable(count);
    for (size_t i = 0; i < count; i++) {
        if (std::string(table[i].prefix) != "/player") {
            m_ws->unregister_resource(table[i].prefix);
        }
    }
}
