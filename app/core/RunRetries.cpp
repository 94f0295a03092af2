// Logging a failure that is tried again, and waiting before the next try.
#include "app/core/RunRetries.h"

#include "app/core/RetryText.h"
#include "http/HttpDate.h"
#include "transfer/RequestResult.h"
#include "transfer/RetryPolicy.h"

#include <QLocale>

#include <algorithm>
#include <cmath>

RunRetries::RunRetries(JobLog& log, JobWindow& window, const bool& stop, const RunTimings& timings,
                       WorkerWait& wait, const RunState& state)
    : log_(log), window_(window), stop_(stop), timings_(timings), wait_(wait), state_(state) {}

RequestResult RunRetries::ProbeUntilAnswered() {
    for (int tries = 0;;) {
        const RequestResult probe = wait_.RequestAndWait(WorkerWait::Waiting::Probe);
        if (probe.Failure != RequestFailure::Status) return probe;
        const RetryDecision decision = DecideRetry(RetryFor::Probe, probe.Failure, probe.StatusCode,
                                                   probe.RetryAfter, tries + 1, UnixTimeNow());
        if (decision.verdict != RetryDecision::Verdict::Retry) return probe;
        ++tries;
        log_.AddLogRow(LogIcon::Info, "The server answered \"" + probe.StatusLine +
                                          "\" to the check." + RetryingText(decision.wait, tries));
        if (!WaitBeforeRetry(decision.wait, "the check")) return RequestResult{};
        log_.AddLogRow(LogIcon::Info, "Checking URL: " + state_.values.url);
    }
}

RunRetries::Decision RunRetries::Decide(const RequestResult& result, const std::string& what,
                                        int& tries) {
    Decision step;
    const RetryDecision decision =
        DecideRetry(RetryFor::Transfer, result.Failure, result.StatusCode, result.RetryAfter,
                    tries + 1, UnixTimeNow());
    const std::string failure = FailureText(result, what, timings_.stallLimit, QLocale::system());
    switch (decision.verdict) {
    case RetryDecision::Verdict::Final:
        return step;
    case RetryDecision::Verdict::Exhausted:
        step.end = LogError(log_, "Gave up after " + std::to_string(kMaxTries) +
                                      " tries in a row. " + failure);
        return step;
    case RetryDecision::Verdict::Retry:
        break;
    }
    ++tries;
    log_.AddLogRow(LogIcon::Info, failure + RetryingText(decision.wait, tries));
    step.retry = true;
    step.wait = decision.wait;
    return step;
}

RunRetries::NextStep RunRetries::AfterFailure(const RequestResult& result, const std::string& what,
                                              int& tries) {
    const Decision decision = Decide(result, what, tries);
    NextStep step{decision.retry, decision.end};
    if (!decision.retry) return step;
    if (!WaitBeforeRetry(decision.wait, what)) {
        step.retry = false;
        step.end = Paused(log_, state_, state_.values.count - state_.taken);
    }
    return step;
}

std::chrono::steady_clock::duration RunRetries::Scaled(std::chrono::seconds wait) const {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(wait *
                                                                           timings_.waitScale);
}

void RunRetries::ShowRetryCountdown(std::chrono::seconds wait,
                                    std::chrono::steady_clock::time_point until,
                                    const std::string& what) {
    using Clock = std::chrono::steady_clock;
    const Clock::duration scaled = Scaled(wait);
    const Clock::duration remaining = std::max(until - Clock::now(), Clock::duration::zero());
    // The line counts the stated seconds down, whatever the scale.
    const double shareLeft = scaled.count() > 0 ? std::chrono::duration<double>(remaining) /
                                                      std::chrono::duration<double>(scaled)
                                                : 0;
    const auto left =
        static_cast<int64_t>(std::ceil(shareLeft * static_cast<double>(wait.count())));
    window_.ShowProgress("Retrying " + what + " in " + std::to_string(left) + " s",
                         state_.downloaded, state_.fileSize);
}

bool RunRetries::WaitBeforeRetry(std::chrono::seconds wait, const std::string& what) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point until = Clock::now() + Scaled(wait);
    for (Clock::time_point now = Clock::now(); now < until && !stop_; now = Clock::now()) {
        ShowRetryCountdown(wait, until, what);
        window_.WaitForEventsAtMost(
            std::min(std::chrono::ceil<std::chrono::milliseconds>(until - now),
                     std::chrono::milliseconds(250)));
    }
    return !stop_;
}
