#include "FuzzSupport.h"

#include "common/Log.h"
#include "common/WarningHolder.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

std::string FuzzSetUp(const char* target) {
    std::filesystem::path media =
        std::filesystem::temp_directory_path() / (std::string("kiv-fuzz-") + target);
    std::filesystem::create_directories(media / "config");
    std::filesystem::create_directories(media / "tmp");
    setenv("KIV_MEDIA_DIR", media.c_str(), 1);
    setenv("KIV_GPIO_SIM_FILE", (media / "gpio").c_str(), 1);
    FuzzQuietLogs();
    if (!freopen("/dev/null", "w", stdout)) {
        abort();
    }
    return media.string();
}

void FuzzIsolateDevices() {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        perror("private mount namespace");
        abort();
    }
    if (mount("tmpfs", "/dev", "tmpfs", 0, "size=16m") != 0 ||
        mknod("/dev/null", S_IFCHR | 0666, makedev(1, 3)) != 0) {
        perror("private /dev");
        abort();
    }
    std::filesystem::create_directories("/dev/shm");
}

void FuzzQuietLogs() {
    for (int i = 0; i < KIVLogger::LOGGER_COUNT; i++) {
        KIVLogger::INSTANCE.All()[i]->level = KIVLOG_ERROR;
    }
}

void FuzzWriteFile(const std::string& path, const uint8_t* data, size_t size) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), size);
}

void FuzzForgetWarnings() {
    WarningHolder::RemoveAllWarnings();
}
