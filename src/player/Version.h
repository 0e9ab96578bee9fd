#pragma once
// The daemon's version, taken from the build (KIV_VERSION_STRING, KIV_VERSION_MAJOR,
// KIV_VERSION_MINOR and KIV_BRANCH on kivcore). Returned texts are static; never free them.

const char* getKIVVersion();
const char* getKIVBranch();
const char* getKIVMajorVersion();
const char* getKIVMinorVersion();

// "kivd version 1.0.0 (branch main)" on standard output.
void printVersionInfo();
// The same line at info level to the General logger.
void logVersionInfo();
