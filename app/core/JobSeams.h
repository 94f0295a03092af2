#pragma once

#include "list/RowColumns.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

class tHTTPThread;

// The download list's rows as the job commands see them, by RowColumn.
class JobRows {
public:
    virtual ~JobRows() = default;
    virtual int RowCount() const = 0;
    virtual std::string Text(int row, int column) const = 0;
    virtual void SetText(int row, int column, const std::string& text) = 0;
    virtual void RemoveRow(int row) = 0;
    // Selects the row and scrolls it into view.
    virtual void SelectRow(int row) = 0;
};

// The state icon of an activity-log row; the numbers are the icons' places
// in the log's image list.
enum class LogIcon { Received = 0, Requested = 1, Info = 2, Error = 3 };

// The activity log: appends one row with a state icon and a message.
class JobLog {
public:
    virtual ~JobLog() = default;
    virtual void AddLogRow(LogIcon icon, const std::string& message) = 0;
};

// What the window does for the commands: the menu items that follow the
// Running state, and waiting for events while the worker is busy.
class JobWindow {
public:
    virtual ~JobWindow() = default;
    // Resume1 disabled and Pause1 enabled while running; the reverse when not.
    virtual void ShowRunning(bool running) = 0;
    // Blocks until at least one event has been dispatched (the worker posts
    // one whenever it clears a flag), dispatching whatever arrives.
    virtual void WaitForEvents() = 0;
    // The same, but returns after `limit` at the latest.
    virtual void WaitForEventsAtMost(std::chrono::milliseconds limit) = 0;
    // A worker for one more connection of a run: its requests wake
    // WaitForEvents as the first worker's do.
    virtual std::unique_ptr<tHTTPThread> MakeWorker() = 0;
    // Closing was put off while a run ended; close the window now.
    virtual void CloseAfterRun() = 0;
    // The status bar while a range arrives: its line, and the whole file's
    // bar at `done` of `total` bytes.
    virtual void ShowProgress(const std::string& text, std::int64_t done, std::int64_t total) = 0;
    // The status bar when a run has ended: how it ended, and no bar.
    virtual void ShowRunEnd(const std::string& text) = 0;
};
