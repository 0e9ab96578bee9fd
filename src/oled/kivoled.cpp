// kivoled: the status program for a small display with buttons beside the player. It shows a
// booting notice, then the status page and menu, talks to the daemon only through its HTTP API,
// and on SIGTERM or SIGINT blanks the display and exits 0.
//
// Display type: the setting "LEDDisplayType" of the media directory's settings ($KIV_MEDIA_DIR,
// else /home/kiv/media), default 1; 0 runs without a display.

#include "DaemonLink.h"
#include "OLEDButtons.h"
#include "OLEDPages.h"
#include "StatusMenu.h"

#include "common/Common.h"
#include "common/Log.h"
#include "common/Settings.h"
#include "platform/PiGPIOPinProvider.h"
#include "platform/PinCapabilities.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <memory>

namespace {

constexpr int POLL_MS = 10;
std::atomic<bool> stopRequested{false};

void requestStop(int) {
    stopRequested = true;
}

void installSignalHandlers() {
    struct sigaction action = {};
    action.sa_handler = requestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

void startDisplay() {
    int type = getSettingInt("LEDDisplayType", 1);
    if (!OLEDPage::InitializeDisplay(type)) {
        LogWarn(LG_GENERAL, "kivoled: display type %d does not work; running without a display\n", type);
        return;
    }
    LogInfo(LG_GENERAL, "kivoled: display type %d, %dx%d\n", type, OLEDPage::GetLEDDisplayWidth(),
            OLEDPage::GetLEDDisplayHeight());
    OLEDPage::displayBootingNotice();
}

} // namespace

int main(int argc, char* argv[]) {
    (void)argc;
    installSignalHandlers();
    LoadSettings(argv[0]);
    startDisplay();

    auto pinProvider = std::make_unique<PiGPIOPinProvider>();
    PinCapabilities::InitGPIO("KIVOLED", pinProvider.get());
    OLEDButtons buttons;
    buttons.load(getKIVMediaDir("/config/kivoled.json"));

    DaemonLink daemon;
    daemon.start();
    {
        StatusMenu pages(daemon);
        pages.show();
        while (!stopRequested) {
            for (const std::string& action : buttons.poll(GetTimeMS())) {
                LogDebug(LG_GENERAL, "kivoled: button %s\n", action.c_str());
                pages.action(action);
            }
            pages.iterate();
            usleep(POLL_MS * 1000);
        }
    }
    daemon.stop();
    OLEDPage::displayOff();
    OLEDPage::InitializeDisplay(0);
    PinCapabilities::InitGPIO("KIVOLED", nullptr);
    LogInfo(LG_GENERAL, "kivoled: stopped\n");
    return 0;
}
