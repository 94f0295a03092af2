#pragma once

#include "transfer/RequestResult.h"

#include <chrono>
#include <cstdint>
#include <string>

class QLocale;

// What happened to a request that is tried again, or that no try mends, in
// one sentence for the log: "Connection lost after 5.7 MiB of segment #1.",
// "No data for 30 s on the same-file sample.", "Segment #2: the server
// answered \"HTTP/1.1 503 Service Unavailable\"." `what` names the request
// ("segment #1", "the same-file sample").
std::string FailureText(const RequestResult& result, const std::string& what,
                        std::chrono::milliseconds stallLimit, const QLocale& locale);
// "Segment #2 was redirected from <from> to <to>, away from where the file
// was checked", without a full stop.
std::string RedirectedAwayText(const std::string& what, const std::string& from,
                               const std::string& to);
// " Retrying in 2 s (try 2 of 8)"
std::string RetryingText(std::chrono::seconds wait, int tryNumber);
