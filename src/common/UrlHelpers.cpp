// Blocking HTTP client calls on libcurl easy handles.

#include "common/UrlHelpers.h"

#include "common/Log.h"

#include <curl/curl.h>

namespace {

struct Limits {
    long timeoutMS = 10000;
    size_t maxBytes = std::string::npos;
};

struct Body {
    std::string& text;
    size_t maxBytes;
};

// Returning less than was given makes curl end the transfer with a write error.
size_t appendBody(char* data, size_t size, size_t count, void* userdata) {
    Body* body = static_cast<Body*>(userdata);
    size_t bytes = size * count;
    if (body->text.size() + bytes > body->maxBytes) {
        return 0;
    }
    body->text.append(data, bytes);
    return bytes;
}

// A fresh handle per call keeps the helpers usable from any thread without shared state.
// method is nullptr for GET, otherwise the request method whose body is data.
bool transfer(const std::string& url, const char* method, const std::string* data, std::string& response,
              const Limits& limits = Limits()) {
    response.clear();
    CURL* curl = curl_easy_init();
    if (!curl) {
        LogErr(LG_GENERAL, "Could not create a curl handle for %s\n", url.c_str());
        return false;
    }
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limits.timeoutMS);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    Body body{response, limits.maxBytes};
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    if (data) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, data->c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, (long)data->size());
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method);
    }
    CURLcode rc = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    if (rc != CURLE_OK) {
        LogWarn(LG_GENERAL, "Request to %s failed: %s\n", url.c_str(), curl_easy_strerror(rc));
        return false;
    }
    if (status >= 400) {
        LogDebug(LG_GENERAL, "Request to %s answered with status %ld\n", url.c_str(), status);
        return false;
    }
    return true;
}

} // namespace

bool urlGet(const std::string& url, std::string& response, long timeoutMS, size_t maxBytes) {
    return transfer(url, nullptr, nullptr, response, Limits{timeoutMS, maxBytes});
}

bool urlPost(const std::string& url, const std::string& data, std::string& response, long timeoutMS) {
    return transfer(url, "POST", &data, response, Limits{timeoutMS});
}

bool urlPut(const std::string& url, const std::string& data, std::string& response) {
    return transfer(url, "PUT", &data, response);
}

std::string LocalWebURL(const std::string& path) {
    return "http://127.0.0.1" + path;
}
