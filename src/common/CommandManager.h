#pragma once
// Runs commands by name and triggers presets; serves "/command", "/commands" and "/commandPresets".
//
// Presets live in media directory + "/config/commandPresets.json":
//   {"commands": [ {"name": "KIVD_STARTED", "command": "Outputs On", "args": ["Port 1"]}, ... ]}
// Every entry whose "name" equals the preset runs, in file order. In "command" and each argument,
// "%KEY%" is replaced by the value of KEY from the keyword map given to TriggerPreset.
// The command table is guarded by a mutex; commands run without it held. The manager owns every
// command added and deletes it on removeCommand and Cleanup.

#include "Command.h"
#include "httpserver/httpserver.h"

#include <list>
#include <map>
#include <mutex>

class CommandManager : public httpserver::http_resource {
public:
    static CommandManager INSTANCE;

    void Init();
    void Cleanup();

    void addCommand(Command* cmd);
    void removeCommand(Command* cmd);
    void removeCommand(const std::string& name);
    bool hasCommand(const std::string& name);

    // Unknown command: an ErrorResult "Unknown command: NAME".
    std::unique_ptr<Command::Result> run(const std::string& name, const std::vector<std::string>& args);
    // {"command": NAME, "args": [...]}; args may be numbers or booleans, read as text.
    std::unique_ptr<Command::Result> run(const Json::Value& command);
    // Runs the preset's commands; returns how many ran.
    int TriggerPreset(const std::string& name, const std::map<std::string, std::string>* keywords = nullptr);

    Json::Value getDescriptions();

    // A result that completes later (isDone false) is polled by its owner until done. Callers that
    // do not wait hand it here: the main loop's timers poll it until it is done or
    // RESULT_WAIT_MS have passed, then it is dropped.
    void finishLater(std::unique_ptr<Command::Result> result);
    // Polls until the result is done; false (the result left unfinished) after RESULT_WAIT_MS.
    static bool waitUntilDone(Command::Result& result);
    static constexpr int RESULT_WAIT_MS = 30000;

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::mutex lock;
    std::map<std::string, Command*> commands;
    std::shared_ptr<httpserver::http_response> runFromRequest(const httpserver::http_request& req);
    void pollUnfinished();

    struct Unfinished {
        std::unique_ptr<Command::Result> result;
        long long deadline; // GetTimeMS() time it is given up at
    };
    std::mutex unfinishedLock;
    std::list<Unfinished> unfinished; // guarded by unfinishedLock
};
