#include "app/core/JobCommands.h"

#include "app/core/ProgressText.h"
#include "app/core/Prompts.h"
#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/Texts.h"
#include "transfer/AnswerParse.h"
#include "transfer/DLThread_Unit.h"
#include "transfer/HttpText.h"

#include <QLocale>

#include <algorithm>
#include <optional>

namespace {

constexpr const char* kPartialContent = "206 Partial Content";

// Columns of a download row: the caption, then the six sub-items.
enum Column {
    FileNameCol = 0,
    FileSizeCol,
    DownloadedCol,
    PercentCol,
    RemainsCol,
    SegmentsCol,
    URLCol
};

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

std::string RangeText(int pass, int64_t begin, int64_t end) {
    return "#" + std::to_string(pass) + " - [" + std::to_string(begin) + "-" + std::to_string(end) +
           "]";
}

// Marks a run as active for exactly as long as it is on the stack.
class ActiveRun {
public:
    ActiveRun(bool& active, bool& closeRequested, JobWindow& window)
        : active_(active), closeRequested_(closeRequested), window_(window) {
        active_ = true;
    }
    ~ActiveRun() {
        active_ = false;
        if (closeRequested_) window_.CloseAfterRun();
    }

private:
    bool& active_;
    bool& closeRequested_;
    JobWindow& window_;
};

// A failure to open or write the incomplete file: shown, and the run ends
// normally (Idle again) with nothing counted.
class FileFailure : public AppError {
public:
    explicit FileFailure(const std::string& message) : AppError(message) {}
};

} // namespace

JobCommands::JobCommands(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                         Prompts& prompts)
    : rows_(rows), log_(log), window_(window), list_(list), prompts_(prompts) {}

JobCommands::MenuState JobCommands::PopupMenuState() const {
    MenuState state;
    state.resume = idle_ && !runActive_;
    state.pause = !idle_;
    state.remove = idle_ && !runActive_;
    return state;
}

void JobCommands::WaitWhile(const std::atomic<bool>& flag) {
    while (flag.load(std::memory_order_acquire))
        window_.WaitForEvents();
}

void JobCommands::WaitForFetch(int pass, int64_t first, int64_t last, int64_t fileSize,
                               int64_t downloaded) {
    using Clock = std::chrono::steady_clock;
    constexpr auto kInterval = std::chrono::milliseconds(250);
    const int64_t total = RangeByteCount(first, last, fileSize);
    TransferRate rate;
    const QLocale locale = QLocale::system();
    auto show = [&](Clock::time_point now) {
        const int64_t written = worker_->RangeBytesWritten.load(std::memory_order_relaxed);
        rate.Add(now, written);
        window_.ShowProgress(
            ProgressText(pass, first, last, written, total, rate.BytesPerSecond(), locale),
            downloaded + written, fileSize);
        lastProgress_ = now;
    };
    rate.Add(Clock::now(), 0);
    while (worker_->FetchPending.load(std::memory_order_acquire)) {
        const auto now = Clock::now();
        if (now - lastProgress_ >= kInterval) show(now);
        window_.WaitForEventsAtMost(
            std::chrono::ceil<std::chrono::milliseconds>(lastProgress_ + kInterval - Clock::now()));
    }
}

void JobCommands::WaitUntilWorkerIdle() {
    // A raised flag the worker has not yet taken counts as busy: the request
    // may still start.
    while (worker_->Busy() || worker_->FetchPending.load(std::memory_order_acquire))
        window_.WaitForEvents();
}

void JobCommands::ReleaseWorker() {
    if (!worker_) return;
    worker_->CancelFetch();
    WaitUntilWorkerIdle();
}

void JobCommands::DeleteEntryAndRow(int row) {
    const int before = list_.EntryCount();
    try {
        list_.DeleteEntry(row);
    } catch (...) {
        // The document in memory is the master: when the entry is gone from
        // it, the row goes too, and a later save writes what the window shows.
        if (list_.EntryCount() < before) rows_.RemoveRow(row);
        throw;
    }
    rows_.RemoveRow(row);
}

void JobCommands::Pause1Click() {
    if (worker_) worker_->CancelFetch();
    if (probing_ && !pausedDuringProbe_) pausedDuringProbe_ = std::chrono::steady_clock::now();
    idle_ = true;
}

void JobCommands::WaitForProbe() {
    // A probe answered soon after Pause is still judged, and the run then
    // stops before its first range. One the server leaves unanswered is
    // withdrawn instead of holding the run for the worker's read time-out.
    constexpr auto kGrace = std::chrono::milliseconds(1000);
    while (worker_->ProbePending.load(std::memory_order_acquire)) {
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

void JobCommands::WithdrawProbe() {
    if (!worker_ || !probing_) return;
    probeWithdrawn_ = true;
    worker_->CancelProbe();
}

void JobCommands::Delete1Click(int row) {
    if (runActive_) return; // the run holds references into the entries
    DeleteEntryAndRow(row);
}

bool JobCommands::PrepareClose() {
    if (!runActive_) return true;
    closeRequested_ = true;
    WithdrawProbe();
    if (worker_) worker_->AbortRequest();
    idle_ = true;
    return false;
}

void JobCommands::Resume1Click(int row) {
    if (runActive_ || !worker_ || row < 0 || row >= rows_.RowCount()) return;
    ActiveRun active(runActive_, closeRequested_, window_);
    // A fetch withdrawn by Pause may still be unwinding on its socket; its
    // settings must not change under it.
    WaitUntilWorkerIdle();
    // Exit chosen during that wait ends the run before it starts.
    if (closeRequested_) return;

    // Start.
    window_.ShowRunning(true);
    idle_ = false;
    const std::string fileName = rows_.Text(row, FileNameCol);
    const std::string fileSize = rows_.Text(row, FileSizeCol);
    const std::string downloaded = rows_.Text(row, DownloadedCol);
    const std::string remains = rows_.Text(row, RemainsCol);
    const int count = StrToInt32(rows_.Text(row, SegmentsCol));
    const std::string url = rows_.Text(row, URLCol);

    XmlElement entry = list_.FindEntry(row);
    if (!entry) throw AppError("The download list holds no entry N" + std::to_string(row + 1));
    const std::string proxy = ListDocument::AttributeText(entry, "Proxy");
    const size_t colon = proxy.find(':');
    const std::string proxyHost = colon == std::string::npos ? "" : proxy.substr(0, colon);
    const std::string proxyPort =
        proxy.size() > proxyHost.size() ? proxy.substr(proxyHost.size() + 1) : std::string();
    const std::string proxyName = ListDocument::AttributeText(entry, "ProxyName");
    const std::string proxyPass = ListDocument::AttributeText(entry, "ProxyPass");
    const std::string authName = ListDocument::AttributeText(entry, "AuthName");
    const std::string authPass = ListDocument::AttributeText(entry, "AuthPass");
    XmlElement segments = ListDocument::ChildElement(entry, "Segments");
    XmlElement begin = segments ? ListDocument::ChildElement(segments, "Begin") : nullptr;
    XmlElement end = segments ? ListDocument::ChildElement(segments, "End") : nullptr;
    if (!begin || !end)
        throw AppError("The download list entry N" + std::to_string(row + 1) +
                       " has no segment queue");

    SetCredentials(worker_->Client, authName, authPass);
    SetProxy(worker_->Client, proxyHost, proxyPort, proxyName, proxyPass);
    worker_->URL = url;
    log_.AddLogRow(JobLog::IconInfo, "Checking URL: " + url);

    // Probe.
    probeWithdrawn_ = false;
    pausedDuringProbe_.reset();
    probing_ = true;
    worker_->RequestProbe();
    WaitForProbe();
    probing_ = false;
    // A withdrawn probe may still be unwinding on the worker, writing its
    // results: they are read only when the worker has cleared the flag itself.
    const std::string status = probeWithdrawn_ ? std::string() : worker_->StatusText;
    std::string outcome; // the status bar's line for how the run ended
    auto logError = [&](const std::string& message) {
        log_.AddLogRow(JobLog::IconError, message);
        outcome = std::string(TrimBlanks(message));
    };
    if (probeWithdrawn_) {
        // Exit, or Pause on an unanswered probe, withdrew it; whatever it had
        // read is not judged.
        log_.AddLogRow(JobLog::IconInfo, "Downloading of file " + fileName + " paused");
        outcome = PausedText(count);
    } else if (Contains(status, "ERROR")) {
        logError(status);
    } else if (Contains(status, kPartialContent)) {
        if (worker_->ContentLength != fileSize) {
            logError("File on server has changed. Can't download incomplete segments.");
        } else {
            log_.AddLogRow(JobLog::IconInfo,
                           "Resuming feature supported by server. Segment requesting started...");
            try {
                outcome = RangeLoop(row, entry, begin, end, count, fileName, fileSize, downloaded,
                                    remains);
            } catch (const FileFailure& failure) {
                outcome = failure.what();
                window_.ShowRunEnd(outcome);
                prompts_.ErrorBox(failure.what());
            } catch (const std::exception& failure) {
                window_.ShowRunEnd(failure.what());
                throw;
            }
        }
    } else {
        logError("Resuming feature is unsupported by server. Segment downloading is impossible.");
    }

    // End.
    window_.ShowRunEnd(outcome);
    window_.ShowRunning(false);
    idle_ = true;
}

std::string JobCommands::RangeLoop(int row, XmlElement entry, XmlElement begin, XmlElement end,
                                   int count, const std::string& fileName,
                                   const std::string& fileSize, std::string downloaded,
                                   std::string remains) {
    const int64_t size = StrToInt64(fileSize);
    std::optional<IncompleteFile> file;
    try {
        file.emplace(fileName);
        // A file of another length was changed by someone else since the
        // import or the last run cut it: writing ranges into it and cutting
        // it to FileSize would call a damaged file complete.
        const int64_t length = file->Length();
        if (length != size) {
            file->Close();
            throw AppError("The incomplete file \"" + fileName + "\" is " + IntToText(length) +
                           " bytes long, but the download list says " + fileSize +
                           ": it was changed outside Quilvane. Nothing was written.");
        }
    } catch (const AppError& e) {
        throw FileFailure(e.what());
    }
    // However the loop is left, the worker is off the file before the file
    // is cut, closed or destroyed.
    struct WorkerRelease {
        JobCommands& commands;
        ~WorkerRelease() { commands.ReleaseWorker(); }
    } release{*this};
    // Whatever way the loop is left, the file ends at exactly FileSize.
    auto finish = [&] {
        ReleaseWorker();
        try {
            file->SetSize(size);
        } catch (...) {
            file->Close();
            throw;
        }
        file->Close();
    };
    std::string outcome;
    try {
        int taken = 0;
        std::string segmentsText = IntToText(count);
        bool paused = false, completed = false;
        for (int pass = 1; pass <= count; ++pass) {
            if (idle_) {
                log_.AddLogRow(JobLog::IconInfo, "Downloading of file " + fileName + " paused");
                paused = true;
                break;
            }
            // Every value the pass needs is converted, and every counter
            // computed, before the request: a failure ends the run with no
            // request raised.
            const std::string firstText = ListDocument::AttributeText(begin, "S1");
            const std::string lastText = ListDocument::AttributeText(end, "S1");
            const int64_t first = StrToInt64(firstText);
            const int64_t last = StrToInt64(lastText);
            const int64_t counted = SubtractChecked(last, first, lastText);
            const int64_t downloadedBefore = StrToInt64(downloaded);
            const std::string nowDownloaded =
                IntToText(AddChecked(downloadedBefore, counted, downloaded));
            const std::string nowRemains =
                IntToText(SubtractChecked(StrToInt64(remains), counted, remains));
            const std::string percent = PercentText(StrToInt64(nowDownloaded), size);
            const std::string nowSegments = IntToText(count - (taken + 1));

            log_.AddLogRow(JobLog::IconRequested,
                           "Requesting segment " + RangeText(pass, first, last));
            worker_->Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
            worker_->Target = {&*file, first, last, size};
            const uint64_t serial = worker_->RequestFetch();
            WaitForFetch(pass, first, last, size, downloadedBefore);
            // Pause or Exit withdrew the fetch: it may still be unwinding,
            // and its results are read only once it has stopped.
            WaitUntilWorkerIdle();

            // A withdrawn fetch, a refused answer or a body that is not
            // exactly the range is not taken: nothing counted or dequeued.
            // What it wrote lies inside the missing range and does no harm.
            const bool fetched = worker_->FetchCompleted(serial);
            if (fetched && !worker_->WriteError.empty()) throw FileFailure(worker_->WriteError);
            if (fetched && Contains(worker_->StatusText, kPartialContent) &&
                worker_->RangeComplete) {
                log_.AddLogRow(JobLog::IconReceived,
                               "Segment " + RangeText(pass, first, last) + " downloaded");
                // Queue and counters reach List.xml in one write, so no moment
                // of a crash leaves them disagreeing. A failed write leaves
                // document and row as they were: the range is fetched again.
                list_.TakeFirstRange(entry, begin, end, nowDownloaded, percent, nowRemains,
                                     nowSegments);
                ++taken;
                downloaded = nowDownloaded;
                remains = nowRemains;
                segmentsText = nowSegments;
                rows_.SetText(row, DownloadedCol, downloaded);
                rows_.SetText(row, PercentCol, percent);
                rows_.SetText(row, RemainsCol, remains);
                rows_.SetText(row, SegmentsCol, segmentsText);
            }
            if (segmentsText == "0" && remains == "0" && downloaded == fileSize) {
                log_.AddLogRow(JobLog::IconInfo, "File " + fileName + " downloaded successfully.");
                completed = true;
                DeleteEntryAndRow(row);
                break;
            }
        }
        const int left = count - taken;
        if (completed)
            outcome = CompletedText(fileName);
        else if (paused || idle_) // Pause during the last pass ends the loop too
            outcome = PausedText(left);
        else
            outcome = NotDownloadedText(left);
    } catch (...) {
        try {
            finish();
        } catch (const std::exception&) {
            // The error that ended the loop is the one the user is told.
        }
        throw;
    }
    try {
        finish();
    } catch (const AppError& e) {
        throw FileFailure(e.what());
    }
    return outcome;
}
