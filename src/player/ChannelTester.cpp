#include "ChannelTester.h"

#include "channeloutput/ChannelOutputThread.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"

ChannelTester ChannelTester::INSTANCE;

namespace {
constexpr size_t MAX_RECORDED_RUNS = 50;

class TestStartCommand : public Command {
public:
    TestStartCommand() : Command("Test Start", "Starts a channel test pattern") {
        args.push_back(CommandArg("CycleMS", "int", "Cycle time (ms)", true)
                           .setRange(10, 60000)
                           .setDefaultValue("1000"));
        args.push_back(CommandArg("Pattern", "string", "Test pattern", true)
                           .setContentList({"Output Specific", "RGB Chase", "RGB Cycle", "RGB Fill"})
                           .setDefaultValue("RGB Cycle"));
        args.push_back(CommandArg("Target", "string", "Output types or channel ranges", true)
                           .setDefaultValue("--ALL--"));
        args.emplace_back("Extra", "string", "Test type or colour", true);
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        ChannelTester::INSTANCE.RecordCommandRun(name, a);
        std::string error;
        if (!ChannelTester::INSTANCE.StartTest(a, error)) {
            return std::make_unique<ErrorResult>(error);
        }
        return std::make_unique<Result>("OK");
    }
};

class TestStopCommand : public Command {
public:
    TestStopCommand() : Command("Test Stop", "Stops the channel test pattern") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        ChannelTester::INSTANCE.RecordCommandRun(name, a);
        ChannelTester::INSTANCE.StopTest();
        return std::make_unique<Result>("OK");
    }
};

std::shared_ptr<httpserver::http_response> TextAnswer(const std::string& text, int status) {
    return std::make_shared<httpserver::string_response>(text, status, "text/plain");
}
} // namespace

void ChannelTester::RegisterCommands() {
    CommandManager::INSTANCE.addCommand(new TestStartCommand());
    CommandManager::INSTANCE.addCommand(new TestStopCommand());
}

bool ChannelTester::StartTest(const std::vector<std::string>& args, std::string& error) {
    TestPattern pattern;
    if (!TestPattern::Parse(args, pattern, error)) {
        LogWarn(LG_CHANNELOUT, "Channel test not started: %s\n", error.c_str());
        return false;
    }
    {
        std::lock_guard<std::mutex> l(lock);
        // A replaced pattern may cover other channels or outputs than the new one.
        if (running) {
            toClear = running;
        }
        running = pattern;
        startedMS = GetTimeMS();
        testing = true;
    }
    LogInfo(LG_CHANNELOUT, "Channel test started: %s every %d ms\n",
            args.size() > 1 ? args[1].c_str() : "RGB Cycle", pattern.cycleMS);
    ForceChannelOutputNow();
    return true;
}

void ChannelTester::StopTest() {
    {
        std::lock_guard<std::mutex> l(lock);
        if (running) {
            toClear = running;
        }
        running.reset();
        testing = false;
    }
    LogInfo(LG_CHANNELOUT, "Channel test stopped\n");
    ForceChannelOutputNow();
}

void ChannelTester::OverlayTestData(unsigned char* channelData) {
    std::lock_guard<std::mutex> l(lock);
    if (toClear) {
        toClear->Clear(channelData);
        toClear.reset();
    }
    if (running) {
        long long elapsed = std::max(0LL, GetTimeMS() - startedMS);
        int cycleNum = int(elapsed / running->cycleMS);
        float percent = float(elapsed % running->cycleMS) / float(running->cycleMS);
        running->Draw(channelData, cycleNum, percent);
    }
}

void ChannelTester::RecordCommandRun(const std::string& command, const std::vector<std::string>& args) {
    std::lock_guard<std::mutex> l(lock);
    runs.push_back(CommandRun{command, args});
    if (runs.size() > MAX_RECORDED_RUNS) {
        runs.erase(runs.begin());
    }
}

std::vector<ChannelTester::CommandRun> ChannelTester::GetCommandRuns() {
    std::lock_guard<std::mutex> l(lock);
    return runs;
}

void ChannelTester::ClearCommandRuns() {
    std::lock_guard<std::mutex> l(lock);
    runs.clear();
}

std::shared_ptr<httpserver::http_response> ChannelTester::render_GET(const httpserver::http_request&) {
    Json::Value result;
    result["enabled"] = Testing() ? 1 : 0;
    result["args"] = Json::Value(Json::arrayValue);
    {
        std::lock_guard<std::mutex> l(lock);
        if (running) {
            for (const auto& arg : running->args) {
                result["args"].append(arg);
            }
        }
    }
    result["commandRuns"] = Json::Value(Json::arrayValue);
    for (const CommandRun& run : GetCommandRuns()) {
        Json::Value entry;
        entry["command"] = run.command;
        entry["args"] = Json::Value(Json::arrayValue);
        for (const auto& arg : run.args) {
            entry["args"].append(arg);
        }
        result["commandRuns"].append(entry);
    }
    return std::make_shared<httpserver::string_response>(SaveJsonToString(result, ""), 200,
                                                         "application/json");
}

std::shared_ptr<httpserver::http_response> ChannelTester::render_POST(const httpserver::http_request& req) {
    Json::Value body;
    if (!LoadJsonFromString(req.get_content(), body) || !body.isObject() || !body.isMember("enabled")) {
        return TextAnswer("Expected {\"enabled\": 0 or 1}", 400);
    }
    if (JsonInt(body["enabled"]) == 0) {
        StopTest();
    } else {
        std::vector<std::string> args = {
            JsonString(body["cycleMS"], "1000"), JsonString(body["mode"], "RGB Cycle"),
            JsonString(body["target"], "--ALL--"), JsonString(body["extra"], "")};
        std::string error;
        if (!StartTest(args, error)) {
            return TextAnswer(error, 400);
        }
    }
    return std::make_shared<httpserver::string_response>("{\"Status\":\"OK\"}", 200, "application/json");
}
