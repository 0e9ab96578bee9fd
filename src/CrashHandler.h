#pragma once
// Crash reports and usage statistics.
//
// handleCrash runs in the signal context of the thread that received SIGSEGV, SIGBUS, SIGILL,
// SIGFPE, SIGABRT, SIGQUIT or SIGUSR1. It has the system debugger (gdb) dump every thread's stack
// into /tmp/kivd_crash.log, falling back to the thread's own backtrace, and, when the setting
// "ShareCrashData" (default 3) is above 0, zips that log with more of the media directory (level
// 1: runtime information; 2: also settings; 3: also boot logs, configuration, temporary files,
// logs, playlists and /etc/kiv) into media dir + "/crashes", keeping at most ten reports and making
// none when one was written in the last minute. The report is uploaded (multipart field "userfile")
// only when the setting "CrashReportURL" names an address; otherwise it stays on this machine.
// After SIGQUIT and SIGUSR1 the daemon shuts down in order; after the others it raises warning 1
// and exits with status 255.

#include <string>

// First call installs handleCrash (saving the previous actions of the five fatal signals); a
// second call puts those five back. False when a sigaction failed (logged).
bool setupExceptionHandlers();
void handleCrash(int signal);

// Usage statistics: at most one attempt per 10 days, published on a detached thread only when
// "statsPublish" is "Enabled", as a POST to the setting "StatsServer" (default "http://127.0.0.1")
// + "/api/statistics/usage?reason=" + reason. Called from the main loop only.
void PublishStatsBackground(std::string reason);
void PublishStatsForce(const std::string& reason);
