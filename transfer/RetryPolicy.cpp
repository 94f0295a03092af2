#include "transfer/RetryPolicy.h"

#include "common/AsciiText.h"
#include "http/HttpDate.h"

#include <algorithm>
#include <limits>

namespace {

bool BusyStatus(int code) {
    return code == 429 || code == 503;
}

bool PassingStatus(int code) {
    return BusyStatus(code) || code == 408 || code == 500 || code == 502 || code == 504;
}

bool MayPass(RetryFor kind, RequestFailure failure, int statusCode) {
    switch (failure) {
    case RequestFailure::Status:
        return kind == RetryFor::Probe ? BusyStatus(statusCode) : PassingStatus(statusCode);
    case RequestFailure::Network:
    case RequestFailure::Stall:
    case RequestFailure::ShortBody:
        return kind == RetryFor::Transfer;
    default:
        return false;
    }
}

// The wait a Retry-After value asks for, seconds or an HTTP date, at most
// kMaxRetryAfter; 0 when it is neither form.
std::chrono::seconds AskedWait(std::string_view value, std::int64_t now) {
    value = TrimBlanks(value);
    std::int64_t seconds = 0;
    if (const auto count = ParseDecimal(value, std::numeric_limits<std::int64_t>::max()))
        seconds = *count;
    else if (const auto at = ParseHttpDate(value))
        seconds = std::max<std::int64_t>(0, *at - now);
    return std::chrono::seconds(std::min<std::int64_t>(seconds, kMaxRetryAfter.count()));
}

} // namespace

RetryDecision DecideRetry(RetryFor kind, RequestFailure failure, int statusCode,
                          std::string_view retryAfter, int tryNumber, std::int64_t now) {
    RetryDecision decision;
    if (!MayPass(kind, failure, statusCode)) return decision;
    if (tryNumber < 1 || tryNumber > kMaxTries) {
        decision.verdict = RetryDecision::Verdict::Exhausted;
        return decision;
    }
    decision.verdict = RetryDecision::Verdict::Retry;
    decision.wait = std::chrono::seconds(kRetryWaits[tryNumber - 1]);
    // A server may ask for a longer wait, never for a shorter one.
    if (failure == RequestFailure::Status)
        decision.wait = std::max(decision.wait, AskedWait(retryAfter, now));
    return decision;
}

AddedConnectionVerdict JudgeAddedConnection(const RequestResult& result, std::int64_t now) {
    using Kind = AddedConnectionVerdict::Kind;
    if (result.Failure == RequestFailure::NotTheRange) return {Kind::IgnoredRange};
    if (result.Failure == RequestFailure::Status && BusyStatus(result.StatusCode))
        return {Kind::Refused, AskedWait(result.RetryAfter, now)};
    const bool unanswered = result.StatusCode < 0 && result.BytesReceived == 0;
    if (result.Failure == RequestFailure::Network && unanswered) return {Kind::Refused};
    return {};
}
