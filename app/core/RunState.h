// What the parts of a job run share: the download's row values and list
// entry, the counters as the run moves them, and how a run ends (an error,
// Pause, or the entry and row of a finished download removed).
#pragma once

#include "app/core/JobSeams.h"
#include "list/ListEntry.h"

#include <cstdint>
#include <string>

class ListDocument;

// How a run ended: the status bar's line, and for a run that the incomplete
// file ended, the message for the error box.
struct RunEnd {
    std::string statusLine;
    bool fileFailed = false;

    static RunEnd Failed(const std::string& message) { return {message, true}; }
};

// The row's values the run keeps for its whole length.
struct RowValues {
    std::string fileName, fileSize, downloaded, remains, url;
    int count = 0;
};

// One run's download, read from its row and entry when the run starts.
struct RunState {
    int row = -1;
    RowValues values;
    int64_t fileSize = 0;
    ListEntry entry;
    // Bytes present and missing (their texts are in values), and ranges
    // taken so far in this run.
    int64_t downloaded = 0, remains = 0;
    int taken = 0;
};

// Logs `message` as an error; the run ends with it on the status line.
RunEnd LogError(JobLog& log, const std::string& message);
// Logs that the download of `state` paused; the run ends saying how many
// ranges are left.
RunEnd Paused(JobLog& log, const RunState& state, int segmentsLeft);

// Removes entry N<row+1> and row `row` together: when the list's save fails
// after the entry left the document, the row goes too and the error is
// passed on.
void DeleteEntryAndRow(ListDocument& list, JobRows& rows, int row);
