#pragma once

#include "common/AppError.h"
#include "list/ListDocument.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

// Names and texts of an element's attributes, in document order.
inline std::vector<std::pair<std::string, std::string>> Attributes(XmlElement element) {
    std::vector<std::pair<std::string, std::string>> result;
    for (xmlAttrPtr a = element->properties; a; a = a->next) {
        const char* name = reinterpret_cast<const char*>(a->name);
        result.emplace_back(name, ListDocument::AttributeText(element, name));
    }
    return result;
}

inline std::vector<std::string> AttributeNames(XmlElement element) {
    std::vector<std::string> names;
    for (const auto& attribute : Attributes(element))
        names.push_back(attribute.first);
    return names;
}

inline std::vector<std::string> ChildNames(XmlElement element) {
    std::vector<std::string> names;
    for (xmlNodePtr child = element->children; child; child = child->next)
        names.push_back(child->type == XML_ELEMENT_NODE ? reinterpret_cast<const char*>(child->name)
                                                        : "#other");
    return names;
}

// The message of the AppError that f throws, or "no error".
template <class F> std::string ErrorOf(F&& f) {
    try {
        f();
    } catch (const AppError& error) {
        return error.what();
    }
    return "no error";
}

inline EntryValues SampleEntry(const std::string& fileName,
                               std::vector<std::pair<std::string, std::string>> ranges = {}) {
    EntryValues values;
    values.FileName = fileName;
    values.FileSize = "1000";
    values.Downloaded = "400";
    values.Percent = "40%";
    values.Remains = "600";
    values.Segments = std::to_string(ranges.size());
    values.URL = "http://127.0.0.1/" + fileName;
    values.Referer = "";
    values.ranges = std::move(ranges);
    return values;
}

// Splits a parse failure into reason, "Line: n" and the quoted text.
inline std::vector<std::string> MessageParts(const std::string& message) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t end; (end = message.find("\r\n", start)) != std::string::npos; start = end + 2)
        parts.push_back(message.substr(start, end - start));
    parts.push_back(message.substr(start));
    return parts;
}
