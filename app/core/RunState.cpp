// The ways the parts of a job run end it: an error in the log, Pause, and a
// finished download's entry and row removed together.
#include "app/core/RunState.h"

#include "app/core/ProgressText.h"
#include "common/AsciiText.h"
#include "list/ListDocument.h"

#include <exception>

RunEnd LogError(JobLog& log, const std::string& message) {
    log.AddLogRow(LogIcon::Error, message);
    return {std::string(TrimBlanks(message))};
}

RunEnd Paused(JobLog& log, const RunState& state, int segmentsLeft) {
    log.AddLogRow(LogIcon::Info, "Downloading of file " + state.values.fileName + " paused");
    return {PausedText(segmentsLeft)};
}

void DeleteEntryAndRow(ListDocument& list, JobRows& rows, int row) {
    const int before = list.EntryCount();
    try {
        list.DeleteEntry(row);
    } catch (const std::exception&) {
        // The document in memory is the master: when the entry is gone from
        // it, the row goes too, and a later save writes what the window shows.
        if (list.EntryCount() < before) rows.RemoveRow(row);
        throw;
    }
    rows.RemoveRow(row);
}
