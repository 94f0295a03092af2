// Judging the probe, comparing the sample, and following the download's URL
// again when the address it was checked at no longer serves it.
#include "app/core/SameFileCheck.h"

#include "app/core/HeldSample.h"
#include "app/core/RetryText.h"
#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "transfer/DLThread_Unit.h"

SameFileCheck::SameFileCheck(JobLog& log, tHTTPThread& worker, const bool& stop,
                             const RunTimings& timings, const RunState& state, WorkerWait& wait,
                             RunRetries& retries, std::function<void()> convertFirstPass)
    : log_(log), worker_(worker), stop_(stop), timings_(timings), state_(state), wait_(wait),
      retries_(retries), convertFirstPass_(std::move(convertFirstPass)) {}

std::optional<RunEnd> SameFileCheck::JudgeSameFile(const RequestResult& probe) {
    switch (probe.Outcome) {
    case RequestOutcome::Withdrawn:
        // Exit, or Pause on an unanswered probe or during a wait, withdrew
        // it; whatever it had read is not judged.
        return Paused(log_, state_, state_.values.count - state_.taken);
    case RequestOutcome::Error:
    case RequestOutcome::WriteFailed:
        return LogError(log_, probe.StatusText);
    case RequestOutcome::Other:
        return LogError(
            log_, "Resuming feature is unsupported by server. Segment downloading is impossible.");
    case RequestOutcome::PartialContent:
        break;
    }
    // The very same file: the server's size as sent, letter for letter, where
    // the bytes will come from.
    if (probe.ContentLength != state_.values.fileSize)
        return LogError(log_, "File on server has changed. Can't download incomplete segments.");
    if (probe.Redirected) log_.AddLogRow(LogIcon::Info, "Moved to " + probe.FinalUrl);
    // The sample and the ranges go straight to where the probe ended.
    worker_.FetchURL = probe.FinalUrl;
    return std::nullopt;
}

bool SameFileCheck::LinkExpired(const RequestResult& result) const {
    const int code = result.StatusCode;
    return (code == 401 || code == 403 || code == 404 || code == 410) && !followedAgain_ &&
           !worker_.FetchURL.empty() && worker_.FetchURL != worker_.URL;
}

std::optional<RunEnd> SameFileCheck::FollowAgain(const RequestResult& refused,
                                                 IncompleteFile& file) {
    log_.AddLogRow(LogIcon::Info, "The address the download moved to answered \"" +
                                      refused.StatusLine + "\": following " + state_.values.url +
                                      " again.");
    return FollowAgain(file);
}

std::optional<RunEnd> SameFileCheck::FollowAgain(IncompleteFile& file) {
    followedAgain_ = true;
    worker_.FetchURL.clear();
    if (const std::optional<RunEnd> refusal = JudgeSameFile(retries_.ProbeUntilAnswered()))
        return refusal;
    return CompareHeldBytes(file);
}

std::optional<RunEnd> SameFileCheck::EndedElsewhere(const RequestResult& result,
                                                    const std::string& what, IncompleteFile& file) {
    const std::string checked = worker_.FetchURL.empty() ? worker_.URL : worker_.FetchURL;
    const std::string away = RedirectedAwayText(what, checked, result.FinalUrl);
    // Bytes from another server never join the file: once the run looks for
    // the file anew from the download's URL, the second time it ends.
    if (followedAgain_)
        return LogError(log_, away + ". The download takes all its bytes from one server.");
    log_.AddLogRow(LogIcon::Info, away + ": following " + state_.values.url + " again.");
    return FollowAgain(file);
}

std::optional<RunEnd> SameFileCheck::CompareHeldBytes(IncompleteFile& file) {
    // Pause during the probe stops the run before its first range anyway,
    // and a run with no range to fetch has nothing to protect.
    if (stop_ || state_.values.count <= 0) return std::nullopt;
    std::vector<std::pair<int64_t, int64_t>> queue;
    for (const auto& [first, last] : state_.entry.Queue())
        queue.emplace_back(StrToInt64(first), StrToInt64(last));
    if (queue.empty()) return std::nullopt;
    const auto sample = HeldSample(queue, state_.fileSize);
    if (!sample) return std::nullopt; // one range covers the whole file
    // The first pass's values convert before the sample's request as they
    // would before its own.
    convertFirstPass_();
    const auto [first, last] = *sample;

    for (int tries = 0;;) {
        worker_.Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
        worker_.Target = {nullptr,
                          first,
                          last,
                          state_.fileSize,
                          timings_.recordInterval,
                          timings_.recordEveryBytes};
        const RequestResult result = wait_.RequestAndWait(WorkerWait::Waiting::Sample);
        if (result.Outcome == RequestOutcome::Withdrawn)
            return Paused(log_, state_, state_.values.count - state_.taken);
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
        const RunRetries::NextStep step =
            retries_.AfterFailure(result, "the same-file sample", tries);
        if (step.end) return step.end;
        if (step.retry) continue;
        // A request that failed on its way (TLS, a redirect refused) or was
        // refused (a password, 403, 416) says why; an answer that is not
        // exactly the asked bytes is another file.
        if (result.Outcome == RequestOutcome::Error) return LogError(log_, result.StatusText);
        break;
    }
    return LogError(log_, "File on server has changed. Can't download incomplete segments.");
}
