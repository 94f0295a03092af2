#pragma once

#include "common/AppError.h"
#include "http/BodySink.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class IncompleteFile;

// Thrown when every byte up to the range's cut is written while the answer
// goes on: the rest is another connection's, and this one is closed.
class RangeCutReached : public std::exception {
public:
    const char* what() const noexcept override { return "The range was cut here."; }
};

// Writes the body of the answer to a range request into the incomplete file
// as it arrives, at begin plus the bytes received so far. It takes only an
// answer that is exactly the range asked for, never writes past the range,
// starts writeback while the body arrives, whether through its buffer or
// straight from the pipe, and waits for the piece before, so that dirty
// pages stay few and the final flush waits only for the tail, and publishes
// the bytes written for the window to read. At least every `durableEvery`
// of arrival, at every multiple of `durableEveryBytes` (when not 0), and
// whenever the answer ends before the range does (Settle), the bytes written
// so far are flushed and published as durable, and `onDurable` is called,
// so that the window may record them and a drop, a stall, Pause or a crash
// costs only what came after.
class RangeWriter : public BodySink {
public:
    RangeWriter(IncompleteFile& file, std::int64_t begin, std::int64_t end, std::int64_t fileSize,
                std::atomic<std::int64_t>& written, std::atomic<std::int64_t>& durable,
                std::chrono::milliseconds durableEvery, std::int64_t durableEveryBytes = 0,
                std::function<void()> onDurable = {});

    // Follows a cut: once `lastByte` (a file offset; negative: none) is set,
    // the range ends there, and an answer that goes on past it ends with
    // RangeCutReached. Bytes already on their way may pass the cut.
    void FollowCut(const std::atomic<std::int64_t>& lastByte) { cut_ = &lastByte; }

    bool Accept(const AnswerHead& head) override;
    // Throws AppError when the file refuses the bytes (FileError() then
    // says why), HttpFailure (BodyTooLong) when the answer goes on past the
    // range.
    void Take(const char* data, std::size_t size) override;
    // An accepted answer's bytes may come straight from the connection, up
    // to the end of the range; the file takes them without a copy where it
    // can, else through a small buffer.
    std::size_t PipeRoom() const override;
    void TakeFromPipe(int pipeRead, std::size_t size) override;

    // After the body has ended, or reached the cut: true when the answer was
    // taken and exactly the range's bytes (or at least those up to its cut)
    // were written, and they are then durable. Throws AppError when the
    // flush fails.
    bool Finish();
    // After a body that did not bring the whole range, however it ended:
    // makes what was written durable. Throws AppError when the flush fails.
    void Settle();
    // Whether the answer was the range asked for, and its body was taken.
    bool Accepted() const { return accepted_; }

    // Why the file refused the range's bytes; empty while it has not. A
    // refusal of the file, not of the answer.
    const std::string& FileError() const { return fileError_; }

private:
    // The bytes the range asks for now: up to its cut, when one is set.
    std::int64_t Wanted() const;
    // Runs one step on the file, keeping the file's refusal as FileError().
    template <typename Step> auto OnTheFile(Step step);
    // Of `size` next bytes, how many may go into the file before the next
    // multiple of durableEveryBytes, so that a flush falls exactly there.
    std::size_t UpToNextStep(std::size_t size) const;
    // Counts bytes that reached the file and publishes the count; flushes
    // them at a step of durableEveryBytes or when the last flush is
    // durableEvery ago, and keeps writeback going.
    void Advance(std::size_t bytes);
    // Starts writeback of what came since it was last started, once that is
    // a whole piece, after waiting for the piece before.
    void KeepWritebackGoing();
    // Flushes what was written and publishes it as durable.
    void MakeDurable();

    IncompleteFile& file_;
    std::int64_t begin_;
    std::int64_t count_; // bytes the range asks for
    std::int64_t end_;
    std::int64_t fileSize_;
    std::atomic<std::int64_t>& written_;
    std::atomic<std::int64_t>& durable_;
    std::chrono::milliseconds durableEvery_;
    std::int64_t durableEveryBytes_;
    std::function<void()> onDurable_;
    const std::atomic<std::int64_t>* cut_ = nullptr;
    std::chrono::steady_clock::time_point lastDurable_;
    std::int64_t done_ = 0;
    std::int64_t durableDone_ = 0;
    std::int64_t writebackStarted_ = 0; // bytes whose writeback has begun
    std::int64_t writebackWaited_ = 0;  // bytes known to be on disk
    bool accepted_ = false;
    bool fileTakesFromPipe_ = true;
    std::vector<char> pipeBuffer_; // only for a file that cannot take from a pipe
    std::string fileError_;
};
