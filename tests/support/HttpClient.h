#pragma once
// Minimal blocking HTTP client for tests (libcurl): any method, extra request headers, chunked
// uploads, and the response's status, content type, headers and body.

#include <map>
#include <string>
#include <vector>

struct HttpResult {
    long status = 0; // 0 when the request failed at the transport level
    std::string contentType;
    std::string body;
    std::map<std::string, std::string> headers; // response headers, names lower-cased
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct HttpRequestSpec {
    std::string method = "GET";
    std::string url;
    std::string body;                 // sent when not empty, and always with POST and PUT
    std::vector<std::string> headers; // "Name: value" lines
    bool chunked = false;             // send the body with Transfer-Encoding: chunked
    std::string contentType;          // a Content-Type header when not empty
    int timeoutMS = 5000;
};

HttpResult HttpSend(const HttpRequestSpec& request);

// The body goes out with POST and PUT only.
HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& body = "",
                       const std::string& contentType = "application/json", int timeoutMS = 5000);
inline HttpResult HttpGet(const std::string& url) {
    return HttpRequest("GET", url);
}
inline HttpResult HttpPost(const std::string& url, const std::string& body) {
    return HttpRequest("POST", url, body);
}
// Polls until a GET of url answers at all (any status); false on time-out.
bool WaitForHttp(const std::string& url, int timeoutMS = 10000);
