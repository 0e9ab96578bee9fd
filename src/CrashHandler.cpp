#include "CrashHandler.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"

#include <execinfo.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <thread>

static std::atomic<bool> inCrashHandler{false};

void handleCrash(int signalNumber) {
    if (inCrashHandler.exchange(true)) {
        return;
    }
    LogErr(LG_GENERAL, "Crash handler called:  %d\n", signalNumber);
    void* frames[128];
    int count = backtrace(frames, 128);
    char** symbols = backtrace_symbols(frames, count);
    for (int i = 0; i < count; i++) {
        LogErr(LG_GENERAL, "  %s\n", symbols ? symbols[i] : "?");
    }
    inCrashHandler = false;
    if (signalNumber == SIGQUIT || signalNumber == SIGUSR1) {
        ShutdownKIVD(false);
        return;
    }
    WarningHolder::StopNotifyThread();
    WarningHolder::RemoveAllWarnings();
    WarningHolder::AddWarning(1, "KIVD has crashed.  Check crash reports.", {});
    WarningHolder::WriteWarningsFile();
    _exit(-1);
}

bool setupExceptionHandlers() {
    struct sigaction action {};
    action.sa_handler = handleCrash;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (int sig : {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT, SIGQUIT, SIGUSR1}) {
        ok = sigaction(sig, &action, nullptr) == 0 && ok;
    }
    struct sigaction child {};
    child.sa_handler = SIG_DFL;
    sigemptyset(&child.sa_mask);
    ok = sigaction(SIGCHLD, &child, nullptr) == 0 && ok;
    if (!ok) {
        LogErr(LG_GENERAL, "Failed to install our signal handler.\n");
    }
    return ok;
}

static long long lastPublish = -864000000LL;

void PublishStatsBackground(std::string reason) {
    long long now = GetTimeMS();
    if (now - lastPublish < 864000000LL) {
        LogDebug(LG_GENERAL, "PublishStats called, but not been 10 days yet.\n");
        return;
    }
    lastPublish = now;
    std::string mode = getSetting("statsPublish", "");
    if (mode == "Enabled") {
        std::thread(PublishStatsForce, reason).detach();
    } else {
        LogInfo(LG_GENERAL, "Not Publishing statistics as mode is '%s'\n", mode.c_str());
    }
}

void PublishStatsForce(std::string reason) {
    SetThreadName("KIV-PubStats");
    std::string response;
    urlPost(LocalWebURL("/api/statistics/usage?reason=" + reason), "", response);
    LogInfo(LG_GENERAL, "Publishing statistics because of \"%s\" = %s\n", reason.c_str(), response.c_str());
}
