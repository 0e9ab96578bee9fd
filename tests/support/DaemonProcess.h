#pragma once
// Runs the real kivd binary as a child process with a given media directory, capturing its
// standard output and error (where a foreground daemon logs) into a file that tests can search.

#include <string>
#include <vector>

class DaemonProcess {
public:
    // binary: the program to run, kivd unless another one of the build (such as kivoled) is named.
    explicit DaemonProcess(const std::string& mediaDir, const std::string& binary = KIVD_BINARY);
    ~DaemonProcess(); // kills the daemon if it still runs

    // Starts KIVD_BINARY with the arguments (argv[0] added); false when fork/exec failed.
    bool start(const std::vector<std::string>& args = {"-f"});
    // Waits until the output contains text; false on time-out or when the daemon exited first.
    bool waitForOutput(const std::string& text, int timeoutMS = 10000);
    std::string output() const;
    // Offset-based search: waits for text appearing after position `from` of the output.
    bool waitForOutputAfter(size_t from, const std::string& text, int timeoutMS = 10000);

    void signal(int sig);
    // Waits for the process to exit; returns its exit status, or -1 on time-out (it keeps running).
    int waitForExit(int timeoutMS);
    bool running();
    int pid() const { return childPid; }

    // Runs kivd to completion with the arguments, returning its exit status and output.
    static int runToCompletion(const std::string& mediaDir, const std::vector<std::string>& args,
                               std::string& output, int timeoutMS = 10000);

private:
    std::string media;
    std::string program;
    std::string outputPath;
    int childPid = -1;
    int exitStatus = -1;
    bool exited = false;
};
