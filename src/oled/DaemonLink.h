#pragma once
// The status program's only connection to the daemon: its HTTP API on 127.0.0.1:32322. A
// worker thread asks for GET /kivd/status once a second and sends queued requests, so a daemon
// that is gone, slow or answering garbage never stalls the display or the buttons. Every request
// is bounded by a time-out.
//
// Threads: the snapshot and the queue are guarded by `lock`; callers on any thread.

#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

struct DaemonStatus {
    bool answering = false; // false until a status answer that reads as JSON arrived
    std::string mode;       // "bridge", "player", ...
    std::string status;     // "idle", "playing", ...
    long long updates = 0;  // count of status requests finished, answered or not

    bool operator==(const DaemonStatus& o) const {
        return answering == o.answering && mode == o.mode && status == o.status;
    }
};

class DaemonLink {
public:
    explicit DaemonLink(const std::string& baseURL = "http://127.0.0.1:32322", int requestTimeoutMS = 2000);
    ~DaemonLink(); // stops the worker (waiting at most for the request in flight)
    DaemonLink(const DaemonLink&) = delete;
    DaemonLink& operator=(const DaemonLink&) = delete;

    void start();
    void stop();
    DaemonStatus status();
    // Queues a POST of the JSON body to the path (for example "/command").
    void post(const std::string& path, const std::string& body);

    // Reads a status answer; a body that is not a JSON object leaves answering false.
    static DaemonStatus ParseStatus(const std::string& body);

private:
    void run();

    const std::string base;
    const int timeoutMS;
    std::mutex lock;
    std::condition_variable wake;
    DaemonStatus latest;
    std::deque<std::pair<std::string, std::string>> queued;
    bool stopping = false;
    std::thread worker;
};
