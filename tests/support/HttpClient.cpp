#include "HttpClient.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <thread>

namespace {
size_t collectBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        size_t start = line.find_first_not_of(' ', colon + 1);
        size_t end = line.find_last_not_of("\r\n");
        (*static_cast<std::map<std::string, std::string>*>(out))[name] =
            start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
    }
    return size * count;
}

struct Upload {
    const std::string* data;
    size_t offset = 0;
};

// Hands out the body in small pieces, so a chunked upload really arrives in several chunks.
size_t readBody(char* buffer, size_t size, size_t count, void* in) {
    auto* upload = static_cast<Upload*>(in);
    size_t n = std::min(size * count, upload->data->size() - upload->offset);
    n = std::min<size_t>(n, 16384);
    upload->data->copy(buffer, n, upload->offset);
    upload->offset += n;
    return n;
}

curl_slist* requestHeaders(const HttpRequestSpec& request) {
    curl_slist* headers = nullptr;
    if (!request.contentType.empty()) {
        headers = curl_slist_append(headers, ("Content-Type: " + request.contentType).c_str());
    }
    for (const std::string& h : request.headers) {
        headers = curl_slist_append(headers, h.c_str());
    }
    if (request.chunked) {
        headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
    }
    return headers;
}
} // namespace

HttpResult HttpSend(const HttpRequestSpec& request) {
    HttpResult result;
    CURL* curl = curl_easy_init();
    if (!curl) {
        return result;
    }
    curl_slist* headers = requestHeaders(request);
    Upload upload{&request.body};
    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMS));
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &result.headers);
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    }
    if (request.chunked) {
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, readBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    } else if (!request.body.empty() || request.method == "POST" || request.method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
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

HttpResult HttpRequest(const std::string& method, const std::string& url, const std::string& body,
                       const std::string& contentType, int timeoutMS) {
    HttpRequestSpec request;
    request.method = method;
    request.url = url;
    if (method == "POST" || method == "PUT") {
        request.body = body;
    }
    request.contentType = contentType;
    request.timeoutMS = timeoutMS;
    return HttpSend(request);
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
