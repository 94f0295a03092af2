#pragma once

#include "DriverProcess.h"
#include "HoleyFile.h"
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
// The same for a list that a running program may be saving just then: read
// from a copy, since the list code removes the temporary files it finds
// beside a list, which would be the running program's save. Not parsed
// when the file cannot be read.
StoredList PeekStoredList(const std::string& listPath);
// Where the recorded range of a running download starts, as PeekStoredList
// reads the list's second entry: the first Begin; -1 when it has none.
int64_t RecordedBegin(const std::string& listPath);

// How many bytes of the hole [holeBegin, holeEnd) a running download's list
// records as there, as PeekStoredList reads its second entry: up to the
// Begin of the queued range inside the hole, all of it when none is left or
// the entry is gone; -1 when the list cannot be read just then.
int64_t RecordedInHole(const std::string& listPath, int64_t holeBegin, int64_t holeEnd);

// Checks that an entry describes its file truthfully: Remains = FileSize -
// Downloaded, Segments = the number of queued ranges, Begin and End equally
// long, Percent as the program computes it. Returns a description of every
// violation (empty: none).
std::string CounterViolations(const StoredEntry& entry);

// Checks what a stopped run of `file`'s download left behind. List.xml at
// listPath parses and holds `neighbour` unchanged, then either the download's
// entry, with counters that agree with its queue, the rest of the original
// queue in order, and the bytes of every range it no longer lists in the
// file, or no entry for it any more, and then the whole file is there. The
// file's bytes are read from dataPath (the entry names file.incomplete).
// Returns how many bytes of the file the list counts as there (all of them
// once the entry is gone).
int64_t CheckLeftBehind(const std::string& listPath, const std::string& dataPath,
                        const HoleyFile& file, const std::string& original,
                        const StoredEntry& neighbour);

// The driver with a list: "run <list> <row>", stderr into the sandbox.
std::vector<std::string> RunArgs(const std::string& listPath, int row);
// The driver importing a segment file into a list with the given URL.
std::vector<std::string> ImportArgs(const std::string& listPath, const std::string& segmentFile,
                                    const std::string& url);

// How long a child may take to do what a test waits for before the test
// calls it hung: generous, since a slow machine must not fail the suite.
constexpr DriverProcess::Milliseconds kWatchdog{20000};
