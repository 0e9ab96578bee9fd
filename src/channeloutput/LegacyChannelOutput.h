#pragma once
// A channel output driven through a table of plain functions instead of a ChannelOutput object.
// The QMX board output is the one such table, QMXOutput, a stand-in: that board is never found
// on a machine without it, so isConfigured reports 0 and the other slots do nothing.

struct LegacyChannelOutput {
    int (*maxChannels)(void* data);
    int (*open)(const char* device, void** privDataPtr);
    int (*close)(void* data);
    int (*isConfigured)();
    int (*unused)(void* data);
    int (*send)(void* data, const char* channelData, int channelCount);
    int (*startThread)(void* data);
    int (*stopThread)(void* data);
};

extern LegacyChannelOutput QMXOutput;
