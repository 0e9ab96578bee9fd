#pragma once
// The list of active channel outputs, built from the output configuration files and rebuilt file
// by file when one changes, and the per-frame operations the channel-output thread calls.
//
// Threads: the main thread changes the list (start-up, file-monitor callbacks, shutdown); the
// channel-output thread walks it in PrepareChannelData, SendChannelData, StartingOutput and
// StoppingOutput without a lock. Every link is a sequentially consistent atomic, an entry is fully
// built before it is linked, and an unlinked entry is destroyed only after a 100 ms grace period
// while the output thread runs. The range lists are replaced under rangeLock and read as copies.

#include "ChannelOutput.h"
#include "LegacyChannelOutput.h"

#include <jsoncpp/json/json.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

using OutputRange = std::pair<unsigned int, unsigned int>; // first channel, count (0-based)
using OutputRangeList = std::vector<OutputRange>;

int InitializeChannelOutputs();
int PrepareChannelData(char* channelData);
int SendChannelData(const char* channelData);
void StartingOutput();
void StoppingOutput();
void CloseChannelOutputs();

void SetChannelOutputFrameNumber(int frameNumber);
void ResetChannelOutputFrameNumber();
int GetChannelOutputFrameNumber();

std::set<std::string> GetOutputTypes();
void OverlayOutputTestData(const std::set<std::string>& types, unsigned char* channelData, int cycleNum,
                           float percentOfCycle, int testType, const Json::Value& config);
// The channel ranges (first, count) of the outputs OverlayOutputTestData would address for types.
OutputRangeList GetTestedOutputRanges(const std::set<std::string>& types);

// One output object flattened into "enabled,type,start,count,name=value;name=value...".
std::string ChannelOutputJSON2CSV(Json::Value config);

// Rebuilds the outputs that came from path; true when any was removed or added.
bool ReloadChannelOutputsForFile(const std::string& path);
// Appends a legacy (function table) output at startChannel; false when it does not open.
bool AddLegacyChannelOutput(LegacyChannelOutput* table, int startChannel, const std::string& source);

// Copies of the current lists: precise ranges (gaps of up to 1025 channels merged) or 8-aligned.
OutputRangeList GetOutputRanges(bool precise);
std::string GetOutputRangesAsString(bool precise, bool oneBased);
void ComputeOutputRanges();
// The two steps of the computation, exposed for their own tests.
void addRange(unsigned int first, unsigned int last, OutputRangeList& precise, OutputRangeList& aligned);
void sortRanges(OutputRangeList& ranges, bool precise);

// Outputs in list order (for tests and status): start, count, type, source file.
struct ChannelOutputInfo {
    unsigned int startChannel;
    unsigned int channelCount;
    std::string type;
    std::string source;
};
std::vector<ChannelOutputInfo> GetChannelOutputInfo();
int ChannelOutputCount();
