#pragma once
// Calls back when watched files are created, rewritten, renamed into place or deleted. Uses one
// inotify descriptor watching the parent folders (so renames and re-creation are seen). Callbacks
// run on the thread that drains the descriptor (the main loop) or that calls TriggerFileChanged.
// The watch table is guarded by a mutex that is not held while callbacks run.

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class FileMonitor {
public:
    static FileMonitor INSTANCE;
    using Callback = std::function<void()>;

    // Watch path under id. With onlyWhenContentChanges true, an event that leaves the file's
    // bytes as they were (for example our own rewrite of the same settings) does not call back.
    void AddFile(const std::string& id, const std::string& path, Callback cb,
                 bool onlyWhenContentChanges = false);
    void RemoveFile(const std::string& id, const std::string& path);
    // Runs every callback registered for path, now, on this thread.
    void TriggerFileChanged(const std::string& path);

    // Creates the inotify descriptor and adds it to the descriptor callback map.
    void Initialize(std::map<int, std::function<bool(int)>>& callbacks);
    // Reads pending events and runs callbacks; returns false (never asks for immediate output).
    bool HandleEvents();
    int Descriptor() const { return fd; }
    void Cleanup();

private:
    struct Watch {
        std::string id;
        Callback cb;
        bool onlyWhenContentChanges;
    };
    struct FileEntry {
        std::multimap<std::string, Watch> watches; // key: id
        size_t contentHash = 0;
        bool hashKnown = false;
    };
    std::mutex lock;
    int fd = -1;
    std::map<std::string, FileEntry> files; // by full path
    std::map<int, std::string> dirByWatch;  // inotify watch descriptor -> folder
    std::map<std::string, int> watchByDir;
    void addDirectoryWatch(const std::string& dir);
    void fileChanged(const std::string& path, bool fromEvent);
    bool collectChanges(int wd, uint32_t mask, const std::string& name, std::vector<std::string>& changed);
    void watchMissingFolders(std::vector<std::string>* appeared);
};
