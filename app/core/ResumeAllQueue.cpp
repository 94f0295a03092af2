#include "app/core/ResumeAllQueue.h"

#include <algorithm>

std::string ResumeAllQueue::Start() {
    // The downloads known now: those already taken and every row from here on.
    const int known = started_ + rows_.RowCount() - next_;
    ++started_;
    inHand_ = true;
    inHandRemoved_ = false;
    return "Resume all: download " + std::to_string(started_) + " of " + std::to_string(known) +
           ", " + rows_.Text(next_, FileNameColumn);
}

void ResumeAllQueue::End() {
    // A finished download's row is gone and the next one has moved up into
    // its place; any other stays listed and the queue steps past it.
    if (inHandRemoved_) {
        ++finished_;
    } else {
        ++next_;
    }
    inHand_ = false;
    inHandRemoved_ = false;
}

std::string ResumeAllQueue::Summary(bool paused) const {
    // Downloads never started count as not finished, as do the ones that ended
    // without finishing.
    const int notFinished = started_ - finished_ + std::max(0, rows_.RowCount() - next_);
    return std::string(paused ? "Resume all paused: " : "Resume all: ") +
           std::to_string(finished_) + " finished, " + std::to_string(notFinished) +
           " not finished.";
}

void ResumeAllQueue::RemoveRow(int row) {
    rows_.RemoveRow(row);
    if (inHand_ && !inHandRemoved_ && row == next_) {
        inHandRemoved_ = true;
    } else if (row < next_) {
        --next_;
    }
}
