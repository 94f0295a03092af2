// The same-file check of a job run: whether the server still serves the file
// the incomplete file was begun from, at the address the run checked.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunRetries.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/WorkerWait.h"

#include <functional>
#include <optional>
#include <string>

class IncompleteFile;
class tHTTPThread;
struct RequestResult;

// Judges the probe (the size as sent, where it was redirected), compares a
// sample of the bytes the file holds, and once in a run follows the
// download's URL again when the address the probe found expired or
// redirected elsewhere. Each step returns how the run ends when the file is
// not the same one, nothing when the run may go on.
class SameFileCheck {
public:
    // `convertFirstPass` converts the first pass's values, so that one that
    // does not convert ends the run before the sample's request as it would
    // before the pass's own.
    SameFileCheck(JobLog& log, tHTTPThread& worker, const bool& stop, const RunTimings& timings,
                  const RunState& state, WorkerWait& wait, RunRetries& retries,
                  std::function<void()> convertFirstPass);

    // The probe's verdict on a server that serves ranges of the same file;
    // how the run ends when it does not.
    std::optional<RunEnd> JudgeSameFile(const RequestResult& probe);
    // Fetches a sample of the bytes the file already holds and compares it
    // with them; how the run ends when the server's file is not the same
    // one, nothing when it is (or when the file holds nothing to compare).
    std::optional<RunEnd> CompareHeldBytes(IncompleteFile& file);
    // Whether a request to the address the probe was redirected to was
    // refused as a signed link that expired is, when the run has not yet
    // followed its URL again.
    bool LinkExpired(const RequestResult& result) const;
    // Follows the download's own URL again after LinkExpired, and checks the
    // size and the sample at the new address; how the run ends when that
    // fails, nothing when the run may go on there.
    std::optional<RunEnd> FollowAgain(const RequestResult& refused, IncompleteFile& file);
    // A request (`what`) that a redirect took away from where the run
    // checked the file: nothing of it was written. The first time in a run
    // the download's URL is followed again (FollowAgain); the second time
    // the run ends.
    std::optional<RunEnd> EndedElsewhere(const RequestResult& result, const std::string& what,
                                         IncompleteFile& file);

private:
    std::optional<RunEnd> FollowAgain(IncompleteFile& file);

    JobLog& log_;
    tHTTPThread& worker_;
    const bool& stop_;
    const RunTimings& timings_;
    const RunState& state_;
    WorkerWait& wait_;
    RunRetries& retries_;
    const std::function<void()> convertFirstPass_;
    bool followedAgain_ = false;
};
