#include "common/FileMonitor.h"

#include "common/Common.h"
#include "common/Log.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

FileMonitor FileMonitor::INSTANCE;

namespace {

// Folder events that matter for a file: written in place (close after write), created, deleted,
// renamed into or out of place. IN_MOVE_SELF tells us the folder itself went away under its name.
constexpr uint32_t WATCH_MASK =
    IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_DELETE | IN_CREATE | IN_MOVE_SELF;

// A missing file is a state of its own, distinct from an empty one.
constexpr size_t MISSING_FILE_HASH = static_cast<size_t>(-1);

struct RawEvent {
    int wd;
    uint32_t mask;
    std::string name;
};

std::string parentFolder(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) {
        return ".";
    }
    if (slash == 0) {
        return "/";
    }
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

size_t contentHash(const std::string& path) {
    if (!FileExists(path)) {
        return MISSING_FILE_HASH;
    }
    return std::hash<std::string>{}(GetFileContents(path));
}

void addUnique(std::vector<std::string>& list, const std::string& path) {
    if (std::find(list.begin(), list.end(), path) == list.end()) {
        list.push_back(path);
    }
}

// Everything queued on the non-blocking descriptor right now: one batch.
std::vector<RawEvent> drainEvents(int fd) {
    std::vector<RawEvent> events;
    alignas(inotify_event) char buffer[4096];
    for (;;) {
        ssize_t len = read(fd, buffer, sizeof(buffer));
        if (len < 0 && errno == EINTR) {
            continue;
        }
        if (len <= 0) {
            if (len < 0 && errno != EAGAIN) {
                LogWarn(LG_GENERAL, "Reading file change events failed: %s\n", strerror(errno));
            }
            break;
        }
        for (char* p = buffer; p < buffer + len;) {
            auto* ev = reinterpret_cast<inotify_event*>(p);
            events.push_back(RawEvent{ev->wd, ev->mask, ev->len ? std::string(ev->name) : std::string()});
            p += sizeof(inotify_event) + ev->len;
        }
    }
    return events;
}

} // namespace

void FileMonitor::AddFile(const std::string& id, const std::string& path, Callback cb,
                          bool onlyWhenContentChanges) {
    // The hash taken now is the baseline, so a later rewrite with the same bytes stays quiet.
    size_t hash = onlyWhenContentChanges ? contentHash(path) : 0;
    std::lock_guard<std::mutex> lk(lock);
    FileEntry& entry = files[path];
    entry.watches.emplace(id, Watch{id, std::move(cb), onlyWhenContentChanges});
    if (onlyWhenContentChanges && !entry.hashKnown) {
        entry.contentHash = hash;
        entry.hashKnown = true;
    }
    addDirectoryWatch(parentFolder(path));
}

// Folder watches stay until Cleanup: they are cheap, and events for paths nobody watches any
// more are ignored.
void FileMonitor::RemoveFile(const std::string& id, const std::string& path) {
    std::lock_guard<std::mutex> lk(lock);
    auto it = files.find(path);
    if (it == files.end()) {
        return;
    }
    it->second.watches.erase(id);
    if (it->second.watches.empty()) {
        files.erase(it);
        return;
    }
    // A hash only tracked while someone asks for it would go stale otherwise.
    bool anyContentOnly = std::any_of(it->second.watches.begin(), it->second.watches.end(),
                                      [](const auto& w) { return w.second.onlyWhenContentChanges; });
    if (!anyContentOnly) {
        it->second.hashKnown = false;
    }
}

void FileMonitor::TriggerFileChanged(const std::string& path) {
    fileChanged(path, false);
}

void FileMonitor::Initialize(std::map<int, std::function<bool(int)>>& callbacks) {
    std::lock_guard<std::mutex> lk(lock);
    if (fd < 0) {
        fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd < 0) {
            LogErr(LG_GENERAL, "Could not start the file monitor: %s\n", strerror(errno));
            return;
        }
        // Files added before the descriptor existed get their folder watches now.
        watchMissingFolders(nullptr);
    }
    callbacks[fd] = [this](int) { return HandleEvents(); };
}

bool FileMonitor::HandleEvents() {
    int inotifyFd;
    {
        std::lock_guard<std::mutex> lk(lock);
        inotifyFd = fd;
    }
    if (inotifyFd < 0) {
        return false;
    }
    std::vector<RawEvent> events = drainEvents(inotifyFd);
    std::vector<std::string> changed;
    {
        std::lock_guard<std::mutex> lk(lock);
        bool foldersChanged = false;
        for (const auto& ev : events) {
            foldersChanged |= collectChanges(ev.wd, ev.mask, ev.name, changed);
        }
        if (foldersChanged) {
            watchMissingFolders(&changed);
        }
    }
    for (const auto& path : changed) {
        LogDebug(LG_GENERAL, "File changed: %s\n", path.c_str());
        fileChanged(path, true);
    }
    return false;
}

// Caller holds the lock. Adds the watched paths one event names to changed; returns true when a
// folder appeared or a watched folder went away, so missing folders are looked at again.
bool FileMonitor::collectChanges(int wd, uint32_t mask, const std::string& name,
                                 std::vector<std::string>& changed) {
    if (mask & IN_Q_OVERFLOW) {
        // Events were lost: anything may have changed.
        for (const auto& file : files) {
            addUnique(changed, file.first);
        }
        return true;
    }
    auto dir = dirByWatch.find(wd);
    if (dir == dirByWatch.end()) {
        return false;
    }
    if (mask & (IN_IGNORED | IN_MOVE_SELF)) {
        if (mask & IN_MOVE_SELF) {
            inotify_rm_watch(fd, wd);
        }
        watchByDir.erase(dir->second);
        dirByWatch.erase(dir);
        return true;
    }
    for (const auto& file : files) {
        if (baseName(file.first) == name && parentFolder(file.first) == dir->second) {
            addUnique(changed, file.first);
        }
    }
    return (mask & IN_ISDIR) != 0;
}

// Caller holds the lock. Tries again to watch the folder of every file whose folder is not
// watched; with appeared given, files that already exist in a newly watched folder are added to
// it, since they may have been written before the watch was in place.
void FileMonitor::watchMissingFolders(std::vector<std::string>* appeared) {
    for (const auto& file : files) {
        std::string dir = parentFolder(file.first);
        if (watchByDir.count(dir)) {
            continue;
        }
        addDirectoryWatch(dir);
        if (appeared && watchByDir.count(dir) && FileExists(file.first)) {
            addUnique(*appeared, file.first);
        }
    }
}

// Caller holds the lock. A folder that does not exist yet is waited for by watching its nearest
// existing ancestor; the creation of a folder below it brings us back here.
void FileMonitor::addDirectoryWatch(const std::string& dir) {
    if (fd < 0 || watchByDir.count(dir)) {
        return;
    }
    std::string target = dir;
    std::string below; // the folder under target on the way to dir
    for (;;) {
        int wd = inotify_add_watch(fd, target.c_str(), WATCH_MASK);
        if (wd >= 0) {
            dirByWatch.emplace(wd, target);
            watchByDir[target] = wd;
            break;
        }
        std::string up = parentFolder(target);
        if ((errno != ENOENT && errno != ENOTDIR) || up == target) {
            LogWarn(LG_GENERAL, "Cannot watch folder %s: %s\n", target.c_str(), strerror(errno));
            return;
        }
        below = target;
        target = up;
    }
    if (target == dir) {
        return;
    }
    LogWarn(LG_GENERAL, "Folder %s does not exist; watching %s until it appears\n", dir.c_str(),
            target.c_str());
    // The next folder down may have been created before the ancestor's watch was in place.
    if (DirectoryExists(below)) {
        addDirectoryWatch(dir);
    }
}

// A content-only watch is skipped for an event that left the bytes as they were. An explicit
// trigger runs every callback and only records the hash.
void FileMonitor::fileChanged(const std::string& path, bool fromEvent) {
    bool needHash;
    {
        std::lock_guard<std::mutex> lk(lock);
        auto it = files.find(path);
        if (it == files.end()) {
            return;
        }
        needHash = it->second.hashKnown;
    }
    size_t hash = needHash ? contentHash(path) : 0;
    std::vector<Callback> toRun;
    {
        std::lock_guard<std::mutex> lk(lock);
        auto it = files.find(path);
        if (it == files.end()) {
            return;
        }
        FileEntry& entry = it->second;
        bool unchanged = needHash && entry.hashKnown && entry.contentHash == hash;
        if (needHash && entry.hashKnown) {
            entry.contentHash = hash;
        }
        for (const auto& [id, watch] : entry.watches) {
            if (!fromEvent || !watch.onlyWhenContentChanges || !unchanged) {
                toRun.push_back(watch.cb);
            }
        }
    }
    // Run without the lock: a callback may add, remove or trigger files.
    for (const auto& cb : toRun) {
        cb();
    }
}

void FileMonitor::Cleanup() {
    std::lock_guard<std::mutex> lk(lock);
    if (fd >= 0) {
        close(fd);
    }
    fd = -1;
    files.clear();
    dirByWatch.clear();
    watchByDir.clear();
}
