#include "HttpClient.h"

#include <curl/curl.h>

#include <chrono>
#include <thread>

static size_t collect(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& body,
                       const std::string& contentType, int timeoutMS) {
    HttpResult result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        return result;
    }
    curl_slist* headers = nullptr;
    std::string typeHeader = "Content-Type: " + contentType;
    headers = curl_slist_append(headers, typeHeader.c_str());
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMS));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (method == "POST" || method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    }
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
        char* type = nullptr;
        curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
        result.contentType = type ? type : "";
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
}

bool WaitForHttp(const std::string& url, int timeoutMS) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    while (std::chrono::steady_clock::now() < deadline) {
        if (HttpRequest("GET", url, "", "application/json", 1000).status != 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}
