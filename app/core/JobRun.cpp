#include "app/core/JobRun.h"

#include "app/core/HeldSample.h"
#include "app/core/ProgressText.h"
#include "app/core/RetryText.h"
#include "common/AppError.h"
#include "common/AsciiText.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "http/AnswerParse.h"
#include "http/CookieStore.h"
#include "list/RangePrefix.h"
#include "transfer/DLThread_Unit.h"
#include "transfer/RetryPolicy.h"

#include <QLocale>

#include <cmath>
#include <exception>

namespace {

std::string RangeText(int pass, int64_t begin, int64_t end) {
    return "#" + std::to_string(pass) + " - [" + std::to_string(begin) + "-" + std::to_string(end) +
           "]";
}

} // namespace

JobRun::JobRun(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
               tHTTPThread& worker, const bool& stop, const RunTimings& timings)
    : rows_(rows), log_(log), window_(window), list_(list), worker_(worker), stop_(stop),
      timings_(timings), wait_(worker, window),
      retries_(log, window, stop, timings_, wait_, state_),
      check_(log, worker, stop, timings_, state_, wait_, retries_, [this] { NextPass(); }) {}

void JobRun::WaitForIdleWorker() {
    wait_.WaitForIdleWorker();
}

RunEnd JobRun::Run(int row) {
    state_.row = row;
    ReadRow();
    ReadEntryAndHandOver();
    return JudgeProbe(retries_.ProbeUntilAnswered());
}

void JobRun::ReadRow() {
    state_.values.fileName = rows_.Text(state_.row, FileNameColumn);
    state_.values.fileSize = rows_.Text(state_.row, FileSizeColumn);
    state_.values.downloaded = rows_.Text(state_.row, DownloadedColumn);
    state_.values.remains = rows_.Text(state_.row, RemainsColumn);
    state_.values.count = StrToInt32(rows_.Text(state_.row, SegmentsColumn));
    state_.values.url = rows_.Text(state_.row, URLColumn);
}

void JobRun::ReadEntryAndHandOver() {
    state_.entry = list_.FindEntry(state_.row);
    if (!state_.entry)
        throw AppError("The download list holds no entry N" + std::to_string(state_.row + 1));
    const std::string proxy = state_.entry.AttributeText("Proxy");
    // The host ends at the first ":", the port is all after it.
    const size_t colon = proxy.find(':');
    const std::string proxyHost = colon == std::string::npos ? "" : proxy.substr(0, colon);
    const std::string proxyPort =
        proxy.size() > proxyHost.size() ? proxy.substr(proxyHost.size() + 1) : std::string();
    const std::string proxyName = state_.entry.AttributeText("ProxyName");
    const std::string proxyPass = state_.entry.AttributeText("ProxyPass");
    const std::string authName = state_.entry.AttributeText("AuthName");
    const std::string authPass = state_.entry.AttributeText("AuthPass");
    if (!state_.entry.HasSegmentQueue())
        throw AppError("The download list entry N" + std::to_string(state_.row + 1) +
                       " has no segment queue");

    worker_.Client.SetReadTimeout(timings_.stallLimit);
    SetCredentials(worker_.Client, authName, authPass);
    SetProxy(worker_.Client, proxyHost, proxyPort, proxyName, proxyPass);
    worker_.URL = state_.values.url;
    worker_.FetchURL.clear();
    log_.AddLogRow(LogIcon::Info, "Checking URL: " + state_.values.url);
}

void JobRun::Pause() {
    worker_.CancelFetch();
    wait_.Pause();
}

void JobRun::Abort() {
    wait_.WithdrawProbe();
    worker_.AbortRequest();
}

RunEnd JobRun::JudgeProbe(const RequestResult& probe) {
    if (const std::optional<RunEnd> refused = check_.JudgeSameFile(probe)) return *refused;
    log_.AddLogRow(LogIcon::Info,
                   "Resuming feature supported by server. Segment requesting started...");
    try {
        return RangeLoop();
    } catch (const std::exception& error) {
        window_.ShowRunEnd(error.what());
        throw;
    }
}

std::string JobRun::OpenFile(std::optional<IncompleteFile>& file) {
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

RunEnd JobRun::RangeLoop() {
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

JobRun::PassValues JobRun::NextPass() {
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

RunEnd JobRun::Passes(IncompleteFile& file) {
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

std::optional<RunEnd> JobRun::Pass(IncompleteFile& file, int pass) {
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

bool JobRun::RecordDurable(int pass, int64_t durableTo) {
    const auto [firstText, lastText] = state_.entry.FirstRange();
    const FirstRangeState now{StrToInt64(firstText), StrToInt64(lastText), state_.downloaded,
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

void JobRun::TakeRange(int pass, int64_t first, int64_t last) {
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

RequestResult JobRun::Fetch(IncompleteFile& file, int pass, int64_t first, int64_t last) {
    log_.AddLogRow(LogIcon::Requested, "Requesting segment " + RangeText(pass, first, last));
    worker_.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
    worker_.Target = {
        &file, first, last, state_.fileSize, timings_.recordInterval, timings_.recordEveryBytes};
    const uint64_t serial = worker_.RequestFetch();
    WaitForFetch(pass, first, last);
    // Pause or Exit withdrew the fetch: it may still be unwinding, and its
    // result is read only once it has stopped.
    WaitForIdleWorker();
    return worker_.Result(serial);
}

void JobRun::WaitForFetch(int pass, int64_t first, int64_t last) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kInterval = std::chrono::milliseconds(250);
    const int64_t total = RangeByteCount(first, last, state_.fileSize);
    TransferRate rate;
    const QLocale locale = QLocale::system();
    int64_t lastWritten = 0, recorded = 0;
    Clock::time_point lastArrival = Clock::now();
    // What the worker made durable reaches List.xml as soon as the worker
    // says so. (The whole range is taken once the fetch has ended, not here.)
    auto record = [&] {
        const int64_t durable = worker_.RangeBytesDurable.load(std::memory_order_acquire);
        if (durable > recorded && durable < total) {
            RecordDurable(pass, first + durable);
            recorded = durable;
        }
    };
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
        window_.ShowProgress(line, state_.downloaded + written - recorded, state_.fileSize);
        lastProgress_ = now;
    };
    rate.Add(Clock::now(), 0);
    while (worker_.FetchPending.load(std::memory_order_acquire)) {
        record();
        const auto now = Clock::now();
        if (now - lastProgress_ >= kInterval) show(now);
        window_.WaitForEventsAtMost(
            std::chrono::ceil<std::chrono::milliseconds>(lastProgress_ + kInterval - Clock::now()));
    }
}

void JobRun::ReleaseWorker() {
    worker_.CancelFetch();
    WaitForIdleWorker();
}

std::string JobRun::CutAndClose(IncompleteFile& file) {
    std::string error;
    try {
        file.SetSize(state_.fileSize);
    } catch (const AppError& refused) {
        error = refused.what();
    }
    file.Close();
    return error;
}

void DeleteEntryAndRow(ListDocument& list, JobRows& rows, int row) {
    const int before = list.EntryCount();
    try {
        list.DeleteEntry(row);
    } catch (const std::exception&) {
        // The document in memory is the master: when the entry is gone from
        // it, the row goes too, and a later save writes what the window shows.
        if (list.EntryCount() < before) rows.RemoveRow(row);
        throw;
    }
    rows.RemoveRow(row);
}
