// The range loop of a job run: fetches the queued ranges one by one into the
// incomplete file and records each in the row and List.xml.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunRetries.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/SameFileCheck.h"
#include "app/core/WorkerWait.h"
#include "common/IncompleteFile.h"
#include "list/ListDocument.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <optional>
#include <string>

class tHTTPThread;
struct RequestResult;

// Opens the incomplete file, has the same-file check compare its sample, and
// fetches the first queued range pass by pass, each tried again while its
// failures can pass (RunRetries). What arrives of a range is recorded as it
// becomes durable (at least every RunTimings::recordInterval, and whenever a
// fetch ends short of its range), so a drop, a stall, Pause or a crash costs
// only what came after. However the loop ends, the file is cut to FileSize
// and closed.
class RangeLoop {
public:
    RangeLoop(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
              tHTTPThread& worker, const bool& stop, const RunTimings& timings, RunState& state,
              WorkerWait& wait, RunRetries& retries, SameFileCheck& check);

    RunEnd Run();

    // The next pass's range and the counters it leaves when it is taken.
    struct PassValues {
        int64_t first = 0, last = 0, downloaded = 0, remains = 0;
        std::string percent;
    };
    PassValues NextPass();
    // Records what the fetch in hand has made durable since the last record.
    // Called whenever the worker says more is durable, also while a dialog
    // holds the window and the loop's own wait does not run; a failure is
    // kept and ends the loop once its wait goes on.
    void RecordArrived();

private:
    // Opens the incomplete file into `file` when it is exactly FileSize
    // long; otherwise leaves `file` empty and returns why.
    std::string OpenFile(std::optional<IncompleteFile>& file);
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
    const RunTimings& timings_;
    RunState& state_;
    WorkerWait& wait_;
    RunRetries& retries_;
    SameFileCheck& check_;

    bool countersRead_ = false;
    // The fetch in hand, while the loop waits for it: its pass, its range's
    // first byte and byte count, and how many of its bytes are recorded.
    struct InHand {
        int pass = 0;
        int64_t first = 0, total = 0, recorded = 0;
    };
    std::optional<InHand> inHand_;
    std::exception_ptr recordFailure_;
    std::chrono::steady_clock::time_point lastProgress_{};
};
