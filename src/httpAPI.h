#pragma once
// The daemon's local JSON API on 127.0.0.1:32322: APIServer owns the web server and the
// PlayerResource serving "/kivd", and registers the other subsystems' resources.

#include "common/httpserver/httpserver.h"

#include <jsoncpp/json/json.h>

#include <memory>
#include <string>

constexpr int KIVD_API_PORT = 32322;

class PlayerResource : public httpserver::http_resource {
public:
    PlayerResource();
    ~PlayerResource() override;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_PUT(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_DELETE(const httpserver::http_request& req) override;

    void periodicWork();

    static void SetOKResult(Json::Value& result, const std::string& message);
    static void SetErrorResult(Json::Value& result, int code, const std::string& message);

private:
    // Each fills result; false when the path is not one of its routes.
    bool routeGET(const std::string& path, const httpserver::http_request& req, Json::Value& result);
    bool routePOST(const std::string& path, const Json::Value& body, Json::Value& result);

    std::shared_ptr<httpserver::http_response> finish(const httpserver::http_request& req, const char* method,
                                                      Json::Value& result);

    int vcioFd = -1;
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
    httpserver::webserver* m_ws = nullptr;
    PlayerResource* m_pr = nullptr;
};

void LogRequest(const httpserver::http_request& req);
void LogResponse(const httpserver::http_request& req, int status, const std::string& body);
