// Reading answers from memory in pieces of every size: line ends, limits,
// header blocks and body framing, without a connection.

#include "http/AnswerReader.h"
#include "BodyCollect.h"
#include "common/AsciiText.h"
#include "http/AnswerParse.h"
#include "http/HttpClient.h"
#include "http/HttpDate.h"
#include "http/RequestHead.h"
#include "http/Url.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

std::string ToHex(std::size_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "%zx", value);
    return text;
}

HttpFailureKind KindOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const HttpFailure& failure) {
        return failure.Kind();
    }
    ADD_FAILURE() << "no failure";
    return HttpFailureKind::Socket;
}

TEST(AnswerReader, SameResultForEveryPieceSize) {
    const std::string answer =
        "HTTP/1.1 200 OK\r\nX-A: 1\n folded\r\nTransfer-Encoding: chunked\r\n\r\n"
        "4\r\nabcd\r\n3\r\nefg\r\n0\r\n\r\nLEFTOVER";
    for (std::size_t step : {1, 2, 3, 5, 8, 64, 100000}) {
        MemorySource source(answer, step);
        AnswerReader reader(source);
        const AnswerHead head = reader.ReadHead();
        EXPECT_EQ(head.statusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(head.statusCode, 200);
        EXPECT_EQ(FindHeaderValue(head.headerLines, "X-A"), "1 folded");
        std::string body;
        ReadBodyInto(reader, head.headerLines, body);
        EXPECT_EQ(body, "abcdefg") << step;
        EXPECT_FALSE(reader.SourceClosed());
    }
}

TEST(AnswerReader, LineLimitCountsTheContentWithoutItsEnd) {
    const std::string exact(kMaxAnswerLineLength, 's');
    for (std::size_t step : {7, 32768}) {
        for (const std::string end : {"\n", "\r\n"}) {
            MemorySource ok(exact + end + "\r\n", step);
            AnswerReader reader(ok);
            EXPECT_EQ(reader.ReadHead().statusLine, exact);
        }
        MemorySource tooLong(exact + "s\r\n\r\n", step);
        AnswerReader reader(tooLong);
        EXPECT_EQ(KindOf([&] { reader.ReadHead(); }), HttpFailureKind::LineTooLong);
    }
}

TEST(AnswerReader, HeaderBlockHasALimitedNumberOfLines) {
    std::string answer = "HTTP/1.0 200 OK\r\n";
    for (std::size_t i = 0; i < kMaxHeaderLines; ++i)
        answer += "X: y\r\n";
    MemorySource fits(answer + "\r\n");
    AnswerReader reader(fits);
    EXPECT_EQ(reader.ReadHead().headerLines.size(), kMaxHeaderLines);
    MemorySource tooMany(answer + "X: one more\r\n\r\n");
    AnswerReader reader2(tooMany);
    EXPECT_EQ(KindOf([&] { reader2.ReadHead(); }), HttpFailureKind::LineTooLong);
}

TEST(AnswerReader, CloseInsideTheBlockKeepsTheUnfinishedLine) {
    MemorySource source("HTTP/1.0 200 OK\r\nA: 1\r\nB: 2");
    AnswerReader reader(source);
    const AnswerHead head = reader.ReadHead();
    EXPECT_EQ(head.headerLines, (std::vector<std::string>{"A: 1", "B: 2"}));
    EXPECT_TRUE(reader.SourceClosed());
}

// Records the blocks a body arrives in.
class BlockSink : public BodySink {
public:
    bool Accept(const AnswerHead&) override { return true; }
    void Take(const char* data, std::size_t size) override {
        bytes.append(data, size);
        largest = std::max(largest, size);
        ++blocks;
    }
    std::string bytes;
    std::size_t largest = 0;
    int blocks = 0;
};

TEST(AnswerReader, BodyStreamsToItsSinkInBlocksOfAtMostOneRead) {
    // Lengths on both sides of the read block, framed by length, by chunks
    // and by the close.
    for (const std::size_t size :
         {kReadBlockSize - 1, kReadBlockSize, kReadBlockSize + 1, 3 * kReadBlockSize + 17}) {
        std::string payload(size, 'p');
        for (std::size_t i = 0; i < size; i += 997)
            payload[i] = static_cast<char>('a' + i % 26);
        const std::string framings[] = {
            "Content-Length: " + std::to_string(size) + "\r\n\r\n" + payload,
            "Transfer-Encoding: chunked\r\n\r\n" + ToHex(size) + "\r\n" + payload + "\r\n0\r\n\r\n",
            "\r\n" + payload};
        for (const std::string& framing : framings) {
            for (const std::size_t step : {std::size_t{4096}, std::size_t{100000}}) {
                MemorySource source("HTTP/1.0 206 Partial Content\r\n" + framing, step);
                AnswerReader reader(source);
                const AnswerHead head = reader.ReadHead();
                BlockSink sink;
                reader.ReadBody(head.headerLines, sink);
                EXPECT_EQ(sink.bytes, payload) << size << " " << step;
                EXPECT_LE(sink.largest, kReadBlockSize);
            }
        }
    }
}

TEST(AnswerReader, MemorySinkKeepsWhatFitsItsLimitAndFailsBeyond) {
    for (const std::size_t size : {100, 101}) {
        MemorySource source("HTTP/1.0 200 OK\r\n\r\n" + std::string(size, 'x'), 9);
        AnswerReader reader(source);
        const AnswerHead head = reader.ReadHead();
        std::string body;
        MemoryBodySink sink(body, 100);
        if (size == 100) {
            reader.ReadBody(head.headerLines, sink); // exactly the limit is fine
        } else {
            EXPECT_EQ(KindOf([&] { reader.ReadBody(head.headerLines, sink); }),
                      HttpFailureKind::BodyTooLong);
        }
        EXPECT_EQ(body, std::string(100, 'x'));
    }
    // A chunk size beyond anything memory can hold reads only what comes.
    MemorySource source(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\nabc");
    AnswerReader reader(source);
    const AnswerHead head = reader.ReadHead();
    std::string body;
    EXPECT_EQ(KindOf([&] { ReadBodyInto(reader, head.headerLines, body); }),
              HttpFailureKind::ClosedConnection);
    EXPECT_EQ(body, "abc");
}

TEST(AnswerReader, HeaderBlockHasALimitedNumberOfBytes) {
    // Fewer lines than their limit, each shorter than a line's limit, but
    // more bytes together than a header block may hold.
    const std::string line = "X: " + std::string(kMaxAnswerLineLength - 10, 'v') + "\r\n";
    std::string answer = "HTTP/1.0 200 OK\r\n";
    while (answer.size() + line.size() <= kMaxHeaderBlockBytes - 2)
        answer += line;
    MemorySource fits(answer + "\r\n");
    AnswerReader reader(fits);
    EXPECT_FALSE(reader.ReadHead().headerLines.empty());
    MemorySource tooMany(answer + line + "\r\n");
    AnswerReader reader2(tooMany);
    EXPECT_EQ(KindOf([&] { reader2.ReadHead(); }), HttpFailureKind::LineTooLong);
}

TEST(AnswerReader, ChunkSizeThatIsNoNumberEndsTheBody) {
    MemorySource source(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\n\r\n");
    AnswerReader reader(source);
    const AnswerHead head = reader.ReadHead();
    std::string body;
    ReadBodyInto(reader, head.headerLines, body);
    EXPECT_EQ(body, "ab");
}

} // namespace
