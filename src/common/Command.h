#pragma once
// Base of every command that the command manager runs by name (from the API, presets, MQTT).

#include <jsoncpp/json/json.h>

#include <list>
#include <memory>
#include <string>
#include <vector>

class Command {
public:
    class CommandArg {
    public:
        CommandArg(const std::string& n, const std::string& t, const std::string& d, bool opt = false)
            : name(n), type(t), description(d), optional(opt) {}
        CommandArg& setRange(int mn, int mx) {
            min = mn;
            max = mx;
            return *this;
        }
        CommandArg& setDefaultValue(const std::string& v) {
            defaultValue = v;
            return *this;
        }
        CommandArg& setContentList(const std::vector<std::string>& v) {
            contentList = v;
            return *this;
        }
        CommandArg& setContentListUrl(const std::string& url) {
            contentListUrl = url;
            return *this;
        }
        Json::Value toJson() const;

        std::string name;
        std::string type;
        std::string description;
        bool optional;
        int min = -1;
        int max = -1;
        std::string defaultValue;
        std::vector<std::string> contentList;
        std::string contentListUrl;
    };

    class Result {
    public:
        explicit Result(const std::string& r = "", const std::string& type = "text/plain")
            : result(r), resultType(type) {}
        virtual ~Result() {}
        virtual bool isDone() { return true; }
        virtual bool isError() { return false; }
        virtual const std::string& get() { return result; }
        virtual const std::string& contentType() { return resultType; }

    protected:
        std::string result;
        std::string resultType;
    };
    class ErrorResult : public Result {
    public:
        explicit ErrorResult(const std::string& r) : Result(r) {}
        bool isError() override { return true; }
    };

    explicit Command(const std::string& n, const std::string& desc = "") : name(n), description(desc) {}
    virtual ~Command() {}

    virtual std::unique_ptr<Result> run(const std::vector<std::string>& args) = 0;
    virtual bool hidden() const { return false; }
    virtual Json::Value getDescription() const;

    const std::string name;
    const std::string description;
    std::list<CommandArg> args;
};
