#include "ChannelTester.h"

#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/JsonValues.h"
#include "common/Log.h"

ChannelTester ChannelTester::INSTANCE;

namespace {
constexpr size_t MAX_RECORDED_RUNS = 50;

// Both stand-in commands are this one class: they differ only in name and arguments.
class RecordingTestCommand : public Command {
public:
    RecordingTestCommand(const std::string& name, bool start)
        : Command(name, "Channel test pattern (stand-in: records the request only)"), starts(start) {
        if (starts) {
            args.push_back(CommandArg("CycleMS", "int", "Cycle time (ms)", true).setDefaultValue("1000"));
            args.push_back(CommandArg("Pattern", "string", "Test pattern", true));
            args.push_back(CommandArg("Target", "string", "Outputs", true));
            args.push_back(CommandArg("Extra", "string", "Pattern specific value", true));
        }
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        LogDebug(LG_CHANNELOUT, "%s requested with %d arguments; no pattern is drawn\n", name.c_str(),
                 (int)a.size());
        ChannelTester::INSTANCE.SetTesting(starts);
        ChannelTester::INSTANCE.RecordCommandRun(name, a);
        return std::make_unique<Result>("OK");
    }

private:
    const bool starts;
};
} // namespace

void ChannelTester::RegisterCommands() {
    CommandManager::INSTANCE.addCommand(new RecordingTestCommand("Test Start", true));
    CommandManager::INSTANCE.addCommand(new RecordingTestCommand("Test Stop", false));
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
        return std::make_shared<httpserver::string_response>("Expected {\"enabled\": 0 or 1}", 400,
                                                             "text/plain");
    }
    testing = JsonInt(body["enabled"]) != 0;
    LogDebug(LG_CHANNELOUT, "Channel testing marked %s (no pattern is drawn)\n", testing ? "on" : "off");
    return std::make_shared<httpserver::string_response>("{\"Status\":\"OK\"}", 200, "application/json");
}
