#pragma once
// A regular expression compiled once per pattern text and shared by every caller, so detectors
// that run on each request do not recompile their patterns. The compiled expressions live for the
// whole process; lookups are guarded by a mutex, matching needs no lock (a compiled std::regex is
// only read).

#include <regex>
#include <string>

class RegExCache {
public:
    explicit RegExCache(const std::string& pattern);

    // std::regex_search over text; false (and an empty match) when the pattern did not compile.
    bool search(const std::string& text, std::smatch& match) const;
    bool search(const std::string& text) const;

private:
    const std::regex* regex = nullptr; // null when the pattern is invalid (logged once)
};
