#pragma once
// Stand-in for the wider player's effect sequences, which are outside this system: none is ever
// running.

#include <jsoncpp/json/json.h>

void InitEffects();
void CloseEffects();
// The running effects, an empty array.
Json::Value GetRunningEffects();
