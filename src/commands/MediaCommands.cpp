#include "MediaCommands.h"

#include "common/CommandManager.h"
#include "common/Common.h"
#include "common/Log.h"
#include "common/Timers.h"
#include "mediaoutput/MediaOutput.h"
#include "mediaoutput/ShowMedia.h"

#include <cstdio>
#include <cstdlib>
#include <set>

std::map<std::string, VLCPlayData*> runningCommandMedia;
std::mutex runningCommandMediaLock;

namespace {

std::set<VLCPlayData*> livePlayers; // every VLCPlayData not yet deleted; guarded by runningCommandMediaLock

int decimal(const std::string& text) {
    return static_cast<int>(strtol(text.c_str(), nullptr, 10));
}

std::string timerName(const VLCPlayData* player) {
    char name[48];
    snprintf(name, sizeof(name), "VLCPlayData-%p", static_cast<const void*>(player));
    return name;
}

} // namespace

// ---- background media ----

VLCPlayData::VLCPlayData(const std::string& name, int loopCount, int adjust)
    : VLCOutput(name, &ownStatus, "--hdmi--", loopCount), mediaName(name), volumeAdjust(adjust) {
    SetVolumeAdjustment(adjust);
    std::lock_guard<std::mutex> guard(runningCommandMediaLock);
    runningCommandMedia[mediaName] = this;
    livePlayers.insert(this);
}

VLCPlayData::~VLCPlayData() {
    Halt();
    std::lock_guard<std::mutex> guard(runningCommandMediaLock);
    livePlayers.erase(this);
    auto it = runningCommandMedia.find(mediaName);
    if (it != runningCommandMedia.end() && it->second == this) {
        runningCommandMedia.erase(it);
        LogDebug(LG_COMMAND, "Removed cached VLCPlayData for file: \"%s\"\n", mediaName.c_str());
    }
}

void VLCPlayData::Stopped() {
    VLCPlayData* self = this;
    Timers::INSTANCE.addTimer(timerName(this), GetTimeMS() + 1, [self] { delete self; });
}

void CleanupCommandMedia() {
    std::set<VLCPlayData*> players;
    {
        std::lock_guard<std::mutex> guard(runningCommandMediaLock);
        players = livePlayers;
    }
    for (VLCPlayData* player : players) {
        Timers::INSTANCE.stopTimer(timerName(player));
        delete player;
    }
}

KIVPlayMediaCommand::KIVPlayMediaCommand() : Command("Play Media", "Plays the media in the background") {
    args.push_back(CommandArg("media", "string", "Media").setContentListUrl("api/media"));
    args.push_back(CommandArg("loop", "int", "Loop Count").setRange(1, 100).setDefaultValue("1"));
    args.push_back(CommandArg("volume", "int", "Volume Adjust").setRange(-100, 100).setDefaultValue("0"));
}

std::unique_ptr<Command::Result> KIVPlayMediaCommand::run(const std::vector<std::string>& a) {
    if (a.empty()) {
        return std::make_unique<ErrorResult>("Invalid Number of Arguments");
    }
    int loop = a.size() > 1 ? decimal(a[1]) : 0;
    int volume = a.size() > 2 ? decimal(a[2]) : 0;
    auto* player = new VLCPlayData(a[0], loop >= 1 ? loop : 1, volume);
    // A player that cannot start has already asked to be deleted.
    if (!player->Start(0)) {
        return std::make_unique<ErrorResult>("Could not play " + a[0]);
    }
    return std::make_unique<Result>("Playing");
}

KIVStopMediaCommand::KIVStopMediaCommand()
    : Command("Stop Media", "Stops the media in the background started via a command") {
    args.push_back(CommandArg("media", "string", "Media").setContentListUrl("api/media"));
}

std::unique_ptr<Command::Result> KIVStopMediaCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 1) {
        return std::make_unique<Result>("Invalid Number of Arguments");
    }
    std::lock_guard<std::mutex> guard(runningCommandMediaLock);
    auto it = runningCommandMedia.find(a[0]);
    if (it == runningCommandMedia.end()) {
        LogInfo(LG_COMMAND, "Media: \"%s\" is not running so can't stop via command\n", a[0].c_str());
        return std::make_unique<Result>("Media Not Running");
    }
    it->second->Stop();
    return std::make_unique<Result>("Stopped");
}

KIVStopAllMediaCommand::KIVStopAllMediaCommand()
    : Command("Stop All Media", "Stops all running media was was created via a Command") {}

std::unique_ptr<Command::Result> KIVStopAllMediaCommand::run(const std::vector<std::string>&) {
    std::lock_guard<std::mutex> guard(runningCommandMediaLock);
    for (auto& [name, player] : runningCommandMedia) {
        LogDebug(LG_COMMAND, "Stopping: \"%s\"\n", name.c_str());
        player->Stop();
    }
    return std::make_unique<Result>("Stopped");
}

// ---- volume ----

KIVSetVolumeCommand::KIVSetVolumeCommand()
    : Command("Volume Set", "Sets the volume to the specific value. (0 - 100)") {
    args.push_back(CommandArg("volume", "int", "Volume")
                       .setRange(0, 100)
                       .setDefaultValue("70")
                       .setContentListUrl("api/kivd/volume?simple=true"));
}

std::unique_ptr<Command::Result> KIVSetVolumeCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 1) {
        return std::make_unique<ErrorResult>("Not found");
    }
    setVolume(decimal(a[0]));
    return std::make_unique<Result>("Volume Set");
}

KIVAdjustVolumeCommand::KIVAdjustVolumeCommand(const std::string& n, const std::string& description, int s,
                                               int minimum)
    : Command(n, description), sign(s) {
    args.push_back(CommandArg("volume", "int", "Volume").setRange(minimum, 100).setDefaultValue("0"));
}

std::unique_ptr<Command::Result> KIVAdjustVolumeCommand::run(const std::vector<std::string>& a) {
    if (a.size() != 1) {
        return std::make_unique<ErrorResult>("Not found");
    }
    setVolume(getVolume() + sign * decimal(a[0]));
    return std::make_unique<Result>("Volume Set");
}

// ---- URL ----

KIVURLCommand::KIVURLCommand() : Command("URL") {
    args.emplace_back("name", "string", "URL");
    args.push_back(
        CommandArg("method", "string", "Method").setContentList({"GET", "POST"}).setDefaultValue("GET"));
    args.emplace_back("data", "string", "Post Data");
}

std::unique_ptr<Command::Result> KIVURLCommand::run(const std::vector<std::string>& a) {
    std::string url = a.empty() ? "" : a[0];
    std::string method = a.size() > 1 && !a[1].empty() ? a[1] : "GET";
    std::string data = a.size() > 2 ? a[2] : "";
    return std::make_unique<CURLResult>(url, method, data);
}

CURLResult::CURLResult(const std::string& url, const std::string& method, const std::string& data) {
    LogDebug(LG_COMMAND, "URL: \"%s\"\n", url.c_str());
    easy = curl_easy_init();
    bool ok = easy != nullptr && curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_URL, url.c_str()) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CURLResult::write) == CURLE_OK &&
              curl_easy_setopt(easy, CURLOPT_WRITEDATA, this) == CURLE_OK;
    if (ok && method == "POST") {
        ok = curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE, static_cast<long>(data.size())) == CURLE_OK &&
             curl_easy_setopt(easy, CURLOPT_COPYPOSTFIELDS, data.c_str()) == CURLE_OK;
    }
    if (ok) {
        multi = curl_multi_init();
        ok = multi != nullptr && curl_multi_add_handle(multi, easy) == CURLM_OK;
    }
    if (!ok) {
        cleanUp();
    }
}

CURLResult::~CURLResult() {
    cleanUp();
}

void CURLResult::cleanUp() {
    if (multi != nullptr && easy != nullptr) {
        curl_multi_remove_handle(multi, easy);
    }
    if (easy != nullptr) {
        curl_easy_cleanup(easy);
    }
    if (multi != nullptr) {
        curl_multi_cleanup(multi);
    }
    easy = nullptr;
    multi = nullptr;
}

size_t CURLResult::write(char* data, size_t size, size_t count, void* self) {
    static_cast<CURLResult*>(self)->result.append(data, size * count);
    return size * count;
}

bool CURLResult::isError() {
    return easy == nullptr || multi == nullptr || failed;
}

bool CURLResult::isDone() {
    if (isError() || done) {
        return true;
    }
    int running = 0;
    if (curl_multi_perform(multi, &running) != CURLM_OK) {
        cleanUp();
        return true;
    }
    if (running > 0) {
        return false;
    }
    int left = 0;
    while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE) {
            continue;
        }
        // A transfer that got no answer must not read as an empty success.
        if (message->data.result != CURLE_OK) {
            failed = true;
            result = curl_easy_strerror(message->data.result);
            LogWarn(LG_COMMAND, "URL command failed: %s\n", result.c_str());
        }
        char* type = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
            resultType = type;
        }
    }
    done = true;
    return true;
}

// ---- show media ----

KIVPlayShowMediaCommand::KIVPlayShowMediaCommand()
    : Command("Play Show Media", "Plays a media file for the show, its video into an overlay model") {
    args.push_back(CommandArg("media", "string", "Media").setContentListUrl("api/media"));
    args.push_back(
        CommandArg("model", "string", "Video Model", true).setContentListUrl("api/models?simple=true"));
}

std::unique_ptr<Command::Result> KIVPlayShowMediaCommand::run(const std::vector<std::string>& a) {
    if (a.empty() || a.size() > 2 || a[0].empty()) {
        return std::make_unique<ErrorResult>("Invalid Number of Arguments");
    }
    std::string error;
    if (!ShowMediaPlayer::INSTANCE.play(a[0], a.size() > 1 ? a[1] : "", error)) {
        return std::make_unique<ErrorResult>(error);
    }
    return std::make_unique<Result>("Playing");
}

KIVStopShowMediaCommand::KIVStopShowMediaCommand()
    : Command("Stop Show Media", "Stops the media started by Play Show Media") {}

std::unique_ptr<Command::Result> KIVStopShowMediaCommand::run(const std::vector<std::string>&) {
    return std::make_unique<Result>(ShowMediaPlayer::INSTANCE.stop() ? "Stopped" : "Media Not Running");
}

void RegisterMediaCommands() {
    CommandManager& manager = CommandManager::INSTANCE;
    manager.addCommand(new KIVPlayMediaCommand());
    manager.addCommand(new KIVStopMediaCommand());
    manager.addCommand(new KIVStopAllMediaCommand());
    manager.addCommand(new KIVSetVolumeCommand());
    manager.addCommand(new KIVAdjustVolumeCommand(
        "Volume Increase", "Increases the volume by the given amount (0 - 100)", 1, 0));
    manager.addCommand(new KIVAdjustVolumeCommand(
        "Volume Decrease", "Decreases the volume by the given amount (0 - 100)", -1, 0));
    manager.addCommand(new KIVAdjustVolumeCommand(
        "Volume Adjust", "Adjust volume either up or down by the given amount. (-100 - 100)", 1, -100));
    manager.addCommand(new KIVURLCommand());
    manager.addCommand(new KIVPlayShowMediaCommand());
    manager.addCommand(new KIVStopShowMediaCommand());
}
