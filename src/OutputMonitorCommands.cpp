#include "OutputMonitorCommands.h"

#include "OutputMonitor.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Timers.h"

namespace {
const char* const PORT_LIST_URL = "api/kivd/ports/list";
constexpr int DEFAULT_SENSITIVITY = 2;
constexpr int CHECK_DELAY_MS = 1000;

std::unique_ptr<Command::Result> ok() {
    return std::make_unique<Command::Result>("OK");
}

int sensitivityArgument(const std::vector<std::string>& args) {
    long value = DEFAULT_SENSITIVITY;
    if (args.size() > 1 && !args[1].empty() && !ParseInt(trim(args[1]), value)) {
        LogWarn(LG_CHANNELOUT, "Check Pixel Count: sensitivity '%s' is not a number; using %d\n",
                args[1].c_str(), DEFAULT_SENSITIVITY);
        value = DEFAULT_SENSITIVITY;
    }
    return value < 0 ? 0 : (int)value;
}
} // namespace

const std::vector<std::string>& PixelCountTestPattern() {
    static const std::vector<std::string> pattern = {"50", "Output Specific", "--ALL--", "999"};
    return pattern;
}

KIVEnableOutputsCommand::KIVEnableOutputsCommand() : Command("Outputs On", "Turns on all pixel outputs") {}

std::unique_ptr<Command::Result> KIVEnableOutputsCommand::run(const std::vector<std::string>&) {
    OutputMonitor::INSTANCE.EnableOutputs();
    return ok();
}

KIVDisableOutputsCommand::KIVDisableOutputsCommand()
    : Command("Outputs Off", "Turns off all pixel outputs") {}

std::unique_ptr<Command::Result> KIVDisableOutputsCommand::run(const std::vector<std::string>&) {
    OutputMonitor::INSTANCE.DisableOutputs();
    return ok();
}

KIVEnablePortCommand::KIVEnablePortCommand() : Command("Set Port Status", "Turns one pixel port on or off") {
    args.push_back(CommandArg("Port", "string", "Port").setContentListUrl(PORT_LIST_URL));
    args.push_back(CommandArg("on", "bool", "On"));
}

std::unique_ptr<Command::Result> KIVEnablePortCommand::run(const std::vector<std::string>& a) {
    if (a.size() < 2) {
        return std::make_unique<ErrorResult>("Required arguments not provided");
    }
    bool on = a[1] == "true" || a[1] == "1";
    if (a[0] == "--ALL--") {
        if (on) {
            OutputMonitor::INSTANCE.EnableOutputs();
        } else {
            OutputMonitor::INSTANCE.DisableOutputs();
        }
    } else {
        OutputMonitor::INSTANCE.SetOutput(a[0], on);
    }
    return ok();
}

KIVCheckConfiguredPixelsCommand::KIVCheckConfiguredPixelsCommand()
    : Command("Check Pixel Count", "Compares the configured and detected pixel counts of ports") {
    args.push_back(CommandArg("Ports", "multistring", "Ports")
                       .setContentListUrl(PORT_LIST_URL)
                       .setDefaultValue("--ALL--"));
    args.push_back(CommandArg("Sensitivity", "int", "Sensitivity").setRange(0, 20).setDefaultValue("2"));
    args.push_back(CommandArg("Action", "string", "Action").setContentList({"Warn", "Log"}));
}

// The timer callback keeps copies of the arguments rather than this command, which the command
// manager may delete before the timer fires.
std::unique_ptr<Command::Result> KIVCheckConfiguredPixelsCommand::run(const std::vector<std::string>& a) {
    std::string ports = a.size() > 0 && !a[0].empty() ? a[0] : "--ALL--";
    int sensitivity = sensitivityArgument(a);
    std::string action = a.size() > 2 && !a[2].empty() ? a[2] : "Warn";
    CommandManager::INSTANCE.run("Test Start", PixelCountTestPattern());
    Timers::INSTANCE.addPeriodicTimer("CheckPixelCount", CHECK_DELAY_MS, [ports, action, sensitivity]() {
        OutputMonitor::INSTANCE.checkPixelCounts(ports, action, sensitivity);
        CommandManager::INSTANCE.run("Test Stop", {});
        Timers::INSTANCE.stopPeriodicTimer("CheckPixelCount");
    });
    return ok();
}
