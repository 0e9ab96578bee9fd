#include "common/httpserver/httpserver.h"

#include "common/Common.h"
#include "support/NetNamespace.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace httpserver;

namespace {

constexpr int PORT = 32322;

// A client closer to the wire than the shared test client: it sends any method, extra request
// headers and chunked bodies, and keeps the response headers.
struct Reply {
    long status = 0; // 0 when the transfer failed (no connection, no answer)
    std::string body;
    std::map<std::string, std::string> headers; // names lower-cased
    std::string header(const std::string& name) const {
        auto it = headers.find(name);
        return it == headers.end() ? "" : it->second;
    }
};

struct Request {
    std::string method = "GET";
    std::string target; // path and query, sent as written
    std::string body;
    std::vector<std::string> headers;
    bool chunked = false;
};

namespace detail {
inline size_t collectBody(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

inline size_t collectHeader(char* data, size_t size, size_t count, void* out) {
    std::string line(data, size * count);
    size_t colon = line.find(':');
    if (colon != std::string::npos) {
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        size_t start = line.find_first_not_of(' ', colon + 1);
        size_t end = line.find_last_not_of("\r\n");
        (*static_cast<std::map<std::string, std::string>*>(out))[name] =
            start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
    }
    return size * count;
}

struct Upload {
    const std::string* data;
    size_t offset = 0;
};

// Hands out the body in small pieces, which makes curl send it chunked.
inline size_t readBody(char* buffer, size_t size, size_t count, void* in) {
    auto* upload = static_cast<Upload*>(in);
    size_t n = std::min(size * count, upload->data->size() - upload->offset);
    n = std::min<size_t>(n, 16384);
    upload->data->copy(buffer, n, upload->offset);
    upload->offset += n;
    return n;
}
} // namespace detail

inline Reply Send(const Request& request) {
    Reply reply;
    CURL* curl = curl_easy_init();
    std::string url = "http://127.0.0.1:" + std::to_string(PORT) + request.target;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, request.method.c_str());
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 5000L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, detail::collectBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &reply.body);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, detail::collectHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &reply.headers);
    if (request.method == "HEAD") {
        curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    }
    detail::Upload upload{&request.body};
    curl_slist* headers = nullptr;
    for (const std::string& h : request.headers) {
        headers = curl_slist_append(headers, h.c_str());
    }
    if (request.chunked) {
        headers = curl_slist_append(headers, "Transfer-Encoding: chunked");
        curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, detail::readBody);
        curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    } else if (!request.body.empty()) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
    }
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    if (curl_easy_perform(curl) == CURLE_OK) {
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &reply.status);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return reply;
}

inline Reply Get(const std::string& target) {
    return Send({"GET", target, "", {}, false});
}

inline Reply Post(const std::string& target, const std::string& body) {
    return Send({"POST", target, body, {}, false});
}

// Answers with what it was asked, as JSON, so a test sees the request the server built.
class EchoResource : public http_resource {
public:
    explicit EchoResource(const std::string& n) : name(n) {}
    std::shared_ptr<http_response> render_GET(const http_request& req) override { return echo(req); }
    std::shared_ptr<http_response> render_POST(const http_request& req) override { return echo(req); }
    std::shared_ptr<http_response> render_PUT(const http_request& req) override { return echo(req); }

    std::atomic<int> calls{0};

private:
    std::shared_ptr<http_response> echo(const http_request& req) {
        calls++;
        Json::Value v;
        v["resource"] = name;
        v["method"] = req.get_method();
        v["path"] = req.get_path();
        v["query"] = req.get_querystring();
        v["content"] = req.get_content();
        v["header"] = req.get_header("X-Test-Header");
        for (const auto& [key, value] : req.get_args()) {
            v["args"][key] = value;
        }
        auto response = std::make_shared<string_response>(SaveJsonToString(v, ""), 200, "application/json");
        response->with_header("X-Served-By", name);
        return response;
    }
    std::string name;
};

class ThrowingResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request&) override {
        throw std::runtime_error("sensor table is corrupt");
    }
};

// Records how many requests are inside render at once; each waits briefly for company, which
// only arrives when the server renders on more than one thread.
class GatheringResource : public http_resource {
public:
    std::shared_ptr<http_response> render_GET(const http_request& req) override {
        std::unique_lock<std::mutex> guard(lock);
        inside++;
        peak = std::max(peak, inside);
        arrived.notify_all();
        arrived.wait_for(guard, std::chrono::milliseconds(300), [this] { return inside >= 2; });
        inside--;
        return std::make_shared<string_response>("seen " + req.get_arg("n"));
    }
    int peak = 0;

private:
    int inside = 0;
    std::mutex lock;
    std::condition_variable arrived;
};

Json::Value parse(const std::string& body) {
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString(body, v)) << body;
    return v;
}

create_webserver loopbackSettings(int threads = 4) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(PORT);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return create_webserver(PORT)
        .bind_address(reinterpret_cast<sockaddr*>(&addr))
        .start_method(http::http_utils::INTERNAL_SELECT)
        .max_threads(threads);
}

class WebServer : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        curl_global_init(CURL_GLOBAL_ALL);
    }

    void SetUp() override {
        server = std::make_unique<webserver>(loopbackSettings());
        server->register_resource("/kivd/ports", &ports, true);
        server->register_resource("/kivd", &kivd, true);
        server->register_resource("/exact", &exact, false);
        ASSERT_TRUE(server->start());
    }

    EchoResource ports{"ports"};
    EchoResource kivd{"kivd"};
    EchoResource exact{"exact"};
    std::unique_ptr<webserver> server;
};

std::string servedBy(const std::string& target) {
    return parse(Get(target).body)["resource"].asString();
}

} // namespace

TEST_F(WebServer, RoutesEveryPathBelowAFamilyToIt) {
    EXPECT_EQ(servedBy("/kivd"), "kivd");
    EXPECT_EQ(servedBy("/kivd/"), "kivd");
    EXPECT_EQ(servedBy("/kivd/status/deep/below"), "kivd");
}

TEST_F(WebServer, PrefersTheLongestFamilyPrefix) {
    EXPECT_EQ(servedBy("/kivd/ports"), "ports");
    EXPECT_EQ(servedBy("/kivd/ports/3/on"), "ports");
    EXPECT_EQ(servedBy("/kivd/portsX"), "kivd");
}

TEST_F(WebServer, MatchesANonFamilyRegistrationOnlyExactly) {
    EXPECT_EQ(servedBy("/exact"), "exact");
    EXPECT_EQ(Get("/exact/below").status, 404);
}

TEST_F(WebServer, AnswersNotFoundForPathsNobodyClaims) {
    Reply reply = Get("/kivdx");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.body, "Not Found");
    EXPECT_EQ(reply.header("content-type"), "text/plain");
    EXPECT_EQ(Get("/").status, 404);
}

TEST_F(WebServer, ForgetsAnUnregisteredPrefixAndRefusesATakenOne) {
    EXPECT_FALSE(server->register_resource("/kivd", &exact, true));
    server->unregister_resource("/kivd/ports");
    EXPECT_EQ(servedBy("/kivd/ports/1"), "kivd");
    server->unregister_resource("/kivd");
    EXPECT_EQ(Get("/kivd/ports/1").status, 404);
}

TEST_F(WebServer, AnswersMethodNotAllowedForMethodsTheResourceDoesNotRender) {
    Reply reply = Send({"DELETE", "/kivd/x", "", {}, false});
    EXPECT_EQ(reply.status, 405);
    EXPECT_EQ(reply.header("content-type"), "text/plain");
    EXPECT_EQ(Send({"PATCH", "/kivd/x", "", {}, false}).status, 405);
}

TEST_F(WebServer, AnswersHeadLikeGetWithTheResponseHeadersButNoBody) {
    Reply reply = Send({"HEAD", "/kivd/x", "", {}, false});
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "");
    EXPECT_EQ(reply.header("content-type"), "application/json");
    EXPECT_EQ(reply.header("x-served-by"), "kivd");
}

TEST_F(WebServer, PassesTheDecodedPathTheRawQueryStringAndDecodedArguments) {
    Json::Value v = parse(Get("/kivd/volume?set=70&name=a%20b%2Bc&simple").body);
    EXPECT_EQ(v["path"].asString(), "/kivd/volume");
    EXPECT_EQ(v["query"].asString(), "set=70&name=a%20b%2Bc&simple");
    EXPECT_EQ(v["args"]["set"].asString(), "70");
    EXPECT_EQ(v["args"]["name"].asString(), "a b+c");
    EXPECT_TRUE(v["args"].isMember("simple"));
    EXPECT_EQ(parse(Get("/kivd/volume").body)["query"].asString(), "");
    EXPECT_EQ(parse(Get("/kivd/models/Matrix%20One").body)["path"].asString(), "/kivd/models/Matrix One");
}

TEST_F(WebServer, PassesHeadersByCaseInsensitiveName) {
    Json::Value v = parse(Send({"GET", "/kivd", "", {"X-TEST-HEADER: shouted"}, false}).body);
    EXPECT_EQ(v["header"].asString(), "shouted");
}

TEST_F(WebServer, DeliversPostAndPutBodiesWhole) {
    Json::Value posted = parse(Post("/kivd/outputs", "{\"enabled\":1}").body);
    EXPECT_EQ(posted["method"].asString(), "POST");
    EXPECT_EQ(posted["content"].asString(), "{\"enabled\":1}");

    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); i++) {
        big[i] = static_cast<char>('a' + i % 26);
    }
    Json::Value put = parse(Send({"PUT", "/kivd/playlists/p/settings", big, {}, false}).body);
    EXPECT_EQ(put["method"].asString(), "PUT");
    EXPECT_EQ(put["content"].asString(), big);
    EXPECT_EQ(parse(Send({"POST", "/kivd", big, {}, true}).body)["content"].asString(), big);
}

TEST_F(WebServer, AcceptsABodyOfExactlyTheLimit) {
    std::string body(webserver::MAX_BODY_BYTES, 'x');
    Reply reply = Post("/kivd", body);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(parse(reply.body)["content"].asString().size(), webserver::MAX_BODY_BYTES);
}

TEST_F(WebServer, RefusesADeclaredBodyPastTheLimitWithoutRendering) {
    Reply reply = Post("/kivd", std::string(webserver::MAX_BODY_BYTES + 1, 'x'));
    EXPECT_EQ(reply.status, 413);
    EXPECT_EQ(reply.body, "Request body too large");
    EXPECT_EQ(reply.header("content-type"), "text/plain");
    EXPECT_EQ(kivd.calls, 0);
}

TEST_F(WebServer, RefusesAChunkedBodyThatGrowsPastTheLimit) {
    Reply reply = Send({"POST", "/kivd", std::string(webserver::MAX_BODY_BYTES + 100, 'x'), {}, true});
    EXPECT_EQ(reply.status, 413);
    EXPECT_EQ(kivd.calls, 0);
    EXPECT_EQ(Get("/kivd").status, 200);
}

TEST_F(WebServer, AnswersAResourceThatThrowsWithTheErrorText) {
    ThrowingResource broken;
    server->register_resource("/broken", &broken, true);
    Reply reply = Get("/broken/x");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "sensor table is corrupt");
    EXPECT_EQ(reply.header("content-type"), "text/plain");
    server->unregister_resource("/broken");
}

TEST_F(WebServer, RendersRequestsFromSeveralClientsAtOnce) {
    GatheringResource gathering;
    server->register_resource("/gather", &gathering, false);
    std::vector<std::string> answers(4);
    std::vector<std::thread> clients;
    for (int i = 0; i < 4; i++) {
        clients.emplace_back([&answers, i] { answers[i] = Get("/gather?n=" + std::to_string(i)).body; });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& t : clients) {
        t.join();
    }
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(answers[i], "seen " + std::to_string(i));
    }
    EXPECT_GE(gathering.peak, 2);
    server->unregister_resource("/gather");
}

TEST_F(WebServer, KeepsManyConcurrentRequestsApart) {
    std::atomic<int> mismatches{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; t++) {
        clients.emplace_back([&mismatches, t] {
            for (int i = 0; i < 15; i++) {
                std::string id = std::to_string(t) + "-" + std::to_string(i);
                Json::Value v = parse(Post("/kivd/" + id + "?id=" + id, id).body);
                if (v["path"].asString() != "/kivd/" + id || v["args"]["id"].asString() != id ||
                    v["content"].asString() != id) {
                    mismatches++;
                }
            }
        });
    }
    for (auto& c : clients) {
        c.join();
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(kivd.calls, 90);
}

TEST_F(WebServer, StopsIdempotentlyAndStopsAnswering) {
    server->stop();
    EXPECT_FALSE(server->is_running());
    server->stop();
    EXPECT_EQ(Get("/kivd").status, 0);
}

TEST_F(WebServer, TakesNoNewConnectionAfterSweetKill) {
    server->sweet_kill();
    EXPECT_EQ(Get("/kivd").status, 0);
    server->stop();
}

TEST_F(WebServer, FailsToStartOnAPortAlreadyTaken) {
    webserver second(loopbackSettings());
    EXPECT_FALSE(second.start());
    EXPECT_FALSE(second.is_running());
}

TEST_F(WebServer, BlockingStartReturnsOnceStopped) {
    server->stop();
    webserver blocking(loopbackSettings(1));
    blocking.register_resource("/kivd", &kivd, true);
    std::atomic<bool> returned{false};
    std::thread runner([&] {
        EXPECT_TRUE(blocking.start(true));
        returned = true;
    });
    Reply reply;
    for (int i = 0; i < 200 && reply.status != 200; i++) {
        reply = Get("/kivd");
        if (reply.status != 200) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    EXPECT_EQ(reply.status, 200);
    EXPECT_FALSE(returned);
    blocking.stop();
    runner.join();
    EXPECT_TRUE(returned);
}

TEST(WebServerSettings, BindAddressKeepsAnIPv4AddressAndRefusesOthers) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(8080);
    inet_pton(AF_INET, "192.0.2.7", &addr.sin_addr);
    create_webserver settings(80);
    settings.bind_address(reinterpret_cast<sockaddr*>(&addr));
    EXPECT_TRUE(settings._has_bind_address);
    EXPECT_EQ(settings._bind_address.sin_addr.s_addr, addr.sin_addr.s_addr);
    EXPECT_EQ(ntohs(settings._bind_address.sin_port), 8080);

    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    settings.bind_address(reinterpret_cast<sockaddr*>(&v6));
    EXPECT_FALSE(settings._has_bind_address);
}

TEST(HttpRequest, SplitsThePathIntoPiecesDroppingEmptyOnes) {
    http_request req;
    req.path = "/kivd//ports/3/";
    EXPECT_EQ(req.get_path_pieces(), (std::vector<std::string>{"kivd", "ports", "3"}));
    req.path = "/";
    EXPECT_TRUE(req.get_path_pieces().empty());
}
