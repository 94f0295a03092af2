#include "http/AnswerReader.h"

#include "common/HttpFailure.h"
#include "http/AnswerParse.h"
#include "http/BodySink.h"

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The pipe for direct moves asks for this size.
constexpr std::size_t kPipeBytes = std::size_t{1} << 20;

HttpFailure ClosedFailure() {
    return HttpFailure(HttpFailureKind::ClosedConnection, "Connection Closed Gracefully.");
}

HttpFailure LineTooLongFailure() {
    return HttpFailure(HttpFailureKind::LineTooLong, "Max line length exceeded.");
}

} // namespace

AnswerReader::AnswerReader(ByteSource& source)
    : source_(source), buffer_(new char[kReadBlockSize]) {}

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

bool AnswerReader::ReadLine(std::string& line, std::size_t* budget) {
    line.clear();
    while (true) {
        if (begin_ == end_ && !Fill()) return false;
        const char* start = buffer_.get() + begin_;
        const std::size_t available = end_ - begin_;
        const auto* lf = static_cast<const char*>(std::memchr(start, '\n', available));
        const std::size_t take = lf ? static_cast<std::size_t>(lf - start) : available;
        // One byte more than the limit may be a CR that is dropped below.
        if (line.size() + take > kMaxAnswerLineLength + 1) throw LineTooLongFailure();
        if (budget) {
            const std::size_t used = take + (lf ? 1 : 0);
            if (used > *budget) throw LineTooLongFailure();
            *budget -= used;
        }
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
    std::size_t budget = kMaxHeaderBlockBytes;
    if (!ReadLine(head.statusLine, &budget)) throw ClosedFailure();
    head.statusCode = ParseStatusCode(head.statusLine);
    std::string line;
    while (true) {
        const bool complete = ReadLine(line, &budget);
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

bool AnswerReader::EnsurePipe() {
    if (pipeRead_) return true;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    pipeRead_ = UniqueFd(fds[0]);
    pipeWrite_ = UniqueFd(fds[1]);
    // A larger pipe moves more per system call; the default is the fallback.
    ::fcntl(fds[1], F_SETPIPE_SZ, static_cast<int>(kPipeBytes));
    const int size = ::fcntl(fds[1], F_GETPIPE_SZ);
    pipeSize_ = size > 0 ? static_cast<std::size_t>(size) : kReadBlockSize;
    return true;
}

void AnswerReader::ReadExactly(std::uint64_t count, BodySink& sink, bool direct) {
    while (count > 0) {
        // Bytes already read ahead go first; then, where source and sink
        // allow it, the rest moves from the socket into the file through a
        // pipe, never through this process's memory.
        if (begin_ == end_ && direct && source_.MovesToPipe() && sink.PipeRoom() > 0 &&
            EnsurePipe()) {
            const std::size_t want = static_cast<std::size_t>(
                std::min<std::uint64_t>({count, sink.PipeRoom(), pipeSize_}));
            const std::size_t moved = source_.MoveToPipe(pipeWrite_.Get(), want);
            if (moved == 0) {
                closed_ = true;
                throw ClosedFailure();
            }
            count -= moved;
            sink.TakeFromPipe(pipeRead_.Get(), moved);
            continue;
        }
        if (begin_ == end_ && !Fill()) throw ClosedFailure();
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, end_ - begin_));
        const char* data = buffer_.get() + begin_;
        begin_ += take;
        count -= take;
        sink.Take(data, take);
    }
}

void AnswerReader::ReadUntilClose(BodySink& sink) {
    while (begin_ != end_ || Fill()) {
        const char* data = buffer_.get() + begin_;
        const std::size_t take = end_ - begin_;
        begin_ = end_;
        sink.Take(data, take);
    }
}

void AnswerReader::ReadBody(const std::vector<std::string>& headerLines, BodySink& sink) {
    if (IsChunkedBody(headerLines)) {
        std::string line;
        while (true) {
            if (!ReadLine(line)) throw ClosedFailure();
            const std::uint64_t size = ParseChunkSize(line);
            if (size == 0) break;
            ReadExactly(size, sink, false);
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
        ReadUntilClose(sink);
        return;
    }
    if (*length > 0) ReadExactly(static_cast<std::uint64_t>(*length), sink, true);
}
