#pragma once

#include <cstdint>
#include <optional>
#include <string>

// How one request of the worker ended.
enum class RequestOutcome {
    Withdrawn,      // withdrawn before or while it ran: nothing of it counts
    Error,          // failed, or answered with a status line that says ERROR
    PartialContent, // answered "206 Partial Content"
    Other,          // answered with any other status line
    WriteFailed,    // a fetch whose file refused the bytes
};

// Why a request did not bring what it asked for, as far as another try
// could change it.
enum class RequestFailure {
    None,        // it brought it
    Network,     // no answer, refused, reset, or the connection closed early
    Stall,       // no byte for the read time-out
    ShortBody,   // the range's answer ended before the range did
    Status,      // answered with an error status (StatusCode)
    NotTheRange, // answered, but not with the range asked for (a 200, another range)
    Other,       // anything no retry mends: TLS, a redirect refused, a malformed answer
    Elsewhere,   // redirected away from where the run checked the file; nothing written
};

// What one request leaves for the window thread, published whole before
// its flag clears.
struct RequestResult {
    RequestOutcome Outcome = RequestOutcome::Withdrawn;
    RequestFailure Failure = RequestFailure::None;
    // The status line, or " SERVER ERROR: " and why the request failed.
    std::string StatusText;
    // The answer's status line and code (-1 without one), and its
    // Retry-After value.
    std::string StatusLine;
    int StatusCode = -1;
    std::string RetryAfter;
    // The URL the request ended at after its redirects, and whether it
    // followed any.
    std::string FinalUrl;
    bool Redirected = false;
    // The answer's Content-Length as sent (compared as text with a size) and
    // as a number when it is one.
    std::string ContentLength;
    std::optional<std::int64_t> ContentLengthValue;
    // Header values kept with the answer; nothing decides on them.
    std::string AcceptRanges, ContentRange, ContentType;
    // Body bytes of the asked range that arrived before the request ended.
    std::int64_t BytesReceived = 0;
    // A fetch: exactly the range's bytes are written and durable. A sample:
    // the answer was exactly the range and all of it arrived, in SampleBytes.
    bool RangeTaken = false;
    std::string SampleBytes;
    // A fetch whose file refused the bytes: the file's message.
    std::string WriteError;
};
