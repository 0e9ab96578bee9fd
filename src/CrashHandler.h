#pragma once
// Crash signals. For now a minimal handler: SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT log a
// backtrace and exit; SIGQUIT and SIGUSR1 log a backtrace and ask for an orderly shutdown.

#include <string>

bool setupExceptionHandlers();
void handleCrash(int signal);

// Usage statistics: at most one report per 10 days of uptime, only when "statsPublish" is "Enabled".
void PublishStatsBackground(std::string reason);
void PublishStatsForce(std::string reason);
