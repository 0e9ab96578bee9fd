#include "common/CommandManager.h"
#include "common/Common.h"
#include "support/HttpClient.h"
#include "support/NetNamespace.h"
#include "support/TestMediaDir.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <stdexcept>

using httpserver::create_webserver;
using httpserver::webserver;

namespace {

// Answers with its arguments joined by "|", so order and count are visible; remembers each run.
class JoinCommand : public Command {
public:
    JoinCommand(const std::string& name, std::vector<std::string>* log = nullptr, bool* deleted = nullptr)
        : Command(name, "Joins its arguments"), runs(log), deletedFlag(deleted) {
        args.push_back(CommandArg("First", "string", "first piece"));
        args.push_back(
            CommandArg("Second", "int", "second piece", true).setRange(0, 10).setDefaultValue("5"));
    }
    ~JoinCommand() override {
        if (deletedFlag) {
            *deletedFlag = true;
        }
    }
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        std::string joined;
        for (size_t i = 0; i < a.size(); i++) {
            joined += (i ? "|" : "") + a[i];
        }
        if (runs) {
            runs->push_back(name + ":" + joined);
        }
        return std::make_unique<Result>(joined);
    }

private:
    std::vector<std::string>* runs;
    bool* deletedFlag;
};

class FailingCommand : public Command {
public:
    FailingCommand() : Command("Fail Port") {}
    std::unique_ptr<Result> run(const std::vector<std::string>& a) override {
        if (!a.empty() && a[0] == "throw") {
            throw std::runtime_error("port table missing");
        }
        return std::make_unique<ErrorResult>("Port 3 is not configured");
    }
};

class JsonCommand : public Command {
public:
    JsonCommand() : Command("Port Status") {}
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        return std::make_unique<Result>("{\"port\":1}", "application/json");
    }
};

class HiddenCommand : public Command {
public:
    HiddenCommand() : Command("Internal Reset") {}
    bool hidden() const override { return true; }
    std::unique_ptr<Result> run(const std::vector<std::string>&) override {
        return std::make_unique<Result>();
    }
};

Json::Value parse(const std::string& text) {
    Json::Value v;
    EXPECT_TRUE(LoadJsonFromString(text, v)) << text;
    return v;
}

// The manager is a process-wide singleton; every test starts it empty, with its own media folder.
class CommandManagerFixture : public ::testing::Test {
protected:
    void SetUp() override {
        media = std::make_unique<TestMediaDir>();
        CommandManager::INSTANCE.Init();
    }
    void TearDown() override {
        CommandManager::INSTANCE.Cleanup();
        media.reset();
    }
    void writePresets(const std::string& text) { media->write("config/commandPresets.json", text); }
    std::unique_ptr<TestMediaDir> media;
    std::vector<std::string> runs;
};

using CommandManagerRun = CommandManagerFixture;
using CommandManagerPresets = CommandManagerFixture;

} // namespace

TEST_F(CommandManagerRun, RunsACommandByNameWithItsArgumentsInOrder) {
    CommandManager::INSTANCE.addCommand(new JoinCommand("Join", &runs));
    std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run("Join", {"c", "a", "b"});
    EXPECT_FALSE(result->isError());
    EXPECT_EQ(result->get(), "c|a|b");
    EXPECT_EQ(runs, (std::vector<std::string>{"Join:c|a|b"}));
}

TEST_F(CommandManagerRun, AnswersAnUnknownCommandWithAnErrorNamingIt) {
    std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run("Nope", {});
    EXPECT_TRUE(result->isError());
    EXPECT_EQ(result->get(), "Unknown command: Nope");
}

TEST_F(CommandManagerRun, TurnsACommandThatThrowsIntoAnErrorResult) {
    CommandManager::INSTANCE.addCommand(new FailingCommand());
    std::unique_ptr<Command::Result> result = CommandManager::INSTANCE.run("Fail Port", {"throw"});
    EXPECT_TRUE(result->isError());
    EXPECT_EQ(result->get(), "port table missing");
}

TEST_F(CommandManagerRun, ReadsNumbersAndBooleansOfAJsonCommandAsText) {
    CommandManager::INSTANCE.addCommand(new JoinCommand("Join"));
    Json::Value command = parse(R"({"command": "Join", "args": [3, true, "x", 2.5]})");
    EXPECT_EQ(CommandManager::INSTANCE.run(command)->get(), "3|true|x|2.5");
}

TEST_F(CommandManagerRun, ReplacesAndDeletesACommandOfTheSameName) {
    bool oldDeleted = false;
    CommandManager::INSTANCE.addCommand(new JoinCommand("Join", &runs, &oldDeleted));
    CommandManager::INSTANCE.addCommand(new JoinCommand("Join"));
    EXPECT_TRUE(oldDeleted);
    CommandManager::INSTANCE.run("Join", {"a"});
    EXPECT_TRUE(runs.empty());
}

TEST_F(CommandManagerRun, DeletesRemovedCommandsAndAllOnCleanup) {
    bool firstDeleted = false, secondDeleted = false, thirdDeleted = false;
    Command* first = new JoinCommand("First", nullptr, &firstDeleted);
    CommandManager::INSTANCE.addCommand(first);
    CommandManager::INSTANCE.addCommand(new JoinCommand("Second", nullptr, &secondDeleted));
    CommandManager::INSTANCE.addCommand(new JoinCommand("Third", nullptr, &thirdDeleted));
    CommandManager::INSTANCE.removeCommand(first);
    CommandManager::INSTANCE.removeCommand("Second");
    EXPECT_TRUE(firstDeleted);
    EXPECT_TRUE(secondDeleted);
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("First"));
    EXPECT_TRUE(CommandManager::INSTANCE.hasCommand("Third"));
    CommandManager::INSTANCE.removeCommand(first); // already gone: must not be touched again
    CommandManager::INSTANCE.Cleanup();
    EXPECT_TRUE(thirdDeleted);
    EXPECT_FALSE(CommandManager::INSTANCE.hasCommand("Third"));
}

TEST(CommandDescription, ListsArgumentsWithOnlyTheDetailsThatWereSet) {
    JoinCommand cmd("Join");
    cmd.args.push_back(Command::CommandArg("Port", "string", "which port")
                           .setContentList({"Port 1", "Port 2"})
                           .setContentListUrl("/api/ports"));
    Json::Value d = cmd.getDescription();
    EXPECT_EQ(d["name"].asString(), "Join");
    EXPECT_EQ(d["description"].asString(), "Joins its arguments");
    EXPECT_FALSE(d.isMember("hidden"));
    ASSERT_EQ(d["args"].size(), 3u);
    const Json::Value& plain = d["args"][0];
    EXPECT_EQ(plain["name"].asString(), "First");
    EXPECT_EQ(plain["type"].asString(), "string");
    EXPECT_FALSE(plain["optional"].asBool());
    for (const char* absent : {"min", "max", "default", "contentList", "contentListUrl"}) {
        EXPECT_FALSE(plain.isMember(absent)) << absent;
    }
    const Json::Value& ranged = d["args"][1];
    EXPECT_TRUE(ranged["optional"].asBool());
    EXPECT_EQ(ranged["min"].asInt(), 0);
    EXPECT_EQ(ranged["max"].asInt(), 10);
    EXPECT_EQ(ranged["default"].asString(), "5");
    EXPECT_EQ(d["args"][2]["contentList"][1].asString(), "Port 2");
    EXPECT_EQ(d["args"][2]["contentListUrl"].asString(), "/api/ports");
}

TEST_F(CommandManagerPresets, RunsEveryMatchingEntryInFileOrderWithKeywordsSubstituted) {
    CommandManager::INSTANCE.addCommand(new JoinCommand("Port On", &runs));
    CommandManager::INSTANCE.addCommand(new JoinCommand("Notify", &runs));
    writePresets(R"({"commands": [
        {"name": "EFUSE_TRIGGERED", "command": "Port On", "args": ["%PORT%", "%PORT%-%CURRENT%mA"]},
        {"name": "KIVD_STARTED", "command": "Notify", "args": ["started"]},
        {"name": "EFUSE_TRIGGERED", "command": "Notify", "args": ["%UNKNOWN%", 7]}
    ]})");
    std::map<std::string, std::string> keywords{{"PORT", "Port 4"}, {"CURRENT", "1200"}};
    EXPECT_EQ(CommandManager::INSTANCE.TriggerPreset("EFUSE_TRIGGERED", &keywords), 2);
    EXPECT_EQ(runs, (std::vector<std::string>{"Port On:Port 4|Port 4-1200mA", "Notify:%UNKNOWN%|7"}));
}

TEST_F(CommandManagerPresets, CountsEntriesWhoseCommandIsMissing) {
    writePresets(R"({"commands": [{"name": "OUTPUTS_ENABLED", "command": "Gone", "args": []}]})");
    EXPECT_EQ(CommandManager::INSTANCE.TriggerPreset("OUTPUTS_ENABLED"), 1);
    EXPECT_EQ(CommandManager::INSTANCE.TriggerPreset("NOT_CONFIGURED"), 0);
}

TEST_F(CommandManagerPresets, RunsNothingWithoutAReadablePresetsFile) {
    CommandManager::INSTANCE.addCommand(new JoinCommand("Notify", &runs));
    EXPECT_EQ(CommandManager::INSTANCE.TriggerPreset("KIVD_STARTED"), 0);
    writePresets("{\"commands\": [ {\"name\": \"KIVD_STARTED\", ");
    EXPECT_EQ(CommandManager::INSTANCE.TriggerPreset("KIVD_STARTED"), 0);
    EXPECT_TRUE(runs.empty());
}

TEST_F(CommandManagerPresets, RereadsThePresetsFileAtEachTrigger) {
    CommandManager::INSTANCE.addCommand(new JoinCommand("Notify", &runs));
    writePresets(R"({"commands": [{"name": "A", "command": "Notify", "args": ["first"]}]})");
    CommandManager::INSTANCE.TriggerPreset("A");
    writePresets(R"({"commands": [{"name": "A", "command": "Notify", "args": ["second"]}]})");
    CommandManager::INSTANCE.TriggerPreset("A");
    EXPECT_EQ(runs, (std::vector<std::string>{"Notify:first", "Notify:second"}));
}

namespace {

// The manager served the way the API server serves it, on loopback in a private namespace.
class CommandManagerHttp : public CommandManagerFixture {
protected:
    static void SetUpTestSuite() { ASSERT_TRUE(EnterPrivateNetworkNamespace()); }
    void SetUp() override {
        CommandManagerFixture::SetUp();
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        server = std::make_unique<webserver>(
            create_webserver(32322).bind_address(reinterpret_cast<sockaddr*>(&addr)).max_threads(2));
        for (const char* prefix : {"/command", "/commands", "/commandPresets"}) {
            server->register_resource(prefix, &CommandManager::INSTANCE, true);
        }
        ASSERT_TRUE(server->start());
        CommandManager::INSTANCE.addCommand(new JoinCommand("Join", &runs));
        CommandManager::INSTANCE.addCommand(new FailingCommand());
        CommandManager::INSTANCE.addCommand(new JsonCommand());
        CommandManager::INSTANCE.addCommand(new HiddenCommand());
    }
    void TearDown() override {
        server->stop();
        CommandManagerFixture::TearDown();
    }
    std::unique_ptr<webserver> server;
};

HttpResult Get(const std::string& path) {
    return HttpGet("http://127.0.0.1:32322" + path);
}
HttpResult Post(const std::string& path, const std::string& body) {
    return HttpPost("http://127.0.0.1:32322" + path, body);
}

} // namespace

TEST_F(CommandManagerHttp, RunsACommandFromTheDecodedPathPieces) {
    HttpResult reply = Get("/command/Join/Port%201//last%20one");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "Port 1||last one");
    EXPECT_EQ(reply.contentType, "text/plain");
    EXPECT_EQ(Post("/command/Join/x/y", "").body, "x|y");
}

TEST_F(CommandManagerHttp, RunsACommandPostedAsJson) {
    HttpResult reply = Post("/command", R"({"command": "Join", "args": ["a", 2, false]})");
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "a|2|false");
}

TEST_F(CommandManagerHttp, RefusesAPostBodyThatIsNotJson) {
    HttpResult reply = Post("/command", "{\"command\": ");
    EXPECT_EQ(reply.status, 400);
    EXPECT_EQ(reply.contentType, "text/plain");
    EXPECT_TRUE(runs.empty());
}

TEST_F(CommandManagerHttp, AnswersAnUnknownCommandWithA404Json) {
    for (HttpResult reply : {Get("/command/No%20Such"), Post("/command", R"({"command": "No Such"})"),
                             Get("/commands/No%20Such")}) {
        EXPECT_EQ(reply.status, 404);
        EXPECT_EQ(reply.contentType, "application/json");
        Json::Value v = parse(reply.body);
        EXPECT_EQ(v["Status"].asString(), "ERROR");
        EXPECT_EQ(v["Message"].asString(), "Unknown command: No Such");
    }
}

TEST_F(CommandManagerHttp, AnswersAnErrorResultWithA500AndItsText) {
    HttpResult reply = Get("/command/Fail%20Port");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "Port 3 is not configured");
    reply = Get("/command/Fail%20Port/throw");
    EXPECT_EQ(reply.status, 500);
    EXPECT_EQ(reply.body, "port table missing");
}

TEST_F(CommandManagerHttp, AnswersWithTheResultsContentType) {
    HttpResult reply = Get("/command/Port%20Status");
    EXPECT_EQ(reply.contentType, "application/json");
    EXPECT_EQ(parse(reply.body)["port"].asInt(), 1);
}

TEST_F(CommandManagerHttp, ListsVisibleCommandsSortedByName) {
    HttpResult reply = Get("/commands");
    EXPECT_EQ(reply.contentType, "application/json");
    Json::Value list = parse(reply.body);
    std::vector<std::string> names;
    for (const Json::Value& d : list) {
        names.push_back(d["name"].asString());
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Fail Port", "Join", "Port Status"}));
    EXPECT_EQ(parse(Get("/commands/Join").body)["args"][1]["name"].asString(), "Second");
}

TEST_F(CommandManagerHttp, ListsEachPresetNameOnce) {
    EXPECT_EQ(parse(Get("/commandPresets").body).size(), 0u);
    writePresets(R"({"commands": [{"name": "ZED", "command": "Join"}, {"name": "ALPHA", "command": "Join"},
                                  {"name": "ZED", "command": "Join", "args": ["again"]}]})");
    Json::Value names = parse(Get("/commandPresets").body);
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0].asString(), "ALPHA");
    EXPECT_EQ(names[1].asString(), "ZED");
}

TEST_F(CommandManagerHttp, RefusesMethodsItDoesNotServe) {
    EXPECT_EQ(HttpRequest("DELETE", "http://127.0.0.1:32322/command/Join").status, 405);
    EXPECT_EQ(Post("/commands", "{}").status, 405);
}
