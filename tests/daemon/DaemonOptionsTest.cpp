// Command-line behaviour of the real kivd binary.

#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>

static const char* const EXPECTED_HELP = R"(Usage: BINARY [OPTION...]

kivd is the Quarn Player daemon.

Options:
  -f, --foreground              - Don't daemonize the application.  In the
                                  foreground, all logging will be on the
                                  console instead of the log file
  -d, --daemonize               - Daemonize even if the config file says not to.
  -v, --volume VOLUME           - Set a volume (over-written by config file)
  -m, --mode MODE               - Set the mode: "player", "bridge",
                                  "master", or "remote"
  -l, --log-file FILENAME       - Set the log file
  -H  --detect-hardware         - Detect Quarn hardware on SPI port
  -C  --configure-hardware      - Configure detected Quarn hardware on SPI
  -h, --help                    - This menu.
      --log-level LEVEL         - Set the global log output level (all loggers):
                                  "info", "warn", "debug", "excess")
      --log-level LEVEL:logger  - Set the log level for one or more loggers.
                                  each level should be separated by semicolons
                                  with one or more loggers separated by commas.
                                  example: debug:schedule,player;excess:mqtt 
                                  valid loggers are: 
                                    ChannelData - channel data itself
                                    ChannelOut  - channel output code
                                    Command     - command processing
                                    Control     - Control socket debugging
                                    E131Bridge  - E1.31 bridge
                                    Effect      - Effects sequences
                                    General     - general messages
                                    GPIO        - GPIO Input handling
                                    HTTP        - HTTP API requests
                                    MediaOut    - Media file handling
                                    Playlist    - Playlist handling
                                    Plugin      - Plugin handling
                                    Schedule    - Playlist scheduling
                                    Sequence    - Sequence parsing
                                    Setting     - Settings parsing
                                    Sync        - Player/Remote Synchronization
                                  The default logging is read from settings
)";

static std::string expectedHelp() {
    std::string text = EXPECTED_HELP;
    text.replace(text.find("BINARY"), 6, KIVD_BINARY);
    return text;
}

class DaemonOptions : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    TestMediaDir media;
};

TEST_F(DaemonOptions, HelpPrintsTheUsageTextExactlyAndExitsZero) {
    std::string out;
    EXPECT_EQ(0, DaemonProcess::runToCompletion(media.path(), {"-h"}, out));
    EXPECT_EQ(expectedHelp(), out);
    EXPECT_EQ(0, DaemonProcess::runToCompletion(media.path(), {"--help"}, out));
    EXPECT_EQ(expectedHelp(), out);
}

TEST_F(DaemonOptions, UnknownOptionOrMissingArgumentPrintsUsageAndExitsOne) {
    for (const auto& args :
         std::vector<std::vector<std::string>>{{"--bogus"}, {"-x"}, {"-m"}, {"--log-level"}}) {
        std::string out;
        EXPECT_EQ(1, DaemonProcess::runToCompletion(media.path(), args, out)) << args[0];
        EXPECT_NE(std::string::npos, out.find(expectedHelp())) << args[0];
    }
}

TEST_F(DaemonOptions, LogLevelIsPrintedWhileOptionsAreParsed) {
    std::string out;
    EXPECT_EQ(0, DaemonProcess::runToCompletion(media.path(), {"--log-level", "debug", "-h"}, out));
    EXPECT_EQ(0u, out.find("debug\n"));
    EXPECT_NE(std::string::npos, out.find("[Setting] Log Level set to 4 (debug)"));
    EXPECT_EQ(out.size() - expectedHelp().size(), out.find(expectedHelp()));

    EXPECT_EQ(0, DaemonProcess::runToCompletion(
                     media.path(), {"--log-level", "debug:schedule,player;excess:mqtt", "-h"}, out));
    EXPECT_EQ(0u, out.find("info;debug:Playlist,Schedule;excess:Control\n"));
}

TEST_F(DaemonOptions, InvalidLogLevelPrintsNothingAndParsingGoesOn) {
    std::string out;
    EXPECT_EQ(0, DaemonProcess::runToCompletion(media.path(), {"--log-level", "loud", "-h"}, out));
    EXPECT_EQ(expectedHelp(), out);
}

TEST_F(DaemonOptions, VersionPrintsAndExitsZero) {
    std::string out;
    EXPECT_EQ(0, DaemonProcess::runToCompletion(media.path(), {"-V"}, out));
    EXPECT_NE(std::string::npos, out.find(KIV_VERSION_STRING));
}

TEST_F(DaemonOptions, LaterForegroundWinsOverEarlierDaemonize) {
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-d", "-f"}));
    EXPECT_TRUE(daemon.waitForOutput("Starting main processing loop"));
    EXPECT_TRUE(daemon.running());
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(5000));
}

TEST_F(DaemonOptions, LaterDaemonizeDetachesAndLogsToTheLogFile) {
    DaemonProcess launcher(media.path());
    ASSERT_TRUE(launcher.start({"-f", "-d"}));
    EXPECT_EQ(0, launcher.waitForExit(5000)); // the started process exits once the daemon forked
    ASSERT_TRUE(WaitForHttp("http://127.0.0.1:32322/kivd/version"));
    for (int i = 0;
         i < 100 && media.read("logs/kivd.log").find("Starting main processing loop") == std::string::npos;
         i++) {
        usleep(20000);
    }
    EXPECT_NE(std::string::npos, media.read("logs/kivd.log").find("Starting main processing loop"));
    EXPECT_EQ(200, HttpPost("http://127.0.0.1:32322/kivd/shutdown", "").status);
    for (int i = 0; i < 100 && HttpGet("http://127.0.0.1:32322/kivd/version").status != 0; i++) {
        usleep(50000);
    }
    EXPECT_EQ(0, HttpGet("http://127.0.0.1:32322/kivd/version").status);
    EXPECT_NE(std::string::npos, media.read("logs/kivd.log").find("Main Loop complete, shutting down."));
}
