#pragma once
// Reading single values out of small XML documents and HTML tables without a parser: device web
// pages are often not well-formed, so these look for literal tags only. Missing or unterminated
// tags read as empty text.

#include <string>

// The trimmed text between "<tag>" and the next "</tag>".
std::string getSimpleXMLTag(const std::string& document, const std::string& tag);
// The trimmed text of the table cell that follows the first occurrence of label, where label
// usually ends the label's own cell ("Name:</td>"): the content of the next "<td ...>...</td>".
std::string getSimpleHTMLTTag(const std::string& page, const std::string& label);
