#include "transfer/AnswerReader.h"

#include "transfer/HttpClient.h"
#include "transfer/HttpParse.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {

HttpFailure ClosedFailure() {
    return HttpFailure(HttpFailureKind::ClosedConnection, "Connection Closed Gracefully.");
}

HttpFailure LineTooLongFailure() {
    return HttpFailure(HttpFailureKind::LineTooLong, "Max line length exceeded.");
}

HttpFailure OutOfMemoryFailure() {
    return HttpFailure(HttpFailureKind::OutOfMemory, "Out of memory while expanding memory stream");
}

} // namespace

std::size_t MemorySource::ReadSome(char* dst, std::size_t max) {
    const std::size_t n = std::min({max, step_, bytes_.size() - pos_});
    std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
}

AnswerReader::AnswerReader(ByteSource& source, std::size_t bodyLimit)
    : source_(source), bodyLimit_(bodyLimit), buffer_(new char[kReadBlockSize]) {}

bool AnswerReader::Fill() {
    if (closed_) return false;
    const std::size_t n = source_.ReadSome(buffer_.get(), kReadBlockSize);
    if (n == 0) {
        closed_ = true;
        return false;
    }
    begin_ = 0;
    end_ = n;
    return true;
}

bool AnswerReader::ReadLine(std::string& line) {
    line.clear();
    while (true) {
        if (begin_ == end_ && !Fill()) return false;
        const char* start = buffer_.get() + begin_;
        const std::size_t available = end_ - begin_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - start) : available;
        // One byte more than the limit may be a CR that is dropped below.
        if (line.size() + take > kMaxAnswerLineLength + 1) throw LineTooLongFailure();
        line.append(start, take);
        begin_ += take;
        if (lf) {
            ++begin_;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > kMaxAnswerLineLength) throw LineTooLongFailure();
            return true;
        }
    }
}

AnswerHead AnswerReader::ReadHead() {
    AnswerHead head;
    if (!ReadLine(head.statusLine)) throw ClosedFailure();
    head.statusCode = ParseStatusCode(head.statusLine);
    std::string line;
    while (true) {
        const bool complete = ReadLine(line);
        if (complete && line.empty()) break;
        if (!line.empty()) {
            if (head.headerLines.size() >= kMaxHeaderLines) throw LineTooLongFailure();
            head.headerLines.push_back(line);
        }
        // A close inside the header block ends the block.
        if (!complete) break;
    }
    return head;
}

void AnswerReader::Reserve(std::string& body, std::uint64_t more) {
    const std::uint64_t limit = std::min<std::uint64_t>(bodyLimit_, body.max_size());
    if (more > limit || body.size() > limit - more) throw OutOfMemoryFailure();
    const std::size_t needed = body.size() + static_cast<std::size_t>(more);
    if (needed <= body.capacity()) return;
    try {
        body.reserve(needed);
    } catch (const std::bad_alloc&) {
        throw OutOfMemoryFailure();
    } catch (const std::length_error&) {
        throw OutOfMemoryFailure();
    }
}

std::size_t AnswerReader::AppendFromSource(std::string& body, std::size_t want) {
    // Reads straight into the body's reserved room; on a failure the body
    // keeps only what had arrived before.
    const std::size_t old = body.size();
    body.resize(old + want);
    std::size_t got = 0;
    try {
        got = source_.ReadSome(body.data() + old, want);
    } catch (...) {
        body.resize(old);
        throw;
    }
    body.resize(old + got);
    return got;
}

void AnswerReader::ReadExactly(std::uint64_t count, std::string& body) {
    // One reservation for the whole count: a large range never reallocates.
    Reserve(body, count);
    const std::size_t buffered =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - begin_));
    body.append(buffer_.get() + begin_, buffered);
    begin_ += buffered;
    std::uint64_t remaining = count - buffered;
    while (remaining > 0) {
        const std::size_t want =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kReadBlockSize));
        const std::size_t got = AppendFromSource(body, want);
        if (got == 0) {
            closed_ = true;
            throw ClosedFailure();
        }
        remaining -= got;
    }
}

void AnswerReader::ReadUntilClose(std::string& body) {
    Reserve(body, end_ - begin_);
    body.append(buffer_.get() + begin_, end_ - begin_);
    begin_ = end_;
    while (!closed_) {
        const std::size_t room = std::min<std::size_t>(bodyLimit_, body.max_size()) - body.size();
        if (room == 0) {
            // Full: only the close may still come.
            char probe;
            if (source_.ReadSome(&probe, 1) == 0) {
                closed_ = true;
                return;
            }
            throw OutOfMemoryFailure();
        }
        const std::size_t want = std::min(room, kReadBlockSize);
        if (body.capacity() - body.size() < want) {
            // Grow geometrically, within the limit.
            const std::uint64_t grown = std::max<std::uint64_t>(body.capacity(), kReadBlockSize);
            Reserve(body, std::max<std::uint64_t>(want, std::min<std::uint64_t>(grown, room)));
        }
        if (AppendFromSource(body, want) == 0) closed_ = true;
    }
}

void AnswerReader::ReadBody(const std::vector<std::string>& headerLines, std::string& body) {
    if (IsChunkedBody(headerLines)) {
        std::string line;
        while (true) {
            if (!ReadLine(line)) throw ClosedFailure();
            const std::uint64_t size = ParseChunkSize(line);
            if (size == 0) break;
            ReadExactly(size, body);
            if (!ReadLine(line)) throw ClosedFailure(); // the line that ends the chunk
        }
        // The line after the last chunk, and any trailer lines before it.
        std::size_t trailerLines = 0;
        while (ReadLine(line) && !line.empty()) {
            if (++trailerLines > kMaxHeaderLines) throw LineTooLongFailure();
        }
        return;
    }
    const auto length = ParseContentLength(FindHeaderValue(headerLines, "Content-Length"));
    if (!length) {
        ReadUntilClose(body);
        return;
    }
    if (*length > 0) ReadExactly(static_cast<std::uint64_t>(*length), body);
}
