// How a job run waits for its worker on the window thread: for the probe or
// the sample, which Pause and Exit withdraw, and until the worker is idle.
#pragma once

#include "app/core/JobSeams.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>

class tHTTPThread;
struct RequestResult;

// Waits with the window's events running, so Pause, Save, Import and Exit
// run inside the wait.
class WorkerWait {
public:
    WorkerWait(tHTTPThread& worker, JobWindow& window);

    // Waits until the worker has left whatever request it is still in, so
    // that no setting changes under it.
    void WaitForIdleWorker();

    // The probe or the sample the run waits for, which Pause and Exit
    // withdraw.
    enum class Waiting { None, Probe, Sample };
    // Raises the probe or the sample, waits for it as for the probe and
    // reads its result.
    RequestResult RequestAndWait(Waiting kind);

    // Pause: a probe or sample still gets a moment to be answered.
    void Pause();
    // Exit: the probe or sample waited for is withdrawn.
    void WithdrawProbe();

private:
    // Waits for the probe; after Pause a moment longer, then withdraws one
    // that the server leaves unanswered.
    void WaitForProbe(const std::atomic<bool>& pending);

    tHTTPThread& worker_;
    JobWindow& window_;
    Waiting waiting_ = Waiting::None;
    bool probeWithdrawn_ = false;
    std::optional<std::chrono::steady_clock::time_point> pausedDuringProbe_;
};
