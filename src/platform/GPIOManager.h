#pragma once
// Stand-in for the GPIO input manager: no inputs are configured or watched yet. Serves "/gpio":
// a GET answers {"status": "OK", "inputs": []}; other methods 405.

#include "common/httpserver/httpserver.h"

#include <functional>
#include <map>

class GPIOManager : public httpserver::http_resource {
public:
    static GPIOManager INSTANCE;

    // No input descriptors to add.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    void CheckGPIOInputs() {}
    void Cleanup();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
