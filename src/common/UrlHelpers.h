#pragma once
// Blocking HTTP client calls on libcurl. Each returns true for a transfer that completed with an
// HTTP status below 400; the response body is stored either way.

#include <cstddef>
#include <string>

// timeoutMS bounds the whole transfer (connection and answer); a body longer than maxBytes ends the
// transfer as a failure (for answers from unknown hosts).
bool urlGet(const std::string& url, std::string& response, long timeoutMS = 10000,
            size_t maxBytes = std::string::npos);
bool urlPost(const std::string& url, const std::string& data, std::string& response, long timeoutMS = 10000);
bool urlPut(const std::string& url, const std::string& data, std::string& response);
// "http://127.0.0.1" + path: the local web front end.
std::string LocalWebURL(const std::string& path);
