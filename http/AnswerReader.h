#pragma once

#include "common/UniqueFd.h"
#include "net/ByteSource.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class BodySink;

// One status line with its header block.
struct AnswerHead {
    std::string statusLine;
    int statusCode = -1;
    std::vector<std::string> headerLines;
};

// Most bytes of one header block, line ends included: a hostile server
// cannot make the client hold more than this of its headers.
inline constexpr std::size_t kMaxHeaderBlockBytes = 256 * 1024;

// Reads answers from a source: lines up to LF, header blocks and bodies.
// Bytes read ahead of a line end stay buffered here and are used first. A
// body goes to its sink block by block, through one buffer of
// kReadBlockSize bytes, so memory never grows with the body.
class AnswerReader {
public:
    explicit AnswerReader(ByteSource& source);

    // A status line and its header block. Throws ClosedConnection when the
    // source closes before the status line is complete, LineTooLong for a
    // line (or header block) beyond the limits.
    AnswerHead ReadHead();
    // The body framed by `headerLines` (chunked, Content-Length or until
    // close), handed to `sink`. A body cut short throws ClosedConnection
    // after the bytes that had arrived went to the sink.
    void ReadBody(const std::vector<std::string>& headerLines, BodySink& sink);

    // Whether the source has reported its close.
    bool SourceClosed() const { return closed_; }
    // Whether bytes beyond the last answer are buffered.
    bool HasBufferedBytes() const { return begin_ != end_; }

private:
    // A line without its end; false when the source closed first (`line`
    // then holds the unfinished rest). `budget` is what the line may use of
    // its header block's bytes.
    bool ReadLine(std::string& line, std::size_t* budget = nullptr);
    bool Fill();
    // `direct`: the bytes may go from the source to the sink through a pipe,
    // without passing through memory, when both can.
    void ReadExactly(std::uint64_t count, BodySink& sink, bool direct);
    // The pipe for direct moves, made at first use; false when none can be made.
    bool EnsurePipe();
    void ReadUntilClose(BodySink& sink);

    ByteSource& source_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool closed_ = false;
    UniqueFd pipeRead_, pipeWrite_;
    std::size_t pipeSize_ = 0;
};
