#include "transfer/RangeSample.h"

#include "common/HttpFailure.h"
#include "http/AnswerParse.h"

RangeSample::RangeSample(std::int64_t begin, std::int64_t end, std::int64_t fileSize)
    : begin_(begin), end_(end), fileSize_(fileSize),
      count_(static_cast<std::size_t>(RangeByteCount(begin, end, fileSize))) {}

bool RangeSample::Accept(const AnswerHead& head) {
    accepted_ = AnswerMatchesRange(head.statusLine, head.statusCode, head.headerLines, begin_, end_,
                                   fileSize_);
    return accepted_;
}

void RangeSample::Take(const char* data, std::size_t size) {
    const std::size_t room = count_ - bytes_.size();
    bytes_.append(data, std::min(size, room));
    overflowed_ = overflowed_ || size > room;
    if (size > room)
        throw HttpFailure(HttpFailureKind::BodyTooLong, "The server sent more than the " +
                                                            std::to_string(count_) +
                                                            " bytes of the sample.");
}

bool RangeSample::Complete() const {
    return accepted_ && !overflowed_ && bytes_.size() == count_;
}
