// The connections of a job run: one worker each, the first being the
// window's, and the fetch each has in hand.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/ProgressText.h"
#include "app/core/RunTimings.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class IncompleteFile;
class tHTTPThread;
struct RequestResult;

// One connection: its worker and what it is doing.
struct ConnectionLane {
    using Clock = std::chrono::steady_clock;

    int connection = 0; // its number in the connection plan
    tHTTPThread* worker = nullptr;
    std::unique_ptr<tHTTPThread> own; // every worker but the window's

    // The fetch in hand, from its request until its result is read: its
    // segment number, the range asked for (its last byte moves on a cut),
    // the bytes that range holds, and how many of them are recorded.
    bool fetching = false;
    std::uint64_t serial = 0;
    int segment = 0;
    std::int64_t first = 0, last = 0, total = 0, recorded = 0;
    // For the status line: its speed, and when a byte last arrived.
    TransferRate rate;
    std::int64_t lastWritten = 0;
    Clock::time_point lastArrival{};

    // Waiting before its piece is tried again: the wait as the log states
    // it, and when it ends.
    struct RetryWait {
        std::chrono::seconds stated{0};
        Clock::time_point until{};
    };
    std::optional<RetryWait> retry;
    // The plan closed it: its fetch is withdrawn, and the lane goes once
    // what it brought is recorded.
    bool closed = false;
};

class ConnectionLanes {
public:
    ConnectionLanes(tHTTPThread& first, JobWindow& window, const RunTimings& timings);
    ~ConnectionLanes();
    ConnectionLanes(const ConnectionLanes&) = delete;
    ConnectionLanes& operator=(const ConnectionLanes&) = delete;

    std::vector<std::unique_ptr<ConnectionLane>>& All() { return lanes_; }
    // A lane for connection `connection` on a new worker that takes the
    // first's settings, credential and cookies.
    ConnectionLane& Open(int connection);

    // Raises the fetch of first..last on the lane, into `file`, at the
    // address the first worker checked.
    void StartFetch(ConnectionLane& lane, IncompleteFile& file, std::int64_t fileSize, int segment,
                    std::int64_t first, std::int64_t last);
    // Whether the lane's fetch has ended and the worker let go of it.
    static bool Ended(const ConnectionLane& lane);
    // The bytes of the fetch in hand written so far and on disk.
    static std::int64_t Written(const ConnectionLane& lane);
    static std::int64_t Durable(const ConnectionLane& lane);
    // Reads an ended fetch's result; the lane holds no fetch after.
    RequestResult Read(ConnectionLane& lane);
    // The fetch in hand stops after file offset `last`.
    void Cut(ConnectionLane& lane, std::int64_t last, std::int64_t fileSize);

    // Pause: every fetch is withdrawn. Exit: every request is.
    void WithdrawFetches();
    void AbortRequests();
    // Waits until the lane's fetch has ended, events running.
    void WaitUntilEnded(const ConnectionLane& lane);
    // Lanes closed and idle leave, their workers stopped.
    void RemoveClosed();

    // Bytes written by every connection in this run.
    std::int64_t Arrived() const;
    // Lanes fetching or waiting to try again.
    int Busy() const;

private:
    tHTTPThread& first_;
    JobWindow& window_;
    const RunTimings& timings_;
    std::vector<std::unique_ptr<ConnectionLane>> lanes_;
    std::int64_t arrivedBefore_ = 0; // by fetches already read
};
