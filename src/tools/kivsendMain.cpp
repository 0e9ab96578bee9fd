// kivsend: streams test patterns to a lighting controller over E1.31, Art-Net or DDP.
#include "PatternStreamer.h"
#include "SendOptions.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested.store(true);
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
} // namespace

int main(int argc, char* argv[]) {
    installStopHandlers(); // first, so a stop request that comes early still ends with the summary
    SendOptions options;
    std::string error;
    switch (ParseSendOptions(argc, argv, options, error)) {
    case ParseOutcome::Help:
        fputs(SendUsage(argv[0]).c_str(), stdout);
        return 0;
    case ParseOutcome::Error:
        fprintf(stderr, "kivsend: %s\n", error.c_str());
        return 2;
    case ParseOutcome::Run:
        break;
    }
    PatternStreamer streamer(options);
    if (!streamer.open(error)) {
        fprintf(stderr, "kivsend: %s\n", error.c_str());
        return 1;
    }
    streamer.run(stopRequested, isatty(STDOUT_FILENO));
    const SendCounts& c = streamer.counts();
    printf("sent %llu frames, %llu packets (%llu data, %llu sync), %llu channel bytes in %.1f seconds",
           (unsigned long long)c.frames, (unsigned long long)c.dataPackets + c.syncPackets,
           (unsigned long long)c.dataPackets, (unsigned long long)c.syncPackets,
           (unsigned long long)c.channelBytes, streamer.elapsedSeconds());
    if (c.sendErrors) {
        printf(", %llu not sent", (unsigned long long)c.sendErrors);
    }
    printf("\n");
    return 0;
}
