// JSON descriptions of commands, as user interfaces list them to build their forms.
#include "Command.h"

Json::Value Command::CommandArg::toJson() const {
    Json::Value json;
    json["name"] = name;
    json["type"] = type;
    json["description"] = description;
    json["optional"] = optional;
    if (min != -1) {
        json["min"] = min;
    }
    if (max != -1) {
        json["max"] = max;
    }
    if (!defaultValue.empty()) {
        json["default"] = defaultValue;
    }
    if (!contentList.empty()) {
        Json::Value list(Json::arrayValue);
        for (const std::string& item : contentList) {
            list.append(item);
        }
        json["contentList"] = list;
    }
    if (!contentListUrl.empty()) {
        json["contentListUrl"] = contentListUrl;
    }
    return json;
}

Json::Value Command::getDescription() const {
    Json::Value json;
    json["name"] = name;
    json["description"] = description;
    Json::Value list(Json::arrayValue);
    for (const CommandArg& arg : args) {
        list.append(arg.toJson());
    }
    json["args"] = list;
    return json;
}
