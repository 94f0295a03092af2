#pragma once

// Which failed requests are tried again by themselves, and how long to wait
// before each try. Pure: the job run asks, and keeps the count.

#include "transfer/RequestResult.h"

#include <chrono>
#include <cstdint>
#include <string_view>

// Tries in a row without progress before a range (or the sample, or the
// probe) is given up; the waits before them, in seconds.
inline constexpr int kMaxTries = 8;
inline constexpr int kRetryWaits[kMaxTries] = {1, 2, 4, 8, 16, 30, 60, 60};
// The longest wait a server's Retry-After may ask for.
inline constexpr std::chrono::seconds kMaxRetryAfter{600};

struct RetryDecision {
    enum class Verdict {
        Retry,     // wait, then try again
        Final,     // a failure no other try mends
        Exhausted, // it could pass, but kMaxTries tries in a row have failed
    };
    Verdict verdict = Verdict::Final;
    std::chrono::seconds wait{0};
};

// Which requests: the probe waits only for a busy server (429, 503); a
// fetch or the sample also for a dropped, refused, stalled or cut connection
// and the statuses 408, 500, 502 and 504.
enum class RetryFor { Probe, Transfer };

// `tryNumber` is the number the next try would have (1 for the first one);
// `retryAfter` the answer's Retry-After, seconds or an HTTP date, which
// lengthens the wait (to at most kMaxRetryAfter) and never shortens it;
// `now` in seconds since 1970.
RetryDecision DecideRetry(RetryFor kind, RequestFailure failure, int statusCode,
                          std::string_view retryAfter, int tryNumber, std::int64_t now);

// How the failure of a connection that a download added, while another of
// its connections works, is taken: the server refusing one connection more
// (429 or 503, a refused or reset connect, a close before any answer), the
// server answering it with other bytes than its range (a 200, another
// Content-Range), or else a failure of its range as on the only connection.
// For a refusal, `pause` is the wait its Retry-After asks for (0 without
// one; at most kMaxRetryAfter).
struct AddedConnectionVerdict {
    enum class Kind { RangeFailure, Refused, IgnoredRange };
    Kind kind = Kind::RangeFailure;
    std::chrono::seconds pause{0};
};
AddedConnectionVerdict JudgeAddedConnection(const RequestResult& result, std::int64_t now);
