#include "transfer/RangeWriter.h"

#include "common/HttpFailure.h"
#include "common/IncompleteFile.h"
#include "http/AnswerParse.h"

#include <algorithm>

#include <unistd.h>

namespace {

// Writeback starts for every piece of this size as soon as it is written,
// and the piece before it is waited for, so that dirty pages stay few and
// the final flush has little left to do.
constexpr std::int64_t kWritebackPiece = std::int64_t{8} << 20;

HttpFailure PastTheRange(std::int64_t count) {
    return HttpFailure(HttpFailureKind::BodyTooLong, "The server sent more than the " +
                                                         std::to_string(count) +
                                                         " bytes of the range.");
}

} // namespace

template <typename Step> auto RangeWriter::OnTheFile(Step step) {
    try {
        return step();
    } catch (const AppError& e) {
        fileError_ = e.what();
        throw;
    }
}

RangeWriter::RangeWriter(IncompleteFile& file, std::int64_t begin, std::int64_t end,
                         std::int64_t fileSize, std::atomic<std::int64_t>& written,
                         std::atomic<std::int64_t>& durable, std::chrono::milliseconds durableEvery,
                         std::int64_t durableEveryBytes, std::function<void()> onDurable)
    : file_(file), begin_(begin), count_(RangeByteCount(begin, end, fileSize)), end_(end),
      fileSize_(fileSize), written_(written), durable_(durable), durableEvery_(durableEvery),
      durableEveryBytes_(durableEveryBytes), onDurable_(std::move(onDurable)),
      lastDurable_(std::chrono::steady_clock::now()) {
    written_.store(0, std::memory_order_relaxed);
    durable_.store(0, std::memory_order_release);
}

bool RangeWriter::Accept(const AnswerHead& head) {
    accepted_ = AnswerMatchesRange(head.statusLine, head.statusCode, head.headerLines, begin_, end_,
                                   fileSize_);
    return accepted_;
}

std::int64_t RangeWriter::Wanted() const {
    const std::int64_t last = cut_ ? cut_->load(std::memory_order_acquire) : -1;
    return last < 0 ? count_ : std::clamp<std::int64_t>(last - begin_ + 1, 0, count_);
}

void RangeWriter::Take(const char* data, std::size_t size) {
    const std::int64_t room = std::max<std::int64_t>(0, Wanted() - done_);
    const std::size_t fits =
        static_cast<std::size_t>(std::min<std::int64_t>(room, static_cast<std::int64_t>(size)));
    for (std::size_t at = 0; at < fits;) {
        const std::size_t n = UpToNextStep(fits - at);
        OnTheFile([&] { file_.WriteAt(begin_ + done_, data + at, n); });
        Advance(n);
        at += n;
    }
    if (fits < size) {
        if (Wanted() < count_) throw RangeCutReached();
        throw PastTheRange(count_);
    }
}

std::size_t RangeWriter::UpToNextStep(std::size_t size) const {
    if (durableEveryBytes_ <= 0) return size;
    const std::int64_t toStep = durableEveryBytes_ - done_ % durableEveryBytes_;
    return static_cast<std::size_t>(
        std::min<std::int64_t>(toStep, static_cast<std::int64_t>(size)));
}

void RangeWriter::Advance(std::size_t bytes) {
    done_ += static_cast<std::int64_t>(bytes);
    written_.store(done_, std::memory_order_relaxed);
    const bool atStep = durableEveryBytes_ > 0 && done_ % durableEveryBytes_ == 0;
    if (done_ < count_ &&
        (atStep || std::chrono::steady_clock::now() - lastDurable_ >= durableEvery_))
        MakeDurable();
    KeepWritebackGoing();
}

void RangeWriter::KeepWritebackGoing() {
    if (done_ - writebackStarted_ < kWritebackPiece) return;
    // A writeback error fails the range here: the flush at its end would no
    // longer see it.
    OnTheFile([&] {
        if (writebackStarted_ > writebackWaited_) {
            file_.WaitWriteback(begin_ + writebackWaited_, writebackStarted_ - writebackWaited_);
            writebackWaited_ = writebackStarted_;
        }
        file_.StartWriteback(begin_ + writebackStarted_, done_ - writebackStarted_);
    });
    writebackStarted_ = done_;
}

void RangeWriter::MakeDurable() {
    if (done_ > durableDone_) {
        OnTheFile([&] { file_.Flush(); });
        durableDone_ = done_;
        durable_.store(done_, std::memory_order_release);
        if (onDurable_) onDurable_();
    }
    lastDurable_ = std::chrono::steady_clock::now();
}

std::size_t RangeWriter::PipeRoom() const {
    return accepted_ ? static_cast<std::size_t>(std::max<std::int64_t>(0, Wanted() - done_)) : 0;
}

void RangeWriter::TakeFromPipe(int pipeRead, std::size_t size) {
    // The reader never moves more than PipeRoom() into the pipe.
    if (static_cast<std::int64_t>(size) > count_ - done_) throw PastTheRange(count_);
    while (size > 0) {
        const std::size_t step = UpToNextStep(size);
        const std::size_t moved = OnTheFile([&]() -> std::size_t {
            if (fileTakesFromPipe_) {
                const std::size_t n = file_.MoveFromPipe(pipeRead, begin_ + done_, step);
                fileTakesFromPipe_ = n > 0;
                if (n > 0) return n;
            }
            pipeBuffer_.resize(kReadBlockSize);
            const ssize_t n =
                ::read(pipeRead, pipeBuffer_.data(), std::min(step, pipeBuffer_.size()));
            if (n <= 0) throw AppError("The range's bytes were lost on their way to the file.");
            file_.WriteAt(begin_ + done_, pipeBuffer_.data(), static_cast<std::size_t>(n));
            return static_cast<std::size_t>(n);
        });
        Advance(moved);
        size -= moved;
    }
    if (done_ >= Wanted() && Wanted() < count_) throw RangeCutReached();
}

bool RangeWriter::Finish() {
    if (!accepted_ || (done_ != count_ && done_ < Wanted())) return false;
    MakeDurable();
    return true;
}

void RangeWriter::Settle() {
    MakeDurable();
}
