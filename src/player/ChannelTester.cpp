#include "ChannelTester.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"

ChannelTester ChannelTester::INSTANCE;

void ChannelTester::RegisterCommands() {
    LogDebug(LG_CHANNELOUT, "Channel testing is not available; no commands\n");
}

std::shared_ptr<httpserver::http_response> ChannelTester::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["enabled"] = Testing() ? 1 : 0;
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}

std::shared_ptr<httpserver::http_response> ChannelTester::render_POST(const httpserver::http_request& req) {
    Json::Value body;
    if (!LoadJsonFromString(req.get_content(), body) || !body.isObject() || !body.isMember("enabled")) {
        return std::make_shared<httpserver::string_response>("Expected {\"enabled\": 0 or 1}", 400, "text/plain");
    }
    testing = JsonInt(body["enabled"]) != 0;
    LogDebug(LG_CHANNELOUT, "Channel testing %s (no pattern is drawn)\n", testing ? "on" : "off");
    return std::make_shared<httpserver::string_response>("{\"Status\":\"OK\"}", 200, "application/json");
}
