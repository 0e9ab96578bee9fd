// Configuration documents whose values have the wrong type: the daemon starts anyway, shows a
// warning that names the file (or the port) and the key, and keeps everything else it was given.
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>
#include <jsoncpp/json/json.h>

#include <signal.h>

namespace {

const std::string API = "http://127.0.0.1:32322";

struct MalformedFile {
    const char* file; // relative to the media directory
    const char* contents;
    const char* warning;   // the key part of the expected warning; the file's path follows it
    bool namesFile = true; // false: the warning names a port, given in full in warning
};

const MalformedFile FILES[] = {
    {"tmp/cape-sensors.json", "[]", "Skipped the top level of "},
    {"config/sensors.json", R"({"sensors": 3})", "Skipped \"sensors\" of "},
    {"config/co-universes.json", R"("outputs")", "Skipped the top level of "},
    {"config/outputprocessors.json", "3", "Skipped the top level of "},
    {"config/ci-universes.json",
     R"({"channelInputs": [{"type": "universes", "enabled": 1, "universes": "1-4"}]})",
     "Skipped \"universes\" of "},
    {"config/ci-dmx.json", R"({"channelInputs": 7})", "Skipped \"channelInputs\" of "},
    {"config/commandPresets.json", R"({"commands": {"name": "x"}})", "Skipped \"commands\" of "},
    {"tmp/strings/Broken.json", R"(["P1-7"])", "Skipped the top level of "},
    {"config/co-pixelStrings.json",
     R"({"channelOutputs": [{"type": "DPIPixels", "subType": "Broken", "enabled": 1,
        "startChannel": 1, "channelCount": 3, "outputs": []}]})",
     "DPIPixels: Could not read pin configuration for Broken", false},
    // A port whose sensor is a text still gets its enable pin and its place in the port list.
    {"config/co-other.json",
     R"({"channelOutputs": [{"type": "TestPorts", "enabled": 1, "startChannel": 1, "channelCount": 3,
        "ports": [{"portNumber": 0, "enablePin": "P1-7", "currentSensor": "/sys/x"}]}]})",
     "Skipped \"currentSensor\" of Port 1: it is not an object.", false},
};

std::string warningsText() {
    Json::Value list;
    Json::Reader().parse(HttpGet(API + "/kivd/warnings").body, list);
    std::string text;
    for (const auto& w : list) {
        text += w.asString() + "\n";
    }
    return text;
}

} // namespace

TEST(DaemonConfigTypes, DocumentsOfTheWrongShapeAreWarnedAndSkippedWhileTheDaemonRuns) {
    ASSERT_TRUE(EnterPrivateNetworkNamespace());
    TestMediaDir media;
    media.write("settings", "kivMode = \"bridge\"\n");
    for (const auto& f : FILES) {
        media.write(f.file, f.contents);
    }
    DaemonProcess daemon(media.path());
    ASSERT_TRUE(daemon.start({"-f"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
    ASSERT_TRUE(WaitForHttp(API + "/kivd/warnings"));

    std::string warnings = warningsText();
    for (const auto& f : FILES) {
        std::string expected = f.namesFile ? f.warning + media.file(f.file) : f.warning;
        EXPECT_NE(std::string::npos, warnings.find(expected)) << expected << "\nin:\n" << warnings;
    }
    EXPECT_EQ(R"(["--ALL--","Port 1"])", HttpGet(API + "/kivd/ports/list").body);
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(3000));
}
