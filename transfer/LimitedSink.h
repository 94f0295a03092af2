// A body sink that takes bytes no faster than a download's speed limit.
#pragma once

#include "http/BodySink.h"

class AbortSignal;
class SpeedLimit;

// Hands bytes on to its sink as the limit grants them, waiting between
// grants; an abort of the request ends the wait at once (as a socket
// abort). While a limit is set, bytes come through Take only, so that none
// move into the file unmetered. Without a limit it only passes bytes on.
class LimitedSink : public BodySink {
public:
    LimitedSink(BodySink& sink, SpeedLimit* limit, const AbortSignal& abort)
        : sink_(sink), limit_(limit), abort_(abort) {}

    bool Accept(const AnswerHead& head) override { return sink_.Accept(head); }
    void Take(const char* data, std::size_t size) override;
    std::size_t PipeRoom() const override;
    void TakeFromPipe(int pipeRead, std::size_t size) override {
        sink_.TakeFromPipe(pipeRead, size);
    }

private:
    bool Limited() const;

    BodySink& sink_;
    SpeedLimit* limit_;
    const AbortSignal& abort_;
};
