#pragma once
// The daemon's local JSON API on 127.0.0.1:32322: APIServer owns the web server and the
// PlayerResource serving "/kivd", and registers the other subsystems' resources.
//
// PlayerResource renders on the server's worker threads (up to 10 at once) and keeps no state of
// its own between requests; what it reads and switches guards itself (see each part's header).
// Its under-voltage watch (periodicWork) runs on the main thread and owns the voltage counters.
// The status readers (GetCurrentStatus and the other Get* members) live in PlayerStatus.cpp.

#include "common/httpserver/httpserver.h"

#include <jsoncpp/json/json.h>

#include <atomic>
#include <memory>
#include <string>

constexpr int KIVD_API_PORT = 32322;

// The last under-voltage reading of the firmware: written by periodicWork, read by status requests.
extern std::atomic<bool> piPowerBad;

class PlayerResource : public httpserver::http_resource {
public:
    PlayerResource();
    ~PlayerResource() override;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_DELETE(const httpserver::http_request& req) override;

    // Asks the firmware whether the supply voltage is too low; nothing without "/dev/vcio".
    void periodicWork();
    // Takes one "get_throttled" reply: bit 0 set counts a low reading, clear resets the count;
    // more than five in a row raise "Raspberry Pi Voltage Too Low" once per run. A reply that is
    // not "throttled=0x" and hex digits is ignored.
    void checkThrottledReply(const std::string& reply);

    static void SetOKResult(Json::Value& result, const std::string& message);
    static void SetErrorResult(Json::Value& result, int code, const std::string& message);

    // Readers (PlayerStatus.cpp).
    void GetCurrentStatus(Json::Value& result);
    void GetE131BytesReceived(Json::Value& result);
    void GetMultiSyncSystems(Json::Value& result, bool localOnly);
    void GetMultiSyncStats(Json::Value& result, bool reset);
    void GetCurrentPlaylists(Json::Value& result);
    void GetPlaylistFileTime(Json::Value& result);
    void GetPlaylistConfig(Json::Value& result);
    void GetLogSettings(Json::Value& result);
    void GetRunningEffects(Json::Value& result);
    // The record of the lighting controller whose web root is at address (IPv4 or host name),
    // 404 when none is recognised, 400 for any other address text.
    void GetNetworkController(const std::string& address, Json::Value& result);

    // Control requests taking the parsed body (null when it was empty). An unrecognised
    // "command" leaves the result unset, which the POST flow answers as a 400 error.
    void PostOutputs(const Json::Value& body, Json::Value& result);
    void PostOutputsRemap(const Json::Value& body, Json::Value& result);
    void PostSchedule(const Json::Value& body, Json::Value& result);
    void PostEffects(const std::string& name, const Json::Value& body, Json::Value& result);
    void PostQuarnHardware(Json::Value& result);
    void PostGPIOExt(const Json::Value& body, Json::Value& result);

private:
    // Each fills result; false when the path is not one of its routes.
    bool routeGET(const std::string& path, const httpserver::http_request& req, Json::Value& result);
    bool routePOST(const std::string& path, const httpserver::http_request& req, const Json::Value& body,
                   Json::Value& result);
    // GET "volume": a text/plain answer for "simple=true", else null with result filled.
    std::shared_ptr<httpserver::http_response> volumeGET(const httpserver::http_request& req,
                                                         Json::Value& result);
    bool volumePOST(const std::string& path, Json::Value& result);

    int vcioFd = -1;
    int lowVoltageCount = 0;       // consecutive low readings
    bool lowVoltageWarned = false; // the warning was raised this run
};

class APIServer {
public:
    APIServer();
    ~APIServer();
    // Starts the server; false when it could not listen (logged).
    bool Init();
    void periodicWork();

private:
    httpserver::create_webserver m_params;
    // Declared in this order so the resource goes before the server that serves it.
    std::unique_ptr<httpserver::webserver> m_ws;
    std::unique_ptr<PlayerResource> m_pr;
};

void LogRequest(const httpserver::http_request& req);
void LogResponse(const httpserver::http_request& req, int status, const std::string& body);
