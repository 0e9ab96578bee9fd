#include "MountNamespace.h"

#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {
bool fail(const char* what) {
    fprintf(stderr, "%s failed: %s\n", what, strerror(errno));
    return false;
}
} // namespace

bool EnterPrivateMountNamespace() {
    static bool entered = false;
    if (entered) {
        return true;
    }
    if (unshare(CLONE_NEWNS) != 0) {
        return fail("unshare(CLONE_NEWNS)");
    }
    // Without this, mounts made here would propagate back to the machine's namespace.
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        return fail("making / private");
    }
    entered = true;
    return true;
}

bool UsePrivateDevShm() {
    if (!EnterPrivateMountNamespace()) {
        return false;
    }
    return mount("tmpfs", "/dev/shm", "tmpfs", 0, "size=64m") == 0 || fail("mounting /dev/shm");
}

bool PretendToBeABoard(const std::string& model) {
    if (!EnterPrivateMountNamespace()) {
        return false;
    }
    // A tmpfs rather than a bind mount of a temporary folder: nothing is left behind afterwards.
    if (mount("tmpfs", "/sys/firmware", "tmpfs", 0, "size=1m") != 0) {
        return fail("mounting over /sys/firmware");
    }
    std::filesystem::create_directories("/sys/firmware/devicetree/base");
    std::ofstream("/sys/firmware/devicetree/base/model") << model << '\0';
    return true;
}
