#include "GPIOManager.h"

#include "PinCapabilities.h"

#include "common/Common.h"
#include "common/Log.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

GPIOManager GPIOManager::INSTANCE;

GPIOManager::~GPIOManager() {
    Cleanup();
}

void GPIOManager::Initialize(std::map<int, std::function<bool(int)>>&) {
    LogDebug(LG_GPIO, "GPIO inputs: none configured\n");
}

void GPIOManager::Cleanup() {
    std::thread finished;
    std::map<const PinCapabilities*, Watch> dropped;
    {
        std::lock_guard<std::mutex> lk(lock);
        stopping = true;
        finished.swap(thread);
        dropped.swap(watches);
    }
    wakeThread();
    if (finished.joinable()) {
        finished.join();
    }
    std::lock_guard<std::mutex> lk(lock);
    for (auto& [pin, watch] : dropped) {
        pin->releaseEventFile();
    }
    if (wakeFd >= 0) {
        close(wakeFd);
    }
    wakeFd = -1;
    stopping = false;
}

bool GPIOManager::AddGPIOCallback(const PinCapabilities* pin, const Callback& callback) {
    if (pin == nullptr || !callback) {
        return false;
    }
    std::lock_guard<std::mutex> lk(lock);
    auto existing = watches.find(pin);
    int fd = existing != watches.end() ? existing->second.fd : pin->requestEventFile();
    if (fd < 0) {
        LogWarn(LG_GPIO, "Pin %s cannot report edges; no callback added\n", pin->name.c_str());
        return false;
    }
    watches[pin] = Watch{fd, std::make_shared<Callback>(callback)};
    startThread();
    LogDebug(LG_GPIO, "Watching pin %s (GPIO %d) for edges\n", pin->name.c_str(), pin->kernelGpio);
    wakeThread();
    return true;
}

void GPIOManager::RemoveGPIOCallback(const PinCapabilities* pin) {
    std::lock_guard<std::mutex> lk(lock);
    auto it = watches.find(pin);
    if (it == watches.end()) {
        return;
    }
    watches.erase(it);
    pin->releaseEventFile();
    wakeThread();
}

void GPIOManager::startThread() {
    if (thread.joinable()) {
        return;
    }
    if (wakeFd < 0) {
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    }
    thread = std::thread([this]() { run(); });
}

void GPIOManager::wakeThread() {
    if (wakeFd < 0) {
        return;
    }
    uint64_t one = 1;
    if (write(wakeFd, &one, sizeof(one)) < 0) {
        LogDebug(LG_GPIO, "GPIO thread not woken: %s\n", strerror(errno));
    }
}

// The descriptor list is rebuilt on every pass, so callbacks added or removed while the thread
// waits take effect as soon as the wake descriptor fires.
void GPIOManager::run() {
    SetThreadName("KIV-GPIO");
    while (true) {
        std::vector<pollfd> fds;
        {
            std::lock_guard<std::mutex> lk(lock);
            if (stopping) {
                return;
            }
            fds.push_back({wakeFd, POLLIN, 0});
            for (const auto& [pin, watch] : watches) {
                fds.push_back({watch.fd, POLLIN | POLLPRI, 0});
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) {
            LogErr(LG_GPIO, "GPIO poll failed: %s\n", strerror(errno));
            return;
        }
        if (fds[0].revents) {
            uint64_t count;
            if (read(wakeFd, &count, sizeof(count)) < 0) {
                LogExcess(LG_GPIO, "GPIO wake read: %s\n", strerror(errno));
            }
        }
        for (size_t i = 1; i < fds.size(); i++) {
            if (fds[i].revents & (POLLIN | POLLPRI)) {
                dispatch(fds[i].fd);
            }
        }
    }
}

// The event is read under the lock, so the descriptor cannot be released meanwhile; the callback
// runs without it.
void GPIOManager::dispatch(int fd) {
    std::shared_ptr<Callback> callback;
    int value = -1;
    std::string name;
    {
        std::lock_guard<std::mutex> lk(lock);
        for (const auto& [pin, watch] : watches) {
            if (watch.fd != fd) {
                continue;
            }
            value = pin->readEventValue();
            callback = watch.callback;
            name = pin->name;
            break;
        }
    }
    if (!callback || value < 0) {
        return;
    }
    LogExcess(LG_GPIO, "Pin %s changed to %d\n", name.c_str(), value);
    try {
        (*callback)(value);
    } catch (const std::exception& e) {
        LogErr(LG_GPIO, "GPIO callback of pin %s failed: %s\n", name.c_str(), e.what());
    }
}

std::shared_ptr<httpserver::http_response> GPIOManager::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["status"] = "OK";
    result["inputs"] = Json::Value(Json::arrayValue);
    result["pins"] = Json::Value(Json::arrayValue);
    PinCapabilitiesProvider* provider = PinCapabilities::GetProvider();
    std::lock_guard<std::mutex> lk(lock);
    for (const PinCapabilities* pin :
         provider ? provider->allPins() : std::vector<const PinCapabilities*>{}) {
        Json::Value entry = pin->toJSON();
        entry["watched"] = watches.count(pin) > 0;
        result["pins"].append(entry);
    }
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}
