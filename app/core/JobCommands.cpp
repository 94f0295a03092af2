#include "app/core/JobCommands.h"

#include "common/IncompleteFile.h"
#include "app/core/Prompts.h"
#include "common/AppError.h"
#include "common/Texts.h"
#include "transfer/DLThread_Unit.h"

#include <algorithm>
#include <optional>

namespace {

constexpr const char* kPartialContent = "206 Partial Content";

// Columns of a download row: the caption, then the six sub-items.
enum Column { FileNameCol = 0, FileSizeCol, DownloadedCol, PercentCol, RemainsCol, SegmentsCol, URLCol };

bool Contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

std::string RangeText(int pass, int64_t begin, int64_t end) {
    return "#" + std::to_string(pass) + " - [" + std::to_string(begin) + "-" + std::to_string(end) + "]";
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

bool BodyMatchesRange(size_t bodySize, const std::string& contentRange, int64_t begin, int64_t end,
                      int64_t fileSize) {
    const int64_t last = std::min(end, fileSize - 1);
    if (begin < 0 || last < begin) return false;
    if (static_cast<uint64_t>(last - begin + 1) != bodySize) return false;
    if (contentRange.empty()) return true;
    // "bytes <first>-<last>/<complete length>": exactly the bytes asked for,
    // of a file as long as the probe found it. A file that changed size since
    // the probe is told by the length; "*" is a length the server keeps to itself.
    const std::string unit = "bytes ";
    if (contentRange.compare(0, unit.size(), unit) != 0) return false;
    const size_t dash = contentRange.find('-', unit.size());
    if (dash == std::string::npos) return false;
    const size_t slash = contentRange.find('/', dash);
    if (slash == std::string::npos) return false;
    try {
        if (StrToInt64(contentRange.substr(unit.size(), dash - unit.size())) != begin) return false;
        if (StrToInt64(contentRange.substr(dash + 1, slash - dash - 1)) != last) return false;
        const std::string length = contentRange.substr(slash + 1);
        return length == "*" || StrToInt64(length) == fileSize;
    } catch (const AppError&) {
        return false;
    }
}

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
    while (flag.load(std::memory_order_acquire)) window_.WaitForEvents();
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
            window_.WaitForEventsAtMost(
                std::chrono::ceil<std::chrono::milliseconds>(left));
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
    list_.DeleteEntry(row);
    rows_.RemoveRow(row);
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
    while (worker_->Busy()) window_.WaitForEvents();

    // Start.
    window_.ShowRunning(true);
    idle_ = false;
    const std::string fileName = rows_.Text(row, FileNameCol);
    const std::string fileSize = rows_.Text(row, FileSizeCol);
    const std::string downloaded = rows_.Text(row, DownloadedCol);
    const std::string remains = rows_.Text(row, RemainsCol);
    const int count = StrToInt32(rows_.Text(row, SegmentsCol));
    rows_.SetText(row, SegmentsCol, IntToText(count));
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
        throw AppError("The download list entry N" + std::to_string(row + 1) + " has no segment queue");

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
    if (probeWithdrawn_) {
        // Exit, or Pause on an unanswered probe, withdrew it; whatever it had
        // read is not judged.
        log_.AddLogRow(JobLog::IconInfo, "Downloading of file " + fileName + " paused");
    } else if (Contains(status, "ERROR")) {
        log_.AddLogRow(JobLog::IconError, status);
    } else if (Contains(status, kPartialContent)) {
        if (worker_->ContentLength != fileSize) {
            log_.AddLogRow(JobLog::IconError,
                           "File on server has changed. Can't download incomplete segments.");
        } else {
            log_.AddLogRow(JobLog::IconInfo,
                           "Resuming feature supported by server. Segment requesting started...");
            try {
                RangeLoop(row, entry, begin, end, count, fileName, fileSize, downloaded, remains);
            } catch (const FileFailure& failure) {
                prompts_.ErrorBox(failure.what());
            }
        }
    } else {
        log_.AddLogRow(JobLog::IconError,
                       "Resuming feature is unsupported by server. Segment downloading is impossible.");
    }

    // End.
    window_.ShowRunning(false);
    idle_ = true;
}

void JobCommands::RangeLoop(int row, XmlElement entry, XmlElement begin, XmlElement end, int count,
                            const std::string& fileName, const std::string& fileSize,
                            std::string downloaded, std::string remains) {
    std::optional<IncompleteFile> file;
    try {
        file.emplace(fileName);
    } catch (const AppError& e) {
        throw FileFailure(e.what());
    }
    // Whatever way the loop is left, the file ends at exactly FileSize.
    auto finish = [&] {
        try {
            file->SetSize(StrToInt64(fileSize));
        } catch (...) {
            file->Close();
            throw;
        }
        file->Close();
    };
    try {
        int taken = 0;
        std::string segmentsText = IntToText(count);
        for (int pass = 1; pass <= count; ++pass) {
            if (idle_) {
                log_.AddLogRow(JobLog::IconInfo, "Downloading of file " + fileName + " paused");
                break;
            }
            const int64_t first = StrToInt64(ListDocument::AttributeText(begin, "S1"));
            const int64_t last = StrToInt64(ListDocument::AttributeText(end, "S1"));
            log_.AddLogRow(JobLog::IconRequested, "Requesting segment " + RangeText(pass, first, last));
            worker_->Client.ByteRange = std::to_string(first) + "-" + std::to_string(last);
            const uint64_t serial = worker_->RequestFetch();
            WaitWhile(worker_->FetchPending);

            // A withdrawn fetch, a refused answer or a body that is not exactly
            // the range is not taken: nothing written, counted or dequeued.
            if (worker_->FetchCompleted(serial) && Contains(worker_->StatusText, kPartialContent) &&
                BodyMatchesRange(worker_->Body.size(), worker_->FetchContentRange, first, last,
                                 StrToInt64(fileSize))) {
                try {
                    file->WriteAt(first, worker_->Body.data(), worker_->Body.size());
                } catch (const AppError& e) {
                    throw FileFailure(e.what());
                }
                log_.AddLogRow(JobLog::IconReceived, "Segment " + RangeText(pass, first, last) + " downloaded");
                const std::string nowDownloaded =
                    IntToText(StrToInt64(downloaded) + (last - first));
                const std::string percent =
                    PercentText(StrToInt64(nowDownloaded), StrToInt64(fileSize));
                const std::string nowRemains = IntToText(StrToInt64(remains) - (last - first));
                const std::string nowSegments = IntToText(count - (taken + 1));
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
                list_.DeleteEntry(row);
                rows_.RemoveRow(row);
                break;
            }
        }
    } catch (...) {
        try {
            finish();
        } catch (...) {
        }
        throw;
    }
    try {
        finish();
    } catch (const AppError& e) {
        throw FileFailure(e.what());
    }
}
