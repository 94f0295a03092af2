#pragma once

#include "DriverProcess.h"
#include "TempDir.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

// One entry of a List.xml as a later start would load it.
struct StoredEntry {
    std::vector<std::pair<std::string, std::string>> attributes; // in document order
    std::vector<std::string> begins, ends;                       // S1.. of Begin and End

    std::string Text(const std::string& name) const; // "" when absent
    bool Has(const std::string& name) const;
};

// A List.xml read back with the program's own list code.
struct StoredList {
    bool parsed = false;
    std::string error; // the parse failure, when not parsed
    std::vector<StoredEntry> entries;
};
StoredList ReadStoredList(const std::string& listPath);

// Checks that an entry describes its file truthfully: Remains = FileSize -
// Downloaded, Segments = the number of queued ranges, Begin and End equally
// long, Percent as the program computes it. Returns a description of every
// violation (empty: none).
std::string CounterViolations(const StoredEntry& entry);

// The driver with a list: "run <list> <row>", stderr into the sandbox.
std::vector<std::string> RunArgs(const std::string& listPath, int row);

// How long a child may take to do what a test waits for before the test
// calls it hung: generous, since a slow machine must not fail the suite.
constexpr DriverProcess::Milliseconds kWatchdog{20000};
