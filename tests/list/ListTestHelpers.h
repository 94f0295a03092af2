#pragma once

#include "common/AppError.h"
#include "list/ListDocument.h"
#include "list/ListSnapshot.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using Pairs = std::vector<std::pair<std::string, std::string>>;

inline std::vector<std::string> AttributeNames(const ElementSnapshot& element) {
    std::vector<std::string> names;
    for (const auto& attribute : element.attributes)
        names.push_back(attribute.first);
    return names;
}

inline std::vector<std::string> ChildNames(const ElementSnapshot& element) {
    std::vector<std::string> names;
    for (const ElementSnapshot& child : element.children)
        names.push_back(child.name);
    return names;
}

// The entry's Segments, and its Begin or End; empty when absent.
inline ElementSnapshot SegmentsOf(const ElementSnapshot& entry) {
    const ElementSnapshot* segments = entry.Child("Segments");
    return segments ? *segments : ElementSnapshot{};
}
inline ElementSnapshot QueueEnd(const ElementSnapshot& entry, const char* end) {
    const ElementSnapshot segments = SegmentsOf(entry);
    const ElementSnapshot* found = segments.Child(end);
    return found ? *found : ElementSnapshot{};
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
