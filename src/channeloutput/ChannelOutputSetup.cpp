#include "ChannelOutputSetup.h"

#include "ChannelOutputThread.h"
#include "KIVPlugins.h"
#include "OutputMonitor.h"
#include "OutputProcessors.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/FileMonitor.h"
#include "common/JsonValues.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/WarningHolder.h"
#include "player/PluginManager.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>

namespace {
struct OutputListEntry {
    int startChannel = 0;
    int channelCount = 0;
    LegacyChannelOutput* legacy = nullptr;
    ChannelOutput* output = nullptr; // owned
    void* privData = nullptr;        // legacy state, released with free
    std::string source;
    std::atomic<OutputListEntry*> prev{nullptr};
    std::atomic<OutputListEntry*> next{nullptr};
};

std::atomic<OutputListEntry*> channelOutputs{nullptr};
std::atomic<OutputListEntry*> lastChannelOutput{nullptr};
OutputProcessors outputProcessors;
bool skipOutputRangeCompute = false;
std::atomic<int> channelOutputFrame{0};
std::atomic<float> mediaElapsedSeconds{0.0f};

// Walks of the list started and finished. A remover waits, after its grace period, until every walk
// that may have seen an unlinked entry has finished; the release/acquire pair on walksFinished is
// what makes the frees safe in the memory model, not only in time.
std::atomic<unsigned long> walksStarted{0};
std::atomic<unsigned long> walksFinished{0};

struct ListWalk {
    ListWalk() { walksStarted.fetch_add(1); }
    ~ListWalk() { walksFinished.fetch_add(1, std::memory_order_release); }
};

std::mutex rangeLock; // guards the two range lists
OutputRangeList preciseOutputRanges;
OutputRangeList outputRanges;

const std::map<std::string, std::string> OUTPUT_REMAPS = {
    {"VirtualMatrix", "FBMatrix"},    {"DMX-Pro", "USBDMX"},
    {"DMX-Open", "USBDMX"},           {"Pixelnet-Lynx", "USBPixelnet"},
    {"Pixelnet-Open", "USBPixelnet"}, {"universes", "UDPOutput"},
};

const char* const OUTPUT_FILES[] = {"/co-universes.json", "/co-other.json", "/co-pwm.json",
                                    "/co-pixelStrings.json", "/channeloutputs.json"};

void sleepMS(int ms) {
    // sleep_for resumes after a signal, so the full time always passes.
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void appendEntry(OutputListEntry* entry) {
    OutputListEntry* tail = lastChannelOutput.load();
    entry->prev.store(tail);
    entry->next.store(nullptr);
    if (tail) {
        tail->next.store(entry);
    } else {
        channelOutputs.store(entry);
    }
    lastChannelOutput.store(entry);
}

void unlinkEntry(OutputListEntry* entry) {
    OutputListEntry* prev = entry->prev.load();
    OutputListEntry* next = entry->next.load();
    if (next) {
        next->prev.store(prev);
    } else {
        lastChannelOutput.store(prev);
    }
    if (prev) {
        prev->next.store(next);
    } else {
        channelOutputs.store(next);
    }
}

void stopEntry(OutputListEntry* entry) {
    if (entry->legacy) {
        if (entry->legacy->stopThread) {
            entry->legacy->stopThread(entry->privData);
        }
    } else if (entry->output) {
        entry->output->StoppingOutput();
    }
}

void destroyEntry(OutputListEntry* entry) {
    if (entry->legacy) {
        entry->legacy->close(entry->privData);
        std::free(entry->privData);
    } else if (entry->output) {
        entry->output->Close();
        delete entry->output;
    }
    delete entry;
}

void waitForWalksInProgress() {
    unsigned long started = walksStarted.load();
    while (walksFinished.load(std::memory_order_acquire) < started && ChannelOutputThreadIsRunning()) {
        sleepMS(1);
    }
}

// Detaches and destroys every output that came from path; true when there was one.
bool removeOutputsFrom(const std::string& path) {
    std::vector<OutputListEntry*> detached;
    for (OutputListEntry* e = channelOutputs.load(); e;) {
        OutputListEntry* next = e->next.load();
        if (e->source == path) {
            unlinkEntry(e);
            detached.push_back(e);
        }
        e = next;
    }
    if (detached.empty()) {
        return false;
    }
    if (ChannelOutputThreadIsRunning()) {
        sleepMS(100); // lets a walk of the output thread that is still on them finish
        waitForWalksInProgress();
        for (auto* e : detached) {
            stopEntry(e);
        }
    }
    for (auto* e : detached) {
        destroyEntry(e);
    }
    return true;
}

// Reads path, retrying once after 5 ms for a file caught mid-write. A missing file is empty.
bool readOutputFile(const std::string& path, Json::Value& root) {
    if (!FileExists(path)) {
        root = Json::Value(Json::objectValue);
        return true;
    }
    if (LoadJsonFromFile(path, root)) {
        return true;
    }
    if (!skipOutputRangeCompute) {
        sleepMS(5);
    }
    if (LoadJsonFromFile(path, root)) {
        return true;
    }
    WarningHolder::AddWarning("Could not parse " + path + ". Some outputs may not work.");
    LogErr(LG_CHANNELOUT, "Error parsing %s\n", path.c_str());
    return false;
}

// The plugin output for one configuration element, or null (warned) when none can be created.
ChannelOutput* createOutput(const std::string& prefix, const std::string& type, int start, int count) {
    KIVPlugins::Plugin* plugin = PluginManager::INSTANCE.findPlugin(prefix + type, "kiv-co-" + prefix + type);
    auto* outputPlugin = dynamic_cast<KIVPlugins::ChannelOutputPlugin*>(plugin);
    ChannelOutput* output = outputPlugin ? outputPlugin->createChannelOutput(start, count) : nullptr;
    if (!output) {
        LogErr(LG_CHANNELOUT, "ERROR Opening %s Channel Output\n", type.c_str());
        WarningHolder::AddWarning("Could not create output type " + type + ". Check logs for details.");
    }
    return output;
}

// Start and count checks; false (warned) when the output would reach outside the channel buffer.
bool validChannels(const std::string& type, int& start, int count) {
    std::string problem;
    if (count < 0) {
        problem = "Invalid channel count.";
    } else if (start < 0 && count == 0) {
        start = 0; // an output that takes no channels of its own
    } else if (start < 0 || static_cast<unsigned>(start) >= KIVD_MAX_CHANNELS) {
        problem = "Invalid start channel.";
    } else if (static_cast<long long>(start) + count > KIVD_MAX_CHANNELS) {
        problem = "Channel count runs past the last channel.";
    }
    if (problem.empty()) {
        return true;
    }
    WarningHolder::AddWarning("Could not initialize output type " + type + ". " + problem);
    LogErr(LG_CHANNELOUT, "Output type %s start %d count %d: %s\n", type.c_str(), start + 1, count,
           problem.c_str());
    return false;
}

// Creates, initialises and appends one configured output; true when it was appended.
bool addConfiguredOutput(const Json::Value& config, const std::string& path) {
    std::string type = JsonString(config["type"]);
    if (JsonInt(config["enabled"]) == 0) {
        LogDebug(LG_CHANNELOUT, "Skipping Disabled Channel Output: %s\n", type.c_str());
        return false;
    }
    long long start64 = JsonInt64(config["startChannel"]) - 1;
    long long count64 = JsonInt64(config["channelCount"]);
    if (start64 < INT_MIN || start64 > INT_MAX || count64 < INT_MIN || count64 > INT_MAX) {
        start64 = -1; // absurd values fail the channel checks below
        count64 = -1;
    }
    int start = static_cast<int>(start64);
    int count = static_cast<int>(count64);
    if (!validChannels(type, start, count)) {
        return false;
    }
    std::string prefix;
    if (type == "LEDPanelMatrix") {
        prefix = "matrix-";
        type = JsonString(config["subType"]);
    } else if (auto remap = OUTPUT_REMAPS.find(type); remap != OUTPUT_REMAPS.end()) {
        type = remap->second;
    }
    ChannelOutput* output = nullptr;
    try {
        output = createOutput(prefix, type, start, count);
        if (!output) {
            return false;
        }
        if (!output->Init(config)) {
            WarningHolder::AddWarning("Could not initialize output type " + type +
                                      ". Check logs for details.");
            delete output;
            return false;
        }
    } catch (const std::exception& ex) {
        WarningHolder::AddWarning("Could not initialize output type " + type + ". (" + ex.what() + ")");
        delete output;
        return false;
    }
    auto* entry = new OutputListEntry();
    entry->startChannel = start;
    entry->channelCount = count;
    entry->output = output;
    entry->source = path;
    appendEntry(entry);
    LogDebug(LG_CHANNELOUT, "Configured %s Channel Output\n", type.c_str());
    return true;
}

void reloadOutputFile(const std::string& path) {
    LogDebug(LG_CHANNELOUT, "Reloading Channel Outputs for %s\n", path.c_str());
    if (ReloadChannelOutputsForFile(path) && !skipOutputRangeCompute) {
        ComputeOutputRanges();
    }
}

void reloadOutputProcessors(const std::string& path) {
    Json::Value doc;
    if (!FileExists(path) || !LoadJsonFromFile(path, doc) ||
        !ConfigValueIs(doc, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_CHANNELOUT)) {
        doc = Json::Value();
    }
    outputProcessors.loadFromJSON(doc);
    ComputeOutputRanges();
}

std::string rangeText(unsigned start, unsigned count, bool oneBased) {
    unsigned offset = oneBased ? 1 : 0;
    return std::to_string(start + offset) + "-" + std::to_string(start + count - 1 + offset);
}
} // namespace

bool ReloadChannelOutputsForFile(const std::string& path) {
    Json::Value root;
    if (!readOutputFile(path, root)) {
        return false;
    }
    bool changed = removeOutputsFrom(path);
    if (!FileExists(path)) {
        return changed;
    }
    bool isObject = ConfigValueIs(root, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_CHANNELOUT);
    const Json::Value& list = isObject ? root["channelOutputs"] : Json::Value::nullSingleton();
    if (!list.isNull() && !list.isArray()) {
        WarningHolder::AddWarning("Could not read the outputs of " + path +
                                  ": \"channelOutputs\" is not a list.");
        LogErr(LG_CHANNELOUT, "\"channelOutputs\" in %s is not an array\n", path.c_str());
        return changed;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); i++) {
        if (!list[i].isObject()) {
            WarningHolder::AddWarning("Output " + std::to_string(i + 1) + " of " + path +
                                      " is not an object.");
            LogErr(LG_CHANNELOUT, "Output %u of %s is not an object\n", i + 1, path.c_str());
            continue;
        }
        changed = addConfiguredOutput(list[i], path) || changed;
    }
    return changed;
}

bool AddLegacyChannelOutput(LegacyChannelOutput* table, int startChannel, const std::string& source) {
    auto* entry = new OutputListEntry();
    entry->startChannel = std::clamp(startChannel, 0, static_cast<int>(KIVD_MAX_CHANNELS) - 1);
    entry->legacy = table;
    entry->source = source;
    if (!table->open("", &entry->privData)) {
        delete entry;
        return false;
    }
    entry->channelCount = table->maxChannels(entry->privData);
    appendEntry(entry);
    return true;
}

int InitializeChannelOutputs() {
    channelOutputFrame = 0;
    if (QMXOutput.isConfigured()) {
        if (AddLegacyChannelOutput(&QMXOutput, getSettingInt("QMXStartChannelOffset", 0), "QMX")) {
            LogDebug(LG_CHANNELOUT, "Configured QMX Channel Output\n");
        } else {
            LogErr(LG_CHANNELOUT, "ERROR Opening QMX Channel Output\n");
        }
    }
    skipOutputRangeCompute = true;
    for (const char* file : OUTPUT_FILES) {
        std::string path = getKIVMediaDir(std::string("/config") + file);
        FileMonitor::INSTANCE.AddFile(
            "ChannelOutputSetup", path, [path]() { reloadOutputFile(path); }, false);
        FileMonitor::INSTANCE.TriggerFileChanged(path);
    }
    skipOutputRangeCompute = false;
    LogDebug(LG_CHANNELOUT, "%d Channel Outputs configured\n", ChannelOutputCount());
    std::string processors = getKIVMediaDir(std::string("/config") + "/outputprocessors.json");
    FileMonitor::INSTANCE.AddFile(
        "outputprocessors.json", processors, [processors]() { reloadOutputProcessors(processors); }, false);
    FileMonitor::INSTANCE.TriggerFileChanged(processors);
    return 1;
}

int PrepareChannelData(char* channelData) {
    ListWalk walk;
    auto* data = reinterpret_cast<unsigned char*>(channelData);
    outputProcessors.ProcessData(data);
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->output) {
            e->output->PrepData(data);
        }
    }
    return 0;
}

int SendChannelData(const char* channelData) {
    ListWalk walk;
    if (WillLog(KIVLOG_DEBUG, LG_CHANNELDATA)) {
        char title[128];
        unsigned first = GetOutputRanges(false).front().first;
        snprintf(title, sizeof(title), "Channel Data starting at channel %u", first);
        HexDump(title, channelData + first, 16, LG_CHANNELDATA, KIVLOG_DEBUG);
    }
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->legacy) {
            int count = std::min(e->channelCount, static_cast<int>(KIVD_MAX_CHANNELS) - e->startChannel);
            e->legacy->send(e->privData, channelData + e->startChannel, count);
        } else if (e->output) {
            e->output->SendData(reinterpret_cast<unsigned char*>(const_cast<char*>(channelData)) +
                                e->startChannel);
        }
    }
    return 0;
}

void StartingOutput() {
    ListWalk walk;
    OutputMonitor::INSTANCE.AutoEnableOutputs();
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->legacy) {
            if (e->legacy->startThread) {
                e->legacy->startThread(e->privData);
            }
        } else if (e->output) {
            e->output->StartingOutput();
        }
    }
}

void StoppingOutput() {
    ListWalk walk;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        stopEntry(e);
    }
    OutputMonitor::INSTANCE.AutoDisableOutputs();
}

void CloseChannelOutputs() {
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->legacy) {
            e->legacy->close(e->privData);
        } else if (e->output) {
            e->output->Close();
        }
    }
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        std::free(e->privData);
        e->privData = nullptr;
        delete e->output;
        e->output = nullptr;
    }
    while (OutputListEntry* e = channelOutputs.load()) {
        channelOutputs.store(e->next.load());
        delete e;
    }
    lastChannelOutput.store(nullptr);
}

void SetChannelOutputFrameNumber(int frameNumber) {
    channelOutputFrame = frameNumber;
}

void ResetChannelOutputFrameNumber() {
    channelOutputFrame = 0;
    mediaElapsedSeconds = 0.0f;
}

int GetChannelOutputFrameNumber() {
    return channelOutputFrame;
}

std::set<std::string> GetOutputTypes() {
    ListWalk walk;
    std::set<std::string> types;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->output && e->output->SupportsTesting()) {
            types.insert(e->output->GetOutputType());
        }
    }
    return types;
}

void OverlayOutputTestData(const std::set<std::string>& types, unsigned char* channelData, int cycleNum,
                           float percentOfCycle, int testType, const Json::Value& config) {
    ListWalk walk;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->output && e->output->SupportsTesting() &&
            (types.empty() || types.count(e->output->GetOutputType()))) {
            e->output->OverlayTestData(channelData, cycleNum, percentOfCycle, testType, config);
        }
    }
}

OutputRangeList GetTestedOutputRanges(const std::set<std::string>& types) {
    ListWalk walk;
    OutputRangeList ranges;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->output && e->output->SupportsTesting() &&
            (types.empty() || types.count(e->output->GetOutputType()))) {
            e->output->GetRequiredChannelRanges([&](int first, int last) {
                if (first >= 0 && last >= first) {
                    ranges.emplace_back(unsigned(first), unsigned(last - first + 1));
                }
            });
        }
    }
    return ranges;
}

std::string ChannelOutputJSON2CSV(Json::Value config) {
    if (!config.isObject() || !config.isMember("type")) {
        return "";
    }
    auto text = [&config](const char* name, const char* missing) {
        return config.isMember(name) ? JsonString(config[name], SaveJsonToString(config[name], ""))
                                     : std::string(missing);
    };
    std::string csv = text("enabled", "0") + "," + text("type", "") + "," + text("startChannel", "1") + "," +
                      text("channelCount", "1");
    bool first = true;
    for (const auto& name : config.getMemberNames()) {
        const Json::Value& v = config[name];
        csv += first ? "," : ";";
        csv += name + "=" + JsonString(v, SaveJsonToString(v, ""));
        first = false;
    }
    return csv;
}

std::vector<ChannelOutputInfo> GetChannelOutputInfo() {
    ListWalk walk;
    std::vector<ChannelOutputInfo> info;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        info.push_back({static_cast<unsigned>(e->startChannel), static_cast<unsigned>(e->channelCount),
                        e->output ? e->output->GetOutputType() : std::string("QMX"), e->source});
    }
    return info;
}

int ChannelOutputCount() {
    ListWalk walk;
    int count = 0;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        count++;
    }
    return count;
}

void addRange(unsigned int first, unsigned int last, OutputRangeList& precise, OutputRangeList& aligned) {
    auto covers = [](const OutputRange& r, unsigned a, unsigned b) {
        return r.first <= a && r.first + r.second - 1 >= b;
    };
    for (const auto& r : precise) {
        if (covers(r, first, last)) {
            return;
        }
    }
    precise.emplace_back(first, last - first + 1);
    unsigned a = first & ~7u;
    unsigned b = last | 7u;
    for (const auto& r : aligned) {
        if (covers(r, a, b)) {
            return;
        }
    }
    aligned.emplace_back(a, b - a + 1);
}

void sortRanges(OutputRangeList& ranges, bool precise) {
    std::map<unsigned, unsigned> byStart;
    for (const auto& r : ranges) {
        unsigned& count = byStart[r.first];
        count = std::max(count, r.second);
    }
    ranges.clear();
    const unsigned gap = precise ? 1025 : 0;
    unsigned curStart = KIVD_MAX_CHANNELS;
    unsigned curCount = 0;
    for (const auto& [start, count] : byStart) {
        if (curStart == KIVD_MAX_CHANNELS) {
            curStart = start;
            curCount = count;
        } else if (curStart + curCount + gap < start) {
            ranges.emplace_back(curStart, curCount);
            curStart = start;
            curCount = count;
        } else {
            unsigned end = std::max(curStart + curCount - 1, start + count - 1);
            curCount = end - curStart + 1;
        }
    }
    if (curStart != KIVD_MAX_CHANNELS) {
        ranges.emplace_back(curStart, curCount);
    }
    if (ranges.empty()) {
        ranges.emplace_back(0, 8);
    }
}

void ComputeOutputRanges() {
    OutputRangeList precise;
    OutputRangeList aligned;
    for (OutputListEntry* e = channelOutputs.load(); e; e = e->next.load()) {
        if (e->output) {
            std::string type = e->output->GetOutputType();
            e->output->GetRequiredChannelRanges([&](int first, int last) {
                LogInfo(LG_CHANNELOUT, "%s: Determined range needed %d - %d\n", type.c_str(), first, last);
                addRange(first, last, precise, aligned);
            });
        } else if (e->legacy) {
            int last = e->startChannel + e->channelCount - 1;
            LogInfo(LG_CHANNELOUT, "ChannelOutput:  Determined range needed %d - %d\n", e->startChannel,
                    last);
            addRange(e->startChannel, last, precise, aligned);
        }
    }
    outputProcessors.GetRequiredChannelRanges([&](int first, int last) {
        LogInfo(LG_CHANNELOUT, "OutputProcessor:  Determined range needed %d - %d\n", first, last);
        addRange(first, last, precise, aligned);
    });
    sortRanges(aligned, false);
    sortRanges(precise, true);
    for (const auto& r : precise) {
        LogInfo(LG_CHANNELOUT, "Determined range needed %d - %d\n", r.first, r.first + r.second - 1);
    }
    std::lock_guard<std::mutex> lk(rangeLock);
    preciseOutputRanges.swap(precise);
    outputRanges.swap(aligned);
}

OutputRangeList GetOutputRanges(bool precise) {
    std::lock_guard<std::mutex> lk(rangeLock);
    if (outputRanges.empty()) {
        outputRanges.emplace_back(0, 8);
        preciseOutputRanges.emplace_back(0, 8);
    }
    return precise ? preciseOutputRanges : outputRanges;
}

std::string GetOutputRangesAsString(bool precise, bool oneBased) {
    std::string text;
    for (const auto& r : GetOutputRanges(precise)) {
        if (!text.empty()) {
            text += ",";
        }
        text += rangeText(r.first, r.second, oneBased);
    }
    return text.empty() ? "1-8" : text;
}
