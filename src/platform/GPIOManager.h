#pragma once
// Edge callbacks on pins, run on one GPIO callback thread ("KIV-GPIO") that waits on every
// watched pin's event descriptor, and the "/gpio" resource. The wider player's configured GPIO
// inputs (commands bound to pins) are outside this system: none are configured, so Initialize
// adds no descriptors and CheckGPIOInputs has nothing to poll.
//
// "/gpio" answers a GET with {"status": "OK", "inputs": [], "pins": [{"pin", "gpio", "uart",
// "watched"}]}; other methods 405.
//
// Threads: the callback table is guarded by `lock`, which is never held while a callback runs, so a
// callback may add or remove callbacks and callers may hold their own locks while doing so. For
// the same reason RemoveGPIOCallback does not wait: a run whose event was already taken may still
// happen once after it returns, so a callback must find its target anew rather than keep a
// pointer that removal frees.

#include "common/httpserver/httpserver.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

class PinCapabilities;

class GPIOManager : public httpserver::http_resource {
public:
    static GPIOManager INSTANCE;
    using Callback = std::function<bool(int)>;

    ~GPIOManager() override;

    // No input descriptors to add.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    void CheckGPIOInputs() {}
    // Stops the callback thread and drops every callback.
    void Cleanup();

    // Calls callback(new level) on the GPIO callback thread whenever the pin's level changes,
    // replacing an earlier callback of the same pin. False when the pin cannot report edges.
    bool AddGPIOCallback(const PinCapabilities* pin, const Callback& callback);
    void RemoveGPIOCallback(const PinCapabilities* pin);

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;

private:
    struct Watch {
        int fd;
        std::shared_ptr<Callback> callback;
    };
    void startThread(); // caller holds lock
    void run();
    void dispatch(int fd);
    void wakeThread();

    std::mutex lock;
    std::map<const PinCapabilities*, Watch> watches;
    int wakeFd = -1; // eventfd; makes the thread rebuild its descriptor list or stop
    bool stopping = false;
    std::thread thread;
};
