#pragma once
// Stand-in for the wider player's channel tester (test patterns on the outputs), which is outside
// this system: it never tests and registers no commands. Serves "/kivd/testing": a GET answers
// {"enabled": 0}; other methods 405.

#include "common/httpserver/httpserver.h"

class ChannelTester : public httpserver::http_resource {
public:
    static ChannelTester INSTANCE;

    void RegisterCommands();
    bool Testing() { return false; }

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
};
