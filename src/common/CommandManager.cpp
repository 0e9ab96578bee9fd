// The command table, presets and the "/command", "/commands" and "/commandPresets" resources.
#include "CommandManager.h"

#include "Common.h"
#include "ConfigChecks.h"
#include "Log.h"

#include <exception>
#include <set>

CommandManager CommandManager::INSTANCE;

namespace {

using httpserver::http_response;
using httpserver::string_response;

std::string presetsFile() {
    return getKIVMediaDir("/config/commandPresets.json");
}

// Numbers and booleans read as their text; anything structured as its compact JSON.
std::string argumentText(const Json::Value& value) {
    if (value.isNull()) {
        return "";
    }
    if (value.isArray() || value.isObject()) {
        return SaveJsonToString(value, "");
    }
    return value.asString();
}

std::string substitute(std::string text, const std::map<std::string, std::string>* keywords) {
    if (keywords == nullptr) {
        return text;
    }
    for (const auto& [key, value] : *keywords) {
        const std::string marker = "%" + key + "%";
        for (size_t at = text.find(marker); at != std::string::npos;
             at = text.find(marker, at + value.size())) {
            text.replace(at, marker.size(), value);
        }
    }
    return text;
}

// The preset entries, or an empty array when the file is missing (a normal state) or invalid.
Json::Value loadPresetEntries() {
    const std::string path = presetsFile();
    if (!FileExists(path)) {
        return Json::Value(Json::arrayValue);
    }
    Json::Value root;
    if (!LoadJsonFromFile(path, root) ||
        !ConfigValueIs(root, Json::objectValue, path, CONFIG_TOP_LEVEL, LG_COMMAND)) {
        LogErr(LG_COMMAND, "Could not read command presets from %s\n", path.c_str());
        return Json::Value(Json::arrayValue);
    }
    Json::Value entries(Json::arrayValue);
    if (!ConfigValueIs(root["commands"], Json::arrayValue, path, "commands", LG_COMMAND)) {
        return entries;
    }
    for (const Json::Value& entry : root["commands"]) {
        if (ConfigValueIs(entry, Json::objectValue, path, "commands", LG_COMMAND)) {
            entries.append(entry);
        }
    }
    return entries;
}

Json::Value substitutedEntry(const Json::Value& entry, const std::map<std::string, std::string>* keywords) {
    Json::Value command;
    command["command"] = substitute(argumentText(entry["command"]), keywords);
    command["args"] = Json::Value(Json::arrayValue);
    for (const Json::Value& arg : entry["args"]) {
        command["args"].append(substitute(argumentText(arg), keywords));
    }
    return command;
}

std::unique_ptr<Command::Result> unknownCommand(const std::string& name) {
    LogWarn(LG_COMMAND, "Unknown command: %s\n", name.c_str());
    return std::make_unique<Command::ErrorResult>("Unknown command: " + name);
}

std::shared_ptr<http_response> jsonResponse(const Json::Value& value, int code = 200) {
    return std::make_shared<string_response>(SaveJsonToString(value, ""), code, "application/json");
}

std::shared_ptr<http_response> unknownCommandResponse(const std::string& name) {
    LogWarn(LG_COMMAND, "Unknown command: %s\n", name.c_str());
    Json::Value body;
    body["Status"] = "ERROR";
    body["Message"] = "Unknown command: " + name;
    return jsonResponse(body, 404);
}

std::shared_ptr<http_response> plainResponse(const std::string& text, int code) {
    return std::make_shared<string_response>(text, code, "text/plain");
}

// Splits what follows "/command/" into the name and its arguments. Empty pieces between slashes
// are kept as empty arguments so later arguments keep their positions; a trailing slash adds none.
// The server hands over the path percent-decoded, so "%2F" splits like "/": a name or argument
// holding a "/" has to come as a posted JSON command.
std::vector<std::string> commandPieces(const std::string& path) {
    const std::string prefix = "/command/";
    std::vector<std::string> pieces;
    if (!startsWith(path, prefix)) {
        return pieces;
    }
    std::string rest = path.substr(prefix.size());
    if (endsWith(rest, "/")) {
        rest.pop_back();
    }
    size_t start = 0;
    for (size_t slash = rest.find('/'); slash != std::string::npos; slash = rest.find('/', start)) {
        pieces.push_back(rest.substr(start, slash - start));
        start = slash + 1;
    }
    pieces.push_back(rest.substr(start));
    return pieces;
}

} // namespace

void CommandManager::Init() {
    LogDebug(LG_COMMAND, "Command manager ready, presets from %s\n", presetsFile().c_str());
}

void CommandManager::Cleanup() {
    std::map<std::string, Command*> removed;
    {
        std::lock_guard<std::mutex> guard(lock);
        removed.swap(commands);
    }
    for (auto& [name, cmd] : removed) {
        delete cmd;
    }
}

void CommandManager::addCommand(Command* cmd) {
    if (cmd == nullptr) {
        return;
    }
    Command* replaced;
    {
        std::lock_guard<std::mutex> guard(lock);
        Command*& slot = commands[cmd->name];
        replaced = slot;
        slot = cmd;
    }
    if (replaced != cmd) {
        delete replaced;
    }
}

// Looks the command up by address only: a caller may hold a pointer the manager already deleted
// (replaced or cleaned up), which must not be touched.
void CommandManager::removeCommand(Command* cmd) {
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = commands.begin(); it != commands.end(); ++it) {
            if (it->second == cmd) {
                commands.erase(it);
                found = true;
                break;
            }
        }
    }
    if (found) {
        delete cmd;
    }
}

void CommandManager::removeCommand(const std::string& name) {
    Command* removed = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = commands.find(name);
        if (it == commands.end()) {
            return;
        }
        removed = it->second;
        commands.erase(it);
    }
    delete removed;
}

bool CommandManager::hasCommand(const std::string& name) {
    std::lock_guard<std::mutex> guard(lock);
    return commands.count(name) > 0;
}

std::unique_ptr<Command::Result> CommandManager::run(const std::string& name,
                                                     const std::vector<std::string>& args) {
    Command* cmd = nullptr;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = commands.find(name);
        if (it != commands.end()) {
            cmd = it->second;
        }
    }
    if (cmd == nullptr) {
        return unknownCommand(name);
    }
    try {
        std::unique_ptr<Command::Result> result = cmd->run(args);
        if (result) {
            return result;
        }
        return std::make_unique<Command::ErrorResult>("Command " + name + " gave no result");
    } catch (const std::exception& e) {
        LogErr(LG_COMMAND, "Command %s failed: %s\n", name.c_str(), e.what());
        return std::make_unique<Command::ErrorResult>(e.what());
    }
}

std::unique_ptr<Command::Result> CommandManager::run(const Json::Value& command) {
    if (!command.isObject()) {
        return std::make_unique<Command::ErrorResult>("A command must be a JSON object");
    }
    std::vector<std::string> args;
    for (const Json::Value& arg : command["args"]) {
        args.push_back(argumentText(arg));
    }
    return run(argumentText(command["command"]), args);
}

int CommandManager::TriggerPreset(const std::string& name,
                                  const std::map<std::string, std::string>* keywords) {
    int count = 0;
    for (const Json::Value& entry : loadPresetEntries()) {
        if (argumentText(entry["name"]) != name) {
            continue;
        }
        Json::Value command = substitutedEntry(entry, keywords);
        LogDebug(LG_COMMAND, "Preset %s runs %s\n", name.c_str(), SaveJsonToString(command, "").c_str());
        std::unique_ptr<Command::Result> result = run(command);
        if (result->isError()) {
            LogWarn(LG_COMMAND, "Preset %s: %s\n", name.c_str(), result->get().c_str());
        }
        count++;
    }
    return count;
}

Json::Value CommandManager::getDescriptions() {
    Json::Value list(Json::arrayValue);
    std::lock_guard<std::mutex> guard(lock);
    for (const auto& [name, cmd] : commands) {
        if (!cmd->hidden()) {
            list.append(cmd->getDescription());
        }
    }
    return list;
}

std::shared_ptr<http_response> CommandManager::render_GET(const httpserver::http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.empty()) {
        return plainResponse("Not Found", 404);
    }
    if (pieces[0] == "command") {
        return runFromRequest(req);
    }
    if (pieces[0] == "commandPresets") {
        std::set<std::string> names;
        for (const Json::Value& entry : loadPresetEntries()) {
            names.insert(argumentText(entry["name"]));
        }
        Json::Value list(Json::arrayValue);
        for (const std::string& n : names) {
            list.append(n);
        }
        return jsonResponse(list);
    }
    if (pieces[0] != "commands") {
        return plainResponse("Not Found", 404);
    }
    if (pieces.size() == 1) {
        return jsonResponse(getDescriptions());
    }
    const std::string name = req.get_path().substr(std::string("/commands/").size());
    std::lock_guard<std::mutex> guard(lock);
    auto it = commands.find(name);
    if (it == commands.end()) {
        return unknownCommandResponse(name);
    }
    return jsonResponse(it->second->getDescription());
}

std::shared_ptr<http_response> CommandManager::render_POST(const httpserver::http_request& req) {
    std::vector<std::string> pieces = req.get_path_pieces();
    if (pieces.empty() || pieces[0] != "command") {
        return httpserver::http_resource::render_POST(req);
    }
    return runFromRequest(req);
}

// The command comes from the path ("/command/NAME/ARG...") or, for a bare "/command" POST, from a
// {"command", "args"} body. An unknown name is told apart from a failing command by a 404.
std::shared_ptr<http_response> CommandManager::runFromRequest(const httpserver::http_request& req) {
    Json::Value command;
    std::vector<std::string> pieces = commandPieces(req.get_path());
    if (!pieces.empty()) {
        command["command"] = pieces[0];
        command["args"] = Json::Value(Json::arrayValue);
        for (size_t i = 1; i < pieces.size(); i++) {
            command["args"].append(pieces[i]);
        }
    } else if (req.get_method() != "POST") {
        return plainResponse("No command given", 400);
    } else if (!LoadJsonFromString(req.get_content(), command) || !command.isObject()) {
        LogErr(LG_COMMAND, "Error parsing POST content\n");
        return plainResponse("Error parsing POST content", 400);
    }
    const std::string name = argumentText(command["command"]);
    if (!hasCommand(name)) {
        return unknownCommandResponse(name);
    }
    std::unique_ptr<Command::Result> result = run(command);
    return std::make_shared<string_response>(result->get(), result->isError() ? 500 : 200,
                                             result->contentType());
}
