#include "MainLoop.h"

#include "CrashHandler.h"
#include "OutputMonitor.h"
#include "channeloutput/ChannelOutputThread.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/EPollManager.h"
#include "common/FileMonitor.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/Timers.h"
#include "common/WarningHolder.h"
#include "e131bridge.h"
#include "httpAPI.h"
#include "kivd.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/ShowMedia.h"
#include "overlays/PixelOverlayManager.h"
#include "platform/GPIOManager.h"
#include "player/ChannelTester.h"
#include "player/CommandSocket.h"
#include "player/CurlManager.h"
#include "player/Events.h"
#include "player/MultiSync.h"
#include "player/NetworkMonitor.h"
#include "player/Player.h"
#include "player/PluginManager.h"
#include "player/Scheduler.h"
#include "player/Sensors.h"
#include "player/Sequence.h"

#include <SDL2/SDL.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

using CallbackMap = std::map<int, std::function<bool(int)>>;

namespace {
// State of one run of the loop.
struct LoopState {
    int sleepTime = 50;
    int prevPlayerStatus = 0;
    int idleCounter = 0;
    int statsCountdown = 200;
    std::string statsReason = "Startup";
    int alwaysTransmit = 0;
};

sigset_t shutdownSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

int openSignalDescriptor() {
    sigset_t set = shutdownSignals();
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

bool signalCallback(int fd) {
    signalfd_siginfo info;
    while (read(fd, &info, sizeof(info)) == sizeof(info)) {
        LogInfo(LG_GENERAL, "Received signal %d\n", static_cast<int>(info.ssi_signo));
        ShutdownKIVDCallback(false);
    }
    return false;
}

void openInputs(CallbackMap& callbacks, APIServer& apiServer) {
    int commandSocket = Command_Initialize();
    LogDebug(LG_GENERAL, "Command socket: %d\n", commandSocket);
    if (commandSocket >= 0) {
        callbacks[commandSocket] = [](int) {
            CommandProc();
            return false;
        };
    }
    int syncSocket = multiSync->GetControlSocket();
    LogDebug(LG_GENERAL, "Multisync socket: %d\n", syncSocket);
    if (syncSocket >= 0) {
        callbacks[syncSocket] = [](int) {
            multiSync->ProcessControlPacket(false);
            return false;
        };
    }
    Bridge_Initialize(callbacks);
    apiServer.Init();
    OutputMonitor::INSTANCE.Initialize(callbacks);
    GPIOManager::INSTANCE.Initialize(callbacks);
    PluginManager::INSTANCE.addControlCallbacks(callbacks);
    NetworkMonitor::INSTANCE.Init(callbacks);
    Sensors::INSTANCE.Init(callbacks);
    FileMonitor::INSTANCE.Initialize(callbacks);
}

void startLooping(CallbackMap& callbacks, LoopState& state) {
    StartChannelOutputThread();
    if (getSettingInt("restarted", 0) == 0) {
        sequence->SendBlankingData();
    }
    state.alwaysTransmit = getSettingInt("alwaysTransmit", 0);
    if (getKIVmode() & PLAYER_MODE) {
        scheduler->CheckIfShouldBePlayingNow(0, -1);
    }
    CommandManager::INSTANCE.TriggerPreset("KIVD_STARTED");
    for (auto& [fd, callback] : callbacks) {
        EPollManager::INSTANCE.addFileDescriptor(fd, callback);
    }
    multiSync->Discover();
    Events::Ready();
    LogInfo(LG_GENERAL, "Starting main processing loop\n");
    int minimumLevel = KIVLogger::INSTANCE.MinimumLogLevel();
    if (minimumLevel == KIVLOG_EXCESS) {
        WarningHolder::AddWarning(2, "A Log Level is set to Excessive", {});
    } else if (minimumLevel == KIVLOG_DEBUG) {
        WarningHolder::AddWarning(3, "A Log Level is set to Debug", {});
    }
}

void keepOutputRunning(int result, const LoopState& state) {
    if (ChannelOutputThreadIsRunning()) {
        return;
    }
    if (PixelOverlayManager::INSTANCE.hasActiveOverlays() || ChannelTester::INSTANCE.Testing() ||
        state.alwaysTransmit || sequence->hasBridgeData() || result == EPollManager::FORCE_OUTPUT) {
        StartChannelOutputThread();
    }
}

void playerModeWork(LoopState& state) {
    Player& player = Player::INSTANCE;
    if (player.IsPlaying()) {
        if (state.prevPlayerStatus == 0) {
            state.sleepTime = 10;
        }
        if (player.IsPlaying()) {
            player.Process();
        }
    }
    int status = player.GetStatus();
    int prev = state.prevPlayerStatus;
    bool justEnded = status == 0 && (prev == 1 || prev == 2 || prev == 3 || prev == 5);
    bool startedNext = false;
    if (justEnded) {
        player.Cleanup();
        scheduler->CheckIfShouldBePlayingNow(0, player.WasScheduled() ? player.GetScheduleEntry() : -1);
        if (player.GetStatus() != 0) {
            state.prevPlayerStatus = 0;
            startedNext = true;
        } else {
            state.sleepTime = 50;
        }
    }
    if (!startedNext) {
        state.prevPlayerStatus = player.GetStatus();
    }
    scheduler->ScheduleProc();
}

void modeWork(LoopState& state) {
    int mode = getKIVmode();
    if (mode & PLAYER_MODE) {
        playerModeWork(state);
    } else if (mode == REMOTE_MODE) {
        if (mediaOutputStatus && mediaOutputStatus->status == 1) {
            Player::INSTANCE.ProcessMedia();
        }
        scheduler->ScheduleProc();
    } else {
        scheduler->ScheduleProc();
    }
}

void periodicWork(LoopState& state, APIServer& apiServer) {
    multiSync->PeriodicPing();
    if (--state.statsCountdown < 0) {
        PublishStatsBackground(state.statsReason);
        state.statsReason = "normal";
        state.statsCountdown = 60480;
    }
    apiServer.periodicWork();
    state.idleCounter = 0;
}

bool periodicGateOpens(int result, LoopState& state) {
    if (result == EPollManager::TIMEOUT) {
        state.idleCounter++;
        SDL_Event event;
        while (SDL_PollEvent(&event) > 0) {
        }
        return state.idleCounter >= 20;
    }
    if (state.idleCounter > 0) {
        return true;
    }
    return --state.idleCounter < -20;
}

void fireDueTimers() {
    if (!Timers::INSTANCE.hasTimers()) {
        return;
    }
    long long now = GetTimeMS();
    if (now >= Timers::INSTANCE.nextDueTime()) {
        Timers::INSTANCE.fireTimersInternal(now);
    }
}

void runIteration(LoopState& state, APIServer& apiServer) {
    int result = EPollManager::INSTANCE.waitForEvents(state.sleepTime);
    if (result == EPollManager::INTERRUPTED) {
        return;
    }
    if (result == EPollManager::FAILED) {
        LogErr(LG_GENERAL, "Main epoll() failed: %s\n", strerror(errno));
        runMainKIVDLoop = 0;
        return;
    }
    keepOutputRunning(result, state);
    modeWork(state);
    ShowMediaPlayer::INSTANCE.process();
    if (result == EPollManager::FORCE_OUTPUT) {
        ForceChannelOutputNow();
    }
    if (periodicGateOpens(result, state)) {
        periodicWork(state, apiServer);
    }
    fireDueTimers();
    if (CurlManager::INSTANCE.hasActiveTransfers()) {
        CurlManager::INSTANCE.doProcessCurls();
    }
    GPIOManager::INSTANCE.CheckGPIOInputs();
}
} // namespace

void BlockShutdownSignals() {
    sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void UnblockShutdownSignals() {
    sigset_t set = shutdownSignals();
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

void MainLoop() {
    auto* callbacks = new CallbackMap();
    RegisterShutdownHandler(ShutdownKIVDCallback);
    int signalFd = openSignalDescriptor();
    if (signalFd >= 0) {
        (*callbacks)[signalFd] = signalCallback;
    }
    LogDebug(LG_GENERAL, "MainLoop()\n");
    auto* apiServer = new APIServer();
    LoopState state;
    openInputs(*callbacks, *apiServer);
    startLooping(*callbacks, state);
    while (runMainKIVDLoop) {
        runIteration(state, *apiServer);
    }
    FileMonitor::INSTANCE.Cleanup();
    LogInfo(LG_GENERAL, "Stopping channel output thread.\n");
    StopChannelOutputThread();
    Bridge_Shutdown();
    EPollManager::INSTANCE.shutdown();
    LogInfo(LG_GENERAL, "Main Loop complete, shutting down.\n");
    delete apiServer;
    delete callbacks;
    if (signalFd >= 0) {
        close(signalFd);
    }
}
