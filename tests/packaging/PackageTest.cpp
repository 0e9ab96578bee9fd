// The Debian package as a board's owner gets it: packed by cpack from this build tree, inspected
// with dpkg-deb, apt and lintian, installed into a root folder of the test's own (never this
// machine), its kivd run from there, its units verified, then upgraded and removed.
#include "platform/SimulatedFrameBuffer.h"
#include "support/DaemonProcess.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

struct CommandResult {
    int status = -1;
    std::string output; // standard output and error together
};

CommandResult RunShell(const std::string& command) {
    CommandResult result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (!pipe) {
        return result;
    }
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) {
        result.output.append(buffer, n);
    }
    int status = pclose(pipe);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, separator);) {
        if (!part.empty()) {
            parts.push_back(part);
        }
    }
    return parts;
}

// A folder of the test's own under /tmp, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        char pattern[] = "/tmp/kiv-package-XXXXXX";
        path = mkdtemp(pattern) ? pattern : "";
    }
    ~TempFolder() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

// The root a package is installed into: an empty dpkg database and a user database that holds
// only root, where the package's scripts add their user.
void MakeEmptyRoot(const std::string& root) {
    fs::create_directories(root + "/var/lib/dpkg/info");
    fs::create_directories(root + "/var/lib/dpkg/updates");
    WriteFile(root + "/var/lib/dpkg/status", "");
    WriteFile(root + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
    WriteFile(root + "/etc/group", "root:x:0:\n");
    WriteFile(root + "/etc/shadow", "root:*:19000:0:99999:7:::\n");
    WriteFile(root + "/etc/gshadow", "root:*::\n");
}

// dpkg with the maintainer scripts run outside a chroot, told the root through DPKG_ROOT; the
// libraries the package depends on are this machine's and not in the root's database.
CommandResult Dpkg(const std::string& root, const std::string& action) {
    return RunShell("dpkg --root=" + root + " --force-script-chrootless --force-depends " + action);
}

std::string PackageIn(const std::string& folder) {
    for (auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".deb") {
            return entry.path();
        }
    }
    return "";
}

void ExpectControlFields(const std::string& deb) {
    CommandResult info = RunShell("dpkg-deb --info " + deb);
    ASSERT_EQ(0, info.status) << info.output;
    EXPECT_NE(info.output.find(" Package: kiv\n"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find(" Version: " KIV_PACKAGE_VERSION "\n"), std::string::npos) << info.output;
    std::string depends = RunShell("dpkg-deb --field " + deb + " Depends").output;
    for (const char* library : {"libc6", "libjsoncpp", "libmicrohttpd", "libcurl", "libstdc++6"}) {
        EXPECT_NE(depends.find(library), std::string::npos) << library << " missing in: " << depends;
    }
    EXPECT_EQ(depends.find("-dev"), std::string::npos) << depends;
    for (const char* script : {"postinst", "prerm", "postrm"}) {
        EXPECT_NE(info.output.find(script), std::string::npos) << script;
    }
}

void ExpectFilesInPackage(const std::string& deb) {
    CommandResult contents = RunShell("dpkg-deb --contents " + deb);
    ASSERT_EQ(0, contents.status) << contents.output;
    std::vector<std::string> expected = {"./opt/kiv/capes/pi/strings/DPIPixels.json",
                                         "./opt/kiv/capes/pi/pins.json",
                                         "./opt/kiv/etc/update-RTC",
                                         "./lib/systemd/system/kivd.service",
                                         "./lib/systemd/system/kivoled.service",
                                         "./lib/systemd/system/kivrtc.service",
                                         "./usr/share/doc/kiv/copyright"};
    for (const std::string& file : Split(KIV_INSTALLED_FILES, ',')) {
        expected.push_back("./opt/kiv/src/" + file);
    }
    for (const std::string& file : expected) {
        EXPECT_NE(contents.output.find(" " + file + "\n"), std::string::npos) << file << " not in\n"
                                                                              << contents.output;
    }
    EXPECT_EQ(contents.output.find("kiv-co-Test"), std::string::npos) << "test plugins are packed";
}

void ExpectDependenciesResolve(const std::string& deb) {
    CommandResult apt = RunShell("apt-get install --simulate -o Debug::NoLocking=1 " + deb);
    EXPECT_EQ(0, apt.status) << apt.output;
    EXPECT_NE(apt.output.find("Inst kiv "), std::string::npos) << apt.output;
}

void ExpectNoLintianErrors(const std::string& deb) {
    CommandResult lintian = RunShell("lintian " + deb);
    for (const std::string& line : Split(lintian.output, '\n')) {
        if (line.rfind("E: ", 0) == 0) {
            ADD_FAILURE() << "lintian: " << line;
        } else if (line.rfind("W: ", 0) == 0) {
            std::cout << "lintian: " << line << "\n";
        }
    }
    EXPECT_EQ(0, lintian.status) << lintian.output;
}

// The media directory and its folders belong to the kiv user the scripts added to the root.
void ExpectMediaDirectoryOfKivUser(const std::string& root) {
    std::string passwd = ReadFile(root + "/etc/passwd");
    size_t entry = passwd.find("\nkiv:x:");
    ASSERT_NE(entry, std::string::npos) << passwd;
    std::vector<std::string> fields =
        Split(passwd.substr(entry + 1, passwd.find('\n', entry + 1) - entry - 1), ':');
    ASSERT_GE(fields.size(), 6u);
    EXPECT_EQ("/home/kiv", fields[5]);
    for (const char* folder : {"/home/kiv/media", "/home/kiv/media/config", "/home/kiv/media/logs"}) {
        struct stat info {};
        ASSERT_EQ(0, stat((root + folder).c_str(), &info)) << folder;
        EXPECT_EQ(std::to_string(info.st_uid), fields[2]) << folder;
    }
}

// systemd-analyze checks that each unit's programs exist, so the installed /opt is bound over
// /opt in a mount namespace of the command's own.
void ExpectUnitsVerify(const std::string& root) {
    for (const char* unit : {"kivd.service", "kivoled.service", "kivrtc.service"}) {
        std::string file = root + "/lib/systemd/system/" + unit;
        CommandResult verify = RunShell("unshare --mount sh -c 'mount --make-rprivate / && mount --bind " +
                                        root + "/opt /opt && systemd-analyze verify " + file + "'");
        EXPECT_EQ(0, verify.status) << unit << ":\n" << verify.output;
        EXPECT_EQ(verify.output.find("kiv"), std::string::npos) << unit << ":\n" << verify.output;
    }
}

// Two 10-pixel ports of the DPI plugin on a simulated framebuffer, fed by a bridge universe.
std::string DPIOutputs(const std::string& device) {
    return R"({"channelOutputs": [{"type": "DPIPixels", "enabled": 1, "startChannel": 1, "channelCount": 30,
        "subType": "DPIPixels", "device": ")" +
           device + R"(", "outputs": [{"portNumber": 0, "virtualStrings": [{"startChannel": 0,
        "pixelCount": 10, "colorOrder": "RGB", "brightness": 100, "gamma": 1.0}]}]}]})";
}

// The installed kivd runs from the root with a fresh media directory: it answers its API, takes
// the DPI plugin and its board file from the installed tree, and stops on SIGTERM.
void ExpectInstalledDaemonRuns(const std::string& root) {
    TestMediaDir media;
    std::string device = "kiv-package-" + std::to_string(getpid());
    media.write("settings", "kivMode = \"bridge\"\n");
    media.write("config/co-pixelStrings.json", DPIOutputs(device));
    DaemonProcess daemon(media.path(), root + "/opt/kiv/src/kivd");
    ASSERT_TRUE(daemon.start({"-f", "--log-level", "debug:Plugin,ChannelOut"}));
    ASSERT_TRUE(daemon.waitForOutput("Starting main processing loop")) << daemon.output();
    HttpResult version = HttpGet("http://127.0.0.1:32322/kivd/version");
    EXPECT_EQ(200, version.status) << version.body;
    EXPECT_NE(version.body.find(KIV_VERSION_STRING), std::string::npos) << version.body;
    std::string output = daemon.output();
    EXPECT_NE(output.find("Loaded plugin DPIPixels from " + root + "/opt/kiv/src/kiv-co-DPIPixels.so"),
              std::string::npos)
        << output;
    // The plugin reads its pins from capes/pi/strings before it opens the framebuffer.
    EXPECT_NE(output.find("The framebuffer device " + device + " was opened successfully."),
              std::string::npos)
        << output;
    daemon.signal(SIGTERM);
    EXPECT_EQ(0, daemon.waitForExit(10000)) << daemon.output();
    unlink(SimulatedFrameBuffer::FilePath(device).c_str());
}

// An upgrade keeps what the owner wrote into the media directory; a purge takes the programs and
// leaves the media directory.
void ExpectUpgradeAndRemovalKeepMedia(const std::string& root, const std::string& deb) {
    const std::string settings = root + "/home/kiv/media/settings";
    const std::string outputs = root + "/home/kiv/media/config/co-pixelStrings.json";
    WriteFile(settings, "kivMode = \"bridge\"\n");
    WriteFile(outputs, "{\"channelOutputs\": []}\n");
    CommandResult upgrade = Dpkg(root, "--install " + deb);
    ASSERT_EQ(0, upgrade.status) << upgrade.output;
    EXPECT_EQ("kivMode = \"bridge\"\n", ReadFile(settings));
    EXPECT_EQ("{\"channelOutputs\": []}\n", ReadFile(outputs));

    // The daily clock job as kivrtc copies it after a good read; purging takes it away too.
    WriteFile(root + "/etc/cron.daily/update-RTC", ReadFile(root + "/opt/kiv/etc/update-RTC"));
    CommandResult purge = Dpkg(root, "--purge kiv");
    ASSERT_EQ(0, purge.status) << purge.output;
    EXPECT_FALSE(fs::exists(root + "/opt/kiv/src/kivd"));
    EXPECT_FALSE(fs::exists(root + "/lib/systemd/system/kivd.service"));
    EXPECT_FALSE(fs::exists(root + "/etc/cron.daily/update-RTC"));
    EXPECT_EQ("kivMode = \"bridge\"\n", ReadFile(settings));
    EXPECT_TRUE(fs::exists(outputs));
}

TEST(DebianPackage, InstallsIntoARootAndItsDaemonRunsFromThere) {
    if (!KIV_PACKAGE_BUILDABLE) {
        GTEST_SKIP() << "sanitizer builds are not packaged; run this test in a release build";
    }
    ASSERT_TRUE(EnterPrivateNetworkNamespace());
    TempFolder work;
    ASSERT_FALSE(work.path.empty());

    CommandResult cpack = RunShell("cpack -G DEB --config " KIV_CPACK_CONFIG " -B " + work.path + "/package");
    ASSERT_EQ(0, cpack.status) << cpack.output;
    std::string deb = PackageIn(work.path + "/package");
    ASSERT_FALSE(deb.empty()) << cpack.output;
    ExpectControlFields(deb);
    ExpectFilesInPackage(deb);
    ExpectDependenciesResolve(deb);
    ExpectNoLintianErrors(deb);

    std::string root = work.path + "/root";
    MakeEmptyRoot(root);
    CommandResult install = Dpkg(root, "--install " + deb);
    ASSERT_EQ(0, install.status) << install.output;
    EXPECT_TRUE(fs::is_directory(root + "/opt/kiv/capes/pi/strings"));
    EXPECT_TRUE(fs::status(root + "/opt/kiv/etc/update-RTC").permissions() == fs::perms(0755));
    ExpectMediaDirectoryOfKivUser(root);
    ExpectUnitsVerify(root);
    ExpectInstalledDaemonRuns(root);
    ExpectUpgradeAndRemovalKeepMedia(root, deb);
}

} // namespace
