#include "ChannelTester.h"

#include "common/Common.h"
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
