#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunRetries.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/SameFileCheck.h"
#include "app/core/WorkerWait.h"
#include "common/IncompleteFile.h"
#include "list/ListDocument.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class tHTTPThread;
struct RequestResult;

// Removes entry N<row+1> and row `row` together: when the list's save fails
// after the entry left the document, the row goes too and the error is
// passed on.
void DeleteEntryAndRow(ListDocument& list, JobRows& rows, int row);

// One run of Resume on a download: hands the entry's settings to the worker,
// has it probe the server, and fetches the queued ranges one by one into the
// incomplete file, bringing the row and List.xml up to date after each. It
// runs on the window thread and waits for the worker with the window's events
// running, so Pause, Save, Import and Exit run inside it.
//
// What arrives of a range is recorded as it becomes durable (at least every
// RunTimings::recordInterval, and whenever a fetch ends short of its range),
// so a drop, a stall, Pause or a crash costs only what came after; a fetch or
// the sample that fails in a way that can pass is tried again by itself from
// the durable point, after a wait (RetryPolicy).
//
// Values that do not convert, an absent attribute and a failed save of the
// list end the run with an AppError; the caller's error box shows it and the
// window stays Running until Pause. Everything else ends it with a RunEnd.
class JobRun {
public:
    // `stop` is read before every range and during every wait: set, it asks
    // the run to stop.
    JobRun(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list, tHTTPThread& worker,
           const bool& stop, const RunTimings& timings = {});

    // Waits until the worker has left whatever request it is still in, so
    // that no setting changes under it.
    void WaitForIdleWorker();
    RunEnd Run(int row);

    // Pause: the fetch in hand is withdrawn; a probe still gets a moment to
    // be answered.
    void Pause();
    // Exit: whatever request is under way is withdrawn.
    void Abort();

private:
    void ReadRow();
    void ReadEntryAndHandOver();
    RunEnd JudgeProbe(const RequestResult& probe);

    RunEnd RangeLoop();
    // Opens the incomplete file into `file` when it is exactly FileSize
    // long; otherwise leaves `file` empty and returns why.
    std::string OpenFile(std::optional<IncompleteFile>& file);
    // The next pass's range and the counters it leaves when it is taken.
    struct PassValues {
        int64_t first = 0, last = 0, downloaded = 0, remains = 0;
        std::string percent;
    };
    PassValues NextPass();
    RunEnd Passes(IncompleteFile& file);
    // One pass: the first range, tried again while its failures can pass.
    // How the run ends, or nothing when it goes on with the next pass.
    std::optional<RunEnd> Pass(IncompleteFile& file, int pass);
    // The fetch of one range; its result once the worker has let go of it.
    RequestResult Fetch(IncompleteFile& file, int pass, int64_t first, int64_t last);
    // Waits for the fetch, showing its progress at most four times a second
    // and recording what becomes durable.
    void WaitForFetch(int pass, int64_t first, int64_t last);
    // Records that the bytes of the first range before `durableTo` are on
    // disk; true when that took the whole range.
    bool RecordDurable(int pass, int64_t durableTo);
    // Takes the first range off the queue with its counters, as fetched.
    void TakeRange(int pass, int64_t first, int64_t last);
    // Withdraws a fetch that is pending or under way and waits until the
    // worker has left it, so that nothing more is written into the file.
    void ReleaseWorker();
    // Cuts the file to FileSize and closes it; the error's text, or "".
    std::string CutAndClose(IncompleteFile& file);

    JobRows& rows_;
    JobLog& log_;
    JobWindow& window_;
    ListDocument& list_;
    tHTTPThread& worker_;
    const bool& stop_;
    const RunTimings timings_;

    RunState state_;
    bool countersRead_ = false;

    WorkerWait wait_;
    RunRetries retries_;
    SameFileCheck check_;
    std::chrono::steady_clock::time_point lastProgress_{};
};
