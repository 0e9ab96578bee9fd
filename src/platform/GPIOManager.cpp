#include "GPIOManager.h"

#include "common/Common.h"
#include "common/Log.h"

GPIOManager GPIOManager::INSTANCE;

void GPIOManager::Initialize(std::map<int, std::function<bool(int)>>&) {
    LogDebug(LG_GPIO, "GPIO inputs: none configured\n");
}

void GPIOManager::Cleanup() {}

std::shared_ptr<httpserver::http_response> GPIOManager::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["status"] = "OK";
    result["inputs"] = Json::Value(Json::arrayValue);
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
