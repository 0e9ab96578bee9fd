// HTTP requests to the daemon's own routes (PlayerResource) and to the command resource, built
// as the server layer hands them over: the first byte picks the method, then the path below
// "/kivd/", the query string and the body, separated by newlines. Query arguments are split on
// "&" and "=" as the server would.
//
// Run: HttpApiFuzz -max_total_time=300 fuzz/corpus/HttpApiFuzz

#include "FuzzSupport.h"

#include "common/CommandManager.h"
#include "common/Settings.h"
#include "httpAPI.h"
#include "player/Sequence.h"

#include <memory>

namespace {
using httpserver::http_request;

PlayerResource* player = nullptr;
const char* const METHODS[] = {"GET", "POST", "PUT", "DELETE"};

// The next newline-separated piece of text, consumed.
std::string takeLine(std::string& text) {
    size_t end = text.find('\n');
    std::string piece = text.substr(0, end);
    text = end == std::string::npos ? "" : text.substr(end + 1);
    return piece;
}

void splitArgs(http_request& req) {
    std::string rest = req.querystring;
    while (!rest.empty()) {
        size_t amp = rest.find('&');
        std::string pair = rest.substr(0, amp);
        rest = amp == std::string::npos ? "" : rest.substr(amp + 1);
        size_t eq = pair.find('=');
        req.args[pair.substr(0, eq)] = eq == std::string::npos ? "" : pair.substr(eq + 1);
    }
}

std::shared_ptr<httpserver::http_response> dispatch(httpserver::http_resource& resource,
                                                    const http_request& req) {
    if (req.method == "GET") {
        return resource.render_GET(req);
    }
    if (req.method == "POST") {
        return resource.render_POST(req);
    }
    if (req.method == "PUT") {
        return resource.render_PUT(req);
    }
    return resource.render_DELETE(req);
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzIsolateDevices(); // the firmware mailbox and any device a route might open
    FuzzSetUp("HttpApiFuzz");
    sequence = new Sequence();
    player = new PlayerResource();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    http_request req;
    req.method = METHODS[data[0] % 4];
    std::string below = takeLine(text);
    bool commands = data[0] & 4;
    req.path = (commands ? "/" : "/kivd/") + below;
    req.querystring = takeLine(text);
    req.content = text;
    splitArgs(req);
    if (commands) {
        dispatch(CommandManager::INSTANCE, req);
    } else {
        dispatch(*player, req);
    }
    ResetSettingsForTesting();
    FuzzQuietLogs();
    FuzzForgetWarnings();
    return 0;
}
