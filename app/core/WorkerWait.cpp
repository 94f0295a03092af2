// Waiting for the worker's requests, and withdrawing a probe or sample that
// Pause or Exit left waiting.
#include "app/core/WorkerWait.h"

#include "transfer/DLThread_Unit.h"

WorkerWait::WorkerWait(tHTTPThread& worker, JobWindow& window) : worker_(worker), window_(window) {}

void WorkerWait::WaitForIdleWorker() {
    // A raised flag the worker has not yet taken counts as busy: the request
    // may still start.
    while (worker_.Busy() || worker_.FetchPending.load(std::memory_order_acquire))
        window_.WaitForEvents();
}

RequestResult WorkerWait::RequestAndWait(Waiting kind) {
    probeWithdrawn_ = false;
    pausedDuringProbe_.reset();
    waiting_ = kind;
    const bool sample = kind == Waiting::Sample;
    const uint64_t serial = sample ? worker_.RequestSample() : worker_.RequestProbe();
    WaitForProbe(sample ? worker_.SamplePending : worker_.ProbePending);
    waiting_ = Waiting::None;
    // A withdrawn request may still be unwinding on the worker: its result
    // reads as withdrawn.
    return worker_.Result(probeWithdrawn_ ? 0 : serial);
}

void WorkerWait::WaitForProbe(const std::atomic<bool>& pending) {
    // A probe answered soon after Pause is still judged, and the run then
    // stops before its first range. One the server leaves unanswered is
    // withdrawn instead of holding the run for the worker's read time-out.
    constexpr auto kGrace = std::chrono::milliseconds(1000);
    while (pending.load(std::memory_order_acquire)) {
        if (!pausedDuringProbe_) {
            window_.WaitForEvents();
            continue;
        }
        const auto left = kGrace - (std::chrono::steady_clock::now() - *pausedDuringProbe_);
        if (left <= std::chrono::milliseconds(0)) {
            WithdrawProbe();
        } else {
            window_.WaitForEventsAtMost(std::chrono::ceil<std::chrono::milliseconds>(left));
        }
    }
}

void WorkerWait::Pause() {
    if (waiting_ != Waiting::None && !pausedDuringProbe_)
        pausedDuringProbe_ = std::chrono::steady_clock::now();
}

void WorkerWait::WithdrawProbe() {
    if (waiting_ == Waiting::None) return;
    probeWithdrawn_ = true;
    if (waiting_ == Waiting::Probe)
        worker_.CancelProbe();
    else
        worker_.CancelSample();
}
