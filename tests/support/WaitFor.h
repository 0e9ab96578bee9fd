#pragma once
// Polling for a condition that another thread or process makes true.

#include <chrono>
#include <functional>
#include <thread>

// Polls every stepMS until done() holds; false on time-out.
inline bool WaitFor(const std::function<bool()>& done, int timeoutMS = 5000, int stepMS = 5) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMS));
    }
    return true;
}
