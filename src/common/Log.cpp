// Named loggers, level texts and the log line writer.
//
// Line format: "YYYY-MM-DD HH:MM:SS.mmm (pid) [Logger] message". Error and warning lines carry
// "ERROR: " / "WARN: " in front of the message so they stand out when grepping a long log; the
// other levels are written untagged.

#include "common/Log.h"

#include "common/Common.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <vector>

KIVLogger KIVLogger::INSTANCE;

namespace {

// One mutex serialises every write and every change of the destination, so lines from several
// threads never interleave and a line is never written to a file being closed.
std::mutex logMutex;
// Open log file, or nullptr when logging to standard output. Guarded by logMutex.
FILE* logFile = nullptr;

const char* const LEVEL_NAMES[] = {"error", "warn", "info", "debug", "excess"};

std::string formatMessage(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    int needed = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0) {
        return std::string();
    }
    std::string text(needed + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(needed);
    return text;
}

std::string timestamp() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    localtime_r(&tv.tv_sec, &local);
    char buf[32];
    size_t n = strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &local);
    snprintf(buf + n, sizeof(buf) - n, ".%03d", (int)(tv.tv_usec / 1000));
    return buf;
}

const char* levelTag(int level) {
    if (level == KIVLOG_ERROR) {
        return "ERROR: ";
    }
    if (level == KIVLOG_WARN) {
        return "WARN: ";
    }
    return "";
}

void writeLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(logMutex);
    FILE* out = logFile ? logFile : stdout;
    fputs(line.c_str(), out);
    fflush(out);
}

// Parses "LEVEL" or "LEVEL:logger,logger" into the pending level table; false when malformed.
bool applyPart(const std::string& part, int (&levels)[KIVLogger::LOGGER_COUNT]) {
    std::vector<std::string> halves = split(part, ':');
    if (halves.empty() || halves.size() > 2) {
        return false;
    }
    int level = LogLevelFromString(trim(halves[0]));
    if (level == 0) {
        return false;
    }
    if (halves.size() == 1) {
        for (int& l : levels) {
            l = level;
        }
        return true;
    }
    std::vector<std::string> names = split(halves[1], ',');
    if (names.empty()) {
        return false;
    }
    KIVLoggerInstance* const* all = KIVLogger::INSTANCE.All();
    for (const std::string& name : names) {
        KIVLoggerInstance* logger = KIVLogger::INSTANCE.FindLogger(trim(name));
        if (!logger) {
            return false;
        }
        for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
            if (all[i] == logger) {
                levels[i] = level;
            }
        }
    }
    return true;
}

} // namespace

void KIVLogger::Init() {
    for (KIVLoggerInstance* logger : all) {
        logger->level.store(KIVLOG_INFO, std::memory_order_relaxed);
    }
}

int KIVLogger::MinimumLogLevel() const {
    int highest = 0;
    for (KIVLoggerInstance* logger : all) {
        highest = std::max(highest, logger->level.load(std::memory_order_relaxed));
    }
    return highest;
}

// The most common level stands alone so the common cases read as one word ("info", "debug");
// the exceptions follow grouped by level, ascending, so the text is stable for equal states.
std::string KIVLogger::GetLogLevelString() const {
    int counts[KIVLOG_EXCESS + 1] = {};
    for (KIVLoggerInstance* logger : all) {
        counts[std::clamp(logger->level.load(std::memory_order_relaxed), KIVLOG_ERROR, KIVLOG_EXCESS)]++;
    }
    int base = KIVLOG_INFO;
    for (int level = KIVLOG_ERROR; level <= KIVLOG_EXCESS; level++) {
        if (counts[level] > counts[base]) {
            base = level;
        }
    }
    std::string result = LogLevelToString(base);
    for (int level = KIVLOG_ERROR; level <= KIVLOG_EXCESS; level++) {
        if (level == base || counts[level] == 0) {
            continue;
        }
        result += ";" + LogLevelToString(level) + ":";
        bool first = true;
        for (KIVLoggerInstance* logger : all) {
            if (std::clamp(logger->level.load(std::memory_order_relaxed), KIVLOG_ERROR, KIVLOG_EXCESS) !=
                level) {
                continue;
            }
            result += (first ? "" : ",") + logger->name;
            first = false;
        }
    }
    return result;
}

KIVLoggerInstance* KIVLogger::FindLogger(const std::string& name) {
    std::string wanted = toLower(name);
    if (wanted == "player") {
        return &Playlist;
    }
    if (wanted == "mqtt") {
        return &Control;
    }
    for (KIVLoggerInstance* logger : all) {
        if (toLower(logger->name) == wanted) {
            return logger;
        }
    }
    return nullptr;
}

// The whole level text is checked against a copy of the levels before any logger changes, so
// a typo late in a long level text cannot leave the loggers half set.
bool SetLogLevelComplex(const std::string& spec) {
    std::vector<std::string> parts = split(spec, ';');
    if (!parts.empty() && trim(parts.back()).empty()) {
        parts.pop_back();
    }
    if (parts.empty()) {
        return false;
    }
    KIVLoggerInstance* const* all = KIVLogger::INSTANCE.All();
    int levels[KIVLogger::LOGGER_COUNT];
    for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
        levels[i] = all[i]->level.load(std::memory_order_relaxed);
    }
    for (const std::string& part : parts) {
        if (!applyPart(trim(part), levels)) {
            return false;
        }
    }
    for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
        all[i]->level.store(levels[i], std::memory_order_relaxed);
    }
    return true;
}

int LogLevelFromString(const std::string& level) {
    std::string name = toLower(trim(level));
    if (name == "error") {
        return KIVLOG_ERROR;
    }
    if (name == "warn" || name == "warning") {
        return KIVLOG_WARN;
    }
    if (name == "info") {
        return KIVLOG_INFO;
    }
    if (name == "debug") {
        return KIVLOG_DEBUG;
    }
    if (name == "excess" || name == "excessive") {
        return KIVLOG_EXCESS;
    }
    return 0;
}

std::string LogLevelToString(int level) {
    return LEVEL_NAMES[std::clamp(level, KIVLOG_ERROR, KIVLOG_EXCESS) - 1];
}

bool SetLogFile(const std::string& path, bool toConsole) {
    FILE* opened = nullptr;
    if (!toConsole && !path.empty()) {
        opened = fopen(path.c_str(), "a");
        if (opened) {
            setvbuf(opened, nullptr, _IOLBF, 0);
        }
    }
    {
        std::lock_guard<std::mutex> lock(logMutex);
        if (logFile) {
            fclose(logFile);
        }
        logFile = opened;
    }
    if (!toConsole && !path.empty() && !opened) {
        LogErr(LG_GENERAL, "Could not open log file %s, logging to the console\n", path.c_str());
        return false;
    }
    return true;
}

bool loggingToFile() {
    std::lock_guard<std::mutex> lock(logMutex);
    return logFile != nullptr;
}

void _LogWrite(const char* file, int line, int level, KIVLoggerInstance& logger, const char* format, ...) {
    (void)file;
    (void)line;
    va_list args;
    va_start(args, format);
    std::string message = formatMessage(format, args);
    va_end(args);
    if (message.empty() || message.back() != '\n') {
        message += '\n';
    }
    char pid[24];
    snprintf(pid, sizeof(pid), " (%d) [", (int)getpid());
    writeLine(timestamp() + pid + logger.name + "] " + levelTag(level) + message);
}

void HexDump(const char* title, const void* data, int len, KIVLoggerInstance& logger, int level) {
    if (!WillLog(level, logger)) {
        return;
    }
    _LogWrite(__FILE__, __LINE__, level, logger, "%s: %d bytes\n", title, len);
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (int offset = 0; offset < len; offset += 16) {
        char hex[16 * 3 + 1] = {};
        char ascii[16 + 1] = {};
        for (int i = 0; i < 16 && offset + i < len; i++) {
            unsigned char c = bytes[offset + i];
            snprintf(hex + i * 3, 4, "%02x ", c);
            ascii[i] = isprint(c) ? (char)c : '.';
        }
        _LogWrite(__FILE__, __LINE__, level, logger, "%04x: %-48s %s\n", offset, hex, ascii);
    }
}
