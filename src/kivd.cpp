#include "kivd.h"

#include "CrashHandler.h"
#include "MainLoop.h"
#include "OutputMonitor.h"
#include "channeloutput/ChannelOutputSetup.h"
#include "commands/MediaCommands.h"
#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/ConfigChecks.h"
#include "common/FileMonitor.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "common/UrlHelpers.h"
#include "common/WarningHolder.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/ShowMedia.h"
#include "overlays/PixelOverlayManager.h"
#include "platform/GPIOManager.h"
#include "platform/PinCapabilities.h"
#include "platform/QuarnHardware.h"
#include "player/ChannelTester.h"
#include "player/CommandSocket.h"
#include "player/Effects.h"
#include "player/Events.h"
#include "player/MosquittoClient.h"
#include "player/MultiSync.h"
#include "player/PingManager.h"
#include "player/Player.h"
#include "player/PluginManager.h"
#include "player/Scheduler.h"
#include "player/Sensors.h"
#include "player/Sequence.h"
#include "player/Version.h"

#include <Magick++.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>

std::atomic<int> runMainKIVDLoop{1};
std::atomic<bool> restartKIVD{false};
int pid = 0;
int sid = 0;
MosquittoClient* mqtt = nullptr;

// The process-wide objects this file creates and ends; the globals the other parts use (mqtt,
// scheduler, sequence) only point at them.
static std::unique_ptr<PiGPIOPinProvider> pinProvider;
static std::unique_ptr<MosquittoClient> mqttClient;
static std::unique_ptr<Scheduler> schedulerObject;
static std::unique_ptr<Sequence> sequenceObject;

static const char* const HELP_TEXT =
    "Usage: %s [OPTION...]\n"
    "\n"
    "kivd is the Quarn Player daemon.\n"
    "\n"
    "Options:\n"
    "  -f, --foreground              - Don't daemonize the application.  In the\n"
    "                                  foreground, all logging will be on the\n"
    "                                  console instead of the log file\n"
    "  -d, --daemonize               - Daemonize even if the config file says not to.\n"
    "  -v, --volume VOLUME           - Set a volume (over-written by config file)\n"
    "  -m, --mode MODE               - Set the mode: \"player\", \"bridge\",\n"
    "                                  \"master\", or \"remote\"\n"
    "  -l, --log-file FILENAME       - Set the log file\n"
    "  -H  --detect-hardware         - Detect Quarn hardware on SPI port\n"
    "  -C  --configure-hardware      - Configure detected Quarn hardware on SPI\n"
    "  -h, --help                    - This menu.\n"
    "      --log-level LEVEL         - Set the global log output level (all loggers):\n"
    "                                  \"info\", \"warn\", \"debug\", \"excess\")\n"
    "      --log-level LEVEL:logger  - Set the log level for one or more loggers.\n"
    "                                  each level should be separated by semicolons\n"
    "                                  with one or more loggers separated by commas.\n"
    "                                  example: debug:schedule,player;excess:mqtt \n"
    "                                  valid loggers are: \n"
    "                                    ChannelData - channel data itself\n"
    "                                    ChannelOut  - channel output code\n"
    "                                    Command     - command processing\n"
    "                                    Control     - Control socket debugging\n"
    "                                    E131Bridge  - E1.31 bridge\n"
    "                                    Effect      - Effects sequences\n"
    "                                    General     - general messages\n"
    "                                    GPIO        - GPIO Input handling\n"
    "                                    HTTP        - HTTP API requests\n"
    "                                    MediaOut    - Media file handling\n"
    "                                    Playlist    - Playlist handling\n"
    "                                    Plugin      - Plugin handling\n"
    "                                    Schedule    - Playlist scheduling\n"
    "                                    Sequence    - Sequence parsing\n"
    "                                    Setting     - Settings parsing\n"
    "                                    Sync        - Player/Remote Synchronization\n"
    "                                  The default logging is read from settings\n";

void usage(char* appname) {
    printf(HELP_TEXT, appname);
}

static void detectHardwareAndExit(bool configure) {
    PinCapabilities::InitGPIO("KIVD", new PiGPIOPinProvider());
    SetLogFile("", true);
    KIVLogger::INSTANCE.Setting.level = KIVLOG_DEBUG;
    exit(DetectQuarnHardware(configure) == 0 ? 0 : 1);
}

static void applyLogLevelOption(const char* spec) {
    if (!SetLogLevelComplex(spec)) {
        return;
    }
    printf("%s\n", KIVLogger::INSTANCE.GetLogLevelString().c_str());
    fflush(stdout);
    LogInfo(LG_SETTING, "Log Level set to %d (%s)\n", KIVLogger::INSTANCE.MinimumLogLevel(), spec);
}

int parseArguments(int argc, char** argv) {
    SetSetting("logFile", getKIVMediaDir("/logs/kivd.log"));
    static const struct option longOptions[] = {
        {"displayvers", no_argument, nullptr, 'V'},        {"foreground", no_argument, nullptr, 'f'},
        {"daemonize", no_argument, nullptr, 'd'},          {"restarted", no_argument, nullptr, 'r'},
        {"volume", required_argument, nullptr, 'v'},       {"mode", required_argument, nullptr, 'm'},
        {"log-file", required_argument, nullptr, 'l'},     {"playlist", required_argument, nullptr, 'p'},
        {"position", required_argument, nullptr, 'P'},     {"detect-hardware", no_argument, nullptr, 'H'},
        {"configure-hardware", no_argument, nullptr, 'C'}, {"help", no_argument, nullptr, 'h'},
        {"log-level", required_argument, nullptr, 2},      {nullptr, 0, nullptr, 0}};
    int c;
    while ((c = getopt_long(argc, argv, "Vfdrv:m:l:p:P:HCh", longOptions, nullptr)) != -1) {
        switch (c) {
        case 'V':
            printVersionInfo();
            exit(0);
        case 'f':
            setSetting("daemonize", 0);
            break;
        case 'd':
            setSetting("daemonize", 1);
            break;
        case 'r':
            setSetting("restarted", 1);
            break;
        case 'v':
            setVolume(strtol(optarg, nullptr, 10));
            break;
        case 'm':
            SetSetting("kivMode", optarg);
            break;
        case 'l':
            SetSetting("logFile", optarg);
            break;
        case 'p':
            SetSetting("resumePlaylist", optarg);
            break;
        case 'P':
            setSetting("resumePosition", static_cast<int>(strtol(optarg, nullptr, 10)));
            break;
        case 'H':
        case 'C':
            detectHardwareAndExit(c == 'C');
            break;
        case 'h':
            usage(argv[0]);
            exit(0);
        case 2:
            applyLogLevelOption(optarg);
            break;
        default:
            usage(argv[0]);
            exit(1);
        }
    }
    std::string logFile = getSetting("logFile", "");
    SetLogFile(logFile, getSettingInt("daemonize", 0) == 0);
    return 0;
}

void CreateDaemon() {
    pid = fork();
    if (pid < 0) {
        exit(1);
    } else if (pid > 0) {
        exit(0);
    }
    umask(0);
    sid = setsid();
    if (sid < 0) {
        exit(1);
    }
    pid = fork();
    if (pid < 0) {
        exit(1);
    } else if (pid > 0) {
        exit(0);
    }
    close(0);
    close(1);
    close(2);
}

void WriteRuntimeInfoFile(Json::Value systems) {
    std::string path = getKIVMediaDir("/kiv-info.json");
    Json::Value list = systems["systems"];
    if (list.empty()) {
        if (unlink(path.c_str()) != 0 && errno != ENOENT) {
            LogWarn(LG_GENERAL, "Failed to remove file: %s\n", path.c_str());
        }
        LogInfo(LG_GENERAL, "Not creating %s as no IP addresses found\n", path.c_str());
        return;
    }
    std::string addresses;
    for (const auto& system : list) {
        if (!addresses.empty()) {
            addresses += ",";
        }
        addresses += system["address"].asString();
    }
    Json::Value info = list[0];
    info.removeMember("address");
    info["addresses"] = addresses;
    SaveJsonToFile(info, path, "\t");
}

void ShutdownKIVDCallback(bool restart) {
    LogInfo(LG_GENERAL, "Shutting down main loop.\n");
    restartKIVD = restart;
    runMainKIVDLoop = 0;
}

void CloseOpenFiles() {
    DIR* dir = opendir("/proc/self/fd");
    if (!dir) {
        return;
    }
    int own = dirfd(dir);
    while (dirent* entry = readdir(dir)) {
        int fd = atoi(entry->d_name);
        if (fd > 2 && fd != own) {
            fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
        }
    }
    closedir(dir);
}

static void kivdTopicCallback(const std::string& topic, const std::string&) {
    LogDebug(LG_CONTROL, "System Callback for %s\n", topic.c_str());
    if (endsWith(topic, "/stop")) {
        LogInfo(LG_CONTROL, "Stopping KIV for request:   %s\n", topic.c_str());
        ShutdownKIVD(false);
    } else if (endsWith(topic, "/restart")) {
        LogInfo(LG_CONTROL, "Restarting KIV for request:   %s\n", topic.c_str());
        ShutdownKIVD(true);
    } else {
        LogWarn(LG_CONTROL, "Invalid request in kivd_callback  %s\n", topic.c_str());
    }
}

static void systemTopicCallback(const std::string& topic, const std::string&) {
    LogDebug(LG_CONTROL, "System Callback for %s\n", topic.c_str());
    std::string response;
    if (endsWith(topic, "/shutdown")) {
        LogInfo(LG_CONTROL, "Shutting down OS for request:   %s\n", topic.c_str());
        urlGet(LocalWebURL("/api/system/shutdown"), response);
    } else if (endsWith(topic, "/restart")) {
        LogInfo(LG_CONTROL, "Restarting KIV for request:   %s\n", topic.c_str());
        urlGet(LocalWebURL("/api/system/reboot"), response);
    } else {
        LogWarn(LG_CONTROL, "Invalid  request in mqtt_system_callback  %s\n", topic.c_str());
    }
}

// "/set/command" runs the command in the payload ({"command": NAME, "args": [...]}), as "/command"
// of the API does; a result that completes later (a URL request) finishes in the background.
static void commandTopicCallback(const std::string& topic, const std::string& payload) {
    Json::Value command;
    if (!LoadJsonFromString(payload, command) || !command.isObject()) {
        LogWarn(LG_COMMAND, "Invalid command on %s: %s\n", topic.c_str(), payload.c_str());
        return;
    }
    std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run(command);
    if (result->isError()) {
        LogWarn(LG_COMMAND, "Command from %s failed: %s\n", topic.c_str(), result->get().c_str());
    } else if (!result->isDone()) {
        CommandManager::INSTANCE.finishLater(std::move(result));
    }
}

static void startMQTT() {
    std::string host = getSetting("MQTTHost", "");
    if (host.empty()) {
        return;
    }
    LogInfo(LG_GENERAL, "Creating MQTT\n");
    mqttClient =
        std::make_unique<MosquittoClient>(host, getSettingInt("MQTTPort", 0), getSetting("MQTTPrefix", ""));
    mqtt = mqttClient.get();
    if (mqtt->Init(getSetting("MQTTUsername", ""), getSetting("MQTTPassword", ""),
                   getSetting("MQTTCaFile", ""))) {
        Events::AddEventHandler(mqtt);
    } else {
        LogWarn(LG_CONTROL, "MQTT Init failed. Starting without MQTT. -- Maybe MQTT host doesn't resolve\n");
    }
}

// A sensors document is an object with "sensorSources" (cape files only) and "sensors", each a
// list or a single definition; anything else is reported and skipped.
static void loadSensorFile(const std::string& path, bool withSources) {
    Json::Value doc;
    if (!FileExists(path) || !LoadJsonFromFile(path, doc) ||
        !ConfigValueIs(doc, Json::objectValue, path, CONFIG_TOP_LEVEL)) {
        return;
    }
    if (withSources && ConfigIsListOrObject(doc["sensorSources"], path, "sensorSources")) {
        Sensors::INSTANCE.addSensorSources(doc["sensorSources"]);
    }
    if (ConfigIsListOrObject(doc["sensors"], path, "sensors")) {
        Sensors::INSTANCE.addSensors(doc["sensors"]);
    }
}

static void loadSensorFiles() {
    loadSensorFile(getKIVMediaDir("/tmp/cape-sensors.json"), true);
    loadSensorFile(getKIVMediaDir("/config") + "/sensors.json", false);
}

// Start-up steps before the daemon detaches: logging, settings, libraries, options.
static void startLoggingAndSettings(int argc, char** argv) {
    setupExceptionHandlers();
    KIVLogger::INSTANCE.Init();
    LoadSettings(argv[0]);
    curl_global_init(CURL_GLOBAL_ALL);
    MagickLib::InitializeMagickEx(nullptr, 1, nullptr);
    Magick::InitializeMagick(nullptr);
    parseArguments(argc, argv);
    std::string marker = getKIVMediaDir("/tmp/kivd_restarted");
    if (FileExists(marker)) {
        unlink(marker.c_str());
        setSetting("restarted", 1);
    }
    if (getSetting("restartFlag", "0") == "2") {
        setSetting("restartFlag", "0", true);
    }
    if (loggingToFile()) {
        logVersionInfo();
    }
    std::string programName = argv[0];
    FileMonitor::INSTANCE.AddFile(
        "KIVD:Settings", getKIVMediaDir("/settings"),
        [programName]() {
            LogInfo(LG_SETTING, "Settings file changed, reloading settings\n");
            LoadSettings(programName.c_str());
        },
        true);
}

static void startServices() {
    pinProvider = std::make_unique<PiGPIOPinProvider>();
    PinCapabilities::InitGPIO("KIVD", pinProvider.get());
    srand(time(nullptr));
    CommandManager::INSTANCE.Init();
    startMQTT();
    Events::AddCallback("/system/kivd/#", kivdTopicCallback);
    Events::AddCallback("/system/shutdown", systemTopicCallback);
    Events::AddCallback("/system/restart", systemTopicCallback);
    Events::AddCallback("/set/command", commandTopicCallback);
    WarningHolder::StartNotifyThread();
    LogInfo(LG_GENERAL, "Creating Scheduler, Playlist, and Sequence\n");
    schedulerObject = std::make_unique<Scheduler>();
    scheduler = schedulerObject.get();
    sequenceObject = std::make_unique<Sequence>();
    sequence = sequenceObject.get();
    LogInfo(LG_GENERAL, "Creation of Scheduler, Playlist, and Sequence Complete\n");
    if (!MultiSync::INSTANCE.Init()) {
        exit(1);
    }
    Sensors::INSTANCE.DetectHWSensors();
    loadSensorFiles();
    Player::INSTANCE.Init();
    PluginManager::INSTANCE.init();
    InitMediaOutput();
    PixelOverlayManager::INSTANCE.Initialize();
    ShowMediaPlayer::INSTANCE.Init();
    RegisterMediaCommands();
    PingManager::INSTANCE.Initialize();
    InitializeChannelOutputs();
    PluginManager::INSTANCE.loadUserPlugins();
    InitEffects();
    ChannelTester::INSTANCE.RegisterCommands();
    WriteRuntimeInfoFile(multiSync->GetSystems(true, false));
}

static std::string stopServices() {
    CommandManager::INSTANCE.TriggerPreset("KIVD_STOPPED");
    Events::PrepareForShutdown();
    CleanupCommandMedia();
    ShowMediaPlayer::INSTANCE.Cleanup();
    CleanupMediaOutput();
    CloseEffects();
    CloseChannelOutputs();
    PixelOverlayManager::INSTANCE.Cleanup();
    PingManager::INSTANCE.Cleanup();
    OutputMonitor::INSTANCE.Cleanup();
    CommandManager::INSTANCE.Cleanup();
    MultiSync::INSTANCE.ShutdownSync();
    PluginManager::INSTANCE.Cleanup();
    GPIOManager::INSTANCE.Cleanup();
    scheduler = nullptr;
    schedulerObject.reset();
    sequence = nullptr;
    sequenceObject.reset();
    runMainKIVDLoop = -1;
    Sensors::INSTANCE.Close();
    WarningHolder::StopNotifyThread();
    if (mqtt) {
        Events::RemoveEventHandler(mqtt);
        mqtt = nullptr;
        mqttClient.reset();
    }
    pinProvider.reset();
    MagickLib::DestroyMagick();
    curl_global_cleanup();
    std::string logLevel = KIVLogger::INSTANCE.GetLogLevelString();
    CloseCommand();
    CloseOpenFiles();
    WarningHolder::ClearWarningsFile();
    return logLevel;
}

static void restartDaemon(const std::string& logLevel) {
    LogInfo(LG_GENERAL, "Performing Restart.\n");
    unlink(getKIVMediaDir("/kiv-info.json").c_str());
    std::string path = getKIVDDir("/src/kivd");
    const char* mode = getSettingInt("daemonize", 0) ? "-d" : "-f";
    UnblockShutdownSignals();
    if (Player::INSTANCE.GetStatus() == 1 && Player::INSTANCE.WasScheduled()) {
        std::string playlist = Player::INSTANCE.GetPlaylistName();
        std::string position = std::to_string(Player::INSTANCE.GetPosition() - 1);
        execlp(path.c_str(), path.c_str(), mode, "--log-level", logLevel.c_str(), "-r", "-p",
               playlist.c_str(), "-P", position.c_str(), (char*)nullptr);
    } else {
        execlp(path.c_str(), path.c_str(), mode, "--log-level", logLevel.c_str(), "-r", (char*)nullptr);
    }
    LogErr(LG_GENERAL, "Restart of %s failed: %s\n", path.c_str(), strerror(errno));
}

int KIVDMain(int argc, char** argv) {
    BlockShutdownSignals();
    startLoggingAndSettings(argc, argv);
    if (getSettingInt("daemonize", 0)) {
        CreateDaemon();
    }
    startServices();
    MainLoop();
    std::string logLevel = stopServices();
    if (restartKIVD) {
        restartDaemon(logLevel);
    }
    return 0;
}
