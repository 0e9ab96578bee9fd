#pragma once
// One page in headless Chromium (Debian's chromium), driven over the DevTools protocol through
// --remote-debugging-pipe: requests are JSON texts ending in a NUL byte written to the browser's
// descriptor 3, answers and events come back the same way on its descriptor 4. The browser gets
// a fresh profile folder and is killed with its process group on destruction.

#include <json/json.h>

#include <string>

class ChromiumPage {
public:
    ChromiumPage() = default;
    ~ChromiumPage();
    ChromiumPage(const ChromiumPage&) = delete;
    ChromiumPage& operator=(const ChromiumPage&) = delete;

    // Starts the browser with a window of width x height and opens url; false (with the reason in
    // error()) when the browser or the page cannot be reached.
    bool open(const std::string& url, int width = 1400, int height = 1000);
    // The value of a JavaScript expression (promises awaited), or null on failure.
    Json::Value evaluate(const std::string& expression);
    // A PNG of the visible page, empty on failure.
    std::string screenshot();
    // A real left click (press and release) at page coordinates.
    bool click(double x, double y);
    const std::string& error() const { return why; }

private:
    // Sends one command (to the page's session unless browser-wide) and waits for its answer.
    Json::Value call(const std::string& method, const Json::Value& params, bool toPage = true);
    bool readMessage(std::string& message, int timeoutMS);

    int pid = -1;
    int toBrowser = -1;
    int fromBrowser = -1;
    int nextId = 1;
    std::string session;
    std::string profile;
    std::string pending; // bytes read past the last whole message
    std::string why;
};
