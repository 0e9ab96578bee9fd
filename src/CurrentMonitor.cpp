#include "CurrentMonitor.h"

#include "common/JsonValues.h"
#include "common/Log.h"
#include "player/SensorSource.h"
#include "player/Sensors.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace {
constexpr int READINGS = 3;
constexpr int READ_BYTES = 12;
} // namespace

float CurrentMonitorBase::getMilliAmps() {
    return std::max(getRawValue() - offset, 0.0f) * scale;
}

std::unique_ptr<CurrentMonitorBase> CurrentMonitorBase::create(const Json::Value& config) {
    std::unique_ptr<CurrentMonitorBase> monitor;
    if (!config.isObject()) {
        return nullptr;
    } else if (config.isMember("path")) {
        monitor = std::make_unique<FileCurrentMonitor>(JsonString(config["path"]));
    } else if (config.isMember("sensor")) {
        std::string name = JsonString(config["sensor"]);
        SensorSource* source = Sensors::INSTANCE.getSensorSource(name);
        int channel = JsonInt(config["channel"]);
        if (source) {
            source->enable(channel);
        } else {
            LogWarn(LG_CHANNELOUT, "No sensor source %s for current sensing; it reads 0\n", name.c_str());
        }
        monitor = std::make_unique<SensorCurrentMonitor>(source, channel);
    } else {
        return nullptr;
    }
    monitor->scale = (float)JsonDouble(config["scale"], 1.0);
    monitor->offset = (float)JsonDouble(config["offset"], 0.0);
    return monitor;
}

FileCurrentMonitor::FileCurrentMonitor(const std::string& p) : path(p) {
    ensureOpen();
}

FileCurrentMonitor::~FileCurrentMonitor() {
    if (fd >= 0) {
        close(fd);
    }
}

// An open descriptor of a deleted file would keep reading its last contents, so a file with no
// links left counts as gone.
bool FileCurrentMonitor::ensureOpen() {
    struct stat st {};
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_nlink > 0) {
        return true;
    }
    if (fd >= 0) {
        close(fd);
    }
    fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return fd >= 0;
}

int FileCurrentMonitor::readOnce() {
    char buffer[READ_BYTES + 1] = {};
    if (lseek(fd, 0, SEEK_SET) < 0) {
        return 0;
    }
    ssize_t got = read(fd, buffer, READ_BYTES);
    if (got <= 0) {
        return 0;
    }
    buffer[got] = 0;
    return (int)strtol(buffer, nullptr, 10);
}

float FileCurrentMonitor::getRawValue() {
    if (!ensureOpen()) {
        return 0;
    }
    long total = 0;
    for (int i = 0; i < READINGS; i++) {
        total += readOnce();
    }
    return (float)total / READINGS;
}

SensorCurrentMonitor::SensorCurrentMonitor(SensorSource* s, int c) : source(s), channel(c) {}

float SensorCurrentMonitor::getRawValue() {
    return source ? (float)source->getValue(channel) : 0.0f;
}
