#include "JsonValues.h"

#include <cerrno>
#include <climits>
#include <cstdlib>

long long JsonInt64(const Json::Value& value, long long defaultValue) {
    if (value.isBool()) {
        return value.asBool() ? 1 : 0;
    }
    if (value.isIntegral()) {
        return value.isUInt64() && !value.isInt64() ? LLONG_MAX : value.asInt64();
    }
    if (value.isDouble()) {
        double d = value.asDouble();
        return d >= 9.2e18 ? LLONG_MAX : d <= -9.2e18 ? LLONG_MIN : static_cast<long long>(d);
    }
    if (value.isString()) {
        std::string text = value.asString();
        char* end = nullptr;
        errno = 0;
        long long parsed = std::strtoll(text.c_str(), &end, 10);
        return end != text.c_str() && errno == 0 ? parsed : defaultValue;
    }
    return defaultValue;
}

int JsonInt(const Json::Value& value, int defaultValue) {
    long long v = JsonInt64(value, defaultValue);
    return v > INT_MAX ? INT_MAX : v < INT_MIN ? INT_MIN : static_cast<int>(v);
}

double JsonDouble(const Json::Value& value, double defaultValue) {
    if (value.isNumeric() || value.isBool()) {
        return value.asDouble();
    }
    if (value.isString()) {
        std::string text = value.asString();
        char* end = nullptr;
        double parsed = std::strtod(text.c_str(), &end);
        return end != text.c_str() ? parsed : defaultValue;
    }
    return defaultValue;
}

bool JsonBool(const Json::Value& value, bool defaultValue) {
    if (value.isBool()) {
        return value.asBool();
    }
    if (value.isString()) {
        std::string text = value.asString();
        return text == "true" || text == "1" || (text != "false" && text != "0" && defaultValue);
    }
    if (value.isNumeric()) {
        return value.asDouble() != 0.0;
    }
    return defaultValue;
}

std::string JsonString(const Json::Value& value, const std::string& defaultValue) {
    if (value.isString() || value.isNumeric() || value.isBool()) {
        return value.asString();
    }
    return defaultValue;
}
