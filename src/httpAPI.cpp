#include "httpAPI.h"

#include "OutputMonitor.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/WarningHolder.h"
#include "overlays/PixelOverlayManager.h"
#include "platform/GPIOManager.h"
#include "player/ChannelTester.h"
#include "player/Player.h"
#include "player/PluginManager.h"
#include "player/Version.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <unistd.h>

using httpserver::http_request;
using httpserver::http_response;
using httpserver::string_response;

namespace {
const char* const API_PREFIX = "/kivd/";

struct ResourceEntry {
    const char* prefix;
    httpserver::http_resource* resource; // null: the PlayerResource
};

std::string routePath(const http_request& req) {
    std::string path = req.get_path();
    if (startsWith(path, API_PREFIX)) {
        path = path.substr(std::string(API_PREFIX).size());
    } else if (path == "/kivd") {
        path = "";
    }
    return path;
}

std::shared_ptr<http_response> jsonResponse(const http_request& req, const Json::Value& result, int status) {
    std::string body = SaveJsonToString(result, "");
    LogResponse(req, status, body);
    return std::make_shared<string_response>(body, status, "application/json");
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
    vcioFd = open("/dev/vcio", O_RDONLY | O_CLOEXEC);
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
    // The under-voltage watch needs the firmware mailbox, which only a Pi has.
}

bool PlayerResource::routeGET(const std::string& path, const http_request&, Json::Value& result) {
    if (path == "version") {
        result["version"] = getKIVVersion();
        result["majorVersion"] = getKIVMajorVersion();
        result["minorVersion"] = getKIVMinorVersion();
        result["branch"] = getKIVBranch();
        result["kivdAPI"] = "v1";
        SetOKResult(result, "");
    } else if (path == "warnings") {
        result = Json::Value(Json::arrayValue);
        for (const auto& w : WarningHolder::GetWarnings()) {
            result.append(w.message);
        }
    } else if (path == "warnings_full") {
        result = WarningHolder::GetWarningsJson();
    } else {
        return false;
    }
    return true;
}

bool PlayerResource::routePOST(const std::string& path, const Json::Value&, Json::Value& result) {
    if (path == "shutdown") {
        SetOKResult(result, "Shutting down kivd");
        ShutdownKIVD(false);
        return true;
    }
    return false;
}

std::shared_ptr<http_response> PlayerResource::render_GET(const http_request& req) {
    LogRequest(req);
    std::string path = routePath(req);
    LogDebug(LG_HTTP, "URL: %s %s\n", path.c_str(), req.get_querystring().c_str());
    Json::Value result(Json::objectValue);
    if (!routeGET(path, req, result)) {
        LogErr(LG_HTTP, "API - Error unknown GET request: %s\n", path.c_str());
        SetErrorResult(result, 404, "endpoint kivd/" + path + " does not exist");
    }
    if (result.isArray()) {
        return jsonResponse(req, result, 200);
    }
    if (result.empty()) {
        SetErrorResult(result, 400, "GET endpoint helper did not set result JSON");
        return jsonResponse(req, result, 200);
    }
    return jsonResponse(req, result, result.isMember("respCode") ? result["respCode"].asInt() : 200);
}

std::shared_ptr<http_response> PlayerResource::finish(const http_request& req, const char* method,
                                                      Json::Value& result) {
    if (!result.isMember("Status")) {
        SetErrorResult(result, 400, std::string(method) + " endpoint helper did not set result JSON");
    }
    return jsonResponse(req, result, result["respCode"].asInt());
}

std::shared_ptr<http_response> PlayerResource::render_POST(const http_request& req) {
    LogRequest(req);
    std::string path = routePath(req);
    LogDebug(LG_HTTP, "POST URL: %s %s\n", path.c_str(), req.get_querystring().c_str());
    Json::Value body;
    if (!req.get_content().empty() && !LoadJsonFromString(req.get_content(), body)) {
        LogErr(LG_HTTP, "Error parsing POST content\n");
        return std::make_shared<string_response>("Error parsing POST content", 400, "text/plain");
    }
    Json::Value result(Json::objectValue);
    if (!routePOST(path, body, result)) {
        LogErr(LG_HTTP, "API - Error unknown POST request: %s\n", path.c_str());
        SetErrorResult(result, 404, "endpoint kivd/" + path + " does not exist");
    }
    return finish(req, "POST", result);
}

std::shared_ptr<http_response> PlayerResource::render_PUT(const http_request& req) {
    LogRequest(req);
    std::string path = routePath(req);
    LogDebug(LG_HTTP, "PUT URL: %s %s\n", path.c_str(), req.get_querystring().c_str());
    Json::Value result(Json::objectValue);
    LogErr(LG_HTTP, "API - Error unknown PUT request: %s\n", path.c_str());
    SetErrorResult(result, 404, "endpoint kivd/" + path + " does not exist");
    return finish(req, "PUT", result);
}

std::shared_ptr<http_response> PlayerResource::render_DELETE(const http_request& req) {
    LogRequest(req);
    std::string path = routePath(req);
    LogDebug(LG_HTTP, "DELETE URL: %s %s\n", path.c_str(), req.get_querystring().c_str());
    Json::Value result(Json::objectValue);
    LogErr(LG_HTTP, "API - Error unknown DELETE request: %s\n", path.c_str());
    SetErrorResult(result, 404, "endpoint kivd/" + path + " does not exist");
    return finish(req, "DELETE", result);
}

APIServer::APIServer() : m_params(KIVD_API_PORT) {}

static ResourceEntry* resourceTable(size_t& count) {
    static ResourceEntry table[] = {
        {"/kivd/ports", &OutputMonitor::INSTANCE},
        {"/kivd/testing", &ChannelTester::INSTANCE},
        {"/kivd", nullptr},
        {"/models", &PixelOverlayManager::INSTANCE},
        {"/overlays", &PixelOverlayManager::INSTANCE},
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
    m_ws = new httpserver::webserver(m_params);
    m_pr = new PlayerResource();
    size_t count = 0;
    ResourceEntry* table = resourceTable(count);
    for (size_t i = 0; i < count; i++) {
        m_ws->register_resource(table[i].prefix, table[i].resource ? table[i].resource : m_pr, true);
    }
    PluginManager::INSTANCE.registerApis(m_ws);
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
    PluginManager::INSTANCE.unregisterApis(m_ws);
    size_t count = 0;
    ResourceEntry* table = resourceTable(count);
    for (size_t i = 0; i < count; i++) {
        if (std::string(table[i].prefix) != "/player") {
            m_ws->unregister_resource(table[i].prefix);
        }
    }
    delete m_pr;
    delete m_ws;
}
