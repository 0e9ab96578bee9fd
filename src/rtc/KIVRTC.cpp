// Real-time-clock set-up at boot: chip selection from the settings file, driver loading, sysfs
// registration on I2C bus 1 and the hwclock call in either direction.

#include "rtc/KIVRTC.h"

#include "common/Common.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <utility>

namespace {

constexpr int I2C_BUS = 1;

struct RTCChip {
    const char* printedName;
    const char* kernelModule; // nullptr: the driver is built in
    const char* address;
    const char* deviceType; // first word of the new_device line
};

// Indexed by the setting piRTC minus one.
// clang-format off
constexpr RTCChip RTC_CHIPS[] = {
    {"rasClock", "rtc-pcf2127",  "0x51", "pcf2127"},
    {"DS1307",   "rtc-ds1307",   "0x68", "ds1307"},
    {"mcp7941x", nullptr,        "0x6f", "mcp7941x"},
    {"pcf8523",  "rtc-pcf8523",  "0x68", "pcf8523"},
    {"pcf85363", "rtc-pcf85363", "0x51", "pcf85363"},
    {"pcf8563",  "rtc-pcf8563",  "0x51", "pcf8563"},
};
// clang-format on
constexpr int RTC_CHIP_COUNT = sizeof(RTC_CHIPS) / sizeof(RTC_CHIPS[0]);

bool endsValue(char c) {
    return c == '"' || c == '\n' || c == '\r';
}

// The value of piRTC is taken by position: one digit, or two when the second character does not
// end the value. The file may be cut anywhere, so every position is checked against its end.
int ReadSelectedChip(const std::string& settings) {
    static const std::string KEY = "piRTC = ";
    size_t at = settings.find(KEY);
    if (at == std::string::npos) {
        return 0;
    }
    size_t first = at + KEY.size() + 1; // past the opening quote
    if (first >= settings.size()) {
        return 0;
    }
    int value = settings[first] - '0';
    size_t second = first + 1;
    if (second < settings.size() && !endsValue(settings[second])) {
        value = value * 10 + (settings[second] - '0');
    }
    return static_cast<uint8_t>(value);
}

// Runs a shell command and returns its standard output; echoed lines also go to our own output.
std::string RunCommand(const std::string& command, bool echo) {
    fflush(stdout);
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) {
        throw std::runtime_error("popen() failed!");
    }
    std::string output;
    char buffer[128];
    while (fgets(buffer, sizeof(buffer), pipe)) {
        output += buffer;
        if (echo) {
            fputs(buffer, stdout);
        }
    }
    pclose(pipe);
    return output;
}

// A sysfs attribute takes one write; a bus that is not there is skipped silently.
void WriteI2CBusFile(const char* attribute, const std::string& text) {
    char path[64];
    snprintf(path, sizeof(path), "/sys/bus/i2c/devices/i2c-%d/%s", I2C_BUS, attribute);
    FILE* file = fopen(path, "w");
    if (!file) {
        return;
    }
    fputs(text.c_str(), file);
    fclose(file);
}

void SleepTenMilliseconds() {
    struct timespec wait = {0, 10000000};
    struct timespec left;
    while (nanosleep(&wait, &left) == -1 && errno == EINTR) {
        wait = left;
    }
}

} // namespace

KIVRTC::KIVRTC(std::string mode) : mode(std::move(mode)) {}

void KIVRTC::PrintUsage(const char* program) {
    printf("Usage: %s [get|set]\n"
           "\n"
           "Sets up the real-time clock chosen by the setting piRTC in the media directory's settings\n"
           "file ($KIV_MEDIA_DIR/settings, default /home/kiv/media/settings): loads its kernel module,\n"
           "registers it on I2C bus %d and waits up to %d seconds for its device node (/dev/rtc0, or\n"
           "/dev/rtc1 when the board's own clock holds rtc0). A chip whose node does not appear in that\n"
           "time, or that does not answer, is unregistered again.\n"
           "\n"
           "  get         copy the RTC time into the system clock (the default)\n"
           "  set         write the system time into the RTC\n"
           "  -h, --help  this text\n",
           program, I2C_BUS, DEVICE_WAIT_MS / 1000);
}

int KIVRTC::Run() {
    ChooseDevicePath();
    std::string settingsFile = getKIVMediaDir("/settings");
    int selection = FileExists(settingsFile) ? ReadSelectedChip(GetFileContents(settingsFile)) : 0;
    if (!RegisterChip(selection)) {
        printf("KIV - Configuring RTC, None Selected");
        return 0;
    }
    if (WaitForDevice()) {
        SynchroniseClock();
    } else if (!address.empty()) {
        RemoveI2CDevice();
    }
    PrintLocalTime();
    return 0;
}

// The board's own clock, when it has one, is registered first and holds rtc0.
void KIVRTC::ChooseDevicePath() {
    devicePath = "/dev/rtc0";
    const char* firstRTCName = "/sys/class/rtc/rtc0/name";
    if (FileExists(firstRTCName) && contains(GetFileContents(firstRTCName), "soc:rpi_rtc")) {
        devicePath = "/dev/rtc1";
    }
    deviceExisted = FileExists(devicePath);
}

// A node that already exists means the chip is registered (by an earlier run or a device-tree
// overlay); registering it again would fail, but its driver is still loaded.
bool KIVRTC::RegisterChip(int selection) {
    if (selection < 1 || selection > RTC_CHIP_COUNT) {
        return false;
    }
    const RTCChip& chip = RTC_CHIPS[selection - 1];
    printf("KIV - Configuring RTC, Setting to %s/%d\n", chip.printedName, I2C_BUS);
    if (chip.kernelModule) {
        RunCommand(std::string("/usr/sbin/modprobe ") + chip.kernelModule, true);
    }
    address = chip.address;
    if (!deviceExisted) {
        WriteI2CBusFile("new_device", std::string(chip.deviceType) + " " + chip.address);
    }
    return true;
}

// udev creates the node shortly after registration; a chip that never shows up must not hold
// the boot forever.
bool KIVRTC::WaitForDevice() const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(DEVICE_WAIT_MS);
    while (!FileExists(devicePath)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        SleepTenMilliseconds();
    }
    return true;
}

// The daily job keeps the RTC in step with the (network-corrected) system time, so it is only
// installed once the chip has been read successfully.
void KIVRTC::SynchroniseClock() {
    if (mode == "set") {
        RunCommand("/usr/sbin/hwclock -w -f " + devicePath + " 2>&1", false);
        return;
    }
    std::string output = RunCommand("/usr/sbin/hwclock -s -f " + devicePath + " 2>&1", false);
    if (contains(output, "Remote I/O error")) {
        if (!address.empty()) {
            RemoveI2CDevice();
        }
        return;
    }
    RunCommand("cp /opt/kiv/etc/update-RTC /etc/cron.daily/", true);
}

// Unregistering a chip that did not answer lets the next boot start clean.
void KIVRTC::RemoveI2CDevice() {
    printf("Failed to setup RTC, removing device\n");
    WriteI2CBusFile("delete_device", address);
}

void KIVRTC::PrintLocalTime() {
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char text[128];
    strftime(text, sizeof(text), "%a %b %d %H:%M:%S %Z %Y", &local);
    printf("%s\n", text);
}
