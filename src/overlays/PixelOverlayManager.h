#pragma once
// Stand-in for the overlay model manager: no model is defined, so no overlay is ever active.
// Serves "/models" and "/overlays": a GET answers {"status": "OK", "models": []}; other methods 405.

#include "common/httpserver/httpserver.h"

class PixelOverlayManager : public httpserver::http_resource {
public:
    static PixelOverlayManager INSTANCE;

    void Initialize();
    bool hasActiveOverlays() { return false; }

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
