#include "common/EPollManager.h"

#include "common/Log.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

EPollManager EPollManager::INSTANCE;

namespace {
constexpr int MAX_EVENTS = 64;

// The callback is copied out so it runs without the lock: it may add or remove descriptors. A
// descriptor removed by an earlier callback of the same wait is skipped.
bool runCallback(std::mutex& lock, const std::map<int, EPollManager::Callback>& callbacks, int fd) {
    EPollManager::Callback cb;
    {
        std::lock_guard<std::mutex> lk(lock);
        auto it = callbacks.find(fd);
        if (it == callbacks.end()) {
            return false;
        }
        cb = it->second;
    }
    return cb(fd);
}
} // namespace

EPollManager::EPollManager() {
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) {
        LogErr(LG_GENERAL, "Could not create the epoll descriptor: %s\n", strerror(errno));
    }
}

EPollManager::~EPollManager() {
    if (epollFd >= 0) {
        close(epollFd);
    }
}

// Registers with the kernel every time, even for a descriptor already in the map: a descriptor
// that was closed and reopened under the same number has silently left the epoll set.
void EPollManager::addFileDescriptor(int fd, Callback cb) {
    std::lock_guard<std::mutex> lk(lock);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &event) != 0 &&
        (errno != EEXIST || epoll_ctl(epollFd, EPOLL_CTL_MOD, fd, &event) != 0)) {
        LogErr(LG_GENERAL, "Could not watch descriptor %d: %s\n", fd, strerror(errno));
        return;
    }
    callbacks[fd] = std::move(cb);
}

void EPollManager::removeFileDescriptor(int fd) {
    std::lock_guard<std::mutex> lk(lock);
    if (callbacks.erase(fd) == 0) {
        return;
    }
    // Fails harmlessly when the descriptor was closed first: closing already removed it.
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
}

int EPollManager::waitForEvents(int timeoutMS) {
    int efd;
    {
        std::lock_guard<std::mutex> lk(lock);
        efd = epollFd;
    }
    if (efd < 0) {
        errno = EBADF;
        return FAILED;
    }
    epoll_event events[MAX_EVENTS];
    int count = epoll_wait(efd, events, MAX_EVENTS, timeoutMS);
    if (count == 0) {
        return TIMEOUT;
    }
    if (count < 0) {
        return errno == EINTR ? INTERRUPTED : FAILED;
    }
    bool forceOutput = false;
    for (int i = 0; i < count; i++) {
        forceOutput |= runCallback(lock, callbacks, events[i].data.fd);
    }
    return forceOutput ? FORCE_OUTPUT : HANDLED;
}

void EPollManager::shutdown() {
    std::lock_guard<std::mutex> lk(lock);
    if (epollFd >= 0) {
        close(epollFd);
    }
    epollFd = -1;
    callbacks.clear();
}
