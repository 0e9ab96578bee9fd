#pragma once
// Pixel-port power and fuse monitoring. Until ports are configured it has nothing to switch: the
// automatic enable/disable hooks only log, and "/kivd/ports" answers an empty port list.

#include "common/httpserver/httpserver.h"

#include <functional>
#include <map>

class OutputMonitor : public httpserver::http_resource {
public:
    static OutputMonitor INSTANCE;

    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    void Cleanup();
    void AutoEnableOutputs();
    void AutoDisableOutputs();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
