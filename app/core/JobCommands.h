#pragma once

#include "app/core/JobSeams.h"
#include "list/ListDocument.h"

#include <atomic>
#include <chrono>
#include <optional>
#include <cstdint>
#include <string>

class Prompts;
class tHTTPThread;

// The commands on a download and the job run that Resume starts. All of it
// runs on the window thread; the run waits for the worker with the window's
// event loop running, so Pause, Save, Import and Exit can run inside it.
class JobCommands {
public:
    JobCommands(JobRows& rows, JobLog& log, JobWindow& window, ListDocument& list, Prompts& prompts);

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
    // Waits for the probe. After Pause it waits a moment longer for the
    // answer, then withdraws a probe the server leaves unanswered.
    void WaitForProbe();
    // The probe is withdrawn and the run ends without judging it.
    void WithdrawProbe();
    void RangeLoop(int row, XmlElement entry, XmlElement begin, XmlElement end, int count,
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
};

// Whether a fetched body is exactly the range that was asked for: the bytes
// from begin through end, clamped to the file's last byte, and a
// Content-Range (when the server sent one) that names those bytes of a file
// of fileSize bytes.
bool BodyMatchesRange(size_t bodySize, const std::string& contentRange, int64_t begin, int64_t end,
                      int64_t fileSize);
