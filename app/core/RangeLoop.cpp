// The range loop of a job run: the queued ranges fetched into the incomplete
// file over the connections the plan opens, each recorded in the row and
// List.xml as it becomes durable.
#include "app/core/RangeLoop.h"

#include "app/core/ConnectionText.h"
#include "app/core/FinishedName.h"
#include "app/core/ProgressText.h"
#include "app/core/RetryText.h"
#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "http/HttpDate.h"
#include "transfer/DLThread_Unit.h"
#include "transfer/RetryPolicy.h"

#include <QLocale>

#include <algorithm>
#include <exception>
#include <utility>

RangeLoop::RangeLoop(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                     tHTTPThread& worker, const bool& stop, const RunTimings& timings,
                     RunState& state, WorkerWait& wait, RunRetries& retries, SameFileCheck& check)
    : rows_(rows), log_(log), window_(window), list_(list), worker_(worker), stop_(stop),
      timings_(timings), state_(state), wait_(wait), retries_(retries), check_(check),
      records_(rows, log, list, state), lanes_(worker, window, timings),
      digest_(log, window, stop) {}

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
        end = different ? *different : Fetches(*file);
    } catch (const std::exception&) {
        error = std::current_exception();
    }
    // However the loop was left, every worker is off the file before it is
    // cut and closed, and the file ends at exactly FileSize.
    ReleaseWorkers();
    const std::string cutError = CutAndClose(*file);
    // The failure that ended the loop is the one the user is told of.
    if (error) std::rethrow_exception(error);
    if (cutError.empty()) RenameFinished(end);
    if (end.fileFailed || cutError.empty()) return end;
    return RunEnd::Failed(cutError);
}

RunEnd RangeLoop::CheckAgain() {
    state_.fileSize = StrToInt64(state_.values.fileSize);
    std::optional<IncompleteFile> file;
    const std::string refusal = OpenFile(file);
    if (!file) return RunEnd::Failed(refusal);
    // Held (and locked) while it is read, so no other writer changes it.
    RunEnd end = Complete();
    file->Close();
    RenameFinished(end);
    return end;
}

void RangeLoop::RenameFinished(RunEnd& end) {
    if (!finished_) return;
    if (const std::optional<FinishedRename> renamed = ::RenameFinished(state_.values.fileName)) {
        log_.AddLogRow(LogIcon::Info, renamed->message);
        end.statusLine = CompletedText(renamed->path);
    }
}

RunEnd RangeLoop::Fetches(IncompleteFile& file) {
    plan_.emplace(records_.Queue(), timings_.connections);
    constexpr auto kInterval = std::chrono::milliseconds(250);
    rate_ = TransferRate();
    rate_.Add(Clock::now(), 0);
    for (;;) {
        if (std::optional<RunEnd> end = ReadEnded(file)) return *end;
        lanes_.RemoveClosed();
        if (plan_->Queue().empty() && lanes_.Busy() == 0) return Finished();
        if (stop_) return Stop(file);
        RecordArrived();
        // A record that failed while a wait let events run ends the loop.
        if (recordFailure_) std::rethrow_exception(std::exchange(recordFailure_, nullptr));
        const Clock::time_point now = Clock::now();
        ChangeConnections(now);
        StartFetches(file, now);
        if (lanes_.Busy() == 0) return Finished();
        if (now - lastProgress_ >= kInterval) ShowProgress(now);
        window_.WaitForEventsAtMost(
            std::chrono::ceil<std::chrono::milliseconds>(lastProgress_ + kInterval - Clock::now()));
    }
}

RunEnd RangeLoop::Finished() {
    // Complete when this run took the last range and the texts say so, as
    // the list holds them; an entry whose queue was empty to begin with is
    // left as it is.
    if (state_.taken > 0 && records_.SegmentsLeft() == 0 && state_.values.remains == "0" &&
        state_.values.downloaded == state_.values.fileSize)
        return Complete();
    return {NotDownloadedText(records_.SegmentsLeft())};
}

RunEnd RangeLoop::Complete() {
    if (const std::optional<std::string> attribute = ChecksumAttribute(state_.entry)) {
        const std::optional<Checksum> checksum = ParseChecksum(*attribute);
        if (!checksum) return LogError(log_, UnreadableChecksumText(*attribute));
        const DigestCheck::Result check =
            digest_.Verify(state_.values.fileName, state_.fileSize, *checksum);
        // Stopped, the next Resume checks the file again; otherwise the
        // download stays listed with its file untouched and the reason in
        // the log, whatever the file holds.
        if (check.verdict == DigestCheck::Verdict::Stopped) return Paused(log_, state_, 0);
        if (check.verdict != DigestCheck::Verdict::Verified) return {check.message};
    }
    log_.AddLogRow(LogIcon::Info, "File " + state_.values.fileName + " downloaded successfully.");
    DeleteEntryAndRow(list_, rows_, state_.row);
    finished_ = true;
    return {CompletedText(state_.values.fileName)};
}

RunEnd RangeLoop::Stop(IncompleteFile& file) {
    lanes_.WithdrawFetches();
    for (auto& lane : lanes_.All()) {
        lanes_.WaitUntilEnded(*lane);
        if (!lane->fetching) continue;
        // A fetch that ended whole while Pause came is taken all the same.
        if (std::optional<RunEnd> end = AfterFetch(*lane, lanes_.Read(*lane), file)) return *end;
    }
    return Paused(log_, state_, records_.SegmentsLeft());
}

std::optional<RunEnd> RangeLoop::ReadEnded(IncompleteFile& file) {
    for (std::size_t i = 0; i < lanes_.All().size(); ++i) {
        ConnectionLane& lane = *lanes_.All()[i];
        if (!ConnectionLanes::Ended(lane)) continue;
        if (std::optional<RunEnd> end = AfterFetch(lane, lanes_.Read(lane), file)) return end;
    }
    return std::nullopt;
}

std::optional<RunEnd> RangeLoop::AfterFetch(ConnectionLane& lane, const RequestResult& result,
                                            IncompleteFile& file) {
    // What reached the file is recorded however the fetch ended.
    const bool whole = RecordLane(lane, ConnectionLanes::Durable(lane));
    if (result.Outcome == RequestOutcome::WriteFailed) return RunEnd::Failed(result.WriteError);
    if (result.RangeTaken && !whole) {
        records_.Take(plan_->HoldingOf(lane.connection)->index, lane.segment, lane.first,
                      lane.last);
        plan_->Finished(lane.connection);
    }
    if (result.RangeTaken || whole) {
        tries_.erase(lane.segment);
        return std::nullopt;
    }
    if (stop_ || lane.closed) {
        plan_->Released(lane.connection);
        return std::nullopt;
    }
    if (ConnectionLanes::Durable(lane) > 0) tries_[lane.segment] = 0;
    return AfterFailure(lane, result, file);
}

std::optional<RunEnd> RangeLoop::AfterFailure(ConnectionLane& lane, const RequestResult& result,
                                              IncompleteFile& file) {
    // A connection the run added, refused while another one works, settles
    // the count: it closes, and its piece goes to the others.
    const bool added =
        lane.connection != 0 &&
        std::any_of(lanes_.All().begin(), lanes_.All().end(),
                    [&lane](const auto& other) { return other.get() != &lane && other->fetching; });
    if (added) {
        const AddedConnectionVerdict verdict = JudgeAddedConnection(result, UnixTimeNow());
        if (verdict.kind != AddedConnectionVerdict::Kind::RangeFailure) {
            const ConnectionPlan::Decision decision =
                verdict.kind == AddedConnectionVerdict::Kind::Refused
                    ? plan_->Refused(lane.connection, Clock::now(), verdict.pause)
                    : plan_->IgnoredRange(lane.connection, Clock::now());
            plan_->Released(lane.connection);
            lane.closed = true;
            LogChange(decision, result.StatusLine);
            return std::nullopt;
        }
    }
    const std::string what = "segment #" + std::to_string(lane.segment);
    // The address found anew serves every connection; the piece is asked
    // for again there.
    if (result.Failure == RequestFailure::Elsewhere || check_.LinkExpired(result)) {
        plan_->Released(lane.connection);
        if (std::optional<RunEnd> end = SettleOthers(lane)) return end;
        return result.Failure == RequestFailure::Elsewhere
                   ? check_.EndedElsewhere(result, what, file)
                   : check_.FollowAgain(result, file);
    }
    const RunRetries::Decision step = retries_.Decide(result, what, tries_[lane.segment]);
    if (step.end) return step.end;
    // What no retry mends ends the run, and says why; the range stays
    // queued for the next Resume.
    if (!step.retry)
        return LogError(log_, FailureText(result, what, timings_.stallLimit, QLocale::system()));
    // The lane keeps its piece and asks for it again after the wait.
    lane.retry = ConnectionLane::RetryWait{step.wait, Clock::now() + retries_.Scaled(step.wait)};
    return std::nullopt;
}

std::optional<RunEnd> RangeLoop::SettleOthers(const ConnectionLane& keep) {
    for (auto& lane : lanes_.All()) {
        if (lane.get() == &keep) continue;
        lane->retry.reset();
        if (!lane->fetching) {
            plan_->Released(lane->connection);
            continue;
        }
        lane->worker->CancelFetch();
        lanes_.WaitUntilEnded(*lane);
        const RequestResult result = lanes_.Read(*lane);
        const bool whole = RecordLane(*lane, ConnectionLanes::Durable(*lane));
        if (result.Outcome == RequestOutcome::WriteFailed) return RunEnd::Failed(result.WriteError);
        if (!whole) plan_->Released(lane->connection);
    }
    return std::nullopt;
}

bool RangeLoop::RecordLane(ConnectionLane& lane, std::int64_t durable) {
    if (durable <= lane.recorded) return false;
    const std::optional<ConnectionPlan::Holding> holding = plan_->HoldingOf(lane.connection);
    if (!holding) return false;
    const RangeRecords::Recorded record =
        records_.RecordDurable(holding->index, lane.segment, lane.first + durable);
    lane.recorded = durable;
    if (record.taken) {
        plan_->Finished(lane.connection);
        return true;
    }
    plan_->Recorded(lane.connection, record.begin);
    return false;
}

void RangeLoop::RecordArrived() {
    // What a worker made durable reaches List.xml as soon as it says so.
    // (A whole range is taken once its fetch has ended, not here.)
    if (!plan_ || recordFailure_) return;
    try {
        for (auto& lane : lanes_.All()) {
            if (!lane->fetching) continue;
            const int64_t durable = ConnectionLanes::Durable(*lane);
            if (durable > lane->recorded && durable < lane->total) RecordLane(*lane, durable);
        }
    } catch (...) {
        recordFailure_ = std::current_exception();
    }
}

void RangeLoop::StartFetches(IncompleteFile& file, Clock::time_point now) {
    for (auto& lane : lanes_.All()) {
        if (lane->fetching || lane->closed) continue;
        if (lane->retry) {
            if (now < lane->retry->until) continue;
            lane->retry.reset();
            StartFetch(*lane, file);
            continue;
        }
        const std::optional<ConnectionPlan::Assignment> assigned = plan_->Assign(lane->connection);
        if (!assigned) continue;
        if (assigned->cut) {
            // The halves reach the list before the new piece is asked for;
            // the connection that had the whole range stops at the middle.
            const int cutConnection = assigned->cut->connection;
            records_.Split(plan_->HoldingOf(cutConnection)->index, assigned->cut->stopAfter);
            for (auto& other : lanes_.All())
                if (other->connection == cutConnection)
                    lanes_.Cut(*other, assigned->cut->stopAfter, state_.fileSize);
        }
        StartFetch(*lane, file);
    }
}

void RangeLoop::StartFetch(ConnectionLane& lane, IncompleteFile& file) {
    const ConnectionPlan::Holding holding = *plan_->HoldingOf(lane.connection);
    // Every value the fetch needs is converted, and every counter computed,
    // before its request: a failure ends the run with no request raised.
    const RangeRecords::Taken range = records_.AfterTake(holding.index);
    log_.AddLogRow(LogIcon::Requested,
                   "Requesting segment " + SegmentText(holding.segment, range.first, range.last));
    lanes_.StartFetch(lane, file, state_.fileSize, holding.segment, range.first, range.last);
}

void RangeLoop::ChangeConnections(Clock::time_point now) {
    for (auto& lane : lanes_.All())
        if (lane->fetching && !lane->closed)
            plan_->Progress(lane->connection, lane->first + ConnectionLanes::Written(*lane));
    plan_->Observe(now, lanes_.Arrived());
    // Connections opened or closed together come one decision at a time.
    for (int step = 0; step < 32; ++step) {
        const ConnectionPlan::Decision decision = plan_->Next(now);
        if (decision.step == ConnectionPlan::Step::Open) lanes_.Open(decision.connection);
        if (decision.step == ConnectionPlan::Step::Close) Close(decision.connection);
        LogChange(decision, "");
        if (decision.step == ConnectionPlan::Step::Hold) return;
    }
}

void RangeLoop::Close(int connection) {
    for (auto& lane : lanes_.All()) {
        if (lane->connection != connection) continue;
        // Withdrawn; what it brought is recorded once the fetch has ended.
        lane->closed = true;
        lane->retry.reset();
        if (lane->fetching)
            lane->worker->CancelFetch();
        else
            plan_->Released(lane->connection);
    }
}

void RangeLoop::LogChange(const ConnectionPlan::Decision& decision, const std::string& status) {
    const std::string text = ConnectionChangeText(decision, status, decision.rateBefore,
                                                  decision.rateNow, QLocale::system());
    if (!text.empty()) log_.AddLogRow(LogIcon::Info, text);
}

void RangeLoop::ShowProgress(Clock::time_point now) {
    lastProgress_ = now;
    const QLocale locale = QLocale::system();
    int64_t present = state_.downloaded;
    std::vector<int> segments;
    ConnectionLane* only = nullptr;
    for (auto& lane : lanes_.All()) {
        if (!lane->fetching && !lane->retry) continue;
        only = only ? nullptr : lane.get();
        if (!lane->fetching) continue;
        const int64_t written = ConnectionLanes::Written(*lane);
        if (written != lane->lastWritten) {
            lane->lastWritten = written;
            lane->lastArrival = now;
        }
        lane->rate.Add(now, written);
        // The counters hold the recorded part of each range already.
        present += written - std::min(written, lane->recorded);
        segments.push_back(lane->segment);
    }
    rate_.Add(now, lanes_.Arrived());
    std::sort(segments.begin(), segments.end());
    const int connections = plan_->Connections();
    // A speed limit in force is said at the end of the line.
    const std::int64_t limit = timings_.speedLimit ? timings_.speedLimit->Rate() : 0;
    const std::string limited =
        limit > 0 ? ", limited to " + SizeText(static_cast<double>(limit), locale) + "/s" : "";
    if (connections > 1 || !only) {
        if (segments.empty()) return;
        window_.ShowProgress(ConnectionsProgressText(segments, present, state_.fileSize,
                                                     rate_.BytesPerSecond(), connections, locale) +
                                 limited,
                             present, state_.fileSize);
        return;
    }
    if (only->retry) {
        retries_.ShowRetryCountdown(only->retry->stated, only->retry->until,
                                    "segment #" + std::to_string(only->segment));
        return;
    }
    const int64_t written = ConnectionLanes::Written(*only);
    std::string line = ProgressText(only->segment, only->first, only->last, written, only->total,
                                    only->rate.BytesPerSecond(), locale);
    const auto silent = std::chrono::duration_cast<std::chrono::seconds>(now - only->lastArrival);
    if (now - only->lastArrival >= timings_.stallNotice)
        line += ", no data for " + std::to_string(silent.count()) + " s";
    window_.ShowProgress(line + limited, present, state_.fileSize);
}

void RangeLoop::WithdrawFetches() {
    lanes_.WithdrawFetches();
}

void RangeLoop::AbortRequests() {
    lanes_.AbortRequests();
}

void RangeLoop::ReleaseWorkers() {
    lanes_.WithdrawFetches();
    for (auto& lane : lanes_.All())
        lanes_.WaitUntilEnded(*lane);
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
