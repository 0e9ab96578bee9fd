#pragma once
// Bridge input (E1.31, Art-Net, DDP, serial DMX). Until the input sockets exist this only takes
// part in start-up and shutdown and reports no data.

#include <jsoncpp/json/json.h>

#include <functional>
#include <map>

void Bridge_Initialize(std::map<int, std::function<bool(int)>>& callbacks);
void Bridge_Shutdown();
bool HasBridgeData();
Json::Value GetE131UniverseBytesReceived();
void ResetBytesReceived();
