// Small shared helpers: time, strings, files and JSON, paths and the daemon's mode.

#include "common/Common.h"

#include "common/Log.h"
#include "common/Settings.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>

namespace {

long long monotonicNanos() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

bool writeAll(int fd, const std::string& contents) {
    size_t done = 0;
    while (done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += n;
    }
    return true;
}

// A replaced file keeps the mode it had; a new one is group-writable like the rest of the media tree.
mode_t modeForReplacement(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        return st.st_mode & 07777;
    }
    return 0664;
}

std::mutex shutdownMutex;
std::function<void(bool)> shutdownHandler; // guarded by shutdownMutex

} // namespace

long long GetTimeMS() {
    return monotonicNanos() / 1000000LL;
}

long long GetTimeMicros() {
    return monotonicNanos() / 1000LL;
}

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    if (text.empty()) {
        return pieces;
    }
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

std::string toLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

std::string trim(const std::string& text) {
    const char* space = " \t\r\n\f\v";
    size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) {
        return std::string();
    }
    size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

void SetThreadName(const std::string& name) {
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

bool ParseInt(const std::string& text, long& value) {
    std::string t = trim(text);
    if (t.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    long parsed = strtol(t.c_str(), &end, 10);
    if (errno == ERANGE || *end != '\0') {
        return false;
    }
    value = parsed;
    return true;
}

bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

bool DirectoryExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string GetFileContents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::string();
    }
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The temporary file sits in the target's folder so the rename stays on one file system and is atomic.
bool PutFileContents(const std::string& path, const std::string& contents) {
    std::string tmpl = path + ".tmp.XXXXXX";
    int fd = mkstemp(tmpl.data());
    if (fd < 0) {
        LogWarn(LG_GENERAL, "Could not create a temporary file for %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    bool ok = fchmod(fd, modeForReplacement(path)) == 0 && writeAll(fd, contents);
    ok = (close(fd) == 0) && ok;
    if (ok && rename(tmpl.c_str(), path.c_str()) == 0) {
        return true;
    }
    LogWarn(LG_GENERAL, "Could not write %s: %s\n", path.c_str(), strerror(errno));
    unlink(tmpl.c_str());
    return false;
}

bool LoadJsonFromFile(const std::string& path, Json::Value& value) {
    if (!FileExists(path) || DirectoryExists(path)) {
        return false;
    }
    return LoadJsonFromString(GetFileContents(path), value);
}

// Configuration files are edited by hand as well as by the UI, so comments are accepted.
bool LoadJsonFromString(const std::string& text, Json::Value& value) {
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value parsed;
    std::string errors;
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &parsed, &errors)) {
            return false;
        }
    } catch (const std::exception&) {
        return false; // jsoncpp throws instead of failing past its nesting limit
    }
    value = parsed;
    return true;
}

bool SaveJsonToFile(const Json::Value& value, const std::string& path, const std::string& indentation) {
    return PutFileContents(path, SaveJsonToString(value, indentation) + "\n");
}

std::string SaveJsonToString(const Json::Value& value, const std::string& indentation) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = indentation;
    builder["commentStyle"] = "None";
    return Json::writeString(builder, value);
}

void SetFilePerms(const std::string& path, bool isDirectory) {
    chmod(path.c_str(), isDirectory ? 0775 : 0664);
}

std::string getKIVMediaDir(const std::string& relative) {
    const char* env = getenv("KIV_MEDIA_DIR");
    std::string base = (env && *env) ? env : "/home/kiv/media";
    return base + relative;
}

std::string getKIVDDir(const std::string& relative) {
    char exe[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    if (n <= 0) {
        return relative;
    }
    std::filesystem::path path(std::string(exe, n));
    return path.parent_path().parent_path().string() + relative;
}

bool EnsureMediaDirectory() {
    static const char* const SUBFOLDERS[] = {"",       "/config", "/logs",   "/tmp",
                                             "/music", "/videos", "/images", "/crashes"};
    for (const char* sub : SUBFOLDERS) {
        std::error_code ec;
        std::filesystem::create_directories(getKIVMediaDir(sub), ec);
        if (ec) {
            LogWarn(LG_GENERAL, "Could not create %s: %s\n", getKIVMediaDir(sub).c_str(),
                    ec.message().c_str());
        }
    }
    return DirectoryExists(getKIVMediaDir());
}

int getKIVmode() {
    static std::atomic<bool> warned{false};
    std::string mode = getSetting("kivMode", "player");
    if (mode == "bridge") {
        return BRIDGE_MODE;
    }
    if (mode == "master") {
        return MASTER_MODE;
    }
    if (mode == "remote") {
        return REMOTE_MODE;
    }
    if (mode != "player" && !mode.empty() && !warned.exchange(true)) {
        LogWarn(LG_GENERAL, "Unknown kivMode '%s', running in player mode\n", mode.c_str());
    }
    return PLAYER_MODE;
}

std::string getKIVmodeName(int mode) {
    switch (mode) {
    case BRIDGE_MODE:
        return "bridge";
    case MASTER_MODE:
        return "master";
    case REMOTE_MODE:
        return "remote";
    default:
        return "player";
    }
}

void RegisterShutdownHandler(std::function<void(bool restart)> handler) {
    std::lock_guard<std::mutex> lock(shutdownMutex);
    shutdownHandler = std::move(handler);
}

// The handler is called outside the lock: it may log, set flags or even register a new handler.
void ShutdownKIVD(bool restart) {
    std::function<void(bool)> handler;
    {
        std::lock_guard<std::mutex> lock(shutdownMutex);
        handler = shutdownHandler;
    }
    if (!handler) {
        LogWarn(LG_GENERAL, "Shutdown requested but no shutdown handler is registered\n");
        return;
    }
    handler(restart);
}
