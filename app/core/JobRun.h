#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RangeLoop.h"
#include "app/core/RunRetries.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/SameFileCheck.h"
#include "app/core/WorkerWait.h"
#include "list/ListDocument.h"

class tHTTPThread;
struct RequestResult;

// One run of Resume on a download: hands the entry's settings to the worker,
// has it probe the server, and fetches the queued ranges one by one into the
// incomplete file, bringing the row and List.xml up to date after each. It
// runs on the window thread and waits for the worker with the window's events
// running, so Pause, Save, Import and Exit run inside it.
//
// Here the run reads the row and the entry and judges the probe; its parts
// do the rest: the same-file check (SameFileCheck), the retries and their
// waits (RunRetries), the range loop (RangeLoop) and the waits for the
// worker (WorkerWait), sharing the download's values in a RunState.
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
    // Its parts hold references to each other and to its state.
    JobRun(const JobRun&) = delete;
    JobRun& operator=(const JobRun&) = delete;

    // Waits until the worker has left whatever request it is still in, so
    // that no setting changes under it.
    void WaitForIdleWorker();
    RunEnd Run(int row);

    // Pause: every fetch in hand is withdrawn; a probe still gets a moment to
    // be answered.
    void Pause();
    // Exit: whatever request is under way is withdrawn.
    void Abort();
    // The worker made more of the fetch in hand durable: it is recorded now,
    // even while a dialog holds the window.
    void RecordArrived() { loop_.RecordArrived(); }
    // The options now allow this many connections.
    void SetConnections(int connections) { loop_.SetConnections(connections); }

private:
    void ReadRow();
    // All ranges are in and the row's counters say so, but the checksum the
    // download has was not yet found to match.
    bool AwaitsChecksum();
    void ReadEntryAndHandOver();
    RunEnd JudgeProbe(const RequestResult& probe);

    JobRows& rows_;
    JobLog& log_;
    JobWindow& window_;
    ListDocument& list_;
    tHTTPThread& worker_;
    const RunTimings timings_;

    RunState state_;
    WorkerWait wait_;
    RunRetries retries_;
    SameFileCheck check_;
    RangeLoop loop_;
};
