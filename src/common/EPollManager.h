#pragma once
// epoll event loop of the main thread. Registered descriptors are handled on the waiting thread.

#include <functional>
#include <map>
#include <mutex>

class EPollManager {
public:
    static EPollManager INSTANCE;
    using Callback = std::function<bool(int)>;

    // Result codes of waitForEvents.
    static constexpr int TIMEOUT = 0;      // nothing was ready
    static constexpr int HANDLED = 1;      // descriptors were handled
    static constexpr int FORCE_OUTPUT = 2; // handled, and a callback asked for immediate output
    static constexpr int INTERRUPTED = 3;  // interrupted by a signal: the caller skips the iteration
    static constexpr int FAILED = 4;       // the wait failed; errno says why

    EPollManager();
    ~EPollManager();
    void addFileDescriptor(int fd, Callback cb);
    void removeFileDescriptor(int fd);
    int waitForEvents(int timeoutMS);
    void shutdown();

private:
    int epollFd = -1;
    std::mutex lock; // guards callbacks against add/remove from other threads
    std::map<int, Callback> callbacks;
};
