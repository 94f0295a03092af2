#pragma once

#include <cstddef>

// Where the bytes of an answer come from: a connection, or memory in tests.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // Reads at least one and at most `max` bytes into `dst`; 0 when the peer
    // has closed. Throws HttpFailure on a socket failure.
    virtual std::size_t ReadSome(char* dst, std::size_t max) = 0;
    // Whether the source can move bytes into a pipe without copying them.
    virtual bool MovesToPipe() const { return false; }
    // Moves at least one and at most `max` bytes into the pipe; 0 when the
    // peer has closed. Throws HttpFailure on a socket failure.
    virtual std::size_t MoveToPipe(int pipeWrite, std::size_t max) {
        (void)pipeWrite;
        (void)max;
        return 0;
    }
};
