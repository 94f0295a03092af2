#pragma once

#include "http/AnswerReader.h"

#include <cstddef>
#include <limits>
#include <string>

// Most bytes of a body that does not go into a file (an error status, an
// answer the caller refused, a 401 answer) that the client reads; a longer
// body fails the request and its connection is closed.
inline constexpr std::size_t kMaxUnwrittenBody = 65536;

// Where the body of an accepted answer goes, block by block, as it arrives.
class BodySink {
public:
    virtual ~BodySink() = default;
    // Called once for an answer the client accepts, before any byte of its
    // body: false refuses the body, which is then read only up to
    // kMaxUnwrittenBody and dropped.
    virtual bool Accept(const AnswerHead& head) = 0;
    // The next bytes of the body. May throw to end the request.
    virtual void Take(const char* data, std::size_t size) = 0;
    // How many of the next bytes the sink can take straight from a pipe
    // (TakeFromPipe); 0 when it takes bytes only through Take.
    virtual std::size_t PipeRoom() const { return 0; }
    // The next `size` bytes of the body, waiting in the pipe; all of them
    // are taken. May throw to end the request.
    virtual void TakeFromPipe(int pipeRead, std::size_t size) {
        (void)pipeRead;
        (void)size;
    }
};

// A body kept in memory, up to a limit; beyond it the request fails with
// BodyTooLong and the bytes that fit are kept.
class MemoryBodySink : public BodySink {
public:
    explicit MemoryBodySink(std::string& bytes,
                            std::size_t limit = std::numeric_limits<std::size_t>::max())
        : bytes_(bytes), limit_(limit) {}
    bool Accept(const AnswerHead&) override { return true; }
    void Take(const char* data, std::size_t size) override;

private:
    std::string& bytes_;
    std::size_t limit_;
};
