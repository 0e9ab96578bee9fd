// Usage statistics: only "statsPublish" = "Enabled" sends a request, to "StatsServer", and at most
// one per ten days however often the main loop asks. The last attempt's time lives for the whole
// process, so each case runs in a child process of its own; the stand-in statistics server runs in
// the parent, in the test's network namespace.

#include "CrashHandler.h"

#include "common/Settings.h"
#include "support/NetNamespace.h"
#include "support/TestHttpServer.h"

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

namespace {

struct StatsCase {
    const char* name;
    const char* mode;
    size_t requests;
};

class StatsPublish : public ::testing::TestWithParam<StatsCase> {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        curl_global_init(CURL_GLOBAL_ALL);
    }

    // In a child: the main loop's first report, then a later one well within ten days.
    static pid_t AskTwice(const std::string& mode, const std::string& server) {
        pid_t child = fork();
        if (child == 0) {
            SetSetting("statsPublish", mode);
            SetSetting("StatsServer", server);
            PublishStatsBackground("Startup");
            PublishStatsBackground("normal");
            sleep(10); // the request runs on a detached thread; the parent ends this process
            _exit(0);
        }
        return child;
    }
};

TEST_P(StatsPublish, SendsOneRequestOnlyWhenEnabled) {
    const StatsCase& c = GetParam();
    TestHttpServer server("127.0.0.1", 8081);
    ASSERT_TRUE(server.listening());
    server.serve("/api/statistics/usage", "sent");
    pid_t child = AskTwice(c.mode, server.url(""));
    ASSERT_GT(child, 0);
    server.waitForRequests(c.requests, 5000);
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for a request too many
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    auto requests = server.requests();
    ASSERT_EQ(c.requests, requests.size());
    if (c.requests) {
        EXPECT_EQ("POST", requests[0].method);
        EXPECT_EQ("/api/statistics/usage?reason=Startup", requests[0].target);
        EXPECT_EQ("", requests[0].body);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, StatsPublish,
                         ::testing::Values(StatsCase{"Enabled", "Enabled", 1},
                                           StatsCase{"LowerCase", "enabled", 0}, StatsCase{"Empty", "", 0},
                                           StatsCase{"Disabled", "Disabled", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
