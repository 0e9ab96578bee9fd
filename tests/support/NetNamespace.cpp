#include "NetNamespace.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool RunCommand(const std::string& command) {
    int status = system(command.c_str());
    return status == 0;
}

bool EnterPrivateNetworkNamespace() {
    static bool entered = false;
    if (entered) {
        return true;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "unshare(CLONE_NEWNET) failed: %s\n", strerror(errno));
        return false;
    }
    entered = RunCommand("ip link set lo up");
    return entered;
}

bool EnterPrivateTmp() {
    static bool entered = false;
    if (entered) {
        return true;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("kivtest-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        fprintf(stderr, "private /tmp failed: %s\n", strerror(errno));
        return false;
    }
    entered = true;
    return true;
}

bool MountPrivateSysfs() {
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("kivtest-sysfs", "/sys", "sysfs", 0, nullptr) != 0) {
        fprintf(stderr, "private sysfs failed: %s\n", strerror(errno));
        return false;
    }
    return true;
}
