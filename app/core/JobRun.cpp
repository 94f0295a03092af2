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
      timings_(timings) {}

void JobRun::WaitForIdleWorker() {
    // A raised flag the worker has not yet taken counts as busy: the request
    // may still start.
    while (worker_.Busy() || worker_.FetchPending.load(std::memory_order_acquire))
        window_.WaitForEvents();
}

RunEnd JobRun::Run(int row) {
    row_ = row;
    ReadRow();
    ReadEntryAndHandOver();
    return JudgeProbe(ProbeUntilAnswered());
}

RequestResult JobRun::ProbeUntilAnswered() {
    for (int tries = 0;;) {
        const RequestResult probe = RequestAndWait(Waiting::Probe);
        if (probe.Failure != RequestFailure::Status) return probe;
        const RetryDecision decision = DecideRetry(RetryFor::Probe, probe.Failure, probe.StatusCode,
                                                   probe.RetryAfter, tries + 1, UnixTimeNow());
        if (decision.verdict != RetryDecision::Verdict::Retry) return probe;
        ++tries;
        log_.AddLogRow(LogIcon::Info, "The server answered \"" + probe.StatusLine +
                                          "\" to the check." + RetryingText(decision.wait, tries));
        if (!WaitBeforeRetry(decision.wait, "the check")) return RequestResult{};
        log_.AddLogRow(LogIcon::Info, "Checking URL: " + values_.url);
    }
}

void JobRun::ReadRow() {
    values_.fileName = rows_.Text(row_, FileNameColumn);
    values_.fileSize = rows_.Text(row_, FileSizeColumn);
    values_.downloaded = rows_.Text(row_, DownloadedColumn);
    values_.remains = rows_.Text(row_, RemainsColumn);
    values_.count = StrToInt32(rows_.Text(row_, SegmentsColumn));
    values_.url = rows_.Text(row_, URLColumn);
}

void JobRun::ReadEntryAndHandOver() {
    entry_ = list_.FindEntry(row_);
    if (!entry_) throw AppError("The download list holds no entry N" + std::to_string(row_ + 1));
    const std::string proxy = entry_.AttributeText("Proxy");
    // The host ends at the first ":", the port is all after it.
    const size_t colon = proxy.find(':');
    const std::string proxyHost = colon == std::string::npos ? "" : proxy.substr(0, colon);
    const std::string proxyPort =
        proxy.size() > proxyHost.size() ? proxy.substr(proxyHost.size() + 1) : std::string();
    const std::string proxyName = entry_.AttributeText("ProxyName");
    const std::string proxyPass = entry_.AttributeText("ProxyPass");
    const std::string authName = entry_.AttributeText("AuthName");
    const std::string authPass = entry_.AttributeText("AuthPass");
    if (!entry_.HasSegmentQueue())
        throw AppError("The download list entry N" + std::to_string(row_ + 1) +
                       " has no segment queue");

    worker_.Client.SetReadTimeout(timings_.stallLimit);
    SetCredentials(worker_.Client, authName, authPass);
    SetProxy(worker_.Client, proxyHost, proxyPort, proxyName, proxyPass);
    worker_.URL = values_.url;
    worker_.FetchURL.clear();
    log_.AddLogRow(LogIcon::Info, "Checking URL: " + values_.url);
}

RequestResult JobRun::RequestAndWait(Waiting kind) {
    probeWithdrawn_ = false;
    pausedDuringProbe_.reset();
    waiting_ = kind;
    const bool sample = kind == Waiting::Sample;
    const uint64_t serial = sample ? worker_.RequestSample() : worker_.RequestProbe();
    WaitForProbe(sample ? worker_.SamplePending : worker_.ProbePending);
    waiting_ = Waiting::None;
    // A withdrawn request may still be unwinding on the worker: its result
    // reads as withdrawn.
    return worker_.Result(probeWithdrawn_ ? 0 : serial);
}

void JobRun::WaitForProbe(const std::atomic<bool>& pending) {
    // A probe answered soon after Pause is still judged, and the run then
    // stops before its first range. One the server leaves unanswered is
    // withdrawn instead of holding the run for the worker's read time-out.
    constexpr auto kGrace = std::chrono::milliseconds(1000);
    while (pending.load(std::memory_order_acquire)) {
        if (!pausedDuringProbe_) {
            window_.WaitForEvents();
            continue;
        }
        const auto left = kGrace - (std::chrono::steady_clock::now() - *pausedDuringProbe_);
        if (left <= std::chrono::milliseconds(0)) {
            WithdrawProbe();
        } else {
            window_.WaitForEventsAtMost(std::chrono::ceil<std::chrono::milliseconds>(left));
        }
    }
}

void JobRun::WithdrawProbe() {
    if (waiting_ == Waiting::None) return;
    probeWithdrawn_ = true;
    if (waiting_ == Waiting::Probe)
        worker_.CancelProbe();
    else
        worker_.CancelSample();
}

void JobRun::Pause() {
    worker_.CancelFetch();
    if (waiting_ != Waiting::None && !pausedDuringProbe_)
        pausedDuringProbe_ = std::chrono::steady_clock::now();
}

void JobRun::Abort() {
    WithdrawProbe();
    worker_.AbortRequest();
}

RunEnd JobRun::LogError(const std::string& message) {
    log_.AddLogRow(LogIcon::Error, message);
    return {std::string(TrimBlanks(message))};
}

RunEnd JobRun::Paused(int segmentsLeft) {
    log_.AddLogRow(LogIcon::Info, "Downloading of file " + values_.fileName + " paused");
    return {PausedText(segmentsLeft)};
}

JobRun::NextStep JobRun::AfterFailure(const RequestResult& result, const std::string& what,
                                      int& tries) {
    NextStep step;
    const RetryDecision decision =
        DecideRetry(RetryFor::Transfer, result.Failure, result.StatusCode, result.RetryAfter,
                    tries + 1, UnixTimeNow());
    const std::string failure = FailureText(result, what, timings_.stallLimit, QLocale::system());
    switch (decision.verdict) {
    case RetryDecision::Verdict::Final:
        return step;
    case RetryDecision::Verdict::Exhausted:
        step.end =
            LogError("Gave up after " + std::to_string(kMaxTries) + " tries in a row. " + failure);
        return step;
    case RetryDecision::Verdict::Retry:
        break;
    }
    ++tries;
    log_.AddLogRow(LogIcon::Info, failure + RetryingText(decision.wait, tries));
    if (!WaitBeforeRetry(decision.wait, what)) {
        step.end = Paused(values_.count - taken_);
        return step;
    }
    step.retry = true;
    return step;
}

bool JobRun::WaitBeforeRetry(std::chrono::seconds wait, const std::string& what) {
    using Clock = std::chrono::steady_clock;
    const auto scaled = std::chrono::duration_cast<Clock::duration>(wait * timings_.waitScale);
    const Clock::time_point start = Clock::now(), until = start + scaled;
    for (Clock::time_point now = start; now < until && !stop_; now = Clock::now()) {
        // The line counts the stated seconds down, whatever the scale.
        const double shareLeft =
            std::chrono::duration<double>(until - now) / std::chrono::duration<double>(scaled);
        const auto left =
            static_cast<int64_t>(std::ceil(shareLeft * static_cast<double>(wait.count())));
        window_.ShowProgress("Retrying " + what + " in " + std::to_string(left) + " s", downloaded_,
                             fileSize_);
        window_.WaitForEventsAtMost(
            std::min(std::chrono::ceil<std::chrono::milliseconds>(until - now),
                     std::chrono::milliseconds(250)));
    }
    return !stop_;
}

RunEnd JobRun::JudgeProbe(const RequestResult& probe) {
    if (const std::optional<RunEnd> refused = JudgeSameFile(probe)) return *refused;
    log_.AddLogRow(LogIcon::Info,
                   "Resuming feature supported by server. Segment requesting started...");
    try {
        return RangeLoop();
    } catch (const std::exception& error) {
        window_.ShowRunEnd(error.what());
        throw;
    }
}

std::optional<RunEnd> JobRun::JudgeSameFile(const RequestResult& probe) {
    switch (probe.Outcome) {
    case RequestOutcome::Withdrawn:
        // Exit, or Pause on an unanswered probe or during a wait, withdrew
        // it; whatever it had read is not judged.
        return Paused(values_.count - taken_);
    case RequestOutcome::Error:
    case RequestOutcome::WriteFailed:
        return LogError(probe.StatusText);
    case RequestOutcome::Other:
        return LogError(
            "Resuming feature is unsupported by server. Segment downloading is impossible.");
    case RequestOutcome::PartialContent:
        break;
    }
    // The very same file: the server's size as sent, letter for letter, where
    // the bytes will come from.
    if (probe.ContentLength != values_.fileSize)
        return LogError("File on server has changed. Can't download incomplete segments.");
    if (probe.Redirected) log_.AddLogRow(LogIcon::Info, "Moved to " + probe.FinalUrl);
    // The sample and the ranges go straight to where the probe ended.
    worker_.FetchURL = probe.FinalUrl;
    return std::nullopt;
}

bool JobRun::LinkExpired(const RequestResult& result) const {
    const int code = result.StatusCode;
    return (code == 401 || code == 403 || code == 404 || code == 410) && !followedAgain_ &&
           !worker_.FetchURL.empty() && worker_.FetchURL != worker_.URL;
}

std::optional<RunEnd> JobRun::FollowAgain(const RequestResult& refused, IncompleteFile& file) {
    log_.AddLogRow(LogIcon::Info, "The address the download moved to answered \"" +
                                      refused.StatusLine + "\": following " + values_.url +
                                      " again.");
    return FollowAgain(file);
}

std::optional<RunEnd> JobRun::FollowAgain(IncompleteFile& file) {
    followedAgain_ = true;
    worker_.FetchURL.clear();
    if (const std::optional<RunEnd> refusal = JudgeSameFile(ProbeUntilAnswered())) return refusal;
    return CompareHeldBytes(file);
}

std::optional<RunEnd> JobRun::EndedElsewhere(const RequestResult& result, const std::string& what,
                                             IncompleteFile& file) {
    const std::string checked = worker_.FetchURL.empty() ? worker_.URL : worker_.FetchURL;
    const std::string away = RedirectedAwayText(what, checked, result.FinalUrl);
    // Bytes from another server never join the file: once the run looks for
    // the file anew from the download's URL, the second time it ends.
    if (followedAgain_)
        return LogError(away + ". The download takes all its bytes from one server.");
    log_.AddLogRow(LogIcon::Info, away + ": following " + values_.url + " again.");
    return FollowAgain(file);
}

std::string JobRun::OpenFile(std::optional<IncompleteFile>& file) {
    std::string refusal;
    try {
        file.emplace(values_.fileName);
        // A file of another length was changed by someone else since the
        // import or the last run cut it: writing ranges into it and cutting
        // it to FileSize would call a damaged file complete.
        const int64_t length = file->Length();
        if (length == fileSize_) return refusal;
        refusal = "The incomplete file \"" + values_.fileName + "\" is " + IntToText(length) +
                  " bytes long, but the download list says " + values_.fileSize +
                  ": it was changed outside Quilvane. Nothing was written.";
    } catch (const AppError& error) {
        refusal = error.what();
    }
    file.reset();
    return refusal;
}

RunEnd JobRun::RangeLoop() {
    fileSize_ = StrToInt64(values_.fileSize);
    std::optional<IncompleteFile> file;
    const std::string refusal = OpenFile(file);
    if (!file) return RunEnd::Failed(refusal);

    RunEnd end;
    std::exception_ptr error;
    try {
        const std::optional<RunEnd> different = CompareHeldBytes(*file);
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

std::optional<RunEnd> JobRun::CompareHeldBytes(IncompleteFile& file) {
    // Pause during the probe stops the run before its first range anyway,
    // and a run with no range to fetch has nothing to protect.
    if (stop_ || values_.count <= 0) return std::nullopt;
    std::vector<std::pair<int64_t, int64_t>> queue;
    for (const auto& [first, last] : entry_.Queue())
        queue.emplace_back(StrToInt64(first), StrToInt64(last));
    if (queue.empty()) return std::nullopt;
    const auto sample = HeldSample(queue, fileSize_);
    if (!sample) return std::nullopt; // one range covers the whole file
    // The first pass's values convert before the sample's request as they
    // would before its own.
    NextPass();
    const auto [first, last] = *sample;

    for (int tries = 0;;) {
        worker_.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
        worker_.Target = {
            nullptr, first, last, fileSize_, timings_.recordInterval, timings_.recordEveryBytes};
        const RequestResult result = RequestAndWait(Waiting::Sample);
        if (result.Outcome == RequestOutcome::Withdrawn) return Paused(values_.count - taken_);
        if (result.Failure == RequestFailure::Elsewhere)
            return EndedElsewhere(result, "the same-file sample", file);
        if (LinkExpired(result)) return FollowAgain(result, file);
        if (result.RangeTaken) {
            std::string held;
            try {
                held = file.ReadAt(first, static_cast<size_t>(last - first + 1));
            } catch (const AppError& refused) {
                return RunEnd::Failed(refused.what());
            }
            // Another file of the same size is not the file these bytes
            // came from.
            if (result.SampleBytes == held) return std::nullopt;
            break;
        }
        // A busy server or a dropped connection tells nothing of the file.
        const NextStep step = AfterFailure(result, "the same-file sample", tries);
        if (step.end) return step.end;
        if (step.retry) continue;
        // A request that failed on its way (TLS, a redirect refused) or was
        // refused (a password, 403, 416) says why; an answer that is not
        // exactly the asked bytes is another file.
        if (result.Outcome == RequestOutcome::Error) return LogError(result.StatusText);
        break;
    }
    return LogError("File on server has changed. Can't download incomplete segments.");
}

JobRun::PassValues JobRun::NextPass() {
    // Every value a pass needs is converted, and every counter computed,
    // before its request: a failure ends the run with no request raised.
    if (!countersRead_) {
        downloaded_ = StrToInt64(values_.downloaded);
        remains_ = StrToInt64(values_.remains);
        countersRead_ = true;
    }
    const auto [firstText, lastText] = entry_.FirstRange();
    PassValues pass;
    pass.first = StrToInt64(firstText);
    pass.last = StrToInt64(lastText);
    // The counters move by end - begin, one less than the bytes fetched.
    const int64_t counted = SubtractChecked(pass.last, pass.first, lastText);
    pass.downloaded = AddChecked(downloaded_, counted, values_.downloaded);
    pass.remains = SubtractChecked(remains_, counted, values_.remains);
    pass.percent = PercentText(pass.downloaded, fileSize_);
    return pass;
}

RunEnd JobRun::Passes(IncompleteFile& file) {
    taken_ = 0;
    for (int pass = 1; pass <= values_.count; ++pass) {
        if (stop_) return Paused(values_.count - taken_);
        if (std::optional<RunEnd> end = Pass(file, pass)) return *end;
        // Complete when the texts say so, as the list holds them.
        if (IntToText(values_.count - taken_) == "0" && values_.remains == "0" &&
            values_.downloaded == values_.fileSize) {
            log_.AddLogRow(LogIcon::Info, "File " + values_.fileName + " downloaded successfully.");
            DeleteEntryAndRow(list_, rows_, row_);
            return {CompletedText(values_.fileName)};
        }
    }
    // Pause during the last pass ends the loop too, and says so.
    const int left = values_.count - taken_;
    return stop_ ? Paused(left) : RunEnd{NotDownloadedText(left)};
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
        if (stop_) return Paused(values_.count - taken_);
        const std::string what = "segment #" + std::to_string(pass);
        // The same pass asks again at the address found anew.
        if (result.Failure == RequestFailure::Elsewhere) {
            if (std::optional<RunEnd> end = EndedElsewhere(result, what, file)) return end;
            continue;
        }
        if (LinkExpired(result)) {
            if (std::optional<RunEnd> end = FollowAgain(result, file)) return end;
            continue;
        }
        // A try that brought bytes to the disk starts the count again.
        if (durable > 0) tries = 0;
        const NextStep step = AfterFailure(result, what, tries);
        if (step.end) return step.end;
        // What no retry mends ends the run, and says why; the range stays
        // queued for the next Resume.
        if (!step.retry)
            return LogError(FailureText(result, what, timings_.stallLimit, QLocale::system()));
    }
}

bool JobRun::RecordDurable(int pass, int64_t durableTo) {
    const auto [firstText, lastText] = entry_.FirstRange();
    const FirstRangeState now{StrToInt64(firstText), StrToInt64(lastText), downloaded_, remains_};
    const std::optional<PrefixRecord> record = RecordPrefix(now, fileSize_, durableTo);
    if (!record) return false;
    if (record->wholeRange) {
        TakeRange(pass, now.begin, now.end);
        return true;
    }
    const std::string downloadedText = IntToText(record->downloaded);
    const std::string remainsText = IntToText(record->remains);
    const std::string percent = PercentText(record->downloaded, fileSize_);
    const std::string segmentsText = IntToText(values_.count - taken_);
    // The data is on disk (the worker flushed it); List.xml now says so in
    // one save. A failed save leaves document and row as they were.
    list_.RecordFirstRangePrefix(entry_, IntToText(record->begin),
                                 {downloadedText, percent, remainsText, segmentsText});
    downloaded_ = record->downloaded;
    remains_ = record->remains;
    values_.downloaded = downloadedText;
    values_.remains = remainsText;
    rows_.SetText(row_, DownloadedColumn, downloadedText);
    rows_.SetText(row_, PercentColumn, percent);
    rows_.SetText(row_, RemainsColumn, remainsText);
    return false;
}

void JobRun::TakeRange(int pass, int64_t first, int64_t last) {
    const auto [begin, end, downloaded, remains, percent] = NextPass();
    log_.AddLogRow(LogIcon::Received, "Segment " + RangeText(pass, first, last) + " downloaded");
    const std::string downloadedText = IntToText(downloaded);
    const std::string remainsText = IntToText(remains);
    const std::string segmentsText = IntToText(values_.count - (taken_ + 1));
    // Queue and counters reach List.xml in one write, so no moment of a
    // crash leaves them disagreeing. A failed write leaves document and row
    // as they were: the range is fetched again.
    list_.TakeFirstRange(entry_, {downloadedText, percent, remainsText, segmentsText});
    ++taken_;
    downloaded_ = downloaded;
    remains_ = remains;
    values_.downloaded = downloadedText;
    values_.remains = remainsText;
    rows_.SetText(row_, DownloadedColumn, downloadedText);
    rows_.SetText(row_, PercentColumn, percent);
    rows_.SetText(row_, RemainsColumn, remainsText);
    rows_.SetText(row_, SegmentsColumn, segmentsText);
}

RequestResult JobRun::Fetch(IncompleteFile& file, int pass, int64_t first, int64_t last) {
    log_.AddLogRow(LogIcon::Requested, "Requesting segment " + RangeText(pass, first, last));
    worker_.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
    worker_.Target = {
        &file, first, last, fileSize_, timings_.recordInterval, timings_.recordEveryBytes};
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
    const int64_t total = RangeByteCount(first, last, fileSize_);
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
        window_.ShowProgress(line, downloaded_ + written - recorded, fileSize_);
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
        file.SetSize(fileSize_);
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
