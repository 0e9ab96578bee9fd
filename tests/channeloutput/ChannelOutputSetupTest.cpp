// The output registry: outputs built from configuration files through real plugins, frames sent
// to each output's slice, file-by-file reloads, warnings for bad configuration, and ranges.

#include "channeloutput/ChannelOutputSetup.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/FileMonitor.h"
#include "common/WarningHolder.h"
#include "player/PluginManager.h"
#include "player/Sequence.h"
#include "support/TestMediaDir.h"
#include "support/TestOutputAccess.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {
[[maybe_unused]] ::testing::Environment* const unloadPlugins =
    ::testing::AddGlobalTestEnvironment(new UnloadPluginsAtExit());

std::string Output(int id, int start, int count, const std::string& extra = "") {
    return "{\"type\": \"TestOutput\", \"enabled\": 1, \"id\": " + std::to_string(id) +
           ", \"startChannel\": " + std::to_string(start) + ", \"channelCount\": " + std::to_string(count) +
           extra + "}";
}

std::string OutputFile(const std::vector<std::string>& outputs) {
    std::string list;
    for (const auto& o : outputs) {
        list += (list.empty() ? "" : ",") + o;
    }
    return "{\"channelOutputs\": [" + list + "]}";
}

std::vector<std::string> WarningTexts() {
    std::vector<std::string> texts;
    for (const auto& w : WarningHolder::GetWarnings()) {
        texts.push_back(w.message);
    }
    return texts;
}

bool HasWarning(const std::string& text) {
    auto texts = WarningTexts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}
} // namespace

class ChannelOutputSetup : public ::testing::Test {
protected:
    void SetUp() override {
        PluginManager::INSTANCE.setPluginDirectory(KIV_RUNTIME_DIR);
        WarningHolder::RemoveAllWarnings();
    }
    void TearDown() override {
        CloseChannelOutputs();
        FileMonitor::INSTANCE.Cleanup();
        WarningHolder::RemoveAllWarnings();
        if (probe()) {
            probe()->reset();
        }
    }
    void load(const std::string& file, const std::string& contents) {
        media.write("config/" + file, contents);
        ReloadChannelOutputsForFile(media.file("config/" + file));
    }
    TestOutputProbe* probe() { return ProbeOfLoadedTestOutput(); }
    std::vector<unsigned char> frameOf(int id) {
        std::lock_guard<std::mutex> lk(probe()->lock);
        return probe()->lastFrame[id];
    }

    TestMediaDir media;
    Sequence seq;
};

TEST_F(ChannelOutputSetup, SendsEveryOutputItsOwnSliceOfTheChannelData) {
    load("co-other.json", OutputFile({Output(1, 1, 4), Output(2, 11, 3)}));
    ASSERT_EQ(2, ChannelOutputCount());
    for (unsigned i = 0; i < 20; i++) {
        seq.Data()[i] = static_cast<unsigned char>(100 + i);
    }
    PrepareChannelData(reinterpret_cast<char*>(seq.Data()));
    SendChannelData(reinterpret_cast<const char*>(seq.Data()));
    EXPECT_EQ((std::vector<unsigned char>{100, 101, 102, 103}), frameOf(1));
    EXPECT_EQ((std::vector<unsigned char>{110, 111, 112}), frameOf(2));
    EXPECT_EQ(2, probe()->prepCalls.load());
    auto info = GetChannelOutputInfo();
    EXPECT_EQ(10u, info[1].startChannel);
    EXPECT_EQ(media.file("config/co-other.json"), info[1].source);
}

TEST_F(ChannelOutputSetup, DisabledOutputsAreSkippedWithoutAWarning) {
    load("co-other.json", OutputFile({"{\"type\": \"TestOutput\", \"enabled\": 0, \"startChannel\": 1, "
                                      "\"channelCount\": 3}"}));
    EXPECT_EQ(0, ChannelOutputCount());
    EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ChannelOutputSetup, StartChannelsOutsideTheBufferAreRefusedWithAWarning) {
    load("co-other.json", OutputFile({Output(1, 0, 3), Output(2, 8388609, 1), Output(3, 8388600, 100),
                                      Output(4, 5, -2), Output(5, 8388608, 1)}));
    ASSERT_EQ(1, ChannelOutputCount()); // only the last: it ends exactly at the last channel
    EXPECT_EQ(8388607u, GetChannelOutputInfo()[0].startChannel);
    EXPECT_TRUE(HasWarning("Could not initialize output type TestOutput. Invalid start channel."));
    EXPECT_TRUE(
        HasWarning("Could not initialize output type TestOutput. Channel count runs past the last channel."));
    EXPECT_TRUE(HasWarning("Could not initialize output type TestOutput. Invalid channel count."));
}

TEST_F(ChannelOutputSetup, TypesWithoutPluginsAreWarnedUnderTheirReplacedName) {
    load("co-other.json",
         OutputFile({"{\"type\": \"DMX-Open\", \"enabled\": 1, \"startChannel\": 1, \"channelCount\": 512}",
                     "{\"type\": \"LEDPanelMatrix\", \"subType\": \"NoSuchPanels\", \"enabled\": 1, "
                     "\"startChannel\": 1, \"channelCount\": 512}",
                     Output(7, 1, 2)}));
    EXPECT_EQ(1, ChannelOutputCount());
    EXPECT_TRUE(HasWarning("Could not create output type USBDMX. Check logs for details."));
    EXPECT_TRUE(HasWarning("Could not create output type NoSuchPanels. Check logs for details."));
}

TEST_F(ChannelOutputSetup, FailingOrThrowingInitDeletesThatOutputOnly) {
    load("co-other.json", OutputFile({Output(1, 1, 3, ", \"failInit\": 1"),
                                      Output(2, 1, 3, ", \"throwInit\": \"boom\""), Output(3, 1, 3)}));
    EXPECT_EQ(1, ChannelOutputCount());
    EXPECT_EQ(1, probe()->live.load());
    EXPECT_TRUE(HasWarning("Could not initialize output type TestOutput. Check logs for details."));
    EXPECT_TRUE(HasWarning("Could not initialize output type TestOutput. (boom)"));
}

TEST_F(ChannelOutputSetup, MalformedFilesWarnAndKeepWhatWasRunning) {
    load("co-other.json", OutputFile({Output(1, 1, 3)}));
    load("co-other.json", "{\"channelOutputs\": [");
    EXPECT_EQ(1, ChannelOutputCount());
    EXPECT_TRUE(
        HasWarning("Could not parse " + media.file("config/co-other.json") + ". Some outputs may not work."));

    load("co-pwm.json", "{\"channelOutputs\": {\"type\": \"TestOutput\"}}");
    load("channeloutputs.json", "{\"channelOutputs\": [3, \"x\", " + Output(9, 1, 1) + "]}");
    load("co-universes.json", "[1, 2]");
    EXPECT_EQ(2, ChannelOutputCount());
    EXPECT_TRUE(HasWarning("Output 1 of " + media.file("config/channeloutputs.json") + " is not an object."));
    EXPECT_TRUE(HasWarning("Could not read the outputs of " + media.file("config/co-pwm.json") +
                           ": \"channelOutputs\" is not a list."));
}

TEST_F(ChannelOutputSetup, ValuesOfTheWrongTypeReadLeniently) {
    load("co-other.json",
         OutputFile({"{\"type\": \"TestOutput\", \"enabled\": \"1\", \"startChannel\": \"3\", "
                     "\"channelCount\": 2.0, \"id\": {}}",
                     "{\"type\": [1], \"enabled\": true, \"startChannel\": 1, \"channelCount\": 1}"}));
    ASSERT_EQ(1, ChannelOutputCount());
    EXPECT_EQ(2u, GetChannelOutputInfo()[0].startChannel);
    EXPECT_EQ(2u, GetChannelOutputInfo()[0].channelCount);
}

TEST_F(ChannelOutputSetup, RewritingOneFileReplacesOnlyItsOutputs) {
    load("co-other.json", OutputFile({Output(1, 1, 3), Output(2, 4, 3)}));
    load("co-pixelStrings.json", OutputFile({Output(3, 100, 3)}));
    load("co-other.json", OutputFile({Output(4, 7, 3)}));
    auto info = GetChannelOutputInfo();
    ASSERT_EQ(2u, info.size());
    EXPECT_EQ(99u, info[0].startChannel); // the other file's output stays first
    EXPECT_EQ(6u, info[1].startChannel);  // new outputs are appended
    EXPECT_EQ(2, probe()->live.load());

    media.remove("config/co-other.json");
    EXPECT_TRUE(ReloadChannelOutputsForFile(media.file("config/co-other.json")));
    EXPECT_EQ(1, ChannelOutputCount());
    EXPECT_FALSE(ReloadChannelOutputsForFile(media.file("config/co-other.json")));
}

TEST_F(ChannelOutputSetup, AFileCaughtMidWriteIsReadAgainAfterAMoment) {
    media.write("config/co-other.json", "{\"channelOutputs\": [{\"type\": ");
    std::thread finisher([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        media.write("config/co-other.json", OutputFile({Output(1, 1, 3)}), true);
    });
    bool changed = ReloadChannelOutputsForFile(media.file("config/co-other.json"));
    finisher.join();
    EXPECT_TRUE(changed);
    EXPECT_EQ(1, ChannelOutputCount());
    EXPECT_TRUE(WarningTexts().empty());
}

TEST_F(ChannelOutputSetup, StartAndStopReachEveryOutputAndCloseDeletesThem) {
    load("co-other.json", OutputFile({Output(1, 1, 3), Output(2, 5, 3)}));
    StartingOutput();
    StoppingOutput();
    CloseChannelOutputs();
    EXPECT_EQ(0, ChannelOutputCount());
    EXPECT_EQ(0, probe()->live.load());
    std::lock_guard<std::mutex> lk(probe()->lock);
    EXPECT_EQ((std::vector<std::string>{"init 1", "init 2", "starting 1", "starting 2", "stopping 1",
                                        "stopping 2", "close 1", "close 2", "delete 1", "delete 2"}),
              probe()->events);
}

TEST_F(ChannelOutputSetup, TestPatternsGoOnlyToOutputsThatSupportThemAndWereChosen) {
    load("co-other.json", OutputFile({Output(1, 1, 3, ", \"testing\": 1"), Output(2, 5, 3)}));
    EXPECT_EQ(std::set<std::string>{"TestOutput"}, GetOutputTypes());
    OverlayOutputTestData({}, seq.Data(), 0, 0.5f, 1, Json::Value());
    EXPECT_EQ(1, probe()->testCalls.load());
    OverlayOutputTestData({"Other"}, seq.Data(), 0, 0.5f, 1, Json::Value());
    EXPECT_EQ(1, probe()->testCalls.load());
    OverlayOutputTestData({"TestOutput"}, seq.Data(), 0, 0.5f, 1, Json::Value());
    EXPECT_EQ(2, probe()->testCalls.load());
}

namespace {
int legacyChannelsSent = -1;
int legacyOpenFlag = 1;
int legacyMax(void*) {
    return 100;
}
int legacyOpen(const char*, void** data) {
    *data = malloc(8);
    return legacyOpenFlag;
}
int legacyClose(void*) {
    return 0;
}
int legacyConfigured() {
    return 1;
}
int legacySend(void*, const char*, int count) {
    legacyChannelsSent = count;
    return 0;
}
LegacyChannelOutput testLegacy = {legacyMax, legacyOpen, legacyClose, legacyConfigured,
                                  nullptr,   legacySend, nullptr,     nullptr};
} // namespace

TEST_F(ChannelOutputSetup, ALegacyOutputNearTheEndGetsOnlyTheChannelsLeft) {
    ASSERT_TRUE(AddLegacyChannelOutput(&testLegacy, KIVD_MAX_CHANNELS - 10, "QMX"));
    SendChannelData(reinterpret_cast<const char*>(seq.Data()));
    EXPECT_EQ(10, legacyChannelsSent);
    load("co-other.json", OutputFile({Output(1, 1, 3)}));
    load("co-other.json", OutputFile({}));
    ASSERT_EQ(1, ChannelOutputCount()); // the legacy output is not touched by file reloads
    EXPECT_EQ("QMX", GetChannelOutputInfo()[0].source);
}

TEST_F(ChannelOutputSetup, OutputProcessorsRunBeforeOutputsAndAddTheirRanges) {
    load("co-other.json", OutputFile({Output(1, 101, 3)}));
    media.write(
        "config/outputprocessors.json",
        "{\"outputProcessors\": [{\"type\": \"Remap\", \"active\": 1, \"source\": 1, \"destination\": 101, "
        "\"count\": 3, \"loops\": 1}, {\"type\": \"Brightness\"}]}");
    InitializeChannelOutputs(); // loads the processors file and computes the ranges
    seq.Data()[0] = 7;
    seq.Data()[1] = 8;
    seq.Data()[2] = 9;
    PrepareChannelData(reinterpret_cast<char*>(seq.Data()));
    SendChannelData(reinterpret_cast<const char*>(seq.Data()));
    EXPECT_EQ((std::vector<unsigned char>{7, 8, 9}), frameOf(1));
    EXPECT_TRUE(HasWarning("Output processor type 'Brightness' is not supported and was skipped."));
    EXPECT_EQ("0-102", GetOutputRangesAsString(true, false));
    media.remove("config/outputprocessors.json");
    FileMonitor::INSTANCE.TriggerFileChanged(media.file("config/outputprocessors.json"));
    EXPECT_EQ("100-102", GetOutputRangesAsString(true, false));
}

TEST_F(ChannelOutputSetup, RangesComeFromTheOutputsAndFollowReloads) {
    load("co-other.json", OutputFile({Output(1, 1, 512)}));
    ComputeOutputRanges();
    EXPECT_EQ("0-511", GetOutputRangesAsString(true, false));
    EXPECT_EQ("1-512", GetOutputRangesAsString(false, true));
    load("co-other.json", OutputFile({Output(1, 1, 1, ", \"ranges\": [[0, 7], [16, 23]]")}));
    ComputeOutputRanges();
    EXPECT_EQ("0-7,16-23", GetOutputRangesAsString(false, false));
    EXPECT_EQ("0-23", GetOutputRangesAsString(true, false));
    load("co-other.json", OutputFile({}));
    ComputeOutputRanges();
    EXPECT_EQ("0-7", GetOutputRangesAsString(false, false));
}

TEST(ChannelOutputJSON2CSV, FlattensOneOutputInTheFixedThenSortedOrder) {
    Json::Value config;
    config["type"] = "X";
    config["startChannel"] = 5;
    EXPECT_EQ("0,X,5,1,startChannel=5;type=X", ChannelOutputJSON2CSV(config));
    EXPECT_EQ("", ChannelOutputJSON2CSV(Json::Value(Json::objectValue)));
    EXPECT_EQ("", ChannelOutputJSON2CSV(Json::Value("text")));
}

TEST(ChannelOutputJSON2CSV, LongObjectsAreWhollyKept) {
    Json::Value config;
    config["type"] = "Long";
    for (int i = 0; i < 300; i++) {
        config["member" + std::to_string(1000 + i)] = std::string(50, 'v');
    }
    config["nested"]["a"] = 1;
    std::string csv = ChannelOutputJSON2CSV(config);
    EXPECT_GT(csv.size(), 300u * 60);
    EXPECT_NE(std::string::npos,
              csv.find(";member1299=" + std::string(50, 'v') + ";nested={\"a\":1};type=Long"));
}

namespace {
std::string Ranges(const OutputRangeList& list) {
    std::string text;
    for (const auto& r : list) {
        text += "(" + std::to_string(r.first) + "," + std::to_string(r.second) + ")";
    }
    return text;
}

void Compute(const std::vector<std::pair<unsigned, unsigned>>& requests, OutputRangeList& precise,
             OutputRangeList& aligned) {
    for (const auto& [first, last] : requests) {
        addRange(first, last, precise, aligned);
    }
    sortRanges(aligned, false);
    sortRanges(precise, true);
}
} // namespace

TEST(OutputRanges, PreciseRangesMergeAcrossSmallGapsAlignedOnlyWhenTouching) {
    struct Case {
        std::vector<std::pair<unsigned, unsigned>> requests;
        std::string precise;
        std::string aligned;
    };
    std::vector<Case> cases = {
        {{{0, 511}}, "(0,512)", "(0,512)"},
        {{{0, 2}, {3, 5}}, "(0,6)", "(0,8)"},
        {{{0, 9}, {1035, 1044}}, "(0,1045)", "(0,16)(1032,16)"},
        {{{0, 9}, {1036, 1045}}, "(0,10)(1036,10)", "(0,16)(1032,16)"},
        {{{0, 7}, {16, 23}}, "(0,24)", "(0,8)(16,8)"},
        {{{0, 7}, {8, 15}}, "(0,16)", "(0,16)"},
        {{}, "(0,8)", "(0,8)"},
        {{{0, 99}, {10, 20}}, "(0,100)", "(0,104)"},
    };
    for (const auto& c : cases) {
        OutputRangeList precise, aligned;
        Compute(c.requests, precise, aligned);
        EXPECT_EQ(c.precise, Ranges(precise));
        EXPECT_EQ(c.aligned, Ranges(aligned));
    }
}

TEST(OutputRanges, ARequestInsideAnEarlierPreciseRangeIsIgnoredForBothLists) {
    OutputRangeList precise, aligned;
    addRange(0, 99, precise, aligned);
    addRange(96, 99, precise, aligned);
    addRange(10, 20, precise, aligned);
    EXPECT_EQ("(0,100)", Ranges(precise));
    EXPECT_EQ("(0,104)", Ranges(aligned));
}
