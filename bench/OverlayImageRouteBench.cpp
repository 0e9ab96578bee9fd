// The picture route of the live view page, GET /overlays/model/NAME/image for a 64 x 32 model
// (the demo's matrix), served by the real API resource on the daemon's HTTP server layer over
// loopback, against the bound of an empty route on the same server and connection
// (BM_EmptyRoute: routing, HTTP and the client only). Run with --benchmark_repetitions=N to get
// medians; the ratio line compares them.

#include "common/Log.h"
#include "common/httpserver/httpserver.h"
#include "overlays/PixelOverlayApi.h"
#include "overlays/PixelOverlayManager.h"

#include "RatioReporter.h"

#include <Magick++.h>
#include <arpa/inet.h>
#include <curl/curl.h>
#include <unistd.h>

namespace {
constexpr int PORT = 32397; // beside the daemon's 32322, so a running daemon does not disturb it

class EmptyRoute : public httpserver::http_resource {
public:
    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request&) override {
        return std::make_shared<httpserver::string_response>("", 200, "text/plain");
    }
};

size_t discard(char*, size_t size, size_t count, void* received) {
    *static_cast<size_t*>(received) += size * count;
    return size * count;
}

struct Server {
    Server() {
        KIVLogger::INSTANCE.ChannelOut.level = KIVLOG_WARN;
        KIVLogger::INSTANCE.HTTP.level = KIVLOG_WARN;
        Magick::InitializeMagick(nullptr);
        name = "bench-png-" + std::to_string(getpid());
        Json::Value definition;
        definition["Name"] = name;
        definition["Type"] = "Channel";
        definition["StartChannel"] = 1;
        definition["ChannelCount"] = 64 * 32 * 3;
        definition["StringCount"] = 32;
        definition["StrandsPerString"] = 1;
        auto model =
            PixelOverlayManager::INSTANCE.addModel(definition, PixelOverlayManager::Source::Automatic);
        for (int y = 0; y < 32; y++) {
            for (int x = 0; x < 64; x++) {
                model->setPixelValue(x, y, x * 4, y * 8, (x + y) * 2); // a gradient, as a pattern would be
            }
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(PORT);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        httpserver::create_webserver params(PORT);
        params.bind_address(reinterpret_cast<const sockaddr*>(&address))
            .start_method(httpserver::http::http_utils::INTERNAL_SELECT)
            .max_threads(10);
        server = std::make_unique<httpserver::webserver>(params);
        server->register_resource("/overlays", &PixelOverlayApi::INSTANCE, true);
        server->register_resource("/empty", &empty, true);
        started = server->start(false);
        curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &received);
    }
    ~Server() {
        curl_easy_cleanup(curl);
        server->stop();
        PixelOverlayManager::INSTANCE.removeModel(name);
    }
    // One GET on the kept-alive connection; false unless it answered 200.
    bool get(const std::string& path) {
        std::string url = "http://127.0.0.1:" + std::to_string(PORT) + path;
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        long status = 0;
        return curl_easy_perform(curl) == CURLE_OK &&
               curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK && status == 200;
    }

    std::string name;
    EmptyRoute empty;
    std::unique_ptr<httpserver::webserver> server;
    bool started = false;
    CURL* curl = nullptr;
    size_t received = 0;
};

Server& server() {
    static Server s;
    return s;
}

void run(benchmark::State& state, const std::string& path) {
    Server& s = server();
    if (!s.started) {
        state.SkipWithError("the HTTP server could not listen");
        return;
    }
    for (auto _ : state) {
        if (!s.get(path)) {
            state.SkipWithError(("GET " + path + " failed").c_str());
            return;
        }
    }
}

void BM_EmptyRoute(benchmark::State& state) {
    run(state, "/empty");
}
BENCHMARK(BM_EmptyRoute)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_ImageRoute64x32(benchmark::State& state) {
    run(state, "/overlays/model/" + server().name + "/image?live=true");
}
BENCHMARK(BM_ImageRoute64x32)->UseRealTime()->Unit(benchmark::kMicrosecond);
} // namespace

KIV_BENCHMARK_MAIN_WITH_RATIOS({"BM_ImageRoute64x32/real_time", "BM_EmptyRoute/real_time"})
