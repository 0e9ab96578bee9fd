#pragma once
// kivsend's command line: what to stream, where, how fast and for how long.

#include "TestPattern.h"

#include <string>

struct SendOptions {
    std::string protocol = "e131";
    int firstUniverse = 1;
    int universes = 1;
    int channels = 510; // a universe's channels; DDP sends universes x channels from offset 0
    double fps = 40;
    std::string patternName = "chase";
    TestPattern pattern = *TestPattern::Parse("chase");
    bool multicast = false;
    bool sync = false;
    double seconds = 0; // 0: until interrupted
    std::string address;
};

enum class ParseOutcome { Run, Help, Error };

// Reads argv into options; on Error, error says why (one line).
ParseOutcome ParseSendOptions(int argc, char* argv[], SendOptions& options, std::string& error);
std::string SendUsage(const char* program);
