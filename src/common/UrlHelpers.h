#pragma once
// Blocking HTTP client calls on libcurl. Each returns true for a transfer that completed with an
// HTTP status below 400; the response body is stored either way.

#include <string>

// timeoutMS bounds the whole transfer (connection and answer).
bool urlGet(const std::string& url, std::string& response, long timeoutMS = 10000);
bool urlPost(const std::string& url, const std::string& data, std::string& response, long timeoutMS = 10000);
bool urlPut(const std::string& url, const std::string& data, std::string& response);
// "http://127.0.0.1" + path: the local web front end.
std::string LocalWebURL(const std::string& path);
