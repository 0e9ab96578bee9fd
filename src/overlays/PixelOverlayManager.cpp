#include "PixelOverlayManager.h"

#include "common/Common.h"
#include "common/Log.h"

PixelOverlayManager PixelOverlayManager::INSTANCE;

void PixelOverlayManager::Initialize() {
    LogDebug(LG_CHANNELOUT, "Overlay manager: no models defined\n");
}

std::shared_ptr<httpserver::http_response> PixelOverlayManager::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["status"] = "OK";
    result["models"] = Json::Value(Json::arrayValue);
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
