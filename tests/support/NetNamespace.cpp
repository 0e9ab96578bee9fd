#include "NetNamespace.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

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

namespace {
// The folder right below /tmp that holds the build (and so the programs the tests start), or "".
std::string buildFolderInTmp() {
    std::string runtime = KIV_RUNTIME_DIR;
    if (runtime.rfind("/tmp/", 0) != 0) {
        return "";
    }
    return runtime.substr(0, runtime.find('/', 5));
}
} // namespace

bool EnterPrivateTmp() {
    static bool entered = false;
    if (entered) {
        return true;
    }
    if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        fprintf(stderr, "private mount namespace failed: %s\n", strerror(errno));
        return false;
    }
    // A checkout under /tmp stays reachable through a descriptor opened before the tmpfs hides it.
    std::string keep = buildFolderInTmp();
    int kept = keep.empty() ? -1 : open(keep.c_str(), O_PATH | O_DIRECTORY);
    bool ok = mount("kivtest-tmp", "/tmp", "tmpfs", 0, "mode=1777") == 0;
    if (ok && kept >= 0) {
        std::string source = "/proc/self/fd/" + std::to_string(kept);
        ok = mkdir(keep.c_str(), 0755) == 0 &&
             mount(source.c_str(), keep.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0;
    }
    if (kept >= 0) {
        close(kept);
    }
    if (!ok) {
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

bool WaitForLinkUp(const std::string& name, int timeoutMS) {
    for (int waited = 0;; waited += 5) {
        std::ifstream in("/sys/class/net/" + name + "/operstate");
        std::string state;
        if (in >> state && state == "up") {
            return true;
        }
        if (waited >= timeoutMS) {
            return false;
        }
        usleep(5000);
    }
}
