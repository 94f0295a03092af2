#pragma once

#include "BodyCollect.h"
#include "http/AnswerReader.h"
#include "http/BodySink.h"
#include "http/HttpClient.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <string>

// A fixed byte string handed out in pieces of at most `step` bytes.
class MemorySource : public ByteSource {
public:
    explicit MemorySource(std::string bytes,
                          std::size_t step = std::numeric_limits<std::size_t>::max())
        : bytes_(std::move(bytes)), step_(step == 0 ? 1 : step) {}
    std::size_t ReadSome(char* dst, std::size_t max) override {
        const std::size_t n = std::min({max, step_, bytes_.size() - pos_});
        std::memcpy(dst, bytes_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::string bytes_;
    std::size_t step_;
    std::size_t pos_ = 0;
};

// A fetch whose accepted body is appended to `body` in memory.
inline void FetchInto(HttpClient& client, const std::string& url, std::string& body) {
    MemoryBodySink sink(body);
    client.Fetch(url, sink);
}

// An answer's body read whole into memory.
inline void ReadBodyInto(AnswerReader& reader, const std::vector<std::string>& headerLines,
                         std::string& body) {
    MemoryBodySink sink(body);
    reader.ReadBody(headerLines, sink);
}
