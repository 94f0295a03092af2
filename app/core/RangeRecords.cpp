#include "app/core/RangeRecords.h"

#include "common/AppError.h"
#include "common/Texts.h"
#include "list/ListDocument.h"
#include "list/RangePrefix.h"

#include <utility>

std::string SegmentText(int segment, std::int64_t begin, std::int64_t end) {
    return "#" + std::to_string(segment) + " - [" + std::to_string(begin) + "-" +
           std::to_string(end) + "]";
}

RangeRecords::RangeRecords(JobRows& rows, JobLog& log, ListDocument& list, RunState& state)
    : rows_(rows), log_(log), list_(list), state_(state) {}

std::vector<PlanRange> RangeRecords::Queue() {
    std::vector<PlanRange> queue;
    for (const auto& [first, last] : state_.entry.Queue())
        queue.push_back({StrToInt64(first), StrToInt64(last)});
    state_.values.count = static_cast<int>(queue.size());
    state_.taken = 0;
    return queue;
}

RangeRecords::Taken RangeRecords::AfterTake(std::size_t index) {
    if (!countersRead_) {
        state_.downloaded = StrToInt64(state_.values.downloaded);
        state_.remains = StrToInt64(state_.values.remains);
        countersRead_ = true;
    }
    const auto [firstText, lastText] = RangeAt(index);
    Taken taken;
    taken.first = StrToInt64(firstText);
    taken.last = StrToInt64(lastText);
    // The counters move by end - begin, one less than the bytes fetched.
    const int64_t counted = SubtractChecked(taken.last, taken.first, lastText);
    taken.downloaded = AddChecked(state_.downloaded, counted, state_.values.downloaded);
    taken.remains = SubtractChecked(state_.remains, counted, state_.values.remains);
    taken.percent = PercentText(taken.downloaded, state_.fileSize);
    return taken;
}

RangeTexts RangeRecords::RangeAt(std::size_t index) const {
    // The first range without reading the whole queue.
    if (index == 0) return state_.entry.FirstRange();
    std::vector<RangeTexts> queue = state_.entry.Queue();
    if (index >= queue.size())
        throw AppError("The download list entry N" + std::to_string(state_.row + 1) +
                       " has no segment " + std::to_string(index + 1));
    return std::move(queue[index]);
}

RangeState RangeRecords::StateOf(std::size_t index) const {
    const auto [first, last] = RangeAt(index);
    return {StrToInt64(first), StrToInt64(last), state_.downloaded, state_.remains};
}

RangeRecords::Recorded RangeRecords::RecordDurable(std::size_t index, int segment,
                                                   std::int64_t durableTo) {
    const RangeState now = StateOf(index);
    const std::optional<PrefixRecord> record = RecordPrefix(now, state_.fileSize, durableTo);
    if (!record) return {false, now.begin};
    if (record->wholeRange) {
        Take(index, segment, now.begin, now.end);
        return {true, now.end};
    }
    const std::string downloadedText = IntToText(record->downloaded);
    const std::string remainsText = IntToText(record->remains);
    // The data is on disk (the worker flushed it); List.xml now says so in
    // one save.
    list_.RecordRangePrefix(state_.entry, index, IntToText(record->begin),
                            {downloadedText, PercentText(record->downloaded, state_.fileSize),
                             remainsText, IntToText(SegmentsLeft())});
    SetCounters(record->downloaded, record->remains);
    return {false, record->begin};
}

void RangeRecords::Take(std::size_t index, int segment, std::int64_t first, std::int64_t last) {
    const Taken taken = AfterTake(index);
    log_.AddLogRow(LogIcon::Received,
                   "Segment " + SegmentText(segment, first, last) + " downloaded");
    const std::string segmentsText = IntToText(SegmentsLeft() - 1);
    // Queue and counters reach List.xml in one write, so no moment of a
    // crash leaves them disagreeing. A failed write leaves document and row
    // as they were: the range is fetched again.
    list_.TakeRange(
        state_.entry, index,
        {IntToText(taken.downloaded), taken.percent, IntToText(taken.remains), segmentsText});
    ++state_.taken;
    SetCounters(taken.downloaded, taken.remains);
    rows_.SetText(state_.row, SegmentsColumn, segmentsText);
}

void RangeRecords::Split(std::size_t index, std::int64_t middle) {
    // The counters stay as they are: the halves count what the range did.
    const std::string segmentsText = IntToText(SegmentsLeft() + 1);
    list_.SplitRange(state_.entry, index, IntToText(middle),
                     {state_.values.downloaded, PercentText(state_.downloaded, state_.fileSize),
                      state_.values.remains, segmentsText});
    ++state_.values.count;
    rows_.SetText(state_.row, SegmentsColumn, segmentsText);
}

void RangeRecords::SetCounters(std::int64_t downloaded, std::int64_t remains) {
    state_.downloaded = downloaded;
    state_.remains = remains;
    state_.values.downloaded = IntToText(downloaded);
    state_.values.remains = IntToText(remains);
    rows_.SetText(state_.row, DownloadedColumn, state_.values.downloaded);
    rows_.SetText(state_.row, PercentColumn, PercentText(downloaded, state_.fileSize));
    rows_.SetText(state_.row, RemainsColumn, state_.values.remains);
}
