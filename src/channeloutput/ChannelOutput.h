#pragma once
// Base of every channel output. The registry creates outputs through plugins, owns them, calls
// Init once, then PrepData and SendData every frame from the channel-output thread, and Close
// before deleting them.

#include <jsoncpp/json/json.h>

#include <functional>
#include <string>

constexpr unsigned int KIVD_MAX_CHANNELS = 8388608;

class ChannelOutput {
public:
    ChannelOutput(unsigned int startChannel = 0, unsigned int channelCount = 0);
    virtual ~ChannelOutput();

    // The run-time type name of the object's class unless a derived class names itself.
    virtual std::string GetOutputType() const;
    virtual int Init(Json::Value config);
    virtual int Close();
    virtual void PrepData(unsigned char* channelData);
    // channelData is the channel buffer already offset to this output's start channel.
    virtual int SendData(unsigned char* channelData) = 0;
    // Calls addRange(first, last) for each needed range, 0-based and inclusive.
    virtual void GetRequiredChannelRanges(const std::function<void(int, int)>& addRange);
    virtual void StartingOutput();
    virtual void StoppingOutput();
    virtual void OverlayTestData(unsigned char* channelData, int cycleNum, float percentOfCycle, int testType,
                                 const Json::Value& config);
    virtual bool SupportsTesting() const;
    virtual void DumpConfig();
    // Writes at most bufferSize bytes including the terminating zero.
    virtual void ConvertToCSV(Json::Value config, char* buffer, size_t bufferSize);

    unsigned int GetStartChannel() const { return m_startChannel; }
    unsigned int GetChannelCount() const { return m_channelCount; }

protected:
    unsigned int m_startChannel;
    unsigned int m_channelCount;
};
