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

    // In a child: the main loop's first report, then a later one well within ten days, once the
    // parent writes to `go`. The child is forked before the server's thread exists: a fork beside
    // a running thread can copy a lock that thread holds (the sanitizers' allocator then never
    // returns in the child).
    static pid_t AskTwiceWhenTold(int go, const std::string& mode, const std::string& server) {
        pid_t child = fork();
        if (child == 0) {
            char ready = 0;
            if (read(go, &ready, 1) != 1) {
                _exit(1); // the parent gave up
            }
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
    int go[2];
    ASSERT_EQ(0, pipe(go));
    pid_t child = AskTwiceWhenTold(go[0], c.mode, "http://127.0.0.1:8081");
    close(go[0]);
    ASSERT_GT(child, 0);
    TestHttpServer server("127.0.0.1", 8081);
    server.serve("/api/statistics/usage", "sent");
    bool listening = server.listening();
    if (listening) {
        EXPECT_EQ(1, write(go[1], "g", 1));
        server.waitForRequests(c.requests, 5000);
        std::this_thread::sleep_for(std::chrono::milliseconds(300)); // room for a request too many
    }
    close(go[1]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(listening);
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
