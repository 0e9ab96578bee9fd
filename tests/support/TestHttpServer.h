#pragma once
// A small HTTP/1.1 server for tests, standing in for other hosts' web servers: it listens on an
// address and port of the test's own network namespace (port 80 by default, as device pages are
// fetched without a port), answers each request from a table of replies, and records every request
// it read. One thread accepts; each connection is answered on a thread of its own, so a reply that
// never comes holds up nothing else. Every connection is closed after one reply.

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct TestHttpReply {
    enum Behaviour {
        Answer,      // send status, headers and body
        NeverAnswer, // read the request, then say nothing until the server stops
        CloseAtOnce, // close the connection as soon as the request is read, with no answer
    };
    int status = 200;
    std::string body;
    std::string contentType = "text/html";
    Behaviour behaviour = Answer;
};

struct TestHttpRequest {
    std::string method;
    std::string target; // path with query string
    std::string headers;
    std::string body;
};

class TestHttpServer {
public:
    explicit TestHttpServer(const std::string& address = "127.0.0.1", int port = 80);
    ~TestHttpServer();
    TestHttpServer(const TestHttpServer&) = delete;
    TestHttpServer& operator=(const TestHttpServer&) = delete;

    bool listening() const { return listener >= 0; }
    // "http://ADDRESS:PORT" + path.
    std::string url(const std::string& path = "/") const;
    // The reply for a target; a target with a query string is looked up whole first, then without
    // its query. Unknown targets get a 404.
    void serve(const std::string& target, const TestHttpReply& reply);
    void serve(const std::string& target, const std::string& body) {
        serve(target, TestHttpReply{200, body});
    }

    std::vector<TestHttpRequest> requests() const;
    // Waits until at least count requests were read; false on time-out.
    bool waitForRequests(size_t count, int timeoutMS = 5000) const;

private:
    void acceptLoop();
    void answer(int client);
    bool readRequest(int client, TestHttpRequest& request);
    TestHttpReply replyFor(const std::string& target) const;

    std::string address;
    int port;
    int listener = -1;
    std::atomic<bool> stopping{false};
    mutable std::mutex lock; // guards replies, received and connections
    std::map<std::string, TestHttpReply> replies;
    std::vector<TestHttpRequest> received;
    std::vector<std::thread> connections;
    std::thread acceptor;
};
