#include "DaemonLink.h"

#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/UrlHelpers.h"

#include <chrono>

namespace {
constexpr auto STATUS_INTERVAL = std::chrono::seconds(1);
} // namespace

DaemonLink::DaemonLink(const std::string& baseURL, int requestTimeoutMS)
    : base(baseURL), timeoutMS(requestTimeoutMS) {}

DaemonLink::~DaemonLink() {
    stop();
}

void DaemonLink::start() {
    std::lock_guard<std::mutex> l(lock);
    if (!worker.joinable()) {
        stopping = false;
        worker = std::thread(&DaemonLink::run, this);
    }
}

void DaemonLink::stop() {
    {
        std::lock_guard<std::mutex> l(lock);
        stopping = true;
    }
    wake.notify_all();
    if (worker.joinable()) {
        worker.join();
    }
}

DaemonStatus DaemonLink::status() {
    std::lock_guard<std::mutex> l(lock);
    return latest;
}

void DaemonLink::post(const std::string& path, const std::string& body) {
    {
        std::lock_guard<std::mutex> l(lock);
        queued.emplace_back(path, body);
    }
    wake.notify_all();
}

DaemonStatus DaemonLink::ParseStatus(const std::string& body) {
    DaemonStatus result;
    Json::Value value;
    if (!LoadJsonFromString(body, value) || !value.isObject()) {
        return result;
    }
    result.answering = true;
    result.mode = JsonString(value["mode_name"]);
    result.status = JsonString(value["status_name"]);
    return result;
}

// Queued requests go first; the status is asked for whenever the interval has passed.
void DaemonLink::run() {
    SetThreadName("KIV-OLEDLink");
    auto nextStatus = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> l(lock);
    while (!stopping) {
        if (!queued.empty()) {
            auto request = queued.front();
            queued.pop_front();
            l.unlock();
            std::string response;
            if (!urlPost(base + request.first, request.second, response, timeoutMS)) {
                LogWarn(LG_GENERAL, "kivoled: request %s %s failed\n", request.first.c_str(),
                        request.second.c_str());
            }
            l.lock();
            continue;
        }
        if (std::chrono::steady_clock::now() >= nextStatus) {
            l.unlock();
            std::string body;
            DaemonStatus fresh =
                urlGet(base + "/kivd/status", body, timeoutMS) ? ParseStatus(body) : DaemonStatus();
            l.lock();
            fresh.updates = latest.updates + 1;
            latest = fresh;
            nextStatus = std::chrono::steady_clock::now() + STATUS_INTERVAL;
            continue;
        }
        wake.wait_until(l, nextStatus, [this] { return stopping || !queued.empty(); });
    }
}
