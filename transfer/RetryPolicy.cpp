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

// The wait a Retry-After value asks for; none when it is neither form.
std::optional<std::int64_t> AskedWait(std::string_view value, std::int64_t now) {
    value = TrimBlanks(value);
    if (value.empty()) return std::nullopt;
    if (const auto seconds = ParseDecimal(value, std::numeric_limits<std::int64_t>::max()))
        return *seconds;
    if (const auto at = ParseHttpDate(value)) return std::max<std::int64_t>(0, *at - now);
    return std::nullopt;
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
        if (const auto asked = AskedWait(retryAfter, now))
            decision.wait = std::max(decision.wait, std::chrono::seconds(std::min<std::int64_t>(
                                                        *asked, kMaxRetryAfter.count())));
    return decision;
}
