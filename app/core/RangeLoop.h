// The range loop of a job run: fetches the queued ranges into the incomplete
// file over one connection or several, and records each in the row and
// List.xml.
#pragma once

#include "app/core/ConnectionLanes.h"
#include "app/core/DigestCheck.h"
#include "app/core/JobSeams.h"
#include "app/core/RangeRecords.h"
#include "app/core/RunRetries.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/SameFileCheck.h"
#include "app/core/WorkerWait.h"
#include "common/IncompleteFile.h"
#include "list/ListDocument.h"
#include "transfer/ConnectionPlan.h"

#include <chrono>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>

class tHTTPThread;
struct RequestResult;

// Opens the incomplete file, has the same-file check compare its sample, and
// fetches the queued ranges as the connection plan hands them out: one
// connection at first, more while each raises the download's rate. A range
// that fails is tried again on its connection while its failures can pass
// (RunRetries). What arrives is recorded as it becomes durable (at least
// every RunTimings::recordInterval, and whenever a fetch ends short of its
// range), so a drop, a stall, Pause or a crash costs only what came after.
// However the loop ends, every connection has let go of the file before it
// is cut to FileSize and closed.
class RangeLoop {
public:
    RangeLoop(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
              tHTTPThread& worker, const bool& stop, const RunTimings& timings, RunState& state,
              WorkerWait& wait, RunRetries& retries, SameFileCheck& check);

    RunEnd Run();
    // A download whose ranges are all in but whose checksum was not yet
    // found to match (the check was stopped, or failed and the file may have
    // been mended since): its file is checked again, nothing asked of the
    // server.
    RunEnd CheckAgain();

    // Converts the first range's values and counters, so that one that does
    // not convert ends the run before the sample's request.
    void ConvertFirstRange() { records_.AfterTake(0); }
    // Records what the fetches in hand have made durable since the last
    // record. Called whenever a worker says more is durable, also while a
    // dialog holds the window and the loop's own wait does not run; a
    // failure is kept and ends the loop once its wait goes on.
    void RecordArrived();
    // Pause: every connection's fetch is withdrawn.
    void WithdrawFetches();
    // Exit: every connection's request is.
    void AbortRequests();
    // The options now allow this many connections: the newest close once
    // what they brought is recorded.
    void SetConnections(int connections) {
        if (plan_) plan_->SetConnections(connections);
    }

private:
    using Clock = std::chrono::steady_clock;

    // Opens the incomplete file into `file` when it is exactly FileSize
    // long; otherwise leaves `file` empty and returns why.
    std::string OpenFile(std::optional<IncompleteFile>& file);
    RunEnd Fetches(IncompleteFile& file);
    // The download complete, or the queue left short of it.
    RunEnd Finished();
    // Every byte is in: the checksum (when the download has one) is checked,
    // and a file that matches leaves the list.
    RunEnd Complete();
    // A finished download's file loses a partial-file ending.
    void RenameFinished(RunEnd& end);
    // Every fetch withdrawn and what it brought recorded; the run pauses.
    RunEnd Stop(IncompleteFile& file);

    // Reads every fetch that has ended; how the run ends, or nothing.
    std::optional<RunEnd> ReadEnded(IncompleteFile& file);
    std::optional<RunEnd> AfterFetch(ConnectionLane& lane, const RequestResult& result,
                                     IncompleteFile& file);
    // A failed fetch that took nothing: a refusal of an added connection,
    // the address followed again, a retry, or the end of the run.
    std::optional<RunEnd> AfterFailure(ConnectionLane& lane, const RequestResult& result,
                                       IncompleteFile& file);
    // Records what the lane's fetch made durable; true when that took its
    // whole range.
    bool RecordLane(ConnectionLane& lane, std::int64_t durable);
    // Every other fetch withdrawn, read and recorded, so that the first
    // worker may follow the download's URL again.
    std::optional<RunEnd> SettleOthers(const ConnectionLane& keep);

    // Tells the plan what arrived and carries out its decision.
    void ChangeConnections(Clock::time_point now);
    // The plan closed `connection`: its fetch is withdrawn.
    void Close(int connection);
    void LogChange(const ConnectionPlan::Decision& decision, const std::string& status);
    // Gives every lane without a fetch its next piece (a retry after its
    // wait) and raises its request.
    void StartFetches(IncompleteFile& file, Clock::time_point now);
    void StartFetch(ConnectionLane& lane, IncompleteFile& file);
    void ShowProgress(Clock::time_point now);

    // Withdraws every fetch and waits until every worker has left it, so
    // that nothing more is written into the file.
    void ReleaseWorkers();
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
    RangeRecords records_;
    ConnectionLanes lanes_;
    std::optional<ConnectionPlan> plan_;

    // Failed tries in a row of each segment.
    std::map<int, int> tries_;
    TransferRate rate_; // of all connections together
    std::exception_ptr recordFailure_;
    // The run took the last range and removed the download from the list.
    bool finished_ = false;
    DigestCheck digest_;
    Clock::time_point lastProgress_{};
};
