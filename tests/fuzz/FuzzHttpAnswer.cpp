// libFuzzer entry point for the answer parsing of the HTTP client: the bytes
// of an answer go through the reader (in pieces whose size the first byte
// picks) and every header value through the pure parsers.
//
// Build by hand from the source root, for example (one command):
//   clang++ -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I. -Itests/support
//       tests/fuzz/FuzzHttpAnswer.cpp http/AnswerReader.cpp http/AnswerParse.cpp
//       http/BodySink.cpp common/AsciiText.cpp http/HttpDate.cpp
//       http/CookieStore.cpp -o fuzz-http-answer
//
// The test suite runs the same function over generated answers.

#include "BodyCollect.h"
#include "common/AsciiText.h"
#include "http/AnswerParse.h"
#include "http/AnswerReader.h"
#include "http/CookieStore.h"
#include "http/HttpClient.h"
#include "http/HttpDate.h"
#include "http/Redirect.h"
#include "http/RequestHead.h"
#include "http/Url.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Fails loudly where a fuzzer (or a test) notices, naming the broken invariant.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "broken invariant: %s (line %d)\n", #condition, __LINE__);        \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)

// Keeps an endless body from filling memory.
constexpr std::size_t kFuzzBodyLimit = 1 << 20;

std::string WithoutBreaks(const std::string& text) {
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
    return out;
}

void ExerciseHeaderLines(const AnswerHead& head) {
    const int code = ParseStatusCode(head.statusLine);
    FUZZ_CHECK(code >= -1);
    for (const char* name : {"Content-Length", "Transfer-Encoding", "Location", "Connection",
                             "WWW-Authenticate", "Content-Range"})
        FUZZ_CHECK(TrimBlanks(FindHeaderValue(head.headerLines, name)).size() ==
                   FindHeaderValue(head.headerLines, name).size());
    if (const auto length = ParseContentLength(FindHeaderValue(head.headerLines, "Content-Length")))
        FUZZ_CHECK(*length >= 0);
    // An answer that names a range is judged without reading its body.
    for (const std::int64_t begin : {0, 1, 100}) {
        if (AnswerMatchesRange(head.statusLine, code, head.headerLines, begin, begin + 99, 1000))
            FUZZ_CHECK(head.statusLine.find("206 Partial Content") != std::string::npos);
    }
    AllowsKeepAlive(head.headerLines);
    for (const std::string& line : head.headerLines) {
        FUZZ_CHECK(ParseChunkSize(line) <= static_cast<std::uint64_t>(INT64_MAX));
        ParseHttpDate(line);
        const std::string folded = FoldHeaderLine(line);
        // Folding only moves line breaks and blanks around.
        FUZZ_CHECK(WithoutBreaks(folded) == WithoutBreaks(line));
    }
    CookieStore cookies;
    cookies.TakeHeaders(head.headerLines, "www.fuzz.example", false, 1700000000);
    // A clear-text answer never leaves a secure cookie behind.
    for (const Cookie& c : cookies.All())
        FUZZ_CHECK(DomainMatches("www.fuzz.example", c.domain) && !c.secure);
    cookies.RemoveExpired(1700000000);
    cookies.CookieList("www.fuzz.example", "/a/");
    const std::string location = FindHeaderValue(head.headerLines, "Location");
    const UrlParts url = SplitUrl(location);
    FUZZ_CHECK(!url.target.empty() && url.target[0] == '/');
    try {
        CompleteUrl(url, {"http", "h", "80"});
    } catch (const HttpFailure&) {
    }
    // A redirect leads to an http or https URL that a request line can
    // carry: no blank, no control character, no byte beyond ASCII, no "#".
    try {
        const std::string next =
            ResolveLocation(CompleteUrl(SplitUrl("https://h.example/a/b?q"), {}), location);
        FUZZ_CHECK(next.rfind("http://", 0) == 0 || next.rfind("https://", 0) == 0);
        for (const char c : next)
            FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 &&
                       static_cast<unsigned char>(c) < 0x7f && c != '#');
        FUZZ_CHECK(ResolveLocation(CompleteUrl(SplitUrl(next), {}), "") == next);
    } catch (const HttpFailure& failure) {
        FUZZ_CHECK(failure.Kind() == HttpFailureKind::Redirect);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t step = data[0] == 0 ? 1 : data[0];
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
    MemorySource source(bytes, step);
    AnswerReader reader(source);
    try {
        AnswerHead head;
        do {
            head = reader.ReadHead();
            ExerciseHeaderLines(head);
        } while (head.statusCode == 100);
        std::string body;
        MemoryBodySink sink(body, kFuzzBodyLimit);
        try {
            reader.ReadBody(head.headerLines, sink);
        } catch (const HttpFailure&) {
            FUZZ_CHECK(body.size() <= bytes.size());
            throw;
        }
        FUZZ_CHECK(body.size() <= bytes.size());
        const auto length = ParseContentLength(FindHeaderValue(head.headerLines, "Content-Length"));
        if (!IsChunkedBody(head.headerLines) && length)
            FUZZ_CHECK(body.size() == static_cast<std::size_t>(*length));
    } catch (const HttpFailure& failure) {
        FUZZ_CHECK(failure.Kind() == HttpFailureKind::ClosedConnection ||
                   failure.Kind() == HttpFailureKind::LineTooLong ||
                   failure.Kind() == HttpFailureKind::BodyTooLong);
    }
    return 0;
}
