#include "app/core/ConnectionLanes.h"

#include "http/AnswerParse.h"
#include "transfer/DLThread_Unit.h"

#include <algorithm>

ConnectionLanes::ConnectionLanes(tHTTPThread& first, JobWindow& window, const RunTimings& timings)
    : first_(first), window_(window), timings_(timings) {
    auto lane = std::make_unique<ConnectionLane>();
    lane->worker = &first;
    lanes_.push_back(std::move(lane));
}

ConnectionLanes::~ConnectionLanes() {
    // Workers of their own stop with their lanes; each withdraws what it
    // is in first.
    for (auto& lane : lanes_)
        if (lane->own) lane->own->AbortRequest();
}

ConnectionLane& ConnectionLanes::Open(int connection) {
    auto lane = std::make_unique<ConnectionLane>();
    lane->connection = connection;
    lane->own = window_.MakeWorker();
    lane->own->Client.JoinDownloadOf(first_.Client);
    lane->worker = lane->own.get();
    lanes_.push_back(std::move(lane));
    return *lanes_.back();
}

void ConnectionLanes::StartFetch(ConnectionLane& lane, IncompleteFile& file, std::int64_t fileSize,
                                 int segment, std::int64_t first, std::int64_t last) {
    tHTTPThread& worker = *lane.worker;
    // Every connection asks where the first one checked the file, and
    // follows it when the run follows the download's URL again.
    if (&worker != &first_) {
        worker.URL = first_.URL;
        worker.FetchURL = first_.FetchURL;
    }
    worker.Limit = timings_.speedLimit;
    worker.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
    worker.Target = {
        &file, first, last, fileSize, timings_.recordInterval, timings_.recordEveryBytes};
    lane.serial = worker.RequestFetch();
    lane.fetching = true;
    lane.segment = segment;
    lane.first = first;
    lane.last = last;
    lane.total = RangeByteCount(first, last, fileSize);
    lane.recorded = 0;
    lane.rate = TransferRate();
    lane.lastWritten = 0;
    lane.lastArrival = ConnectionLane::Clock::now();
    lane.rate.Add(lane.lastArrival, 0);
}

bool ConnectionLanes::Ended(const ConnectionLane& lane) {
    return lane.fetching && !lane.worker->FetchPending.load(std::memory_order_acquire) &&
           !lane.worker->Busy();
}

std::int64_t ConnectionLanes::Written(const ConnectionLane& lane) {
    return lane.fetching ? lane.worker->RangeBytesWritten.load(std::memory_order_relaxed) : 0;
}

std::int64_t ConnectionLanes::Durable(const ConnectionLane& lane) {
    return lane.worker->RangeBytesDurable.load(std::memory_order_acquire);
}

RequestResult ConnectionLanes::Read(ConnectionLane& lane) {
    arrivedBefore_ += Written(lane);
    lane.fetching = false;
    return lane.worker->Result(lane.serial);
}

void ConnectionLanes::Cut(ConnectionLane& lane, std::int64_t last, std::int64_t fileSize) {
    if (!lane.fetching || last >= lane.last) return;
    lane.worker->StopAfter.store(last, std::memory_order_release);
    lane.last = last;
    lane.total = RangeByteCount(lane.first, last, fileSize);
}

void ConnectionLanes::WithdrawFetches() {
    for (auto& lane : lanes_)
        lane->worker->CancelFetch();
}

void ConnectionLanes::AbortRequests() {
    for (auto& lane : lanes_)
        lane->worker->AbortRequest();
}

void ConnectionLanes::WaitUntilEnded(const ConnectionLane& lane) {
    while (lane.fetching && !Ended(lane))
        window_.WaitForEvents();
}

void ConnectionLanes::RemoveClosed() {
    std::erase_if(lanes_, [](const std::unique_ptr<ConnectionLane>& lane) {
        return lane->closed && !lane->fetching;
    });
}

std::int64_t ConnectionLanes::Arrived() const {
    std::int64_t bytes = arrivedBefore_;
    for (const auto& lane : lanes_)
        bytes += Written(*lane);
    return bytes;
}

int ConnectionLanes::Busy() const {
    return static_cast<int>(std::count_if(lanes_.begin(), lanes_.end(), [](const auto& lane) {
        return lane->fetching || lane->retry.has_value();
    }));
}
