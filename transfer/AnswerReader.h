#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Where the bytes of an answer come from: a connection, or memory in tests.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads at least one and at most `max` bytes into `dst`; 0 when the peer
    // has closed. Throws HttpFailure on a socket failure.
    virtual std::size_t ReadSome(char* dst, std::size_t max) = 0;
};

// A fixed byte string handed out in pieces of at most `step` bytes.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string bytes,
                          std::size_t step = std::numeric_limits<std::size_t>::max())
        : bytes_(std::move(bytes)), step_(step == 0 ? 1 : step) {}
    std::size_t ReadSome(char* dst, std::size_t max) override;

private:
    std::string bytes_;
    std::size_t step_;
    std::size_t pos_ = 0;
};

// One status line with its header block.
struct AnswerHead {
    std::string statusLine;
    int statusCode = -1;
    std::vector<std::string> headerLines;
};

// Reads answers from a source: lines up to LF, header blocks and bodies.
// Bytes read ahead of a line end stay buffered here and are used first.
class AnswerReader {
public:
    // `bodyLimit`: the largest size the body buffer may reach; beyond it a
    // body fails as if memory had run out.
    explicit AnswerReader(ByteSource& source,
                          std::size_t bodyLimit = std::numeric_limits<std::size_t>::max());

    // A status line and its header block. Throws ClosedConnection when the
    // source closes before the status line is complete, LineTooLong for a
    // line (or header block) beyond the limits.
    AnswerHead ReadHead();
    // The body framed by `headerLines` (chunked, Content-Length or until
    // close), appended to `body`. A body cut short throws ClosedConnection;
    // a buffer that cannot grow throws OutOfMemory. On a failure `body`
    // holds what had arrived.
    void ReadBody(const std::vector<std::string>& headerLines, std::string& body);

    // Whether the source has reported its close.
    bool SourceClosed() const { return closed_; }
    // Whether bytes beyond the last answer are buffered.
    bool HasBufferedBytes() const { return begin_ != end_; }

private:
    // A line without its end; false when the source closed first (`line`
    // then holds the unfinished rest).
    bool ReadLine(std::string& line);
    bool Fill();
    void ReadExactly(std::uint64_t count, std::string& body);
    void ReadUntilClose(std::string& body);
    // Makes room for `more` bytes after the current end of `body`.
    void Reserve(std::string& body, std::uint64_t more);
    // Reads at most want bytes onto the end of body; 0 when the peer closed.
    std::size_t AppendFromSource(std::string& body, std::size_t want);

    ByteSource& source_;
    std::size_t bodyLimit_;
    std::unique_ptr<char[]> buffer_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool closed_ = false;
};
