#include "player/CurlManager.h"

#include "common/httpserver/httpserver.h"
#include "support/NetNamespace.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

constexpr int PORT = 32391;

class Pong : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override {
        return std::make_shared<httpserver::string_response>("pong", 200);
    }
};

size_t appendBody(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

class CurlTransfers : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }

    void get(const std::string& url) {
        CURL* handle = curl_easy_init();
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, appendBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &body);
        CurlManager::INSTANCE.addCurl(handle, [this](CURL* h, CURLcode code) {
            result = code;
            curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
            done = true;
        });
    }
    // Drives the manager as the main loop does, until the callback ran.
    bool runUntilDone() {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!done && std::chrono::steady_clock::now() < end) {
            CurlManager::INSTANCE.doProcessCurls();
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return done;
    }

    std::string body;
    CURLcode result = CURLE_OK;
    long status = 0;
    bool done = false;
};

TEST_F(CurlTransfers, FinishesATransferAndHandsItsResultToTheCallback) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    httpserver::webserver server(
        httpserver::create_webserver(PORT).bind_address(reinterpret_cast<sockaddr*>(&addr)));
    Pong pong;
    server.register_resource("/ping", &pong);
    ASSERT_TRUE(server.start());

    get("http://127.0.0.1:" + std::to_string(PORT) + "/ping");
    EXPECT_TRUE(CurlManager::INSTANCE.hasActiveTransfers());
    ASSERT_TRUE(runUntilDone());
    EXPECT_EQ(result, CURLE_OK);
    EXPECT_EQ(status, 200);
    EXPECT_EQ(body, "pong");
    EXPECT_FALSE(CurlManager::INSTANCE.hasActiveTransfers());
    server.stop();
}

TEST_F(CurlTransfers, ReportsATransferThatFailed) {
    get("http://127.0.0.1:1/nothing-listens");
    ASSERT_TRUE(runUntilDone());
    EXPECT_EQ(result, CURLE_COULDNT_CONNECT);
    EXPECT_FALSE(CurlManager::INSTANCE.hasActiveTransfers());
}

} // namespace
