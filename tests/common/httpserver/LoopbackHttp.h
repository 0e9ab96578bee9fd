#pragma once
// Test helpers for talking HTTP to a server inside this process: a private network namespace
// (so port 32322 is ours alone and nothing leaves the machine) and a small libcurl client.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sched.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace loopback {

constexpr int PORT = 32322;

// Moves the whole test process into a fresh network namespace with lo up. Needs root.
inline void EnterPrivateNetwork() {
    ASSERT_EQ(unshare(CLONE_NEWNET), 0) << "unshare(CLONE_NEWNET) needs root";
    ASSERT_EQ(std::system("ip link set lo up"), 0);
}

struct Reply {
    long status = 0; // 0 when the transfer failed (no connection, no answer)
    std::string body;
    std::map<std::string, std::string> headers; // names lower-cased
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct Request {
    std::string method = "GET";
    std::string target; // path and query, sent as written
    std::string body;
    std::vector<std::string> headers;
    bool chunked = false;
};

namespace detail {
inline size_t collectBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

inline size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
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

// Hands out the body in small pieces, which makes curl send it chunked.
inline size_t readBody(char* buffer, size_t size, size_t count, void* in) {
    auto* upload = static_cast<Upload*>(in);
    size_t n = std::min(size * count, upload->data->size() - upload->offset);
    n = std::min<size_t>(n, 16384);
    upload->data->copy(buffer, n, upload->offset);
    upload->offset += n;
    return n;
}
} // namespace detail

inline Reply Send(const Request& request) {
    Reply reply;
    CURL* curl = curl_easy_init();
    std::string url = "http://127.0.0.1:" + std::to_string(PORT) + request.target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, detail::collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, detail::collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (request.method == "HEAD")
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    detail::Upload upload{&request.body};
    curl_slist* headers = nullptr;
    for (const std::string& h : request.headers)
        headers = curl_slist_append(headers, h.c_str());
    if (request.chunked) {
        headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, detail::readBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    } else if (!request.body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (curl_easy_perform(curl) == CURLE_OK)
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

inline Reply Get(const std::string& target) {
    return Send({"GET", target, "", {}, false});
}

inline Reply Post(const std::string& target, const std::string& body) {
    return Send({"POST", target, body, {}, false});
}

} // namespace loopback
