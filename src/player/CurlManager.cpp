#include "CurlManager.h"

#include "common/Log.h"

#include <utility>
#include <vector>

CurlManager CurlManager::INSTANCE;

CurlManager::~CurlManager() {
    for (auto& [handle, cb] : transfers) {
        curl_multi_remove_handle(multi, handle);
        curl_easy_cleanup(handle);
    }
    if (multi) {
        curl_multi_cleanup(multi);
    }
}

void CurlManager::addCurl(CURL* handle, Callback done) {
    std::lock_guard<std::mutex> l(lock);
    if (!multi) {
        multi = curl_multi_init();
    }
    CURLMcode rc = curl_multi_add_handle(multi, handle);
    if (rc != CURLM_OK) {
        LogErr(LG_GENERAL, "Could not start an HTTP transfer: %s\n", curl_multi_strerror(rc));
        curl_easy_cleanup(handle);
        return;
    }
    transfers[handle] = std::move(done);
}

bool CurlManager::hasActiveTransfers() {
    std::lock_guard<std::mutex> l(lock);
    return !transfers.empty();
}

void CurlManager::doProcessCurls() {
    std::vector<std::pair<CURL*, CURLcode>> finished;
    std::vector<Callback> callbacks;
    {
        std::lock_guard<std::mutex> l(lock);
        if (!multi) {
            return;
        }
        int running = 0;
        curl_multi_perform(multi, &running);
        int queued = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &queued)) {
            if (msg->msg != CURLMSG_DONE) {
                continue;
            }
            curl_multi_remove_handle(multi, msg->easy_handle);
            finished.emplace_back(msg->easy_handle, msg->data.result);
            callbacks.push_back(std::move(transfers[msg->easy_handle]));
            transfers.erase(msg->easy_handle);
        }
    }
    for (size_t i = 0; i < finished.size(); i++) {
        if (callbacks[i]) {
            callbacks[i](finished[i].first, finished[i].second);
        }
        curl_easy_cleanup(finished[i].first);
    }
}
