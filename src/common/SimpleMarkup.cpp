#include "common/SimpleMarkup.h"

#include "common/Common.h"

namespace {

// The text from `from` up to the next `end`; empty when end never comes.
std::string textUntil(const std::string& text, size_t from, const std::string& end) {
    size_t stop = text.find(end, from);
    if (stop == std::string::npos) {
        return "";
    }
    return trim(text.substr(from, stop - from));
}

} // namespace

std::string getSimpleXMLTag(const std::string& document, const std::string& tag) {
    std::string open = "<" + tag + ">";
    size_t start = document.find(open);
    if (start == std::string::npos) {
        return "";
    }
    return textUntil(document, start + open.size(), "</" + tag + ">");
}

std::string getSimpleHTMLTTag(const std::string& page, const std::string& label) {
    size_t at = page.find(label);
    if (at == std::string::npos) {
        return "";
    }
    size_t cell = page.find("<td", at + label.size());
    if (cell == std::string::npos) {
        return "";
    }
    size_t contentStart = page.find('>', cell);
    if (contentStart == std::string::npos) {
        return "";
    }
    return textUntil(page, contentStart + 1, "</td>");
}
