#include "TestHttpServer.h"

#include "WaitFor.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <strings.h>

namespace {

constexpr int POLL_STEP_MS = 20;

bool sendAll(int fd, const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += n;
    }
    return true;
}

// The value of a header (case-insensitive name), or empty.
std::string headerValue(const std::string& headers, const std::string& name) {
    size_t at = 0;
    while ((at = headers.find("\r\n", at)) != std::string::npos) {
        at += 2;
        if (strncasecmp(headers.c_str() + at, (name + ":").c_str(), name.size() + 1) == 0) {
            size_t start = headers.find_first_not_of(' ', at + name.size() + 1);
            return headers.substr(start, headers.find("\r\n", start) - start);
        }
    }
    return "";
}

// Waits up to POLL_STEP_MS for data; false when none came.
bool readable(int fd) {
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, POLL_STEP_MS) > 0;
}

} // namespace

TestHttpServer::TestHttpServer(const std::string& addr, int portNumber) : address(addr), port(portNumber) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in bound{};
    bound.sin_family = AF_INET;
    bound.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &bound.sin_addr);
    if (bind(fd, (sockaddr*)&bound, sizeof(bound)) != 0 || listen(fd, 16) != 0) {
        perror("TestHttpServer bind/listen");
        close(fd);
        return;
    }
    listener = fd;
    acceptor = std::thread([this] { acceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
    stopping = true;
    if (acceptor.joinable()) {
        acceptor.join();
    }
    for (auto& connection : connections) {
        connection.join();
    }
    if (listener >= 0) {
        close(listener);
    }
}

std::string TestHttpServer::url(const std::string& path) const {
    return "http://" + address + ":" + std::to_string(port) + path;
}

void TestHttpServer::serve(const std::string& target, const TestHttpReply& reply) {
    std::lock_guard<std::mutex> guard(lock);
    replies[target] = reply;
}

std::vector<TestHttpRequest> TestHttpServer::requests() const {
    std::lock_guard<std::mutex> guard(lock);
    return received;
}

bool TestHttpServer::waitForRequests(size_t count, int timeoutMS) const {
    return WaitFor([&] { return requests().size() >= count; }, timeoutMS);
}

void TestHttpServer::acceptLoop() {
    while (!stopping) {
        if (!readable(listener)) {
            continue;
        }
        int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        std::lock_guard<std::mutex> guard(lock);
        connections.emplace_back([this, client] {
            answer(client);
            close(client);
        });
    }
}

TestHttpReply TestHttpServer::replyFor(const std::string& target) const {
    std::lock_guard<std::mutex> guard(lock);
    auto found = replies.find(target);
    if (found == replies.end()) {
        found = replies.find(target.substr(0, target.find('?')));
    }
    if (found == replies.end()) {
        return TestHttpReply{404, "not found"};
    }
    return found->second;
}

bool TestHttpServer::readRequest(int client, TestHttpRequest& request) {
    std::string data;
    size_t headerEnd = std::string::npos;
    char buffer[65536];
    while (headerEnd == std::string::npos) {
        if (stopping) {
            return false;
        }
        if (!readable(client)) {
            continue;
        }
        ssize_t n = recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        data.append(buffer, n);
        headerEnd = data.find("\r\n\r\n");
    }
    request.headers = data.substr(0, headerEnd + 2);
    size_t space = data.find(' ');
    request.method = data.substr(0, space);
    request.target = data.substr(space + 1, data.find(' ', space + 1) - space - 1);
    std::string length = headerValue(request.headers, "Content-Length");
    size_t wanted = length.empty() ? 0 : std::stoul(length);
    if (strcasecmp(headerValue(request.headers, "Expect").c_str(), "100-continue") == 0) {
        sendAll(client, "HTTP/1.1 100 Continue\r\n\r\n");
    }
    request.body = data.substr(headerEnd + 4);
    while (request.body.size() < wanted && !stopping) {
        if (!readable(client)) {
            continue;
        }
        ssize_t n = recv(client, buffer, sizeof(buffer), 0);
        if (n <= 0) {
            return false;
        }
        request.body.append(buffer, n);
    }
    return true;
}

void TestHttpServer::answer(int client) {
    TestHttpRequest request;
    if (!readRequest(client, request)) {
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        received.push_back(request);
    }
    TestHttpReply reply = replyFor(request.target);
    if (reply.behaviour == TestHttpReply::CloseAtOnce) {
        return;
    }
    if (reply.behaviour == TestHttpReply::NeverAnswer) {
        while (!stopping) {
            std::this_thread::sleep_for(std::chrono::milliseconds(POLL_STEP_MS));
        }
        return;
    }
    sendAll(client, "HTTP/1.1 " + std::to_string(reply.status) + " X\r\nContent-Type: " + reply.contentType +
                        "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                        "\r\nConnection: close\r\n\r\n" + reply.body);
}
