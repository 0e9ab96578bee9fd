#pragma once
// The daemon's entry: options, start-up and shutdown order, daemonizing, the runtime information
// file and the shutdown request.
//
// runMainKIVDLoop and restartKIVD are written by the HTTP, MQTT and main threads and read by the
// main loop, so they are sequentially consistent atomics.

#include <jsoncpp/json/json.h>

#include <atomic>

extern std::atomic<int> runMainKIVDLoop;
extern std::atomic<bool> restartKIVD;
extern int pid;
extern int sid;

int KIVDMain(int argc, char** argv);
int parseArguments(int argc, char** argv);
void usage(char* appname);
void CreateDaemon();
void WriteRuntimeInfoFile(Json::Value systems);
void ShutdownKIVDCallback(bool restart);
// Marks every descriptor above standard error close-on-exec, so a restarted daemon inherits none.
void CloseOpenFiles();
