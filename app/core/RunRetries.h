// Retries in a job run: whether a failed request is tried again, the wait
// before it, and the probe asked again while the server says it is busy.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunState.h"
#include "app/core/RunTimings.h"
#include "app/core/WorkerWait.h"

#include <chrono>
#include <optional>
#include <string>

struct RequestResult;

// A fetch or the sample that fails in a way that can pass is tried again by
// itself (a fetch from the durable point), after a wait. Which failures can
// pass, and how long to wait, is RetryPolicy's decision; this class logs it
// and waits, counting down in the status line.
class RunRetries {
public:
    RunRetries(JobLog& log, JobWindow& window, const bool& stop, const RunTimings& timings,
               WorkerWait& wait, const RunState& state);

    // The probe, waited for again while the server says it is busy.
    RequestResult ProbeUntilAnswered();

    // Decides on a failed request; the wait when it is to be tried again
    // (after its row), otherwise how the run ends, or nothing.
    struct NextStep {
        bool retry = false;
        std::optional<RunEnd> end;
    };
    NextStep AfterFailure(const RequestResult& result, const std::string& what, int& tries);

    // The same decision without the wait: `wait` is how long to wait before
    // the next try, as the log states it.
    struct Decision {
        bool retry = false;
        std::chrono::seconds wait{0};
        std::optional<RunEnd> end;
    };
    Decision Decide(const RequestResult& result, const std::string& what, int& tries);
    // The status line while `what` waits: the stated seconds counted down
    // over the scaled wait that ends at `until`.
    void ShowRetryCountdown(std::chrono::seconds wait, std::chrono::steady_clock::time_point until,
                            const std::string& what);
    // How long a wait that the log states as `wait` really lasts.
    std::chrono::steady_clock::duration Scaled(std::chrono::seconds wait) const;

private:
    // Waits before a retry, counting down in the status line; false when
    // Pause or Exit came meanwhile.
    bool WaitBeforeRetry(std::chrono::seconds wait, const std::string& what);

    JobLog& log_;
    JobWindow& window_;
    const bool& stop_;
    const RunTimings& timings_;
    WorkerWait& wait_;
    const RunState& state_;
};
