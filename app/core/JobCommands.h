#pragma once

#include "app/core/JobSeams.h"
#include "app/core/RunTimings.h"
#include "app/core/UserOptions.h"
#include "list/ListDocument.h"

#include <deque>
#include <string>

class JobRun;
class Prompts;
class ResumeAllQueue;
class tHTTPThread;

// The commands on a download: Resume starts a job run (JobRun), Resume all
// runs every listed download in turn, Pause asks the run (and the queue) to
// stop, Delete removes a download, and closing the window waits for the run
// to end. All of it runs on the window thread; the run waits for the
// worker with the window's event loop running, so Pause, Save, Import and
// Exit can run inside it.
class JobCommands {
public:
    JobCommands(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                Prompts& prompts);

    // The worker is created when the window is first shown.
    void AttachWorker(tHTTPThread* worker) { worker_ = worker; }
    // The times the runs keep (stall limit, record interval, retry waits).
    void SetRunTimings(const RunTimings& timings) { timings_ = timings; }
    // The user's options: the connections a download may use and the speed
    // limit, for the next runs and the one in progress.
    void ApplyOptions(const UserOptions& options);

    // Set: no job run is in progress, or Pause asked the run to stop.
    bool Idle() const { return idle_; }
    void SetIdle() { idle_ = true; }
    // A run is still on its way, possibly already asked to stop.
    bool RunActive() const { return run_ != nullptr; }

    struct MenuState {
        bool resume = false, pause = false, remove = false, resumeAll = false;
    };
    // Which items are offered. Resume, Resume all and Delete wait until a
    // paused run has really ended, so two runs never share the worker.
    MenuState PopupMenuState() const;

    // The job run on row `row`. Conversion errors propagate to the caller's
    // error box and leave the state Running until Pause.
    // Downloads added while it ran (StartAdded) start after it, in turn,
    // unless Pause or Exit stopped it.
    void Resume1Click(int row);
    // A download just added on row `row`: it starts now as Resume starts it
    // when nothing runs; otherwise it waits, with an info row that says so,
    // for the run in progress (and starts when that ends) or for its turn in
    // Resume all.
    void StartAdded(int row);
    // Every listed download, first to last, each as Resume would run it, the
    // window Running throughout. Only Pause and Exit stop the queue: a
    // download that does not finish stays listed, and what Resume would show
    // in an error box becomes an error row in the log, so no box waits for
    // the user and the window is Idle again at the end.
    void ResumeAll1Click();
    void Pause1Click();
    // The worker says more is durable: the run in progress records it.
    void RecordArrived();
    void Delete1Click(int row);
    // Offered for a download whose ranges are all in but that is still
    // listed (its file did not match its checksum), while nothing runs.
    bool OffersDownloadAgain(int row) const;
    // Queues the whole file [0, FileSize] anew; the next Resume fetches it.
    void DownloadAgain1Click(int row);

    // True when the window may close now. Otherwise the run in progress is
    // told to stop, and the window is asked to close again once it has ended.
    bool PrepareClose();

private:
    // A run or a Resume all is under way.
    bool Busy() const { return run_ != nullptr || queue_ != nullptr; }
    // Runs the queue's next download; returns without starting it when Pause
    // or Exit came while the worker was still busy.
    void RunQueued(ResumeAllQueue& queue);
    // One job run on `row`, as Resume runs it; false when Pause or Exit
    // stopped it.
    bool RunOne(int row);
    // The row of the listed download that writes `fileName`, -1 for none.
    int RowOf(const std::string& fileName) const;

    JobRows& rows_;
    JobLog& log_;
    JobWindow& window_;
    ListDocument& list_;
    Prompts& prompts_;
    tHTTPThread* worker_ = nullptr;
    bool idle_ = false;
    bool closeRequested_ = false;
    JobRun* run_ = nullptr;           // the run in progress
    ResumeAllQueue* queue_ = nullptr; // the Resume all in progress
    RunTimings timings_;
    // Added downloads that wait for the run in progress, by file name (two
    // listed downloads never write one file).
    std::deque<std::string> waiting_;
};
