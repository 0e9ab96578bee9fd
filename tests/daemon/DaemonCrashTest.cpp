// Crash reports of the real kivd: signals sent from outside leave a zip of the debugger's dump of
// every thread and of as much of the media directory as "ShareCrashData" allows, the crash warning
// and exit status 255 (or an orderly stop after SIGUSR1); at most ten reports are kept, none is
// made within a minute of the last, and a report leaves the machine only for "CrashReportURL".
//
// The daemon writes /tmp/kivd_crash.log, so each test runs in its own mount namespace with a
// private /tmp as well as its own network namespace.

#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestHttpServer.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <signal.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>
#include <sstream>

namespace {
namespace fs = std::filesystem;

// Stdout of a shell command.
std::string Capture(const std::string& command) {
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
            text.append(buffer, n);
        }
        pclose(pipe);
    }
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

int CountLinesStartingWith(const std::string& text, const std::string& prefix) {
    auto lines = Lines(text);
    return (int)std::count_if(lines.begin(), lines.end(),
                              [&](const auto& l) { return l.rfind(prefix, 0) == 0; });
}

class DaemonCrash : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(EnterPrivateNetworkNamespace());
        ASSERT_TRUE(EnterPrivateTmp());
        // An interface with an address, so the daemon writes its runtime information file.
        RunCommand("ip link del v0 2>/dev/null");
        ASSERT_TRUE(RunCommand("ip link add v0 type veth peer name v1 && ip addr add 192.0.2.1/24 dev v0 && "
                               "ip link set v0 up && ip link set v1 up"));
    }

    // Starts kivd with the settings, sends the signal once it runs, and waits for it to end.
    int Crash(const std::map<std::string, std::string>& settings, int sig) {
        std::string text;
        for (const auto& [name, value] : settings) {
            text += name + " = \"" + value + "\"\n";
        }
        media.write("settings", text);
        daemon = std::make_unique<DaemonProcess>(media.path());
        EXPECT_TRUE(daemon->start({"-f"}));
        EXPECT_TRUE(daemon->waitForOutput("Starting main processing loop"));
        daemon->signal(sig);
        return daemon->waitForExit(40000);
    }

    std::vector<std::string> Reports() const {
        std::vector<std::string> names;
        if (fs::exists(media.file("crashes"))) {
            for (const auto& entry : fs::directory_iterator(media.file("crashes"))) {
                names.push_back(entry.path().filename());
            }
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::set<std::string> Members(const std::string& report) const {
        auto lines = Lines(Capture("unzip -Z1 '" + media.file("crashes/" + report) + "'"));
        return std::set<std::string>(lines.begin(), lines.end());
    }

    std::string Member(const std::string& report, const std::string& member) const {
        return Capture("unzip -p '" + media.file("crashes/" + report) + "' '" + member + "'");
    }

    bool CrashWarningRaised() const {
        Json::Value warnings;
        Json::Reader().parse(media.read("tmp/warnings.json"), warnings);
        for (const auto& w : warnings) {
            if (w["id"].asInt() == 1 &&
                w["message"].asString() == "KIVD has crashed.  Check crash reports.") {
                return true;
            }
        }
        return false;
    }

    // Old reports, written an hour ago, named as a daemon of an older version would have.
    void AddOldReports(int count) const {
        for (int i = 0; i < count; i++) {
            std::string name =
                "crashes/kiv-Pi-0.9-unknown-2020-01-01_00-00-" + std::to_string(10 + i) + ".zip";
            media.write(name, "old");
            struct utimbuf hourAgo = {time(nullptr) - 3600, time(nullptr) - 3600};
            utime(media.file(name).c_str(), &hourAgo);
        }
    }

    TestMediaDir media;
    std::unique_ptr<DaemonProcess> daemon;
};

struct LevelCase {
    const char* name;
    int signal;
    int level;
    std::vector<std::string> members; // each must be in the zip
    std::vector<std::string> absent;  // none may be
};

class DaemonCrashLevels : public DaemonCrash, public ::testing::WithParamInterface<LevelCase> {};

TEST_P(DaemonCrashLevels, ZipEveryThreadsStackWithWhatTheLevelAllows) {
    const LevelCase& c = GetParam();
    media.write("config/channeloutputs.json", "{}");
    media.write("playlists/evening.json", "{}");
    EXPECT_EQ(255, Crash({{"ShareCrashData", std::to_string(c.level)}}, c.signal));
    EXPECT_TRUE(CrashWarningRaised());
    std::string output = daemon->output();
    EXPECT_NE(std::string::npos, output.find("Crash handler called:  " + std::to_string(c.signal)));
    std::vector<std::string> reports = Reports();
    if (c.level == 0) {
        EXPECT_TRUE(reports.empty());
        return;
    }
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(0u, reports[0].rfind("kiv-Pi-", 0)) << reports[0];
    std::set<std::string> members = Members(reports[0]);
    for (const auto& m : c.members) {
        EXPECT_TRUE(members.count(m)) << m;
    }
    for (const auto& m : c.absent) {
        EXPECT_FALSE(members.count(m)) << m;
    }
    std::string dump = Member(reports[0], "tmp/kivd_crash.log");
    EXPECT_GT(CountLinesStartingWith(dump, "Thread "), 1) << dump;
    EXPECT_NE(std::string::npos, output.find("kept locally"));
}

INSTANTIATE_TEST_SUITE_P(
    Signals, DaemonCrashLevels,
    ::testing::Values(
        LevelCase{"SegvLevel1", SIGSEGV, 1, {"tmp/kivd_crash.log", "kiv-info.json"}, {"settings", "config/"}},
        LevelCase{
            "AbortLevel2", SIGABRT, 2, {"tmp/kivd_crash.log", "kiv-info.json", "settings"}, {"config/"}},
        LevelCase{"SegvLevel3",
                  SIGSEGV,
                  3,
                  {"tmp/kivd_crash.log", "kiv-info.json", "settings", "config/channeloutputs.json",
                   "playlists/evening.json", "tmp/boot.log"},
                  {}},
        LevelCase{"SegvLevel0", SIGSEGV, 0, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DaemonCrash, Usr1DumpsAndStopsInOrder) {
    EXPECT_EQ(0, Crash({{"ShareCrashData", "1"}}, SIGUSR1));
    EXPECT_FALSE(CrashWarningRaised());
    EXPECT_NE(std::string::npos, daemon->output().find("Main Loop complete"));
    ASSERT_EQ(1u, Reports().size());
    EXPECT_GT(CountLinesStartingWith(Member(Reports()[0], "tmp/kivd_crash.log"), "Thread "), 1);
}

TEST_F(DaemonCrash, KeepsTenReportsAndMakesNoneWithinAMinuteOfTheLast) {
    AddOldReports(12);
    EXPECT_EQ(255, Crash({{"ShareCrashData", "1"}}, SIGSEGV));
    std::vector<std::string> reports = Reports();
    ASSERT_EQ(11u, reports.size());
    EXPECT_EQ("kiv-Pi-0.9-unknown-2020-01-01_00-00-12.zip", reports[0]); // the two oldest names went
    EXPECT_EQ(0u, reports[10].rfind("kiv-Pi-1", 0));

    EXPECT_EQ(255, Crash({{"ShareCrashData", "1"}}, SIGSEGV));
    EXPECT_EQ(std::vector<std::string>(reports.begin() + 1, reports.end()), Reports());
    EXPECT_NE(std::string::npos, daemon->output().find("Very recent crash report found, not uploading"));
    EXPECT_GT(CountLinesStartingWith(Capture("cat /tmp/kivd_crash.log"), "Thread "), 1); // the log stays
    EXPECT_TRUE(CrashWarningRaised());
}

TEST_F(DaemonCrash, UploadsTheReportOnlyToTheConfiguredAddress) {
    TestHttpServer collector("127.0.0.1", 8080);
    ASSERT_TRUE(collector.listening());
    collector.serve("/upload", "thanks");
    EXPECT_EQ(255, Crash({{"ShareCrashData", "1"}, {"CrashReportURL", collector.url("/upload")}}, SIGSEGV));
    ASSERT_TRUE(collector.waitForRequests(1));
    TestHttpRequest upload = collector.requests()[0];
    EXPECT_EQ("POST", upload.method);
    EXPECT_NE(std::string::npos, upload.headers.find("multipart/form-data"));
    ASSERT_EQ(1u, Reports().size());
    EXPECT_NE(std::string::npos, upload.body.find("name=\"userfile\"; filename=\"" + Reports()[0] + "\""));
    std::string zip = media.read("crashes/" + Reports()[0]);
    EXPECT_NE(std::string::npos, upload.body.find(zip));
    EXPECT_EQ(std::string::npos, daemon->output().find("kept locally"));
}

} // namespace
