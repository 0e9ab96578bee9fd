#pragma once
// Stand-in for the wider player's channel tester (test patterns on the outputs), which is outside
// this system: it draws no pattern and registers no commands. Serves "/kivd/testing": a GET
// answers {"enabled": 0 or 1}; a POST of {"enabled": 1} or {"enabled": 0} only records whether a
// test is said to run (Testing()), answering {"Status": "OK"} (400 text/plain for any other body);
// other methods 405. The flag is an atomic, so any thread may read it.

#include "common/httpserver/httpserver.h"

#include <atomic>

class ChannelTester : public httpserver::http_resource {
public:
    static ChannelTester INSTANCE;

    void RegisterCommands();
    bool Testing() { return testing.load(); }

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::atomic<bool> testing{false};
};
