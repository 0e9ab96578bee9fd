#include "OutputMonitor.h"

#include "common/Common.h"
#include "common/Log.h"

OutputMonitor OutputMonitor::INSTANCE;

void OutputMonitor::Initialize(std::map<int, std::function<bool(int)>>&) {
    LogDebug(LG_CHANNELOUT, "OutputMonitor::Initialize()\n");
}

void OutputMonitor::Cleanup() {
    LogDebug(LG_CHANNELOUT, "OutputMonitor::Cleanup()\n");
}

void OutputMonitor::AutoEnableOutputs() {
    LogDebug(LG_CHANNELOUT, "OutputMonitor::AutoEnableOutputs()\n");
}

void OutputMonitor::AutoDisableOutputs() {
    LogDebug(LG_CHANNELOUT, "OutputMonitor::AutoDisableOutputs()\n");
}

std::shared_ptr<httpserver::http_response> OutputMonitor::render_GET(const httpserver::http_request&) {
    return std::make_shared<httpserver::string_response>("[]", 200, "application/json");
}
