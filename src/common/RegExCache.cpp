#include "common/RegExCache.h"

#include "common/Log.h"

#include <map>
#include <memory>
#include <mutex>

namespace {

std::mutex cacheLock;
// Pattern text to its compiled form; null for a pattern that does not compile.
std::map<std::string, std::unique_ptr<std::regex>> compiled;

const std::regex* lookup(const std::string& pattern) {
    std::lock_guard<std::mutex> lock(cacheLock);
    auto found = compiled.find(pattern);
    if (found != compiled.end()) {
        return found->second.get();
    }
    std::unique_ptr<std::regex> regex;
    try {
        regex = std::make_unique<std::regex>(pattern);
    } catch (const std::regex_error& e) {
        LogErr(LG_GENERAL, "Invalid regular expression '%s': %s\n", pattern.c_str(), e.what());
    }
    return compiled.emplace(pattern, std::move(regex)).first->second.get();
}

} // namespace

RegExCache::RegExCache(const std::string& pattern) : regex(lookup(pattern)) {}

bool RegExCache::search(const std::string& text, std::smatch& match) const {
    match = std::smatch();
    return regex && std::regex_search(text, match, *regex);
}

bool RegExCache::search(const std::string& text) const {
    return regex && std::regex_search(text, *regex);
}
