#pragma once
// Runs HTTP client transfers without blocking the main loop: easy handles added here share one
// curl multi handle, which the main loop advances with doProcessCurls. When a transfer ends its
// callback runs on the main loop's thread, then the manager cleans the easy handle up (it owns
// every handle added). Guarded by a mutex, so transfers may be added from any thread; callbacks run
// without it held and may add new transfers.

#include <curl/curl.h>

#include <functional>
#include <map>
#include <mutex>

class CurlManager {
public:
    static CurlManager INSTANCE;
    using Callback = std::function<void(CURL* handle, CURLcode result)>;

    ~CurlManager();

    void addCurl(CURL* handle, Callback done);
    bool hasActiveTransfers();
    void doProcessCurls();

private:
    std::mutex lock;        // guards both members
    CURLM* multi = nullptr; // created on the first transfer
    std::map<CURL*, Callback> transfers;
};
