// The real kivrtc binary run against a fake board. Each run forks a child that enters private mount
// and network namespaces and binds folders of the test's temp folder over the system folders
// kivrtc touches, so nothing reaches the machine's modules, clock or sysfs:
//   /usr/sbin        modprobe and hwclock: shell scripts appending "NAME ARGS" to calls.log;
//                    hwclock answers "Remote I/O error" (on stderr, exit 1) while remote-io-error exists
//   /sys/class       rtc/rtc0/name when the board's own clock is simulated ("soc:rpi_rtc")
//   /sys/bus         i2c/devices/i2c-1/, where new_device and delete_device are plain files created
//                    by kivrtc's write, so their presence and contents tell what it wrote
//   /dev             device nodes are plain files; null is the real /dev/null
//   /opt             kiv/etc/update-RTC, the daily job kivrtc copies
//   /etc/cron.daily  an empty folder that receives the copy
// The kernel's part is played by this test process: it watches i2c-1 with inotify and, once a write
// to new_device is closed, creates the first free dev/rtcN, as the driver and udev would.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace std::string_literals;

namespace {

const char* const KIVRTC_BINARY = KIV_RUNTIME_DIR "/kivrtc";
const char* const UPDATE_JOB = "#!/bin/sh\n# daily RTC update job of the fake board\n";

struct FakeBoard {
    bool boardClock = false;    // the board's own clock holds rtc0
    bool nodePresent = false;   // the chip's node exists before kivrtc runs
    bool chipAppears = true;    // a new_device write makes the node appear
    bool remoteIOError = false; // hwclock cannot reach the chip
};

struct RTCCase {
    const char* name;
    std::optional<std::string> settings = {}; // no settings file when empty
    std::vector<std::string> args = {};
    FakeBoard board = {};
    // What kivrtc should leave behind; "<time>" stands for the printed local time.
    std::string output = {};
    std::vector<std::string> calls = {};
    std::optional<std::string> newDevice = {};
    std::optional<std::string> deleteDevice = {};
    bool cronInstalled = false;
};

void PrintTo(const RTCCase& c, std::ostream* out) {
    *out << c.name;
}

// What one run left on the fake board, decoded from its files.
struct RTCRun {
    int status = -1;
    std::string output;
    std::vector<std::string> calls;
    std::optional<std::string> newDevice;
    std::optional<std::string> deleteDevice;
    bool cronInstalled = false;
};

std::optional<std::string> readIfPresent(const fs::path& path) {
    if (!fs::exists(path)) {
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& contents, fs::perms perms = fs::perms(0644)) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << contents;
    fs::permissions(path, perms);
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        result.push_back(line);
    }
    return result;
}

// The local time line differs every run, so it is checked for its shape and replaced.
std::string withTimeMasked(const std::string& output) {
    static const std::regex TIME(R"([A-Z][a-z]{2} [A-Z][a-z]{2} \d{2} \d{2}:\d{2}:\d{2} \S+ \d{4}(\n|$))");
    return std::regex_replace(output, TIME, "<time>$1");
}

class FakeRTCSystem {
public:
    explicit FakeRTCSystem(const RTCCase& c) : testCase(c) {
        char tmpl[] = "/tmp/kivrtc-test-XXXXXX";
        if (!mkdtemp(tmpl)) {
            throw std::runtime_error("cannot create a temp folder");
        }
        root = tmpl;
        build();
    }
    ~FakeRTCSystem() { fs::remove_all(root); }

    RTCRun run() {
        int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        inotify_add_watch(watch, i2cBus().c_str(), IN_CLOSE_WRITE);
        pid_t child = fork();
        if (child == 0) {
            execInFakeSystem();
        }
        RTCRun result;
        result.status = playKernelUntilExit(child, watch);
        close(watch);
        decode(result);
        return result;
    }

private:
    const RTCCase& testCase;
    fs::path root;

    fs::path i2cBus() const { return root / "sys-bus/i2c/devices/i2c-1"; }
    fs::path dev() const { return root / "dev"; }

    void build() const {
        const std::string calls = (root / "calls.log").string();
        const std::string marker = (root / "remote-io-error").string();
        writeFile(root / "sbin/modprobe", "#!/bin/sh\necho \"modprobe $*\" >> " + calls + "\n",
                  fs::perms(0755));
        writeFile(root / "sbin/hwclock",
                  "#!/bin/sh\necho \"hwclock $*\" >> " + calls + "\nif [ -e " + marker +
                      " ]; then\n  echo \"hwclock: ioctl(RTC_RD_TIME) to $3 to read the time failed: Remote "
                      "I/O error\" >&2\n  exit 1\nfi\n",
                  fs::perms(0755));
        fs::create_directories(root / "sys-class/rtc");
        fs::create_directories(i2cBus());
        fs::create_directories(root / "cron.daily");
        writeFile(root / "opt/kiv/etc/update-RTC", UPDATE_JOB, fs::perms(0755));
        writeFile(dev() / "null", "");
        const FakeBoard& board = testCase.board;
        if (board.boardClock) {
            writeFile(root / "sys-class/rtc/rtc0/name", "soc:rpi_rtc\n");
            writeFile(dev() / "rtc0", "");
        }
        if (board.nodePresent) {
            writeFile(dev() / (board.boardClock ? "rtc1" : "rtc0"), "");
        }
        if (board.remoteIOError) {
            writeFile(marker, "");
        }
        if (testCase.settings) {
            writeFile(root / "media/settings", *testCase.settings);
        }
    }

    // Runs in the forked child (the test has no other threads); its mounts stay in its own namespace.
    [[noreturn]] void execInFakeSystem() const {
        const std::pair<fs::path, const char*> binds[] = {
            {root / "sbin", "/usr/sbin"},
            {root / "sys-class", "/sys/class"},
            {root / "sys-bus", "/sys/bus"},
            {root / "opt", "/opt"},
            {root / "cron.daily", "/etc/cron.daily"},
        };
        if (unshare(CLONE_NEWNS | CLONE_NEWNET) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr)) {
            fail("entering private namespaces");
        }
        for (const auto& [fake, system] : binds) {
            if (mount(fake.c_str(), system, nullptr, MS_BIND | MS_REC, nullptr) != 0) {
                fail(system);
            }
        }
        if (mount("/dev/null", (dev() / "null").c_str(), nullptr, MS_BIND, nullptr) != 0 ||
            mount(dev().c_str(), "/dev", nullptr, MS_BIND | MS_REC, nullptr) != 0) {
            fail("/dev");
        }
        int output = open((root / "output").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(output, STDOUT_FILENO);
        setenv("KIV_MEDIA_DIR", (root / "media").c_str(), 1);
        std::vector<char*> argv = {const_cast<char*>(KIVRTC_BINARY)};
        for (const std::string& arg : testCase.args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(KIVRTC_BINARY, argv.data());
        fail(KIVRTC_BINARY);
    }

    [[noreturn]] static void fail(const char* what) {
        perror(what);
        _exit(120);
    }

    // Waits for kivrtc to end; meanwhile a closed write to new_device makes the next node appear.
    int playKernelUntilExit(pid_t child, int watch) const {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            struct pollfd event = {watch, POLLIN, 0};
            if (poll(&event, 1, 10) > 0 && newDeviceWritten(watch) && testCase.board.chipAppears) {
                createFirstFreeNode();
            }
            int status;
            if (waitpid(child, &status, WNOHANG) == child) {
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
        }
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        ADD_FAILURE() << "kivrtc did not end within 20 seconds";
        return -1;
    }

    static bool newDeviceWritten(int watch) {
        alignas(inotify_event) char buffer[4096];
        ssize_t length = read(watch, buffer, sizeof(buffer));
        bool written = false;
        for (ssize_t at = 0; at < length;) {
            auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
            written = written || (event->len && !strcmp(event->name, "new_device"));
            at += sizeof(inotify_event) + event->len;
        }
        return written;
    }

    void createFirstFreeNode() const {
        int number = 0;
        while (fs::exists(dev() / ("rtc" + std::to_string(number)))) {
            number++;
        }
        writeFile(dev() / ("rtc" + std::to_string(number)), "");
    }

    void decode(RTCRun& result) const {
        result.output = withTimeMasked(readIfPresent(root / "output").value_or(""));
        result.calls = lines(readIfPresent(root / "calls.log").value_or(""));
        result.newDevice = readIfPresent(i2cBus() / "new_device");
        result.deleteDevice = readIfPresent(i2cBus() / "delete_device");
        result.cronInstalled = readIfPresent(root / "cron.daily/update-RTC") == UPDATE_JOB;
    }
};

std::string settingsWith(const std::string& value) {
    return "kivMode = \"player\"\npiRTC = \"" + value + "\"\nLogLevel = \"info\"\n";
}

const std::string NONE_SELECTED = "KIV - Configuring RTC, None Selected";
const std::string REMOVING = "Failed to setup RTC, removing device\n";

// The common path: the chip is registered, its node appears, it is read and the daily job installed.
RTCCase readsChip(const char* name, const std::string& settings, const std::string& printedName,
                  const char* module, const char* newDevice) {
    RTCCase c{.name = name,
              .settings = settings,
              .output = "KIV - Configuring RTC, Setting to " + printedName + "/1\n<time>\n",
              .newDevice = newDevice,
              .cronInstalled = true};
    if (module) {
        c.calls.push_back("modprobe "s + module);
    }
    c.calls.push_back("hwclock -s -f /dev/rtc0");
    return c;
}

RTCCase noneSelected(const char* name, std::optional<std::string> settings) {
    return {.name = name, .settings = std::move(settings), .output = NONE_SELECTED};
}

// A case that differs from another only where the change says.
template <typename Change> RTCCase changed(RTCCase c, const char* name, Change change) {
    c.name = name;
    change(c);
    return c;
}

std::vector<RTCCase> cases() {
    const RTCCase rasClock =
        readsChip("RasClock", settingsWith("1"), "rasClock", "rtc-pcf2127", "pcf2127 0x51");
    const RTCCase ds1307 = readsChip("DS1307", settingsWith("2"), "DS1307", "rtc-ds1307", "ds1307 0x68");
    const RTCCase pcf8523 = readsChip("Pcf8523", settingsWith("4"), "pcf8523", "rtc-pcf8523", "pcf8523 0x68");
    const RTCCase pcf8563 = readsChip("Pcf8563", settingsWith("6"), "pcf8563", "rtc-pcf8563", "pcf8563 0x51");
    return {
        rasClock,
        ds1307,
        readsChip("Mcp7941xLoadsNoModule", settingsWith("3"), "mcp7941x", nullptr, "mcp7941x 0x6f"),
        pcf8523,
        readsChip("Pcf85363", settingsWith("5"), "pcf85363", "rtc-pcf85363", "pcf85363 0x51"),
        pcf8563,
        noneSelected("ZeroSelectsNone", settingsWith("0")),
        noneSelected("TwelveIsReadAsTwelve", settingsWith("12")),
        noneSelected("MissingKeySelectsNone", "kivMode = \"player\"\n"),
        noneSelected("MissingFileSelectsNone", std::nullopt),
        changed(ds1307, "BoardClockMovesTheChipToRtc1",
                [](RTCCase& c) {
                    c.board.boardClock = true;
                    c.calls.back() = "hwclock -s -f /dev/rtc1";
                }),
        changed(pcf8523, "ExistingNodeSkipsRegistrationButLoadsTheModule",
                [](RTCCase& c) {
                    c.board.nodePresent = true;
                    c.newDevice.reset();
                }),
        changed(ds1307, "SetWritesTheRtcAndInstallsNoJob",
                [](RTCCase& c) {
                    c.args = {"set"};
                    c.calls.back() = "hwclock -w -f /dev/rtc0";
                    c.cronInstalled = false;
                }),
        changed(ds1307, "LongerWordThanSetReads", [](RTCCase& c) { c.args = {"settings"}; }),
        changed(rasClock, "SilentChipIsUnregistered",
                [](RTCCase& c) {
                    c.board.remoteIOError = true;
                    c.output.insert(c.output.find("<time>"), REMOVING);
                    c.deleteDevice = "0x51";
                    c.cronInstalled = false;
                }),
        changed(pcf8563, "NodeThatNeverAppearsIsUnregistered",
                [](RTCCase& c) {
                    c.board.chipAppears = false;
                    c.output.insert(c.output.find("<time>"), REMOVING);
                    c.calls.pop_back();
                    c.deleteDevice = "0x51";
                    c.cronInstalled = false;
                }),
        noneSelected("EmptyFile", ""),
        noneSelected("BinaryFile", "\x7f\x45LF\0\x02\xff\xfe piRTC = \"\xff\0\n"s),
        noneSelected("KeyAtTheVeryEnd", "kivMode = \"player\"\npiRTC = "),
        noneSelected("OpeningQuoteAtTheVeryEnd", "piRTC = \""),
        changed(ds1307, "OneCharacterValueAtTheVeryEnd", [](RTCCase& c) { c.settings = "piRTC = \"2"; }),
    };
}

class KIVRTCRun : public ::testing::TestWithParam<RTCCase> {
protected:
    void SetUp() override {
        if (!fs::is_directory("/etc/cron.daily")) {
            GTEST_SKIP() << "no /etc/cron.daily to bind the fake job folder over";
        }
    }
};

TEST_P(KIVRTCRun, LeavesTheExpectedTraces) {
    const RTCCase& c = GetParam();
    RTCRun run = FakeRTCSystem(c).run();
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(run.calls, c.calls);
    EXPECT_EQ(run.newDevice, c.newDevice);
    EXPECT_EQ(run.deleteDevice, c.deleteDevice);
    EXPECT_EQ(run.cronInstalled, c.cronInstalled);
}

INSTANTIATE_TEST_SUITE_P(Boards, KIVRTCRun, ::testing::ValuesIn(cases()),
                         [](const ::testing::TestParamInfo<RTCCase>& info) { return info.param.name; });

TEST(KIVRTCUsage, HelpNamesTheModesAndTheWaitBound) {
    FILE* pipe = popen((std::string(KIVRTC_BINARY) + " -h").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string text;
    char buffer[256];
    while (fgets(buffer, sizeof(buffer), pipe)) {
        text += buffer;
    }
    int status = pclose(pipe);
    EXPECT_EQ(status, 0);
    EXPECT_NE(text.find("[get|set]"), std::string::npos) << text;
    EXPECT_NE(text.find("up to 5 seconds"), std::string::npos) << text;
}

} // namespace
