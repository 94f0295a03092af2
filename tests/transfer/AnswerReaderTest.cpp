// Reading answers from memory in pieces of every size: line ends, limits,
// header blocks and body framing, without a connection.

#include "transfer/AnswerReader.h"
#include "transfer/HttpClient.h"
#include "transfer/HttpParse.h"

#include <gtest/gtest.h>

namespace {

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
        reader.ReadBody(head.headerLines, body);
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

TEST(AnswerReader, KnownLengthReservesTheBodyOnce) {
    const std::string payload(200000, 'p');
    MemorySource source("HTTP/1.0 206 Partial Content\r\nContent-Length: 200000\r\n\r\n" + payload,
                        4096);
    AnswerReader reader(source);
    const AnswerHead head = reader.ReadHead();
    std::string body = "prefix";
    reader.ReadBody(head.headerLines, body);
    EXPECT_EQ(body, "prefix" + payload);
    EXPECT_EQ(body.capacity(), body.size()) << "one exact reservation, no doubling";
}

TEST(AnswerReader, BodyLimitMapsToOutOfMemoryWithWhatArrivedKept) {
    {
        MemorySource source("HTTP/1.0 200 OK\r\nContent-Length: 101\r\n\r\n" +
                            std::string(101, 'x'));
        AnswerReader reader(source, 100);
        const AnswerHead head = reader.ReadHead();
        std::string body;
        EXPECT_EQ(KindOf([&] { reader.ReadBody(head.headerLines, body); }),
                  HttpFailureKind::OutOfMemory);
        EXPECT_EQ(body, "") << "refused before reading";
    }
    {
        MemorySource source("HTTP/1.0 200 OK\r\n\r\n" + std::string(100, 'x'), 9);
        AnswerReader reader(source, 100);
        const AnswerHead head = reader.ReadHead();
        std::string body;
        reader.ReadBody(head.headerLines, body); // exactly the limit is fine
        EXPECT_EQ(body.size(), 100u);
    }
    {
        MemorySource source("HTTP/1.0 200 OK\r\n\r\n" + std::string(101, 'x'), 9);
        AnswerReader reader(source, 100);
        const AnswerHead head = reader.ReadHead();
        std::string body;
        EXPECT_EQ(KindOf([&] { reader.ReadBody(head.headerLines, body); }),
                  HttpFailureKind::OutOfMemory);
        EXPECT_EQ(body, std::string(100, 'x'));
    }
    {
        // A chunk size beyond anything memory can hold.
        MemorySource source(
            "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n7fffffffffffffff\r\nabc");
        AnswerReader reader(source);
        const AnswerHead head = reader.ReadHead();
        std::string body;
        EXPECT_EQ(KindOf([&] { reader.ReadBody(head.headerLines, body); }),
                  HttpFailureKind::OutOfMemory);
    }
}

TEST(AnswerReader, ChunkSizeThatIsNoNumberEndsTheBody) {
    MemorySource source(
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\nzz\r\n\r\n");
    AnswerReader reader(source);
    const AnswerHead head = reader.ReadHead();
    std::string body;
    reader.ReadBody(head.headerLines, body);
    EXPECT_EQ(body, "ab");
}

} // namespace
