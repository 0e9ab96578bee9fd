#pragma once
// Blocking HTTP client calls on libcurl. Each returns true for a transfer that completed with an
// HTTP status below 400; the response body is stored either way.

#include <cstddef>
#include <string>

bool urlGet(const std::string& url, std::string& response);
// GET bounded for answers from unknown hosts: at most timeoutSeconds in all, and a body longer than
// maxBytes ends the transfer as a failure.
bool urlGet(const std::string& url, std::string& response, long timeoutSeconds, size_t maxBytes);
bool urlPost(const std::string& url, const std::string& data, std::string& response);
bool urlPut(const std::string& url, const std::string& data, std::string& response);
// "http://127.0.0.1" + path: the local web front end.
std::string LocalWebURL(const std::string& path);
