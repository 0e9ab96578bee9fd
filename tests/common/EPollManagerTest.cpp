#include "common/EPollManager.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

// A pipe whose read end is watched; poke() makes it readable, drain() consumes what is waiting.
struct Pipe {
    int fds[2] = {-1, -1};
    Pipe() { EXPECT_EQ(pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0); }
    ~Pipe() {
        close(fds[0]);
        close(fds[1]);
    }
    int readEnd() const { return fds[0]; }
    void poke() const { ASSERT_EQ(write(fds[1], "x", 1), 1); }
    void drain() const {
        char buffer[64];
        while (read(fds[0], buffer, sizeof(buffer)) > 0) {
        }
    }
};

void noOpHandler(int) {}

TEST(EPollManager, TimesOutWhenNothingIsReady) {
    EPollManager epoll;
    Pipe idle;
    epoll.addFileDescriptor(idle.readEnd(), [](int) { return true; });
    EXPECT_EQ(epoll.waitForEvents(10), EPollManager::TIMEOUT);
}

TEST(EPollManager, ReportsHandledWhenNoCallbackAsksForOutput) {
    EPollManager epoll;
    Pipe p;
    int seenFd = -1;
    epoll.addFileDescriptor(p.readEnd(), [&](int fd) {
        seenFd = fd;
        p.drain();
        return false;
    });
    p.poke();
    EXPECT_EQ(epoll.waitForEvents(1000), EPollManager::HANDLED);
    EXPECT_EQ(seenFd, p.readEnd());
    EXPECT_EQ(epoll.waitForEvents(0), EPollManager::TIMEOUT);
}

TEST(EPollManager, ReportsForceOutputWhenAnyReadyCallbackAsks) {
    EPollManager epoll;
    Pipe quiet, bridge;
    int calls = 0;
    epoll.addFileDescriptor(quiet.readEnd(), [&](int) {
        calls++;
        quiet.drain();
        return false;
    });
    epoll.addFileDescriptor(bridge.readEnd(), [&](int) {
        calls++;
        bridge.drain();
        return true;
    });
    quiet.poke();
    bridge.poke();
    EXPECT_EQ(epoll.waitForEvents(1000), EPollManager::FORCE_OUTPUT);
    EXPECT_EQ(calls, 2);
}

TEST(EPollManager, ReplacesTheCallbackOfADescriptorAddedTwice) {
    EPollManager epoll;
    Pipe p;
    int first = 0, second = 0;
    epoll.addFileDescriptor(p.readEnd(), [&](int) { return ++first > 0; });
    epoll.addFileDescriptor(p.readEnd(), [&](int) {
        second++;
        p.drain();
        return false;
    });
    p.poke();
    EXPECT_EQ(epoll.waitForEvents(1000), EPollManager::HANDLED);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST(EPollManager, StopsCallingARemovedDescriptor) {
    EPollManager epoll;
    Pipe p;
    int calls = 0;
    epoll.addFileDescriptor(p.readEnd(), [&](int) { return ++calls > 0; });
    epoll.removeFileDescriptor(p.readEnd());
    p.poke();
    EXPECT_EQ(epoll.waitForEvents(10), EPollManager::TIMEOUT);
    EXPECT_EQ(calls, 0);
}

TEST(EPollManager, SkipsAReadyDescriptorRemovedByAnEarlierCallback) {
    EPollManager epoll;
    Pipe a, b;
    int calls = 0;
    epoll.addFileDescriptor(a.readEnd(), [&](int) {
        calls++;
        epoll.removeFileDescriptor(b.readEnd());
        return false;
    });
    epoll.addFileDescriptor(b.readEnd(), [&](int) {
        calls++;
        epoll.removeFileDescriptor(a.readEnd());
        return false;
    });
    a.poke();
    b.poke();
    EXPECT_EQ(epoll.waitForEvents(1000), EPollManager::HANDLED);
    EXPECT_EQ(calls, 1);
}

TEST(EPollManager, ReportsInterruptedWhenASignalArrives) {
    // The no-op handler stays installed afterwards: a last signal still in flight must not
    // take the default action and end the test program.
    struct sigaction action {};
    action.sa_handler = noOpHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: the wait must return EINTR
    ASSERT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);

    EPollManager epoll;
    pthread_t waiter = pthread_self();
    std::atomic<bool> done{false};
    // Keeps signalling until the wait has returned, so a signal landing before the wait began
    // cannot turn the test into a time-out.
    std::thread sender([&] {
        while (!done) {
            pthread_kill(waiter, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    int result = epoll.waitForEvents(2000);
    done = true;
    sender.join();
    EXPECT_EQ(result, EPollManager::INTERRUPTED);
}

TEST(EPollManager, FailsAfterShutdown) {
    EPollManager epoll;
    Pipe p;
    int calls = 0;
    epoll.addFileDescriptor(p.readEnd(), [&](int) { return ++calls > 0; });
    epoll.shutdown();
    p.poke();
    errno = 0;
    EXPECT_EQ(epoll.waitForEvents(10), EPollManager::FAILED);
    EXPECT_NE(errno, 0);
    EXPECT_EQ(calls, 0);
    epoll.shutdown(); // twice is harmless
}

} // namespace
