#pragma once

#include "app/core/JobSeams.h"
#include "list/ListDocument.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

class Prompts;
class tHTTPThread;

// The commands on a download and the job run that Resume starts. All of it
// runs on the window thread; the run waits for the worker with the window's
// event loop running, so Pause, Save, Import and Exit can run inside it.
class JobCommands {
public:
    JobCommands(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list,
                Prompts& prompts);

    // The worker is created when the window is first shown.
    void AttachWorker(tHTTPThread* worker) { worker_ = worker; }

    // Set: no job run is in progress, or Pause asked the run to stop.
    bool Idle() const { return idle_; }
    void SetIdle() { idle_ = true; }
    // A run is still on its way, possibly already asked to stop.
    bool RunActive() const { return runActive_; }

    struct MenuState {
        bool resume = false, pause = false, remove = false;
    };
    // Which popup items are offered. Resume and Delete wait until a paused
    // run has really ended, so two runs never share the worker.
    MenuState PopupMenuState() const;

    // The job run on row `row`. Conversion errors propagate to the caller's
    // error box and leave the state Running until Pause.
    void Resume1Click(int row);
    void Pause1Click();
    void Delete1Click(int row);

    // True when the window may close now. Otherwise the run in progress is
    // told to stop, and the window is asked to close again once it has ended.
    bool PrepareClose();

private:
    void WaitWhile(const std::atomic<bool>& flag);
    // Waits for the fetch of range `pass`, showing its progress in the status
    // bar at most four times a second.
    void WaitForFetch(int pass, int64_t first, int64_t last, int64_t fileSize, int64_t downloaded);
    // Waits until the worker has left its request, so that a withdrawn fetch
    // no longer writes into the file.
    void WaitUntilWorkerIdle();
    // Withdraws a fetch that is pending or under way and waits until the
    // worker has left it, so that nothing more is written into the file.
    void ReleaseWorker();
    // Removes entry and row `row` together: when the list's save fails after
    // the entry left the document, the row goes too and the error is passed on.
    void DeleteEntryAndRow(int row);
    // Waits for the probe. After Pause it waits a moment longer for the
    // answer, then withdraws a probe the server leaves unanswered.
    void WaitForProbe();
    // The probe is withdrawn and the run ends without judging it.
    void WithdrawProbe();
    // The range loop; returns the status bar's line for how it ended.
    std::string RangeLoop(int row, XmlElement entry, XmlElement begin, XmlElement end, int count,
                          const std::string& fileName, const std::string& fileSize,
                          std::string downloaded, std::string remains);

    JobRows& rows_;
    JobLog& log_;
    JobWindow& window_;
    ListDocument& list_;
    Prompts& prompts_;
    tHTTPThread* worker_ = nullptr;
    bool idle_ = false;
    bool runActive_ = false;
    bool closeRequested_ = false;
    bool probing_ = false;        // the run waits for the probe
    bool probeWithdrawn_ = false; // and Pause or Exit withdrew it
    std::optional<std::chrono::steady_clock::time_point> pausedDuringProbe_;
    std::chrono::steady_clock::time_point lastProgress_{}; // the status bar's last update
};
