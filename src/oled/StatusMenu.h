#pragma once
// What the status program shows: a status page (host name, IPv4 addresses, the daemon's mode and
// status) and a menu reached from it with "Enter": status, network, outputs on and off, and a
// restart of the daemon behind a yes/no prompt. StatusMenu owns every page and talks to the
// daemon only through the DaemonLink it is given (not owned). Main thread only.

#include "DaemonLink.h"
#include "OLEDPages.h"

#include <memory>

// The host name, then one line per IPv4 address other than loopback's.
std::vector<std::string> NetworkLines();

class StatusPage : public TitledOLEDPage {
public:
    StatusPage(DaemonLink& link, OLEDPage*& menu);

    void displaying() override;
    void display() override;
    bool doIteration(bool& redisplay) override;
    bool doAction(const std::string& action) override;

    // The lines under the title, as shown.
    std::vector<std::string> lines() const;

private:
    DaemonLink& daemon;
    OLEDPage*& menuPage;
    DaemonStatus shown;
    std::vector<std::string> network;
    long long lastRefreshMS = 0;
};

// A prompt that "Back" leaves for the page it came from.
class ReturningPromptPage : public PromptOLEDPage {
public:
    ReturningPromptPage(const std::string& title, const std::string& line1,
                        const std::vector<std::string>& options, const Callback& callback,
                        OLEDPage* returnPage);
    bool doAction(const std::string& action) override;

private:
    OLEDPage* returnPage;
};

class StatusMenu {
public:
    explicit StatusMenu(DaemonLink& link);
    ~StatusMenu(); // leaves no page current
    // Makes the status page current.
    void show();
    // Hands a button action to the current page.
    void action(const std::string& name);
    // Periodic work of the current page, redrawing it when it asks.
    void iterate();

private:
    void menuChoice(const std::string& item);

    DaemonLink& daemon;
    OLEDPage* menuPointer = nullptr; // for the status page, set once the menu exists
    std::unique_ptr<StatusPage> status;
    std::unique_ptr<MenuOLEDPage> menu;
    std::unique_ptr<ListOLEDPage> networkPage;
    std::unique_ptr<ReturningPromptPage> restartPrompt;
};
