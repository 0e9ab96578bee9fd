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

    std::shared_ptr<httpserver::http_response> render_GET(const httpserver::http_request& req) override;
    std::shared_ptr<httpserver::http_response> render_POST(const httpserver::http_request& req) override;

private:
    std::mutex lock;
    std::map<std::string, Command*> commands;
    std::shared_ptr<httpserver::http_response> runFromRequest(const httpserver::http_request& req);
};
