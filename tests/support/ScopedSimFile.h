#pragma once
// A private file (or folder) under /dev/shm for one simulated device, so tests running in
// parallel never share one: the constructor makes a unique name and points the device's
// environment variable at it; the destructor removes the variable and what the device left there.

#include <dirent.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

class ScopedSimFile {
public:
    // A file the device creates itself (the name is reserved, then left for it).
    ScopedSimFile(const char* envVar, const std::string& tag, bool folder = false)
        : var(envVar), isFolder(folder) {
        std::string pattern = "/dev/shm/kiv-" + tag + "-XXXXXX";
        if (folder) {
            path = mkdtemp(pattern.data()) ? pattern : "";
        } else {
            int fd = mkstemp(pattern.data());
            if (fd >= 0) {
                close(fd);
                unlink(pattern.c_str());
                path = pattern;
            }
        }
        setenv(var.c_str(), path.c_str(), 1);
    }
    ~ScopedSimFile() {
        unsetenv(var.c_str());
        if (!isFolder) {
            unlink(path.c_str());
            return;
        }
        if (DIR* dir = opendir(path.c_str())) {
            while (dirent* entry = readdir(dir)) {
                std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    unlink((path + "/" + name).c_str());
                }
            }
            closedir(dir);
        }
        rmdir(path.c_str());
    }
    ScopedSimFile(const ScopedSimFile&) = delete;
    ScopedSimFile& operator=(const ScopedSimFile&) = delete;

    const std::string& name() const { return path; }
    std::string in(const std::string& file) const { return path + "/" + file; }

private:
    std::string var;
    bool isFolder;
    std::string path;
};
