#include "Version.h"

#include "common/Log.h"

#include <cstdio>

#define KIV_STRINGIFY_VALUE(x) #x
#define KIV_STRINGIFY(x) KIV_STRINGIFY_VALUE(x)

const char* getKIVVersion() {
    return KIV_VERSION_STRING;
}
const char* getKIVBranch() {
    return KIV_BRANCH;
}
const char* getKIVMajorVersion() {
    return KIV_STRINGIFY(KIV_VERSION_MAJOR);
}
const char* getKIVMinorVersion() {
    return KIV_STRINGIFY(KIV_VERSION_MINOR);
}

void printVersionInfo() {
    printf("kivd version %s (branch %s)\n", getKIVVersion(), getKIVBranch());
    fflush(stdout);
}

void logVersionInfo() {
    LogInfo(LG_GENERAL, "kivd version %s (branch %s)\n", getKIVVersion(), getKIVBranch());
}
