#include "StatusMenu.h"

#include "common/Common.h"
#include "platform/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>

namespace {
constexpr int REFRESH_MS = 1000;
} // namespace

std::vector<std::string> NetworkLines() {
    char host[256] = {0};
    gethostname(host, sizeof(host) - 1);
    std::vector<std::string> lines = {host};
    for (const IPv4Interface& i : GetIPv4Interfaces()) {
        char text[INET_ADDRSTRLEN] = {0};
        if (i.name != "lo" && inet_ntop(AF_INET, &i.address, text, sizeof(text))) {
            lines.emplace_back(text);
        }
    }
    return lines;
}

StatusPage::StatusPage(DaemonLink& link, OLEDPage*& menu)
    : TitledOLEDPage("Status"), daemon(link), menuPage(menu) {}

void StatusPage::displaying() {
    shown = daemon.status();
    network = NetworkLines();
    lastRefreshMS = GetTimeMS();
    display();
}

// The daemon's lines matter most: on a short display the addresses give way, not them.
std::vector<std::string> StatusPage::lines() const {
    std::vector<std::string> daemonLines = {"kivd not running"};
    if (shown.answering) {
        daemonLines = {"Mode: " + shown.mode, "Status: " + shown.status};
    }
    size_t room = std::max(contentLines - (int)daemonLines.size(), 0);
    std::vector<std::string> result(network.begin(), network.begin() + std::min(room, network.size()));
    result.insert(result.end(), daemonLines.begin(), daemonLines.end());
    return result;
}

void StatusPage::display() {
    if (IsForcedOff()) {
        return;
    }
    clearDisplay();
    int y = displayTitle();
    std::vector<std::string> text = lines();
    for (size_t i = 0; i < text.size() && (int)i < contentLines; i++, y += linePitch()) {
        printString(textX(), y, text[i]);
    }
    flushDisplay();
}

bool StatusPage::doIteration(bool& redisplay) {
    long long now = GetTimeMS();
    if (now - lastRefreshMS < REFRESH_MS) {
        return false;
    }
    lastRefreshMS = now;
    DaemonStatus fresh = daemon.status();
    std::vector<std::string> freshNetwork = NetworkLines();
    redisplay = !(fresh == shown) || freshNetwork != network;
    shown = fresh;
    network = freshNetwork;
    return true;
}

bool StatusPage::doAction(const std::string& action) {
    if (action == "Enter" && menuPage) {
        SetCurrentPage(menuPage);
    }
    return true;
}

ReturningPromptPage::ReturningPromptPage(const std::string& title, const std::string& line1,
                                         const std::vector<std::string>& options, const Callback& callback,
                                         OLEDPage* back)
    : PromptOLEDPage(title, line1, "", options, callback), returnPage(back) {}

bool ReturningPromptPage::doAction(const std::string& action) {
    if (action == "Back") {
        SetCurrentPage(returnPage);
        return true;
    }
    return PromptOLEDPage::doAction(action);
}

StatusMenu::StatusMenu(DaemonLink& link) : daemon(link) {
    status = std::make_unique<StatusPage>(daemon, menuPointer);
    menu = std::make_unique<MenuOLEDPage>(
        "Menu", std::vector<std::string>{"Status", "Network", "Outputs On", "Outputs Off", "Restart kivd"},
        [this](const std::string& item) { menuChoice(item); }, status.get());
    menuPointer = menu.get();
    networkPage = std::make_unique<ListOLEDPage>("Network", NetworkLines(), menu.get());
    restartPrompt = std::make_unique<ReturningPromptPage>(
        "Restart", "Restart kivd?", std::vector<std::string>{"No", "Yes"},
        [this](const std::string& answer) {
            if (answer == "Yes") {
                daemon.post("/kivd/restart", "{}");
                OLEDPage::SetCurrentPage(status.get());
            } else {
                OLEDPage::SetCurrentPage(menu.get());
            }
        },
        menu.get());
}

StatusMenu::~StatusMenu() {
    OLEDPage::SetCurrentPage(nullptr);
}

void StatusMenu::show() {
    OLEDPage::SetCurrentPage(status.get());
}

void StatusMenu::menuChoice(const std::string& item) {
    if (item == "Network") {
        networkPage->setItems(NetworkLines());
        OLEDPage::SetCurrentPage(networkPage.get());
    } else if (item == "Outputs On" || item == "Outputs Off") {
        daemon.post("/command", "{\"command\": \"" + item + "\", \"args\": []}");
        OLEDPage::SetCurrentPage(status.get());
    } else if (item == "Restart kivd") {
        OLEDPage::SetCurrentPage(restartPrompt.get());
    } else {
        OLEDPage::SetCurrentPage(status.get());
    }
}

void StatusMenu::action(const std::string& name) {
    if (OLEDPage* page = OLEDPage::GetCurrentPage()) {
        page->doAction(name);
    }
}

void StatusMenu::iterate() {
    OLEDPage* page = OLEDPage::GetCurrentPage();
    bool redisplay = false;
    if (page && page->doIteration(redisplay) && redisplay) {
        page->display();
    }
}
