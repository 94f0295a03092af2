#pragma once

#include <string>
#include <vector>

// Builds List.xml texts for tests, in the form the program writes them.
struct TestEntry {
    std::string fileName, fileSize, downloaded, percent, remains, url;
    std::vector<std::pair<long long, long long>> ranges;
    std::string proxy;    // "host:port" or empty
    std::string authName; // empty: no credentials
    std::string authPass;
    std::string checksum; // empty: none; otherwise written after every other attribute
};

std::string ListXml(const std::vector<TestEntry>& entries);
// A simple entry with `segments` ranges of 10 bytes each.
TestEntry SimpleEntry(int number, int segments = 2);
