#include "common/UrlHelpers.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// Moves the test process into its own network namespace with only loopback up, so nothing a
// test sends can leave the machine.
bool enterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr = {};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    up = up && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    close(fd);
    return up;
}

// A one-request-per-connection HTTP server on 127.0.0.1. It answers "/status/NNN" with status NNN
// and everything else with 200; the body echoes "METHOD PATH BODY" so tests see what arrived.
class EchoHttpServer {
public:
    EchoHttpServer() {
        listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback(0);
        bind(listener, (sockaddr*)&addr, sizeof(addr));
        listen(listener, 8);
        socklen_t len = sizeof(addr);
        getsockname(listener, (sockaddr*)&addr, &len);
        port = ntohs(addr.sin_port);
        worker = std::thread([this] { serve(); });
    }
    ~EchoHttpServer() {
        stopping = true;
        worker.join();
        close(listener);
    }
    std::string url(const std::string& path) const {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    static sockaddr_in loopback(int port) {
        sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return addr;
    }

private:
    void serve() {
        while (!stopping) {
            pollfd p = {listener, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) {
                continue;
            }
            int client = accept(listener, nullptr, nullptr);
            if (client >= 0) {
                answer(client);
                close(client);
            }
        }
    }
    static std::string readRequest(int client) {
        std::string request;
        char buf[4096];
        size_t wanted = std::string::npos;
        while (request.size() < wanted) {
            ssize_t n = recv(client, buf, sizeof(buf), 0);
            if (n <= 0) {
                break;
            }
            request.append(buf, n);
            size_t headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos && wanted == std::string::npos) {
                wanted = headerEnd + 4 + contentLength(request.substr(0, headerEnd));
            }
        }
        return request;
    }
    static size_t contentLength(const std::string& headers) {
        size_t at = headers.find("Content-Length:");
        return at == std::string::npos ? 0 : std::stoul(headers.substr(at + 15));
    }
    static void answer(int client) {
        std::string request = readRequest(client);
        size_t space = request.find(' ');
        size_t pathEnd = request.find(' ', space + 1);
        std::string method = request.substr(0, space);
        std::string path = request.substr(space + 1, pathEnd - space - 1);
        std::string body = method + " " + path + " " + request.substr(request.find("\r\n\r\n") + 4);
        int status = path.rfind("/status/", 0) == 0 ? std::stoi(path.substr(8)) : 200;
        std::string reply = "HTTP/1.1 " + std::to_string(status) +
                            " X\r\nContent-Length: " + std::to_string(body.size()) +
                            "\r\nConnection: close\r\n\r\n" + body;
        send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
    }

    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

class UrlHelpers : public ::testing::Test {
protected:
    // The daemon initialises libcurl once in main; the tests do the same before any thread calls it.
    static void SetUpTestSuite() {
        curl_global_init(CURL_GLOBAL_ALL);
        networkReady = enterPrivateNetwork();
    }
    void SetUp() override {
        if (!networkReady) {
            GTEST_SKIP() << "needs root for a private network namespace";
        }
        server = std::make_unique<EchoHttpServer>();
    }
    void TearDown() override { server.reset(); }

    static bool networkReady;
    std::unique_ptr<EchoHttpServer> server;
};
bool UrlHelpers::networkReady = false;

TEST_F(UrlHelpers, GetReturnsTheBodyOfASuccessfulRequest) {
    std::string response = "stale";
    EXPECT_TRUE(urlGet(server->url("/api/hello?x=1"), response));
    EXPECT_EQ(response, "GET /api/hello?x=1 ");
}

TEST_F(UrlHelpers, PostAndPutSendTheGivenData) {
    std::string response;
    EXPECT_TRUE(urlPost(server->url("/p"), "a=1&b=2", response));
    EXPECT_EQ(response, "POST /p a=1&b=2");
    EXPECT_TRUE(urlPut(server->url("/q"), "{\"on\":true}", response));
    EXPECT_EQ(response, "PUT /q {\"on\":true}");
}

TEST_F(UrlHelpers, AnErrorStatusFailsButKeepsTheBody) {
    std::string response;
    EXPECT_FALSE(urlGet(server->url("/status/404"), response));
    EXPECT_EQ(response, "GET /status/404 ");
    EXPECT_FALSE(urlPost(server->url("/status/500"), "x", response));
    EXPECT_TRUE(urlGet(server->url("/status/302"), response));
}

TEST_F(UrlHelpers, FailsWhenNothingListens) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr = EchoHttpServer::loopback(0);
    bind(probe, (sockaddr*)&addr, sizeof(addr));
    socklen_t len = sizeof(addr);
    getsockname(probe, (sockaddr*)&addr, &len);
    close(probe);
    std::string response = "stale";
    EXPECT_FALSE(urlGet("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/", response));
    EXPECT_EQ(response, "");
}

TEST_F(UrlHelpers, CallsFromSeveralThreadsEachGetTheirOwnAnswer) {
    std::vector<std::thread> callers;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; t++) {
        callers.emplace_back([&, t] {
            for (int i = 0; i < 5; i++) {
                std::string path = "/t" + std::to_string(t) + "/" + std::to_string(i);
                std::string response;
                if (urlGet(server->url(path), response) && response == "GET " + path + " ") {
                    good++;
                }
            }
        });
    }
    for (std::thread& c : callers) {
        c.join();
    }
    EXPECT_EQ(good, 20);
}

TEST(LocalWebURL, PointsAtTheLocalWebServer) {
    EXPECT_EQ(LocalWebURL("/api/system/shutdown"), "http://127.0.0.1/api/system/shutdown");
}

} // namespace
