// The range loop of a job run: the queued ranges fetched one by one into the
// incomplete file, each recorded in the row and List.xml as it becomes durable.
#include "app/core/RangeLoop.h"

#include "app/core/ProgressText.h"
#include "app/core/RetryText.h"
#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "http/AnswerParse.h"
#include "list/RangePrefix.h"
#include "transfer/DLThread_Unit.h"

#include <QLocale>

#include <exception>
#include <utility>

namespace {

std::string RangeText(int pass, int64_t begin, int64_t end) {
    return "#" + std::to_string(pass) + " - [" + std::to_string(begin) + "-" + std::to_string(end) +
           "]";
}

} // namespace

RangeLoop::RangeLoop(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                     tHTTPThread& worker, const bool& stop, const RunTimings& timings,
                     RunState& state, WorkerWait& wait, RunRetries& retries, SameFileCheck& check)
    : rows_(rows), log_(log), window_(window), list_(list), worker_(worker), stop_(stop),
      timings_(timings), state_(state), wait_(wait), retries_(retries), check_(check) {}

std::string RangeLoop::OpenFile(std::optional<IncompleteFile>& file) {
    std::string refusal;
    try {
        file.emplace(state_.values.fileName);
        // A file of another length was changed by someone else since the
        // import or the last run cut it: writing ranges into it and cutting
        // it to FileSize would call a damaged file complete.
        const int64_t length = file->Length();
        if (length == state_.fileSize) return refusal;
        refusal = "The incomplete file \"" + state_.values.fileName + "\" is " + IntToText(length) +
                  " bytes long, but the download list says " + state_.values.fileSize +
                  ": it was changed outside Quilvane. Nothing was written.";
    } catch (const AppError& error) {
        refusal = error.what();
    }
    file.reset();
    return refusal;
}

RunEnd RangeLoop::Run() {
    state_.fileSize = StrToInt64(state_.values.fileSize);
    std::optional<IncompleteFile> file;
    const std::string refusal = OpenFile(file);
    if (!file) return RunEnd::Failed(refusal);

    RunEnd end;
    std::exception_ptr error;
    try {
        const std::optional<RunEnd> different = check_.CompareHeldBytes(*file);
        end = different ? *different : Passes(*file);
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // However the loop was left, the worker is off the file before it is cut
    // and closed, and the file ends at exactly FileSize.
    ReleaseWorker();
    const std::string cutError = CutAndClose(*file);
    // The failure that ended the loop is the one the user is told of.
    if (error) std::rethrow_exception(error);
    if (end.fileFailed || cutError.empty()) return end;
    return RunEnd::Failed(cutError);
}

RangeLoop::PassValues RangeLoop::NextPass() {
    // Every value a pass needs is converted, and every counter computed,
    // before its request: a failure ends the run with no request raised.
    if (!countersRead_) {
        state_.downloaded = StrToInt64(state_.values.downloaded);
        state_.remains = StrToInt64(state_.values.remains);
        countersRead_ = true;
    }
    const auto [firstText, lastText] = state_.entry.FirstRange();
    PassValues pass;
    pass.first = StrToInt64(firstText);
    pass.last = StrToInt64(lastText);
    // The counters move by end - begin, one less than the bytes fetched.
    const int64_t counted = SubtractChecked(pass.last, pass.first, lastText);
    pass.downloaded = AddChecked(state_.downloaded, counted, state_.values.downloaded);
    pass.remains = SubtractChecked(state_.remains, counted, state_.values.remains);
    pass.percent = PercentText(pass.downloaded, state_.fileSize);
    return pass;
}

RunEnd RangeLoop::Passes(IncompleteFile& file) {
    state_.taken = 0;
    for (int pass = 1; pass <= state_.values.count; ++pass) {
        if (stop_) return Paused(log_, state_, state_.values.count - state_.taken);
        if (std::optional<RunEnd> end = Pass(file, pass)) return *end;
        // Complete when the texts say so, as the list holds them.
        if (IntToText(state_.values.count - state_.taken) == "0" && state_.values.remains == "0" &&
            state_.values.downloaded == state_.values.fileSize) {
            log_.AddLogRow(LogIcon::Info,
                           "File " + state_.values.fileName + " downloaded successfully.");
            DeleteEntryAndRow(list_, rows_, state_.row);
            return {CompletedText(state_.values.fileName)};
        }
    }
    // Pause during the last pass ends the loop too, and says so.
    const int left = state_.values.count - state_.taken;
    return stop_ ? Paused(log_, state_, left) : RunEnd{NotDownloadedText(left)};
}

std::optional<RunEnd> RangeLoop::Pass(IncompleteFile& file, int pass) {
    for (int tries = 0;;) {
        const PassValues range = NextPass();
        const RequestResult result = Fetch(file, pass, range.first, range.last);
        // What reached the file is recorded however the fetch ended.
        const int64_t durable = worker_.RangeBytesDurable.load(std::memory_order_acquire);
        const bool whole = RecordDurable(pass, range.first + durable);
        if (result.Outcome == RequestOutcome::WriteFailed) return RunEnd::Failed(result.WriteError);
        if (result.RangeTaken && !whole) TakeRange(pass, range.first, range.last);
        if (result.RangeTaken || whole) return std::nullopt;
        if (stop_) return Paused(log_, state_, state_.values.count - state_.taken);
        const std::string what = "segment #" + std::to_string(pass);
        // The same pass asks again at the address found anew.
        if (result.Failure == RequestFailure::Elsewhere) {
            if (std::optional<RunEnd> end = check_.EndedElsewhere(result, what, file)) return end;
            continue;
        }
        if (check_.LinkExpired(result)) {
            if (std::optional<RunEnd> end = check_.FollowAgain(result, file)) return end;
            continue;
        }
        // A try that brought bytes to the disk starts the count again.
        if (durable > 0) tries = 0;
        const RunRetries::NextStep step = retries_.AfterFailure(result, what, tries);
        if (step.end) return step.end;
        // What no retry mends ends the run, and says why; the range stays
        // queued for the next Resume.
        if (!step.retry)
            return LogError(log_,
                            FailureText(result, what, timings_.stallLimit, QLocale::system()));
    }
}

bool RangeLoop::RecordDurable(int pass, int64_t durableTo) {
    const auto [firstText, lastText] = state_.entry.FirstRange();
    const RangeState now{StrToInt64(firstText), StrToInt64(lastText), state_.downloaded,
                         state_.remains};
    const std::optional<PrefixRecord> record = RecordPrefix(now, state_.fileSize, durableTo);
    if (!record) return false;
    if (record->wholeRange) {
        TakeRange(pass, now.begin, now.end);
        return true;
    }
    const std::string downloadedText = IntToText(record->downloaded);
    const std::string remainsText = IntToText(record->remains);
    const std::string percent = PercentText(record->downloaded, state_.fileSize);
    const std::string segmentsText = IntToText(state_.values.count - state_.taken);
    // The data is on disk (the worker flushed it); List.xml now says so in
    // one save. A failed save leaves document and row as they were.
    list_.RecordFirstRangePrefix(state_.entry, IntToText(record->begin),
                                 {downloadedText, percent, remainsText, segmentsText});
    state_.downloaded = record->downloaded;
    state_.remains = record->remains;
    state_.values.downloaded = downloadedText;
    state_.values.remains = remainsText;
    rows_.SetText(state_.row, DownloadedColumn, downloadedText);
    rows_.SetText(state_.row, PercentColumn, percent);
    rows_.SetText(state_.row, RemainsColumn, remainsText);
    return false;
}

void RangeLoop::TakeRange(int pass, int64_t first, int64_t last) {
    const auto [begin, end, downloaded, remains, percent] = NextPass();
    log_.AddLogRow(LogIcon::Received, "Segment " + RangeText(pass, first, last) + " downloaded");
    const std::string downloadedText = IntToText(downloaded);
    const std::string remainsText = IntToText(remains);
    const std::string segmentsText = IntToText(state_.values.count - (state_.taken + 1));
    // Queue and counters reach List.xml in one write, so no moment of a
    // crash leaves them disagreeing. A failed write leaves document and row
    // as they were: the range is fetched again.
    list_.TakeFirstRange(state_.entry, {downloadedText, percent, remainsText, segmentsText});
    ++state_.taken;
    state_.downloaded = downloaded;
    state_.remains = remains;
    state_.values.downloaded = downloadedText;
    state_.values.remains = remainsText;
    rows_.SetText(state_.row, DownloadedColumn, downloadedText);
    rows_.SetText(state_.row, PercentColumn, percent);
    rows_.SetText(state_.row, RemainsColumn, remainsText);
    rows_.SetText(state_.row, SegmentsColumn, segmentsText);
}

RequestResult RangeLoop::Fetch(IncompleteFile& file, int pass, int64_t first, int64_t last) {
    log_.AddLogRow(LogIcon::Requested, "Requesting segment " + RangeText(pass, first, last));
    worker_.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
    worker_.Target = {
        &file, first, last, state_.fileSize, timings_.recordInterval, timings_.recordEveryBytes};
    const uint64_t serial = worker_.RequestFetch();
    WaitForFetch(pass, first, last);
    // Pause or Exit withdrew the fetch: it may still be unwinding, and its
    // result is read only once it has stopped.
    wait_.WaitForIdleWorker();
    return worker_.Result(serial);
}

void RangeLoop::WaitForFetch(int pass, int64_t first, int64_t last) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kInterval = std::chrono::milliseconds(250);
    const int64_t total = RangeByteCount(first, last, state_.fileSize);
    TransferRate rate;
    const QLocale locale = QLocale::system();
    int64_t lastWritten = 0;
    Clock::time_point lastArrival = Clock::now();
    inHand_ = InHand{pass, first, total, 0};
    struct Done {
        std::optional<InHand>& inHand;
        ~Done() { inHand.reset(); }
    } done{inHand_};
    auto show = [&](Clock::time_point now) {
        const int64_t written = worker_.RangeBytesWritten.load(std::memory_order_relaxed);
        if (written != lastWritten) {
            lastWritten = written;
            lastArrival = now;
        }
        rate.Add(now, written);
        std::string line =
            ProgressText(pass, first, last, written, total, rate.BytesPerSecond(), locale);
        const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - lastArrival);
        if (now - lastArrival >= timings_.stallNotice)
            line += ", no data for " + std::to_string(silent.count()) + " s";
        // The counters hold the recorded part of the range already.
        window_.ShowProgress(line, state_.downloaded + written - inHand_->recorded,
                             state_.fileSize);
        lastProgress_ = now;
    };
    // A record that failed while the wait let events run ends the loop here.
    auto failed = [this] {
        if (recordFailure_) std::rethrow_exception(std::exchange(recordFailure_, nullptr));
    };
    rate.Add(Clock::now(), 0);
    while (worker_.FetchPending.load(std::memory_order_acquire)) {
        RecordArrived();
        failed();
        const auto now = Clock::now();
        if (now - lastProgress_ >= kInterval) show(now);
        window_.WaitForEventsAtMost(
            std::chrono::ceil<std::chrono::milliseconds>(lastProgress_ + kInterval - Clock::now()));
    }
    failed();
}

void RangeLoop::RecordArrived() {
    // What the worker made durable reaches List.xml as soon as the worker
    // says so. (The whole range is taken once the fetch has ended, not here.)
    if (!inHand_ || recordFailure_) return;
    const int64_t durable = worker_.RangeBytesDurable.load(std::memory_order_acquire);
    if (durable <= inHand_->recorded || durable >= inHand_->total) return;
    try {
        RecordDurable(inHand_->pass, inHand_->first + durable);
        inHand_->recorded = durable;
    } catch (...) {
        recordFailure_ = std::current_exception();
    }
}

void RangeLoop::ReleaseWorker() {
    worker_.CancelFetch();
    wait_.WaitForIdleWorker();
}

std::string RangeLoop::CutAndClose(IncompleteFile& file) {
    std::string error;
    try {
        file.SetSize(state_.fileSize);
    } catch (const AppError& refused) {
        error = refused.what();
    }
    file.Close();
    return error;
}
