#include "ChannelOutputSetup.h"

#include "OutputMonitor.h"
#include "common/Log.h"

// The output list is built from configuration files by the registry; until then it is empty and
// the frame operations only tell the output monitor that output starts and stops.
static int channelOutputFrame = 0;
static float mediaElapsedSeconds = 0.0f;

int InitializeChannelOutputs() {
    channelOutputFrame = 0;
    LogDebug(LG_CHANNELOUT, "%d Channel Outputs configured\n", 0);
    return 1;
}

int PrepareChannelData(char*) {
    return 0;
}

int SendChannelData(const char*) {
    return 0;
}

void StartingOutput() {
    OutputMonitor::INSTANCE.AutoEnableOutputs();
}

void StoppingOutput() {
    OutputMonitor::INSTANCE.AutoDisableOutputs();
}

void CloseChannelOutputs() {}

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

int ChannelOutputCount() {
    return 0;
}
