// The two ways every part of a job run can end it: an error in the log, or
// Pause.
#include "app/core/RunState.h"

#include "app/core/ProgressText.h"
#include "common/AsciiText.h"

RunEnd LogError(JobLog& log, const std::string& message) {
    log.AddLogRow(LogIcon::Error, message);
    return {std::string(TrimBlanks(message))};
}

RunEnd Paused(JobLog& log, const RunState& state, int segmentsLeft) {
    log.AddLogRow(LogIcon::Info, "Downloading of file " + state.values.fileName + " paused");
    return {PausedText(segmentsLeft)};
}
