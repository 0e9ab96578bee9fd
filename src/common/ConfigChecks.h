#pragma once
// Type checks for configuration documents just read from a file. jsoncpp throws when a member is
// read from a value that is not an object, so a reader checks a value here before it looks
// inside; a value of the wrong type is reported to the user, naming the file and the key, and the
// reader skips that item.

#include "Log.h"

#include <jsoncpp/json/json.h>

#include <string>

// The key text for the document itself rather than one of its members.
extern const char* const CONFIG_TOP_LEVEL;

// True when value has the expected type (objectValue or arrayValue; any other type must match
// exactly). A missing (null) value is false without a warning; any other type is false with a log
// line on logger and a user warning naming where it was found (the file, or the port or output it
// configures when the file is not known there) and the key.
bool ConfigValueIs(const Json::Value& value, Json::ValueType type, const std::string& where,
                   const std::string& key, KIVLoggerInstance& logger = LG_GENERAL);

// True when value is a list or an object (a single definition that stands for a list of one).
bool ConfigIsListOrObject(const Json::Value& value, const std::string& where, const std::string& key,
                          KIVLoggerInstance& logger = LG_GENERAL);
