#include "ChromiumPage.h"

#include "common/Common.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <vector>

namespace {
constexpr int CALL_TIMEOUT_MS = 20000;

std::string base64Decode(const std::string& text) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') {
            return c - 'A';
        }
        if (c >= 'a' && c <= 'z') {
            return c - 'a' + 26;
        }
        if (c >= '0' && c <= '9') {
            return c - '0' + 52;
        }
        return c == '+' ? 62 : c == '/' ? 63 : -1;
    };
    std::string out;
    int bits = 0, buffer = 0;
    for (char c : text) {
        int v = value(c);
        if (v < 0) {
            continue;
        }
        buffer = (buffer << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(char((buffer >> bits) & 0xFF));
        }
    }
    return out;
}
} // namespace

ChromiumPage::~ChromiumPage() {
    if (pid > 0) {
        kill(-pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (toBrowser >= 0) {
        close(toBrowser);
    }
    if (fromBrowser >= 0) {
        close(fromBrowser);
    }
    if (!profile.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(profile, ignored);
    }
}

bool ChromiumPage::open(const std::string& url, int width, int height) {
    char folder[] = "/tmp/kiv-chromium-XXXXXX";
    if (!mkdtemp(folder)) {
        why = "no profile folder";
        return false;
    }
    profile = folder;
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) {
        why = "no pipes";
        return false;
    }
    std::vector<std::string> args = {"/usr/bin/chromium",
                                     "--headless",
                                     "--no-sandbox",
                                     "--disable-gpu",
                                     "--remote-debugging-pipe",
                                     "--no-first-run",
                                     "--disable-extensions",
                                     "--force-device-scale-factor=1",
                                     "--hide-scrollbars",
                                     "--force-color-profile=srgb",
                                     "--user-data-dir=" + profile,
                                     "--window-size=" + std::to_string(width) + "," + std::to_string(height),
                                     "about:blank"};
    // Built before the fork: the child of a process with threads must not allocate.
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // its helpers go with it when the test kills the group
        dup2(in[0], 3);
        dup2(out[1], 4);
        int devNull = ::open("/dev/null", O_RDWR);
        dup2(devNull, 0);
        dup2(devNull, 1);
        dup2(devNull, 2);
        for (int fd = 5; fd < 1024; fd++) {
            close(fd);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toBrowser = in[1];
    fromBrowser = out[0];
    if (pid < 0) {
        why = "fork failed";
        return false;
    }
    Json::Value params;
    params["url"] = url;
    Json::Value target = call("Target.createTarget", params, false);
    Json::Value attach;
    attach["targetId"] = target["targetId"];
    attach["flatten"] = true;
    session = call("Target.attachToTarget", attach, false)["sessionId"].asString();
    if (session.empty()) {
        why = "could not attach to the page: " + why;
        return false;
    }
    return true;
}

bool ChromiumPage::readMessage(std::string& message, int timeoutMS) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    for (;;) {
        size_t nul = pending.find('\0');
        if (nul != std::string::npos) {
            message = pending.substr(0, nul);
            pending.erase(0, nul + 1);
            return true;
        }
        int left =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                    .count());
        pollfd p{fromBrowser, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            return false;
        }
        char buffer[65536];
        ssize_t n = read(fromBrowser, buffer, sizeof(buffer));
        if (n <= 0) {
            return false;
        }
        pending.append(buffer, size_t(n));
    }
}

Json::Value ChromiumPage::call(const std::string& method, const Json::Value& params, bool toPage) {
    Json::Value request;
    int id = nextId++;
    request["id"] = id;
    request["method"] = method;
    request["params"] = params.isNull() ? Json::Value(Json::objectValue) : params;
    if (toPage) {
        request["sessionId"] = session;
    }
    std::string text = SaveJsonToString(request, "");
    text.push_back('\0');
    if (write(toBrowser, text.data(), text.size()) != ssize_t(text.size())) {
        why = "the browser is gone";
        return Json::Value();
    }
    std::string message;
    while (readMessage(message, CALL_TIMEOUT_MS)) {
        Json::Value answer;
        if (!LoadJsonFromString(message, answer) || answer["id"].asInt() != id) {
            continue; // an event, or an answer to an earlier call
        }
        if (answer.isMember("error")) {
            why = method + ": " + answer["error"]["message"].asString();
            return Json::Value();
        }
        return answer["result"];
    }
    why = method + ": no answer";
    return Json::Value();
}

Json::Value ChromiumPage::evaluate(const std::string& expression) {
    Json::Value params;
    params["expression"] = expression;
    params["returnByValue"] = true;
    params["awaitPromise"] = true;
    Json::Value result = call("Runtime.evaluate", params);
    if (result.isMember("exceptionDetails")) {
        why = "script failed: " + result["exceptionDetails"]["text"].asString();
        return Json::Value();
    }
    return result["result"]["value"];
}

std::string ChromiumPage::screenshot() {
    Json::Value params;
    params["format"] = "png";
    return base64Decode(call("Page.captureScreenshot", params)["data"].asString());
}

bool ChromiumPage::click(double x, double y) {
    for (const char* type : {"mouseMoved", "mousePressed", "mouseReleased"}) {
        Json::Value params;
        params["type"] = type;
        params["x"] = x;
        params["y"] = y;
        params["button"] = std::string(type) == "mouseMoved" ? "none" : "left";
        params["clickCount"] = 1;
        if (call("Input.dispatchMouseEvent", params).isNull()) {
            return false;
        }
    }
    return true;
}
