// A bounded, deterministic fuzz run of the answer parsing: mutated answers
// go through the same function as the libFuzzer target, which aborts on a
// broken invariant. A fixed seed keeps every run the same.

#include "../fuzz/FuzzHttpAnswer.cpp"
#include "BodyCollect.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

const std::vector<std::string> kSeeds = {
    "HTTP/1.1 206 Partial Content\r\nContent-Length: 10\r\nContent-Range: bytes 0-9/100\r\n"
    "Connection: keep-alive\r\n\r\n0123456789",
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n",
    "HTTP/1.0 200 OK\r\n\r\nuntil the end",
    "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 204 No Content\r\n\r\n",
    "HTTP/1.1 302 Found\r\nLocation: http://u:p@elsewhere:81/x?y#z\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"r\"\r\nContent-Length: "
    "4\r\n\r\nauth",
    "HTTP/1.1 200 OK\r\nSet-Cookie: a=1; path=/a/; domain=.fuzz.example; max-age=60\r\n"
    "Set-cookie2: b=2; expires=Sun, 06 Nov 1994 08:49:37 GMT; secure\r\nContent-Length: 0\r\n\r\n",
    "HTTP/1.0 200 OK\nX-Folded: a\n\tb\n c\nContent-Length: 1\n\nx",
};

const std::vector<std::string> kTokens = {
    "\r\n",
    "\n",
    "\r\n\r\n",
    "chunked",
    "Transfer-Encoding: chunked\r\n",
    "Content-Length: ",
    "2147483647",
    "2147483648",
    "99999999999999999999",
    "-1",
    "0",
    "ffffffffffffffff",
    "7fffffffffffffff",
    "HTTP/1.1 100 Continue\r\n\r\n",
    ":",
    " ",
    "\t",
    ";",
    "=",
    "\"",
    "Set-Cookie: ",
    "; domain=",
    "; expires=",
    "Sun, 06 Nov 1994 08:49:37 GMT",
    "\0",
};

std::string Mutate(std::string input, std::mt19937& random) {
    const int rounds = 1 + static_cast<int>(random() % 6);
    for (int r = 0; r < rounds; ++r) {
        const std::size_t at = input.empty() ? 0 : random() % (input.size() + 1);
        switch (random() % 6) {
        case 0: // flip a byte
            if (!input.empty()) input[at % input.size()] = static_cast<char>(random());
            break;
        case 1: // insert a token
            input.insert(at, kTokens[random() % kTokens.size()]);
            break;
        case 2: // delete a stretch
            input.erase(at, random() % 16);
            break;
        case 3: // duplicate a stretch
            if (!input.empty())
                input.insert(at, input.substr(random() % input.size(), random() % 64));
            break;
        case 4: // cut the answer short
            input.resize(at);
            break;
        case 5: // a long run of one byte
            input.insert(at, std::string(random() % 20000, static_cast<char>(random())));
            break;
        }
    }
    return input;
}

TEST(HttpAnswerFuzz, MutatedAnswersNeverCrashOrHang) {
    std::mt19937 random(0x5eed);
    constexpr int kCases = 4000;
    for (int i = 0; i < kCases; ++i) {
        std::string input = Mutate(kSeeds[random() % kSeeds.size()], random);
        const char step = static_cast<char>(random() % 4 == 0 ? 255 : 1 + random() % 17);
        input.insert(input.begin(), step);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
    }
    SUCCEED() << kCases << " answers parsed";
}

TEST(HttpAnswerFuzz, SeedsParseCompletely) {
    // The seeds themselves are well-formed: the target sees whole bodies.
    for (const std::string& seed : kSeeds) {
        MemorySource source(seed);
        AnswerReader reader(source);
        AnswerHead head;
        do
            head = reader.ReadHead();
        while (head.statusCode == 100);
        std::string body;
        EXPECT_NO_THROW(ReadBodyInto(reader, head.headerLines, body)) << seed;
    }
}

} // namespace
