#include "app/core/JobCommands.h"

#include "app/core/JobRun.h"
#include "app/core/ResumeAllQueue.h"
#include "common/Texts.h"
#include "transfer/DLThread_Unit.h"
#include "ui/core/Prompts.h"

#include <exception>
#include <string>

namespace {

// Makes a run the one in progress for exactly as long as it is on the stack;
// a close put off while it ran happens after it.
class ActiveRun {
public:
    ActiveRun(JobRun*& active, JobRun& run, bool& closeRequested, JobWindow& window)
        : active_(active), closeRequested_(closeRequested), window_(window) {
        active_ = &run;
    }
    ~ActiveRun() {
        active_ = nullptr;
        if (closeRequested_) window_.CloseAfterRun();
    }
    ActiveRun(const ActiveRun&) = delete;
    ActiveRun& operator=(const ActiveRun&) = delete;

private:
    JobRun*& active_;
    bool& closeRequested_;
    JobWindow& window_;
};

} // namespace

JobCommands::JobCommands(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                         Prompts& prompts)
    : rows_(rows), log_(log), window_(window), list_(list), prompts_(prompts) {}

JobCommands::MenuState JobCommands::PopupMenuState() const {
    MenuState state;
    state.resume = idle_ && !Busy();
    state.pause = !idle_;
    state.remove = idle_ && !Busy();
    state.resumeAll = state.resume && rows_.RowCount() > 0;
    return state;
}

void JobCommands::Pause1Click() {
    if (run_) run_->Pause();
    idle_ = true;
}

void JobCommands::RecordArrived() {
    if (run_) run_->RecordArrived();
}

void JobCommands::Delete1Click(int row) {
    if (Busy()) return; // the run holds references into the entries
    DeleteEntryAndRow(list_, rows_, row);
}

bool JobCommands::OffersDownloadAgain(int row) const {
    if (!idle_ || Busy() || row < 0 || row >= rows_.RowCount()) return false;
    if (rows_.Text(row, SegmentsColumn) != "0" || rows_.Text(row, RemainsColumn) != "0")
        return false;
    // Also without a checksum (one cleared after a mismatch): the whole file
    // is the way to have it again.
    const ListEntry entry = list_.FindEntry(row);
    return entry && entry.HasSegmentQueue() && entry.Queue().empty();
}

void JobCommands::DownloadAgain1Click(int row) {
    if (!OffersDownloadAgain(row)) return;
    const std::string size = rows_.Text(row, FileSizeColumn);
    const EntryCounters counters{"0", PercentText(0, StrToInt64(size)), size, "1"};
    list_.QueueWholeFile(list_.FindEntry(row), counters);
    rows_.SetText(row, DownloadedColumn, counters.Downloaded);
    rows_.SetText(row, PercentColumn, counters.Percent);
    rows_.SetText(row, RemainsColumn, counters.Remains);
    rows_.SetText(row, SegmentsColumn, counters.Segments);
    log_.AddLogRow(LogIcon::Info, "The whole file " + rows_.Text(row, FileNameColumn) +
                                      " is queued again; Resume downloads it.");
}

bool JobCommands::PrepareClose() {
    if (!run_) return true;
    closeRequested_ = true;
    run_->Abort();
    idle_ = true;
    return false;
}

void JobCommands::Resume1Click(int row) {
    if (Busy() || !worker_ || row < 0 || row >= rows_.RowCount()) return;
    // Pause, Exit and a run that ends in an error box stop the downloads
    // that waited too: they stay listed for Resume.
    try {
        for (bool ended = RunOne(row); ended && !closeRequested_ && !waiting_.empty();) {
            const int next = RowOf(waiting_.front());
            waiting_.pop_front();
            if (next >= 0) ended = RunOne(next);
        }
    } catch (...) {
        waiting_.clear();
        throw;
    }
    waiting_.clear();
}

void JobCommands::StartAdded(int row) {
    const std::string fileName = rows_.Text(row, FileNameColumn);
    if (queue_) {
        log_.AddLogRow(LogIcon::Info,
                       "Download of file " + fileName + " waits for its turn in Resume all.");
        return;
    }
    if (run_) {
        waiting_.push_back(fileName);
        log_.AddLogRow(LogIcon::Info, "Download of file " + fileName +
                                          " waits for the download in progress and starts when "
                                          "it ends.");
        return;
    }
    Resume1Click(row);
}

int JobCommands::RowOf(const std::string& fileName) const {
    for (int row = rows_.RowCount() - 1; row >= 0; --row)
        if (rows_.Text(row, FileNameColumn) == fileName) return row;
    return -1;
}

bool JobCommands::RunOne(int row) {
    JobRun run(rows_, log_, window_, list_, *worker_, idle_, timings_);
    ActiveRun active(run_, run, closeRequested_, window_);
    // A fetch withdrawn by Pause may still be unwinding on its socket; its
    // settings must not change under it.
    run.WaitForIdleWorker();
    // Exit chosen during that wait ends the run before it starts.
    if (closeRequested_) return false;

    window_.ShowRunning(true);
    idle_ = false;
    const RunEnd end = run.Run(row);
    // Pause and Exit set Idle while the run went on.
    const bool stopped = idle_;
    window_.ShowRunEnd(end.statusLine);
    if (end.fileFailed) prompts_.ErrorBox(end.statusLine);
    window_.ShowRunning(false);
    idle_ = true;
    return !stopped;
}

void JobCommands::ResumeAll1Click() {
    if (Busy() || !worker_ || rows_.RowCount() == 0) return;
    ResumeAllQueue queue(rows_);
    queue_ = &queue;
    struct Release {
        ResumeAllQueue*& queue;
        ~Release() { queue = nullptr; }
    } release{queue_};

    window_.ShowRunning(true);
    idle_ = false;
    // Pause and Exit set Idle; nothing else ends the queue before its end.
    while (!idle_ && queue.HasNext())
        RunQueued(queue);
    const std::string summary = queue.Summary(idle_);
    log_.AddLogRow(LogIcon::Info, summary);
    window_.ShowRunEnd(summary);
    window_.ShowRunning(false);
    idle_ = true;
}

void JobCommands::RunQueued(ResumeAllQueue& queue) {
    // The run reaches the rows through the queue, which so sees its own
    // download's row go when the run finishes it.
    JobRun run(queue, log_, window_, list_, *worker_, idle_, timings_);
    ActiveRun active(run_, run, closeRequested_, window_);
    run.WaitForIdleWorker();
    if (idle_) return;

    const int row = queue.Row();
    log_.AddLogRow(LogIcon::Info, queue.Start());
    queue.SelectRow(row);
    RunEnd end;
    try {
        end = run.Run(row);
    } catch (const std::exception& error) {
        // A value that does not convert, or a list that cannot be saved, ends
        // this download only.
        end = RunEnd::Failed(error.what());
    }
    queue.End();
    window_.ShowRunEnd(end.statusLine);
    if (end.fileFailed) log_.AddLogRow(LogIcon::Error, StandardErrorText(end.statusLine));
}

void JobCommands::ApplyOptions(const UserOptions& options) {
    timings_.connections.connections = options.connections;
    if (!timings_.speedLimit) timings_.speedLimit = std::make_shared<SpeedLimit>();
    // The run in progress shares the limit: a new rate holds at once.
    timings_.speedLimit->SetRate(static_cast<std::int64_t>(options.limitKiB) * 1024);
    if (run_) run_->SetConnections(options.connections);
}
