#pragma once

#include "transfer/ConnectionPlan.h"
#include "transfer/SpeedLimit.h"

#include <chrono>
#include <cstdint>
#include <memory>

// The times and limits a job run keeps: the defaults are the program's, and
// tests change them.
struct RunTimings {
    // No byte for this long, while a request waits for its answer or its
    // body, fails the request as a stall.
    std::chrono::milliseconds stallLimit{30000};
    // From this long without a byte on, the status line says so.
    std::chrono::milliseconds stallNotice{5000};
    // While a range arrives, what reached the file is made durable and
    // recorded at least this often.
    std::chrono::milliseconds recordInterval{10000};
    // And, when not 0, whenever this many more bytes of it reached the file:
    // a test sets it so that every run records at the same bytes.
    std::int64_t recordEveryBytes = 0;
    // The waits before retries, as the log states them in seconds, are
    // multiplied by this.
    double waitScale = 1.0;
    // How many connections a download may use, and when one more pays.
    ConnectionPlan::Limits connections;
    // The speed limit over all connections of a run, shared with the window,
    // which may change its rate while a run goes on.
    std::shared_ptr<SpeedLimit> speedLimit = std::make_shared<SpeedLimit>();
};
