// Which failures are tried again and how long the run waits first, with the
// program's real times.

#include "transfer/RetryPolicy.h"
#include "app/core/RunTimings.h"

#include <gtest/gtest.h>

namespace {

using Verdict = RetryDecision::Verdict;
constexpr std::int64_t kNow = 1700000000; // Tue, 14 Nov 2023 22:13:20 GMT

struct RetryCase {
    RetryFor kind;
    RequestFailure failure;
    int status;
    const char* retryAfter;
    int tryNumber;
    Verdict verdict;
    int wait;
};

TEST(RetryPolicy, WhatCanPassAndHowLongToWait) {
    const auto T = RetryFor::Transfer, P = RetryFor::Probe;
    const auto R = Verdict::Retry, F = Verdict::Final, X = Verdict::Exhausted;
    const RetryCase cases[] = {
        // Dropped, stalled and cut connections: the waits of the table.
        {T, RequestFailure::Network, -1, "", 1, R, 1},
        {T, RequestFailure::Stall, -1, "", 2, R, 2},
        {T, RequestFailure::ShortBody, 206, "", 3, R, 4},
        {T, RequestFailure::Network, -1, "", 4, R, 8},
        {T, RequestFailure::Network, -1, "", 5, R, 16},
        {T, RequestFailure::Network, -1, "", 6, R, 30},
        {T, RequestFailure::Network, -1, "5", 7, R, 60}, // no answer has no Retry-After
        {T, RequestFailure::Network, -1, "", 8, R, 60},
        {T, RequestFailure::Network, -1, "", 9, X, 0},
        // Busy or failing servers; Retry-After in seconds or as a date.
        {T, RequestFailure::Status, 503, "3", 1, R, 3},
        {T, RequestFailure::Status, 429, " 99999 ", 2, R, 600},
        {T, RequestFailure::Status, 503, "Tue, 14 Nov 2023 22:15:00 GMT", 1, R, 100},
        // A server may lengthen the wait, never shorten it.
        {T, RequestFailure::Status, 503, "Sun, 06 Nov 1994 08:49:37 GMT", 1, R, 1},
        {T, RequestFailure::Status, 503, "0", 3, R, 4},
        {T, RequestFailure::Status, 500, "soon", 3, R, 4},
        {T, RequestFailure::Status, 408, "", 1, R, 1},
        {T, RequestFailure::Status, 502, "", 1, R, 1},
        {T, RequestFailure::Status, 504, "", 9, X, 0},
        // What no other try mends.
        {T, RequestFailure::Status, 404, "", 1, F, 0},
        {T, RequestFailure::Status, 410, "", 1, F, 0},
        {T, RequestFailure::Status, 416, "", 1, F, 0},
        {T, RequestFailure::Status, 401, "", 1, F, 0},
        {T, RequestFailure::NotTheRange, 200, "", 1, F, 0},
        {T, RequestFailure::Other, -1, "", 1, F, 0},
        // The probe waits for a busy server only.
        {P, RequestFailure::Status, 503, "", 1, R, 1},
        {P, RequestFailure::Status, 429, "7", 2, R, 7},
        {P, RequestFailure::Status, 503, "", 9, X, 0},
        {P, RequestFailure::Status, 500, "", 1, F, 0},
        {P, RequestFailure::Network, -1, "", 1, F, 0},
    };
    for (const RetryCase& c : cases) {
        const RetryDecision d =
            DecideRetry(c.kind, c.failure, c.status, c.retryAfter, c.tryNumber, kNow);
        EXPECT_EQ(d.verdict, c.verdict) << c.status << " try " << c.tryNumber;
        EXPECT_EQ(d.wait.count(), c.wait) << c.status << " try " << c.tryNumber;
    }
}

TEST(RetryPolicy, WhatAnAddedConnectionsFailureSays) {
    using Kind = AddedConnectionVerdict::Kind;
    const struct {
        RequestFailure failure;
        int status;
        const char* retryAfter;
        std::int64_t received;
        Kind kind;
        int pause;
    } cases[] = {
        {RequestFailure::Status, 503, "", 0, Kind::Refused, 0},
        {RequestFailure::Status, 429, "120", 0, Kind::Refused, 120},
        {RequestFailure::Status, 503, "86400", 0, Kind::Refused, 600},
        {RequestFailure::Network, -1, "", 0, Kind::Refused, 0}, // refused, reset, closed
        {RequestFailure::NotTheRange, 200, "", 0, Kind::IgnoredRange, 0},
        {RequestFailure::Network, -1, "", 4096, Kind::RangeFailure, 0}, // a drop on the way
        {RequestFailure::Network, 206, "", 0, Kind::RangeFailure, 0},
        {RequestFailure::Status, 500, "", 0, Kind::RangeFailure, 0},
        {RequestFailure::Stall, -1, "", 0, Kind::RangeFailure, 0},
    };
    for (const auto& c : cases) {
        RequestResult result;
        result.Failure = c.failure;
        result.StatusCode = c.status;
        result.RetryAfter = c.retryAfter;
        result.BytesReceived = c.received;
        const AddedConnectionVerdict verdict = JudgeAddedConnection(result, kNow);
        EXPECT_EQ(verdict.kind, c.kind) << c.status << " " << c.received;
        EXPECT_EQ(verdict.pause.count(), c.pause) << c.status << " " << c.received;
    }
}

TEST(RetryPolicy, TheRunsRealTimes) {
    const RunTimings timings;
    EXPECT_EQ(timings.stallLimit, std::chrono::seconds(30));
    EXPECT_EQ(timings.stallNotice, std::chrono::seconds(5));
    EXPECT_EQ(timings.recordInterval, std::chrono::seconds(10));
    EXPECT_EQ(timings.waitScale, 1.0);
    EXPECT_EQ(kMaxTries, 8);
    EXPECT_EQ(kMaxRetryAfter, std::chrono::minutes(10));
}

} // namespace
