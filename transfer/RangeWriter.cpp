#include "transfer/RangeWriter.h"

#include "common/IncompleteFile.h"
#include "transfer/AnswerParse.h"
#include "transfer/HttpFailure.h"

#include <algorithm>

namespace {

// Writeback starts for every piece of this size as soon as it is written,
// and the piece before it is waited for, so that dirty pages stay few and
// the final flush has little left to do.
constexpr std::int64_t kWritebackPiece = std::int64_t{8} << 20;

} // namespace

RangeWriter::RangeWriter(IncompleteFile& file, std::int64_t begin, std::int64_t end,
                         std::int64_t fileSize, std::atomic<std::int64_t>& written)
    : file_(file), begin_(begin), count_(RangeByteCount(begin, end, fileSize)), end_(end),
      fileSize_(fileSize), written_(written) {
    written_.store(0, std::memory_order_relaxed);
}

bool RangeWriter::Accept(const AnswerHead& head) {
    accepted_ = AnswerMatchesRange(head.statusLine, head.statusCode, head.headerLines, begin_, end_,
                                   fileSize_);
    return accepted_;
}

void RangeWriter::Take(const char* data, std::size_t size) {
    const std::int64_t room = count_ - done_;
    const std::size_t fits =
        static_cast<std::size_t>(std::min<std::int64_t>(room, static_cast<std::int64_t>(size)));
    if (fits > 0) {
        try {
            file_.WriteAt(begin_ + done_, data, fits);
        } catch (const AppError& e) {
            throw RangeWriteFailure(e.what());
        }
        done_ += static_cast<std::int64_t>(fits);
        written_.store(done_, std::memory_order_relaxed);
        if (done_ - writebackStarted_ >= kWritebackPiece) {
            if (writebackStarted_ > writebackWaited_) {
                file_.WaitWriteback(begin_ + writebackWaited_,
                                    writebackStarted_ - writebackWaited_);
                writebackWaited_ = writebackStarted_;
            }
            file_.StartWriteback(begin_ + writebackStarted_, done_ - writebackStarted_);
            writebackStarted_ = done_;
        }
    }
    if (fits < size)
        throw HttpFailure(HttpFailureKind::BodyTooLong, "The server sent more than the " +
                                                            std::to_string(count_) +
                                                            " bytes of the range.");
}

bool RangeWriter::Finish() {
    if (!accepted_ || done_ != count_) return false;
    try {
        file_.Flush();
    } catch (const AppError& e) {
        throw RangeWriteFailure(e.what());
    }
    return true;
}
