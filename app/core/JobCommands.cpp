#include "app/core/JobCommands.h"

#include "app/core/JobRun.h"
#include "transfer/DLThread_Unit.h"
#include "ui/core/Prompts.h"

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
    state.resume = idle_ && !run_;
    state.pause = !idle_;
    state.remove = idle_ && !run_;
    return state;
}

void JobCommands::Pause1Click() {
    if (run_) run_->Pause();
    idle_ = true;
}

void JobCommands::Delete1Click(int row) {
    if (run_) return; // the run holds references into the entries
    DeleteEntryAndRow(list_, rows_, row);
}

bool JobCommands::PrepareClose() {
    if (!run_) return true;
    closeRequested_ = true;
    run_->Abort();
    idle_ = true;
    return false;
}

void JobCommands::Resume1Click(int row) {
    if (run_ || !worker_ || row < 0 || row >= rows_.RowCount()) return;
    JobRun run(rows_, log_, window_, list_, *worker_, idle_, timings_);
    ActiveRun active(run_, run, closeRequested_, window_);
    // A fetch withdrawn by Pause may still be unwinding on its socket; its
    // settings must not change under it.
    run.WaitForIdleWorker();
    // Exit chosen during that wait ends the run before it starts.
    if (closeRequested_) return;

    window_.ShowRunning(true);
    idle_ = false;
    const RunEnd end = run.Run(row);
    window_.ShowRunEnd(end.statusLine);
    if (end.fileFailed) prompts_.ErrorBox(end.statusLine);
    window_.ShowRunning(false);
    idle_ = true;
}
