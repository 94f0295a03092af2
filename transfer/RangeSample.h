#pragma once

#include "http/BodySink.h"

#include <cstdint>
#include <string>

// Reads the answer to a request for a few bytes that the incomplete file
// already holds, to compare them with it: only an answer that is exactly the
// range asked for is taken, held in memory, never more than the range.
class RangeSample : public BodySink {
public:
    RangeSample(std::int64_t begin, std::int64_t end, std::int64_t fileSize);

    bool Accept(const AnswerHead& head) override;
    // Throws HttpFailure (BodyTooLong) when the answer goes on past the range.
    void Take(const char* data, std::size_t size) override;

    // After the body has ended: true when the answer was the range, every
    // byte of it arrived and nothing more.
    bool Complete() const;
    const std::string& Bytes() const { return bytes_; }
    // Whether the answer was the range asked for, whatever became of its body.
    bool Accepted() const { return accepted_; }
    bool Overflowed() const { return overflowed_; }

private:
    std::int64_t begin_, end_, fileSize_;
    std::string bytes_;
    std::size_t count_;
    bool accepted_ = false;
    bool overflowed_ = false; // the server sent more than the range
};
