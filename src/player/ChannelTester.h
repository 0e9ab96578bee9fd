#pragma once
// The channel tester: test patterns (TestPattern.h) drawn over the channel data by the
// channel-output thread while a test runs, so a user can check wiring, colour order and layout.
// - RegisterCommands adds "Test Start" (cycle time, pattern, target, extra: see TestPattern.h;
//   for example "50", "Output Specific", "--ALL--", "999") and "Test Stop". Both record their run
//   and arguments (the last 50), so the flows that start and stop patterns can be followed.
// - "/kivd/testing": a GET answers {"enabled": 0 or 1, "args": [the running pattern's arguments],
//   "commandRuns": [{"command", "args": [...]}, ...]}; a POST of {"enabled": 1} starts a pattern
//   (optional members "cycleMS", "mode", "target", "extra" as the four arguments, "RGB Cycle"
//   over every output by default), {"enabled": 0} stops it; the answer is {"Status": "OK"}, or
//   400 text/plain with the reason for a bad body or pattern; other methods 405.
// - OverlayTestData, called by the output thread each frame after the overlays, draws the running
//   pattern, and once after a stop blanks what the pattern left behind.
// Testing() is an atomic any thread may read; the pattern and the run record are guarded by lock.

#include "TestPattern.h"
#include "common/httpserver/httpserver.h"

#include <atomic>
#include <mutex>
#include <optional>
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
    // Starts the pattern the arguments describe (replacing a running one); false with the reason.
    bool StartTest(const std::vector<std::string>& args, std::string& error);
    void StopTest();
    // On the channel-output thread, with the channel buffer of the frame about to be sent.
    void OverlayTestData(unsigned char* channelData);

    void RecordCommandRun(const std::string& command, const std::vector<std::string>& args);
    std::vector<CommandRun> GetCommandRuns();
    void ClearCommandRuns();

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::atomic<bool> testing{false};
    std::mutex lock;                    // guards everything below
    std::optional<TestPattern> running; // the pattern drawn each frame
    std::optional<TestPattern> toClear; // a stopped pattern not yet blanked
    long long startedMS = 0;            // when the running pattern started, for its cycles
    std::vector<CommandRun> runs;
};
