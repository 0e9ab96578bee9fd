#include "DaemonProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

DaemonProcess::DaemonProcess(const std::string& mediaDir, const std::string& binary)
    : media(mediaDir), program(binary) {
    char pattern[] = "/tmp/kivd-output-XXXXXX";
    int fd = mkstemp(pattern);
    if (fd >= 0) {
        close(fd);
    }
    outputPath = pattern;
}

DaemonProcess::~DaemonProcess() {
    if (childPid > 0 && running()) {
        kill(childPid, SIGKILL);
        waitForExit(5000);
    }
    std::remove(outputPath.c_str());
}

bool DaemonProcess::start(const std::vector<std::string>& args) {
    std::vector<std::string> argvStrings = {program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    childPid = fork();
    if (childPid < 0) {
        return false;
    }
    if (childPid == 0) {
        int fd = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        dup2(fd, 1);
        dup2(fd, 2);
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        setenv("KIV_MEDIA_DIR", media.c_str(), 1);
        std::vector<char*> argv;
        for (auto& s : argvStrings) {
            argv.push_back(const_cast<char*>(s.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    exited = false;
    return true;
}

std::string DaemonProcess::output() const {
    std::ifstream in(outputPath);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool DaemonProcess::waitForOutput(const std::string& text, int timeoutMS) {
    return waitForOutputAfter(0, text, timeoutMS);
}

bool DaemonProcess::waitForOutputAfter(size_t from, const std::string& text, int timeoutMS) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    while (std::chrono::steady_clock::now() < deadline) {
        std::string out = output();
        if (out.size() > from && out.find(text, from) != std::string::npos) {
            return true;
        }
        if (!running()) {
            out = output();
            return out.size() > from && out.find(text, from) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

void DaemonProcess::signal(int sig) {
    if (childPid > 0) {
        kill(childPid, sig);
    }
}

bool DaemonProcess::running() {
    if (childPid <= 0 || exited) {
        return false;
    }
    int status = 0;
    pid_t r = waitpid(childPid, &status, WNOHANG);
    if (r == childPid) {
        exited = true;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return r == 0;
}

int DaemonProcess::waitForExit(int timeoutMS) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMS);
    while (running()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return exited ? exitStatus : -1;
}

int DaemonProcess::runToCompletion(const std::string& mediaDir, const std::vector<std::string>& args,
                                   std::string& output, int timeoutMS) {
    DaemonProcess daemon(mediaDir);
    if (!daemon.start(args)) {
        return -1;
    }
    int status = daemon.waitForExit(timeoutMS);
    output = daemon.output();
    return status;
}
