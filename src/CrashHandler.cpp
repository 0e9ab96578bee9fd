#include "CrashHandler.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"
#include "kivd.h"
#include "player/Sequence.h"
#include "player/Version.h"

#include <dirent.h>
#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>
#include <vector>

namespace {

const char* const CRASH_LOG = "/tmp/kivd_crash.log";
constexpr int MAX_FRAMES = 128;
constexpr size_t MAX_REPORTS = 10;
constexpr time_t RECENT_REPORT_SECONDS = 60;
constexpr unsigned DEBUGGER_SOFT_LIMIT_SECONDS = 10;
constexpr unsigned DEBUGGER_HARD_LIMIT_SECONDS = 20;
// An upload that never finishes must not keep a crashed daemon alive.
constexpr int UPLOAD_TIMEOUT_SECONDS = 30;

std::atomic<bool> inCrashHandler{false};

struct sigaction s_handlerFPE, s_handlerILL, s_handlerBUS, s_handlerSEGV, s_handlerABRT;
bool s_savedHandlers = false;

struct SavedAction {
    int signal;
    struct sigaction* saved;
};
const SavedAction SAVED_ACTIONS[] = {{SIGFPE, &s_handlerFPE},
                                     {SIGILL, &s_handlerILL},
                                     {SIGBUS, &s_handlerBUS},
                                     {SIGSEGV, &s_handlerSEGV},
                                     {SIGABRT, &s_handlerABRT}};

// ---- the debugger supervisor (runs in forked processes: only fork, exec, sleep, wait, kill) ----

// What the debugger needs, prepared before any fork.
struct DebuggerTarget {
    std::string pid;
    std::string lwp;
    std::string executable;
};

DebuggerTarget describeSelf() {
    DebuggerTarget target;
    target.pid = std::to_string(getpid());
    target.lwp = "(LWP " + std::to_string((long)syscall(SYS_gettid)) + ")";
    char path[4096] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof(path) - 1);
    target.executable = length > 0 ? std::string(path, length) : "";
    return target;
}

bool isBeingTraced() {
    std::string status = GetFileContents("/proc/self/status");
    size_t at = status.find("TracerPid:");
    return at != std::string::npos && atol(status.c_str() + at + 10) != 0;
}

pid_t startTimer(unsigned seconds) {
    pid_t pid = fork();
    if (pid == 0) {
        sleep(seconds);
        _exit(0);
    }
    return pid;
}

pid_t startDebugger(const DebuggerTarget& target) {
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(CRASH_LOG, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        execlp("gdb", "gdb", "--batch", "-n", "-ex", "thread apply all bt", "-ex", "info threads", "-ex",
               "bt", "-ex", "detach", target.executable.c_str(), target.pid.c_str(), (char*)nullptr);
        _exit(127);
    }
    return pid;
}

// Kills the debugger's own children (a debugger stuck on a helper process).
void killChildrenOf(pid_t parent) {
    std::string parentText = std::to_string(parent);
    pid_t pid = fork();
    if (pid == 0) {
        execlp("pkill", "pkill", "-KILL", "-P", parentText.c_str(), (char*)nullptr);
        _exit(127);
    }
    if (pid > 0) {
        waitpid(pid, nullptr, 0);
    }
}

bool reaped(pid_t& pid) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) {
        pid = 0;
    }
    return pid == 0;
}

void stop(pid_t& pid) {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = 0;
    }
}

// The supervisor process: the debugger with a soft limit (its children are killed) and a hard
// limit (it is killed itself).
[[noreturn]] void superviseDebugger(const DebuggerTarget& target) {
    pid_t softTimer = startTimer(DEBUGGER_SOFT_LIMIT_SECONDS);
    pid_t hardTimer = softTimer > 0 ? startTimer(DEBUGGER_HARD_LIMIT_SECONDS) : -1;
    pid_t debugger = hardTimer > 0 ? startDebugger(target) : -1;
    if (softTimer < 0 || hardTimer < 0 || debugger < 0) {
        stop(softTimer);
        stop(hardTimer);
        stop(debugger);
        _exit(1);
    }
    bool softLimitHandled = false;
    while (softTimer || hardTimer || debugger) {
        if (debugger && reaped(debugger)) {
            stop(softTimer);
            stop(hardTimer);
        }
        if (softTimer && reaped(softTimer) && debugger && !softLimitHandled) {
            killChildrenOf(debugger);
            softLimitHandled = true;
        }
        if (hardTimer && reaped(hardTimer)) {
            stop(debugger);
            stop(softTimer);
        }
        usleep(100 * 1000);
    }
    _exit(1);
}

// True when the debugger left a stack dump.
bool dumpWithDebugger() {
    DebuggerTarget target = describeSelf();
    unlink(CRASH_LOG);
    prctl(PR_SET_PTRACER, PR_SET_PTRACER_ANY, 0, 0, 0);
    pid_t supervisor = fork();
    if (supervisor == 0) {
        superviseDebugger(target);
    }
    if (supervisor < 0) {
        return false;
    }
    while (waitpid(supervisor, nullptr, 0) < 0 && errno == EINTR) {
    }
    std::string stack = GetFileContents(CRASH_LOG);
    if (stack.empty()) {
        return false;
    }
    LogDebug(LG_GENERAL, "Crashed thread: %s\n", target.lwp.c_str());
    LogErr(LG_GENERAL, "Stack: \n%s\n", stack.c_str());
    return true;
}

void dumpOwnBacktrace() {
    void* frames[MAX_FRAMES];
    int count = backtrace(frames, MAX_FRAMES);
    char** symbols = backtrace_symbols(frames, count);
    int fd = open(CRASH_LOG, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    FILE* log = fd >= 0 ? fdopen(fd, "w") : nullptr;
    for (int i = 0; i < count; i++) {
        const char* frame = symbols ? symbols[i] : "?";
        LogErr(LG_GENERAL, "  %s\n", frame);
        printf("  %s\n", frame);
        if (log) {
            fprintf(log, "%s\n", frame);
        }
    }
    if (log) {
        fprintf(log, "\n");
        fclose(log);
    }
    fflush(stdout);
    free(symbols);
}

// ---- the report ----

// Report names go into shell commands: anything but letters, digits, dots and hyphens becomes '_'.
std::string fileNamePart(std::string text) {
    for (char& c : text) {
        if (!isalnum((unsigned char)c) && c != '.' && c != '-') {
            c = '_';
        }
    }
    return text;
}

// Keeps the newest MAX_REPORTS names; true when one of the reports was written within the last minute.
bool pruneReports() {
    std::vector<std::string> names;
    if (DIR* dir = opendir("crashes")) {
        while (dirent* entry = readdir(dir)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    time_t now = time(nullptr);
    bool recent = false;
    for (const auto& name : names) {
        struct stat info {};
        if (stat(("crashes/" + name).c_str(), &info) == 0 && now - info.st_mtime < RECENT_REPORT_SECONDS) {
            recent = true;
        }
    }
    for (size_t i = 0; names.size() - i > MAX_REPORTS; i++) {
        unlink(("crashes/" + names[i]).c_str());
    }
    return recent;
}

std::string reportName() {
    char stamp[32] = {};
    time_t now = time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    strftime(stamp, sizeof(stamp), "%Y-%m-%d_%H-%M-%S", &local);
    char name[512];
    snprintf(name, sizeof(name), "crashes/kiv-%s-%s-%s-%s.zip", "Pi", fileNamePart(getKIVVersion()).c_str(),
             fileNamePart(getSetting("SystemUUID", "unknown")).c_str(), stamp);
    return name;
}

// Single-quoted for the shell, so the owner's address cannot run anything.
std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        quoted += (c == '\'') ? std::string("'\\''") : std::string(1, c);
    }
    return quoted + "'";
}

void uploadReport(const std::string& name) {
    std::string url = getSetting("CrashReportURL", "");
    if (url.empty()) {
        LogErr(LG_GENERAL, "Crash report kept locally as %s (no CrashReportURL set)\n", name.c_str());
        return;
    }
    std::string command = "curl " + shellQuoted(url) + " -F userfile=@" + name + " -s -o /dev/null -m " +
                          std::to_string(UPLOAD_TIMEOUT_SECONDS);
    if (system(command.c_str()) != 0) {
        LogErr(LG_GENERAL, "Uploading crash report %s to %s failed\n", name.c_str(), url.c_str());
    }
}

void makeReport(int level) {
    std::string mediaDir = getKIVMediaDir();
    if (chdir(mediaDir.c_str()) != 0) {
        return;
    }
    mkdir("crashes", 0775);
    SetFilePerms("crashes", true);
    if (pruneReports()) {
        LogErr(LG_GENERAL, "Very recent crash report found, not uploading\n");
        return;
    }
    std::string name = reportName();
    std::string zip = "zip -r " + name + " /tmp/kivd_crash.log kiv-info.json";
    if (level >= 2) {
        zip += " settings";
    }
    if (level >= 3) {
        system("dmesg -T > tmp/boot.log 2>/dev/null");
        system("journalctl -b -u kivinit -u kivoled -u kiv_postnetwork >> tmp/boot.log 2>/dev/null");
        zip += " config tmp logs/kivd.log logs/apache2-error.log playlists /etc/kiv";
    }
    system((zip + " >/dev/null 2>&1").c_str());
    SetFilePerms(name);
    uploadReport(name);
}

} // namespace

void handleCrash(int signalNumber) {
    if (inCrashHandler.exchange(true)) {
        return;
    }
    int level = getSettingInt("ShareCrashData", 3);
    LogErr(LG_GENERAL, "Crash handler called:  %d\n", signalNumber);
    if (sequence && sequence->IsSequenceRunning()) {
        LogErr(LG_GENERAL, "   while playing  %s  at  %d ms\n", sequence->GetSequenceName().c_str(),
               sequence->GetPositionMS());
    }
    bool dumped = !isBeingTraced() && dumpWithDebugger();
    if (!dumped) {
        dumpOwnBacktrace();
    }
    if (level > 0) {
        makeReport(level);
    }
    inCrashHandler = false;
    runMainKIVDLoop = 0;
    if (signalNumber == SIGQUIT || signalNumber == SIGUSR1) {
        return;
    }
    WarningHolder::StopNotifyThread();
    WarningHolder::RemoveAllWarnings();
    WarningHolder::AddWarning(1, "KIVD has crashed.  Check crash reports.", {});
    WarningHolder::WriteWarningsFile();
    // _exit, not exit: static destructors would run while the other threads still use what they free.
    _exit(-1);
}

static bool installHandlers() {
    struct sigaction action {};
    action.sa_handler = handleCrash;
    sigemptyset(&action.sa_mask);
    bool ok = true;
    for (const auto& entry : SAVED_ACTIONS) {
        ok = sigaction(entry.signal, &action, entry.saved) == 0 && ok;
    }
    ok = sigaction(SIGQUIT, &action, nullptr) == 0 && ok;
    ok = sigaction(SIGUSR1, &action, nullptr) == 0 && ok;
    struct sigaction child {};
    child.sa_handler = SIG_DFL;
    sigemptyset(&child.sa_mask);
    ok = sigaction(SIGCHLD, &child, nullptr) == 0 && ok;
    if (!ok) {
        LogErr(LG_GENERAL, "Failed to install our signal handler.\n");
    }
    s_savedHandlers = true;
    return ok;
}

static bool restoreHandlers() {
    bool ok = true;
    for (const auto& entry : SAVED_ACTIONS) {
        ok = sigaction(entry.signal, entry.saved, nullptr) == 0 && ok;
    }
    if (!ok) {
        LogErr(LG_GENERAL, "Failed to install default signal handlers.\n");
    }
    return ok;
}

bool setupExceptionHandlers() {
    return s_savedHandlers ? restoreHandlers() : installHandlers();
}

// ---- usage statistics ----

void PublishStatsBackground(std::string reason) {
    using namespace std::chrono;
    static system_clock::time_point lastPublish = system_clock::now() - hours(24 * 10);
    system_clock::time_point now = system_clock::now();
    if (now - lastPublish < seconds(864000)) {
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
    std::string server = getSetting("StatsServer", "http://127.0.0.1");
    urlPost(server + "/api/statistics/usage?reason=" + reason, "", response);
    LogInfo(LG_GENERAL, "Publishing statistics because of \"%s\" = %s\n", reason.c_str(), response.c_str());
}
