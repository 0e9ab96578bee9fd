#pragma once
// Stand-in for the wider player's channel tester (test patterns on the outputs), which is outside
// this system: it draws no pattern. It only records whether a test is said to run (Testing()) and
// which pattern commands ran:
// - RegisterCommands adds "Test Start" (pattern arguments, such as "50", "Output Specific",
//   "--ALL--", "999"), which sets the flag, and "Test Stop", which clears it; both record their
//   run and arguments, so the flows that start and stop patterns can be checked.
// - "/kivd/testing": a GET answers {"enabled": 0 or 1, "commandRuns": [{"command", "args": [...]},
//   ...]} (the last 50 runs); a POST of {"enabled": 1} or {"enabled": 0} sets the flag, answering
//   {"Status": "OK"} (400 text/plain for any other body); other methods 405.
// The flag is an atomic, so any thread may read it; the run record is guarded by a mutex.

#include "common/httpserver/httpserver.h"

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

class ChannelTester : public httpserver::http_resource {
public:
    static ChannelTester INSTANCE;

    struct CommandRun {
        std::string command;
        std::vector<std::string> args;
    };

    void RegisterCommands();
    bool Testing() { return testing.load(); }
    void SetTesting(bool on) { testing = on; }

    void RecordCommandRun(const std::string& command, const std::vector<std::string>& args);
    std::vector<CommandRun> GetCommandRuns();
    void ClearCommandRuns();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::atomic<bool> testing{false};
    std::mutex lock; // guards runs
    std::vector<CommandRun> runs;
};
