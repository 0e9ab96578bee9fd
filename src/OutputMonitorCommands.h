#pragma once
// The output monitor's four commands. Each is created with new and owned by the command manager
// once added (which deletes commands on removal), so the monitor creates them in Initialize and
// removes them by name in Cleanup. Results are plain text.
//
// The four classes are one small family run against OutputMonitor::INSTANCE, so they share this
// file pair.

#include "common/Command.h"

#include <string>
#include <vector>

// Arguments of "Test Start" for a pattern that makes smart receivers count the pixels they drive.
const std::vector<std::string>& PixelCountTestPattern();

// "Outputs On": EnableOutputs(), "OK".
class KIVEnableOutputsCommand : public Command {
public:
    KIVEnableOutputsCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

// "Outputs Off": DisableOutputs(), "OK".
class KIVDisableOutputsCommand : public Command {
public:
    KIVDisableOutputsCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

// "Set Port Status" (Port, on): "--ALL--" switches every output, a port name that port; "on" is
// "true" or "1". Fewer than two arguments: the error "Required arguments not provided".
class KIVEnablePortCommand : public Command {
public:
    KIVEnablePortCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};

// "Check Pixel Count" (Ports, Sensitivity, Action): starts a test pattern ("Test Start") so that
// receivers report live counts, and one second later compares the counts and stops the pattern
// ("Test Stop"), on the "CheckPixelCount" timer. Answers "OK" at once.
class KIVCheckConfiguredPixelsCommand : public Command {
public:
    KIVCheckConfiguredPixelsCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
