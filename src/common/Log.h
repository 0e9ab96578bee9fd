#pragma once
// Named loggers with per-logger levels, and the level macros every unit logs through.
// Levels are atomics (relaxed): they are read on every thread and changed rarely.

#include <atomic>
#include <string>

constexpr int KIVLOG_ERROR = 1;
constexpr int KIVLOG_WARN = 2;
constexpr int KIVLOG_INFO = 3;
constexpr int KIVLOG_DEBUG = 4;
constexpr int KIVLOG_EXCESS = 5;

class KIVLoggerInstance {
public:
    explicit KIVLoggerInstance(const char* loggerName) : name(loggerName) {}
    const std::string name;
    std::atomic<int> level{KIVLOG_INFO};
};

class KIVLogger {
public:
    static KIVLogger INSTANCE;

    KIVLoggerInstance ChannelData{"ChannelData"};
    KIVLoggerInstance ChannelOut{"ChannelOut"};
    KIVLoggerInstance Command{"Command"};
    KIVLoggerInstance Control{"Control"};
    KIVLoggerInstance E131Bridge{"E131Bridge"};
    KIVLoggerInstance Effect{"Effect"};
    KIVLoggerInstance General{"General"};
    KIVLoggerInstance GPIO{"GPIO"};
    KIVLoggerInstance HTTP{"HTTP"};
    KIVLoggerInstance MediaOut{"MediaOut"};
    KIVLoggerInstance Playlist{"Playlist"};
    KIVLoggerInstance Plugin{"Plugin"};
    KIVLoggerInstance Schedule{"Schedule"};
    KIVLoggerInstance Sequence{"Sequence"};
    KIVLoggerInstance Setting{"Setting"};
    KIVLoggerInstance Sync{"Sync"};

    // Every logger back to info.
    void Init();
    // Highest level of any logger (so 4 or 5 when some logger is at debug or excessive).
    int MinimumLogLevel() const;
    // A level text that SetLogLevelComplex accepts and that reproduces the current levels.
    std::string GetLogLevelString() const;

    // All sixteen, in the order above. Returns nullptr for an unknown name (case-insensitive;
    // "player" and "mqtt" are aliases of Playlist and Control).
    KIVLoggerInstance* FindLogger(const std::string& name);
    static constexpr int LOGGER_COUNT = 16;
    KIVLoggerInstance* const* All() const { return all; }

private:
    KIVLoggerInstance* all[LOGGER_COUNT] = {
        &ChannelData, &ChannelOut, &Command,  &Control, &E131Bridge, &Effect,   &General, &GPIO,
        &HTTP,        &MediaOut,   &Playlist, &Plugin,  &Schedule,   &Sequence, &Setting, &Sync};
};

// Sets levels from a level text: "LEVEL" (all loggers) or "LEVEL:logger,logger" parts separated
// by ";". Levels: error, warn, info, debug, excess (and a few spelled-out forms). Returns false and
// changes nothing when any part is invalid.
bool SetLogLevelComplex(const std::string& spec);
// Level number from a level name, 0 when unknown.
int LogLevelFromString(const std::string& level);
// The short level name ("info", "debug", ...) of a level number.
std::string LogLevelToString(int level);

// Log to the given file (appending), or to standard output when toConsole is true or the path is
// empty. Returns false when the file cannot be opened (logging then goes to the console).
bool SetLogFile(const std::string& path, bool toConsole);
bool loggingToFile();

inline bool WillLog(int level, const KIVLoggerInstance& logger) {
    return level <= logger.level.load(std::memory_order_relaxed);
}

void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& logger, const char* format, ...)
    __attribute__((format(printf, 5, 6)));

// Hex and ASCII dump, 16 bytes a line.
void HexDump(const char* title, const void* data, int len, KIVLoggerInstance& logger,
             int level = KIVLOG_DEBUG);

#define KIV_LOG_AT(level, logger, ...)                                                                       \
    do {                                                                                                     \
        if (WillLog(level, logger))                                                                          \
            _LogWrite(__FILE__, __LINE__, level, logger, __VA_ARGS__);                                       \
    } while (0)

#define LogErr(logger, ...) KIV_LOG_AT(KIVLOG_ERROR, logger, __VA_ARGS__)
#define LogWarn(logger, ...) KIV_LOG_AT(KIVLOG_WARN, logger, __VA_ARGS__)
#define LogInfo(logger, ...) KIV_LOG_AT(KIVLOG_INFO, logger, __VA_ARGS__)
#define LogDebug(logger, ...) KIV_LOG_AT(KIVLOG_DEBUG, logger, __VA_ARGS__)
#define LogExcess(logger, ...) KIV_LOG_AT(KIVLOG_EXCESS, logger, __VA_ARGS__)

#define LG_CHANNELDATA KIVLogger::INSTANCE.ChannelData
#define LG_CHANNELOUT KIVLogger::INSTANCE.ChannelOut
#define LG_COMMAND KIVLogger::INSTANCE.Command
#define LG_CONTROL KIVLogger::INSTANCE.Control
#define LG_E131BRIDGE KIVLogger::INSTANCE.E131Bridge
#define LG_EFFECT KIVLogger::INSTANCE.Effect
#define LG_GENERAL KIVLogger::INSTANCE.General
#define LG_GPIO KIVLogger::INSTANCE.GPIO
#define LG_HTTP KIVLogger::INSTANCE.HTTP
#define LG_MEDIAOUT KIVLogger::INSTANCE.MediaOut
#define LG_PLAYLIST KIVLogger::INSTANCE.Playlist
#define LG_PLUGIN KIVLogger::INSTANCE.Plugin
#define LG_SCHEDULE KIVLogger::INSTANCE.Schedule
#define LG_SEQUENCE KIVLogger::INSTANCE.Sequence
#define LG_SETTING KIVLogger::INSTANCE.Setting
#define LG_SYNC KIVLogger::INSTANCE.Sync
