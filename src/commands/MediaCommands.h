#pragma once
// The media, volume and URL commands of the command registry, and the show-media pair that plays
// one file (its video into an overlay model) in the running daemon.
//
// Background media started by "Play Media" is kept in runningCommandMedia by name (guarded by
// runningCommandMediaLock) until it ends; it deletes itself one timer tick after it stopped.

#include "common/Command.h"
#include "mediaoutput/VLCOut.h"

#include <curl/curl.h>

#include <map>
#include <mutex>
#include <string>

// Registers every command of this unit with the command manager.
void RegisterMediaCommands();
// Stops and deletes all background media (shutdown; the timers that would delete it no longer run).
void CleanupCommandMedia();

// One "Play Media" playback; owns its status record.
class VLCPlayData : public VLCOutput {
public:
    VLCPlayData(const std::string& mediaName, int loopCount, int volumeAdjust);
    ~VLCPlayData() override;

    const std::string mediaName;
    const int volumeAdjust;

protected:
    void Stopped() override;

private:
    MediaOutputStatus ownStatus;
};
extern std::map<std::string, VLCPlayData*> runningCommandMedia;
extern std::mutex runningCommandMediaLock;

// The result of a "URL" command: the response body once the transfer is done, with the server's
// content type. The command manager polls isDone.
class CURLResult : public Command::Result {
public:
    CURLResult(const std::string& url, const std::string& method, const std::string& data);
    ~CURLResult() override;
    bool isDone() override;
    // Also true when the transfer failed (no answer, refused, an error from libcurl).
    bool isError() override;

private:
    static size_t write(char* data, size_t size, size_t count, void* self);
    void cleanUp();

    CURL* easy = nullptr;
    CURLM* multi = nullptr;
    bool done = false;
    bool failed = false;
};

class KIVPlayMediaCommand : public Command {
public:
    KIVPlayMediaCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
class KIVStopMediaCommand : public Command {
public:
    KIVStopMediaCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
class KIVStopAllMediaCommand : public Command {
public:
    KIVStopAllMediaCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
class KIVSetVolumeCommand : public Command {
public:
    KIVSetVolumeCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
// "Volume Increase" and "Volume Adjust" (sign +1), "Volume Decrease" (sign -1).
class KIVAdjustVolumeCommand : public Command {
public:
    KIVAdjustVolumeCommand(const std::string& name, const std::string& description, int sign, int minimum);
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;

private:
    const int sign;
};
class KIVURLCommand : public Command {
public:
    KIVURLCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
// "Play Show Media" (media, optional model) and "Stop Show Media".
class KIVPlayShowMediaCommand : public Command {
public:
    KIVPlayShowMediaCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
class KIVStopShowMediaCommand : public Command {
public:
    KIVStopShowMediaCommand();
    std::unique_ptr<Result> run(const std::vector<std::string>& args) override;
};
