#pragma once
// The list of active channel outputs and the per-frame operations the channel-output thread calls.

#include "ChannelOutput.h"

#include <set>
#include <string>
#include <utility>
#include <vector>

int InitializeChannelOutputs();
int PrepareChannelData(char* channelData);
int SendChannelData(const char* channelData);
void StartingOutput();
void StoppingOutput();
void CloseChannelOutputs();

void SetChannelOutputFrameNumber(int frameNumber);
void ResetChannelOutputFrameNumber();
int GetChannelOutputFrameNumber();

// Number of outputs in the list.
int ChannelOutputCount();
