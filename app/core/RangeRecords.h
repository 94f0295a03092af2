// The queue of a job run as List.xml and the row hold it: what arrived of a
// range recorded, a finished range taken, a range split for another
// connection, each in one save together with the counters it moves.
#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunState.h"
#include "list/RangePrefix.h"
#include "transfer/ConnectionPlan.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class ListDocument;

// "#3 - [1000-2000]": a segment's number and its range, as the log names it.
std::string SegmentText(int segment, std::int64_t begin, std::int64_t end);

// Ranges are named by their place in the queue, which the connection plan
// keeps in the list's order. Values that do not convert and counters that
// would leave the 64-bit range throw AppError before anything changes; a
// failed save leaves document and row as they were.
class RangeRecords {
public:
    RangeRecords(JobRows& rows, JobLog& log, ListDocument& list, RunState& state);

    // The queue, converted, in the list's order; Segments counts it from now on.
    std::vector<PlanRange> Queue();

    // The range at `index` and the counters once it is taken; converts
    // everything a fetch of it needs, so that a value that does not convert
    // ends the run before its request.
    struct Taken {
        std::int64_t first = 0, last = 0, downloaded = 0, remains = 0;
        std::string percent;
    };
    Taken AfterTake(std::size_t index);

    // Every byte of range `index` before `durableTo` (a file offset) is on
    // disk: its Begin moves there, or it is taken when that is the whole
    // range (logged as segment `segment`, as the list held it).
    struct Recorded {
        bool taken = false;
        std::int64_t begin = 0; // the range's Begin after the record
    };
    Recorded RecordDurable(std::size_t index, int segment, std::int64_t durableTo);
    // Takes range `index`, fetched as first..last, and logs it as downloaded.
    void Take(std::size_t index, int segment, std::int64_t first, std::int64_t last);
    // Range `index`, [b, e], becomes [b, middle] and [middle, e].
    void Split(std::size_t index, std::int64_t middle);

    int SegmentsLeft() const { return state_.values.count - state_.taken; }

private:
    // The texts of range `index`; throws AppError when the queue is shorter.
    RangeTexts RangeAt(std::size_t index) const;
    RangeState StateOf(std::size_t index) const;
    // The counters, the list's and the row's, after a record or a take.
    void SetCounters(std::int64_t downloaded, std::int64_t remains);

    JobRows& rows_;
    JobLog& log_;
    ListDocument& list_;
    RunState& state_;
    bool countersRead_ = false;
};
