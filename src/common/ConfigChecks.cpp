#include "ConfigChecks.h"

#include "WarningHolder.h"

const char* const CONFIG_TOP_LEVEL = "the top level";

namespace {
const char* typeText(Json::ValueType type) {
    switch (type) {
    case Json::objectValue:
        return "an object";
    case Json::arrayValue:
        return "a list";
    case Json::stringValue:
        return "a text";
    case Json::booleanValue:
        return "true or false";
    default:
        return "a number";
    }
}

std::string keyText(const std::string& key) {
    return key == CONFIG_TOP_LEVEL ? key : "\"" + key + "\"";
}

void reportWrongType(const std::string& where, const std::string& key, const std::string& expected,
                     KIVLoggerInstance& logger) {
    std::string text = "Skipped " + keyText(key) + " of " + where + ": it is not " + expected + ".";
    LogWarn(logger, "%s\n", text.c_str());
    WarningHolder::AddWarning(text);
}
} // namespace

bool ConfigValueIs(const Json::Value& value, Json::ValueType type, const std::string& where,
                   const std::string& key, KIVLoggerInstance& logger) {
    if (value.type() == type) {
        return true;
    }
    if (!value.isNull()) {
        reportWrongType(where, key, typeText(type), logger);
    }
    return false;
}

bool ConfigIsListOrObject(const Json::Value& value, const std::string& where, const std::string& key,
                          KIVLoggerInstance& logger) {
    if (value.isArray() || value.isObject()) {
        return true;
    }
    if (!value.isNull()) {
        reportWrongType(where, key, "a list or an object", logger);
    }
    return false;
}
