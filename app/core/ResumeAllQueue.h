#pragma once

#include "app/core/JobSeams.h"

#include <string>

// The downloads that Resume all works through, first row to last, one at a
// time. It holds downloads, not row numbers: the job runs reach the rows
// through it, so it sees the run remove the row of a download it finished
// (the rows below move up) and keeps its place; rows that Import appends
// meanwhile join the end.
class ResumeAllQueue : public JobRows {
public:
    explicit ResumeAllQueue(JobRows& rows) : rows_(rows) {}

    bool HasNext() const { return next_ < rows_.RowCount(); }
    // The row of the download in hand, or of the next one to start.
    int Row() const { return next_; }
    // Takes the next download in hand; the log's text that announces it.
    std::string Start();
    // The download in hand has ended: finished when its run removed its row.
    void End();
    // How the queue ended, for the log and the status line.
    std::string Summary(bool paused) const;

    int RowCount() const override { return rows_.RowCount(); }
    std::string Text(int row, int column) const override { return rows_.Text(row, column); }
    void SetText(int row, int column, const std::string& text) override {
        rows_.SetText(row, column, text);
    }
    void RemoveRow(int row) override;
    void SelectRow(int row) override { rows_.SelectRow(row); }

private:
    JobRows& rows_;
    int next_ = 0;
    bool inHand_ = false;
    bool inHandRemoved_ = false;
    int started_ = 0;
    int finished_ = 0;
};
