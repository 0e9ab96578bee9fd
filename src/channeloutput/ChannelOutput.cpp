#include "ChannelOutput.h"

#include "common/JsonValues.h"
#include "common/Log.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <typeinfo>

ChannelOutput::ChannelOutput(unsigned int startChannel, unsigned int channelCount)
    : m_startChannel(startChannel), m_channelCount(channelCount) {
    LogDebug(LG_CHANNELOUT, "ChannelOutput::ChannelOutput()\n");
}

ChannelOutput::~ChannelOutput() {
    LogDebug(LG_CHANNELOUT, "ChannelOutput::~ChannelOutput()\n");
}

std::string ChannelOutput::GetOutputType() const {
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> demangled(
        abi::__cxa_demangle(typeid(*this).name(), nullptr, nullptr, &status), std::free);
    return status == 0 && demangled ? std::string(demangled.get()) : std::string(typeid(*this).name());
}

int ChannelOutput::Init(Json::Value config) {
    LogDebug(LG_CHANNELOUT, "ChannelOutput::Init() %s\n", GetOutputType().c_str());
    if (config.isObject()) {
        LogDebug(LG_CHANNELOUT, "Type: %s\n", JsonString(config["type"]).c_str());
    }
    return 1;
}

int ChannelOutput::Close() {
    LogDebug(LG_CHANNELOUT, "ChannelOutput::Close()\n");
    return 1;
}

void ChannelOutput::PrepData(unsigned char*) {}

void ChannelOutput::GetRequiredChannelRanges(const std::function<void(int, int)>& addRange) {
    if (m_channelCount > 0) {
        addRange(m_startChannel, m_startChannel + m_channelCount - 1);
    }
}

void ChannelOutput::StartingOutput() {}

void ChannelOutput::StoppingOutput() {}

void ChannelOutput::OverlayTestData(unsigned char*, int, float, int, const Json::Value&) {}

bool ChannelOutput::SupportsTesting() const {
    return false;
}

void ChannelOutput::DumpConfig() {
    LogDebug(LG_CHANNELOUT, "ChannelOutput::DumpConfig()\n");
    LogDebug(LG_CHANNELOUT, "    Output Type      : %s\n", GetOutputType().c_str());
    LogDebug(LG_CHANNELOUT, "    Start Channel    : %u\n", m_startChannel + 1);
    LogDebug(LG_CHANNELOUT, "    Channel Count    : %u\n", m_channelCount);
}

void ChannelOutput::ConvertToCSV(Json::Value config, char* buffer, size_t bufferSize) {
    if (bufferSize == 0) {
        return;
    }
    std::string text;
    for (const auto& name : config.getMemberNames()) {
        if (!text.empty()) {
            text += ";";
        }
        const Json::Value& v = config[name];
        text += name + "=" + JsonString(v, "...");
    }
    std::strncpy(buffer, text.c_str(), bufferSize - 1);
    buffer[bufferSize - 1] = 0;
}
