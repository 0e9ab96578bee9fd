#pragma once
// Lenient reads of configuration values: a missing member, or one of the wrong type, reads as the
// default instead of throwing. Numbers written as text ("12") read as numbers; booleans as 0 or 1.

#include <jsoncpp/json/json.h>

#include <string>

long long JsonInt64(const Json::Value& value, long long defaultValue = 0);
int JsonInt(const Json::Value& value, int defaultValue = 0);
double JsonDouble(const Json::Value& value, double defaultValue = 0.0);
bool JsonBool(const Json::Value& value, bool defaultValue = false);
// Strings as they are, numbers and booleans as text; objects, arrays and null as the default.
std::string JsonString(const Json::Value& value, const std::string& defaultValue = "");
