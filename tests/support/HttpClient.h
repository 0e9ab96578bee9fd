#pragma once
// Minimal blocking HTTP client for tests (libcurl).

#include <string>

struct HttpResult {
    long status = 0; // 0 when the request failed at the transport level
    std::string contentType;
    std::string body;
};

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
