#include "Answers.h"
#include "NginxServer.h"
#include "ScriptedServer.h"
#include "StalledResolver.h"
#include "TempDir.h"

#include "common/AppError.h"
#include "common/IncompleteFile.h"
#include "common/UniqueFd.h"
#include "transfer/DLThread_Unit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Waits (without an event loop) until the flag is clear; false after 10 s.
bool WaitClear(const std::atomic<bool>& flag, std::chrono::milliseconds limit = 10s) {
    const auto until = Clock::now() + limit;
    while (flag.load(std::memory_order_acquire)) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

int RefusedPort() {
    // A port that nothing listens on: bind one, then close it.
    ScriptedServer server;
    return server.port();
}

// The answer to a range of a 100-byte file that starts at `begin`.
std::string RangeOf100(int64_t begin, const std::string& body, const std::string& extra = "") {
    return PartialAnswer("bytes " + std::to_string(begin) + "-" +
                             std::to_string(begin + static_cast<int64_t>(body.size()) - 1) + "/100",
                         body, extra);
}

TEST(WorkerErrorCapture, KeepsTheDescriptionAfterTheFirstLineFeed) {
    struct Case {
        std::string message, expected;
    } cases[] = {
        {"Socket Error # 10061\r\nConnection refused.", " SERVER ERROR: Connection refused."},
        {"Connection Closed Gracefully.", " SERVER ERROR: Connection Closed Gracefully."},
        {"Socket Error # 11002\r\n", " SERVER ERROR: "},
        {"first line\nsecond line", " SERVER ERROR: second line"},
        {"a\r\nb\nc", " SERVER ERROR: b\nc"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(tHTTPThread::CaptureErrorText(c.message), c.expected) << c.message;
}

TEST(WorkerRequests, RefusedProbeLeavesTheCapturedTextAndNoHeaders) {
    std::atomic<int> ended{0};
    tHTTPThread worker([&] { ++ended; });
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\nContent-Type: a/b\r\n"
        "Connection: keep-alive\r\n\r\n")});
    worker.URL = server.url("/f");
    const uint64_t answered = worker.RequestProbe();
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    worker.URL = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/file";
    const uint64_t refused = worker.RequestProbe();
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    const RequestResult result = worker.Result(refused);
    EXPECT_EQ(result.Outcome, RequestOutcome::Error);
    EXPECT_EQ(result.StatusText, " SERVER ERROR: Connection refused.");
    EXPECT_EQ(result.ContentLength, "");
    EXPECT_EQ(result.ContentLengthValue, std::nullopt);
    EXPECT_EQ(result.AcceptRanges, "");
    EXPECT_EQ(result.ContentRange, "");
    EXPECT_EQ(result.ContentType, "");
    EXPECT_EQ(worker.Client.ByteRange, "0-");
    // Only the latest request's result is kept.
    EXPECT_EQ(worker.Result(answered).Outcome, RequestOutcome::Withdrawn);
    EXPECT_EQ(ended.load(), 2);
}

TEST(WorkerRequests, ProbeRecordsStatusAndHeadersAndLeavesTheRangeText) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\nAccept-Ranges: bytes\r\n"
        "Content-Range: bytes 0-99/100\r\nContent-Type: text/plain\r\nConnection: "
        "keep-alive\r\n\r\n")});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    const uint64_t serial = worker.RequestProbe();
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    const RequestResult result = worker.Result(serial);
    EXPECT_EQ(result.Outcome, RequestOutcome::PartialContent);
    EXPECT_EQ(result.StatusText, "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(result.ContentLength, "100");
    EXPECT_EQ(result.ContentLengthValue, 100);
    EXPECT_EQ(result.AcceptRanges, "bytes");
    EXPECT_EQ(result.ContentRange, "bytes 0-99/100");
    EXPECT_EQ(result.ContentType, "text/plain");
    EXPECT_EQ(worker.Client.ByteRange, "0-");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_NE(server.requests()[0].head.find("Range: bytes=0-\r\n"), std::string::npos);
}

TEST(WorkerRequests, BothFlagsSetServesNeither) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(RangeOf100(0, "abc"))});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "0-2";
    // Raised together, without waking the worker in between.
    worker.FetchPending.store(true, std::memory_order_release);
    worker.ProbePending.store(true, std::memory_order_release);
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(worker.ProbePending.load());
    EXPECT_TRUE(worker.FetchPending.load());
    EXPECT_EQ(server.connectionCount(), 0);
    worker.CancelFetch(); // the probe alone is served now
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_EQ(server.requests()[0].head.rfind("HEAD ", 0), 0u);
}

// An incomplete file of 100 dots that a worker's fetches write into.
class WorkerFetch : public ::testing::Test {
protected:
    TempDir dir;
    std::string path = dir.file("part.bin");
    std::unique_ptr<IncompleteFile> file;
    tHTTPThread worker;

    void SetUp() override {
        WriteWholeFile(path, std::string(100, '.'));
        file = std::make_unique<IncompleteFile>(path);
    }
    // Fetches begin..end of the 100-byte file from url; true when taken.
    bool Fetch(const std::string& url, int64_t begin, int64_t end, uint64_t* serial = nullptr) {
        worker.URL = url;
        worker.Client.ByteRange = std::to_string(begin) + "-" + std::to_string(end);
        worker.Target = {file.get(), begin, end, 100};
        const uint64_t s = worker.RequestFetch();
        if (serial) *serial = s;
        EXPECT_TRUE(WaitClear(worker.FetchPending));
        last = worker.Result(s);
        return last.RangeTaken;
    }
    RequestResult last; // of the latest Fetch
    std::string Bytes() const { return ReadWholeFile(path); }
};

TEST_F(WorkerFetch, WritesTheRangeAtItsOffsetAndAFailedFetchTakesNothing) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::AnswerAndClose(RangeOf100(10, "hello", ""))});
    EXPECT_TRUE(Fetch(server.url("/f"), 10, 14));
    EXPECT_EQ(Bytes(), std::string(10, '.') + "hello" + std::string(85, '.'));
    EXPECT_EQ(worker.RangeBytesWritten.load(), 5);
    EXPECT_EQ(last.Outcome, RequestOutcome::PartialContent);
    EXPECT_EQ(last.StatusText, "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(last.WriteError, "");

    EXPECT_FALSE(Fetch("http://127.0.0.1:" + std::to_string(RefusedPort()) + "/f", 20, 29));
    EXPECT_EQ(last.Outcome, RequestOutcome::Error);
    EXPECT_EQ(last.StatusText, " SERVER ERROR: Connection refused.");
    EXPECT_EQ(Bytes(), std::string(10, '.') + "hello" + std::string(85, '.'));
}

TEST_F(WorkerFetch, AnswersThatAreNotExactlyTheRangeWriteNothing) {
    // Each answers the range 10-19 of a 100-byte file.
    const std::string ten = "0123456789";
    const std::string answers[] = {
        "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: keep-alive\r\n\r\n" + ten,
        "HTTP/1.1 206 partial content\r\nContent-Length: 10\r\nConnection: keep-alive\r\n\r\n" +
            ten,
        RangeOf100(11, ten, ""), // other bytes
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/99\r\nContent-Length: 10\r\n"
        "Connection: keep-alive\r\n\r\n" +
            ten, // a file of another size
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/100\r\nContent-Length: 9\r\n"
        "Connection: keep-alive\r\n\r\n" +
            ten.substr(1), // announces fewer bytes
        "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/100\r\nContent-Length: 1x\r\n"
        "Connection: close\r\n\r\n" +
            ten,                                                // a length that is no number
        RangeOf100(10, ten, "Location: http://elsewhere/\r\n"), // a redirect
        "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\nConnection: "
        "keep-alive\r\n\r\nno!",
    };
    for (const std::string& answer : answers) {
        ScriptedServer server;
        server.addConnection({ScriptedServer::Reply::AnswerAndClose(answer)});
        EXPECT_FALSE(Fetch(server.url("/f"), 10, 19)) << answer;
        EXPECT_EQ(Bytes(), std::string(100, '.')) << answer;
        EXPECT_EQ(worker.RangeBytesWritten.load(), 0) << answer;
        EXPECT_FALSE(last.RangeTaken) << answer;
    }
}

TEST_F(WorkerFetch, ShortLongAndResetBodiesAreNotTakenAndNothingPassesTheRange) {
    const std::string head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/100\r\n";
    struct Case {
        const char* name;
        ScriptedServer::Reply reply;
        std::string written; // bytes 10.. of the file afterwards
    } cases[] = {
        {"ShortByLength",
         ScriptedServer::Reply::AnswerAndClose(head + "Content-Length: 10\r\n\r\nabcd"), "abcd"},
        {"ShortUntilClose", ScriptedServer::Reply::AnswerAndClose(head + "\r\nabcd"), "abcd"},
        {"LongUntilClose", ScriptedServer::Reply::AnswerAndClose(head + "\r\nabcdefghijKLMNOP"),
         "abcdefghij"},
        {"LongChunked",
         ScriptedServer::Reply::AnswerAndClose(head + "Transfer-Encoding: chunked\r\n\r\n"
                                                      "c\r\nabcdefghijKL\r\n0\r\n\r\n"),
         "abcdefghij"},
        {"Reset", ScriptedServer::Reply::ResetAfter(head + "Content-Length: 10\r\n\r\nabcdef"),
         "abcdef"},
    };
    for (const Case& c : cases) {
        WriteWholeFile(path, std::string(100, '.'));
        ScriptedServer server;
        server.addConnection({c.reply});
        EXPECT_FALSE(Fetch(server.url("/f"), 10, 19)) << c.name;
        const std::string bytes = Bytes();
        ASSERT_EQ(bytes.size(), 100u) << c.name;
        // What arrived lies inside the range, and nothing beyond it.
        EXPECT_EQ(bytes.substr(10, c.written.size()), c.written) << c.name;
        EXPECT_EQ(bytes.substr(0, 10) + bytes.substr(10 + c.written.size()),
                  std::string(100 - c.written.size(), '.'))
            << c.name;
    }
}

TEST_F(WorkerFetch, ARangeEndingPastTheLastByteEndsThere) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::AnswerAndClose(RangeOf100(95, "VWXYZ", ""))});
    EXPECT_TRUE(Fetch(server.url("/f"), 95, 1000));
    EXPECT_EQ(Bytes(), std::string(95, '.') + "VWXYZ");
}

// A range split while its fetch is under way: the fetch is taken once the
// bytes up to the cut are in, without waiting for the server's rest (which
// never comes here), and the next fetch opens a new connection.
TEST_F(WorkerFetch, ACutFetchIsTakenUpToTheCutAndItsConnectionClosed) {
    const std::string body = "abcdefghij0123456789" + std::string(30, '#');
    const std::string answer = RangeOf100(10, body);
    std::atomic<bool> cut{false};
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::WhenReady(answer, 10, [&](std::size_t sent) {
        return sent < answer.size() - 40 || (cut.load() && sent < answer.size() - 20);
    })});
    server.addConnection({ScriptedServer::Reply::Keep(RangeOf100(30, "next"))});
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "10-59";
    worker.Target = {file.get(), 10, 59, 100};
    const uint64_t serial = worker.RequestFetch();
    for (const auto until = Clock::now() + 10s;
         worker.RangeBytesWritten.load() < 10 && Clock::now() < until;)
        std::this_thread::sleep_for(1ms);
    worker.StopAfter.store(29);
    cut = true;
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_TRUE(worker.Result(serial).RangeTaken);
    EXPECT_GE(worker.RangeBytesDurable.load(), 20);
    // Bytes already on their way may pass the cut; they are the server's.
    const std::string bytes = Bytes();
    EXPECT_EQ(bytes.substr(0, 30), std::string(10, '.') + body.substr(0, 20));
    EXPECT_EQ(bytes.substr(50), std::string(50, '.'));

    EXPECT_TRUE(Fetch(server.url("/f"), 30, 33));
    EXPECT_EQ(server.connectionCount(), 2);
}

TEST(WorkerRecords, ARangeIsMadeDurableAtEveryStepOfItsBytesAndTheWindowWokenEachTime) {
    TempDir dir;
    WriteWholeFile(dir.file("part.bin"), std::string(100, '.'));
    IncompleteFile file(dir.file("part.bin"));
    std::mutex mutex;
    std::vector<int64_t> durableAtWake;
    const tHTTPThread* self = nullptr;
    tHTTPThread worker([&] {
        std::lock_guard lock(mutex);
        durableAtWake.push_back(self->RangeBytesDurable.load());
    });
    self = &worker;
    ScriptedServer server;
    server.addConnection(
        {ScriptedServer::Reply::AnswerAndClose(RangeOf100(10, "0123456789abcdefghij"))});
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "10-29";
    worker.Target = {&file, 10, 29, 100, std::chrono::hours(1), 8};
    const uint64_t serial = worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_TRUE(worker.Result(serial).RangeTaken);
    std::lock_guard lock(mutex);
    // Two steps of 8 bytes, the whole range, and the end of the request.
    EXPECT_EQ(durableAtWake, (std::vector<int64_t>{8, 16, 20, 20}));
}

TEST_F(WorkerFetch, CancelledFetchIsAbortedAndNeverCounts) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Stall(
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\n\r\npartial")});
    server.addConnection({ScriptedServer::Reply::Keep(RangeOf100(0, "next", ""))});
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "0-99";
    worker.Target = {file.get(), 0, 99, 100};
    uint64_t serial = worker.RequestFetch();
    ASSERT_TRUE(server.waitForRequests(1));
    worker.CancelFetch();
    EXPECT_FALSE(worker.FetchPending.load());
    const auto start = Clock::now();
    while (worker.Busy() && Clock::now() - start < 5s)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(worker.Busy());
    // A watchdog, far below the time-out that would end the stall otherwise.
    EXPECT_LT(Clock::now() - start, 10s);
    EXPECT_EQ(worker.Result(serial).Outcome, RequestOutcome::Withdrawn);

    // The worker goes on serving requests afterwards.
    EXPECT_TRUE(Fetch(server.url("/f"), 0, 3));
    EXPECT_EQ(Bytes().substr(0, 4), "next");
}

// The bounds are watchdogs, far below the time-out that a stalled request
// would otherwise wait out.
TEST(WorkerLifetime, FreeingIdleOrStalledWorkerReturnsPromptly) {
    auto start = Clock::now();
    { tHTTPThread idle; }
    EXPECT_LT(Clock::now() - start, 10s);

    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Stall()});
    start = Clock::now();
    {
        tHTTPThread worker;
        worker.URL = server.url("/f");
        worker.RequestProbe();
        ASSERT_TRUE(server.waitForRequests(1));
        start = Clock::now();
    }
    EXPECT_LT(Clock::now() - start, 10s);

    // A name server that never answers holds neither the request nor the
    // worker's end.
    StalledResolver stalled;
    {
        tHTTPThread worker;
        worker.Client.SetResolver(stalled.Function());
        worker.URL = "http://stalled.example/f";
        worker.RequestProbe();
        while (!stalled.Asked())
            std::this_thread::sleep_for(1ms);
        start = Clock::now();
    }
    EXPECT_LT(Clock::now() - start, 10s);
}

TEST(WorkerSetters, ProxyAndCredentialsFollowTheirClearingRules) {
    HttpClient client;
    SetProxy(client, "gate", "3128", "pu", "pp");
    EXPECT_EQ(client.ProxyServer, "gate");
    EXPECT_EQ(client.ProxyPort, 3128);
    EXPECT_EQ(client.ProxyUser, "pu");
    EXPECT_EQ(client.ProxyPass, "pp");
    SetProxy(client, "", "3128", "x", "y");
    EXPECT_EQ(client.ProxyServer, "");
    EXPECT_EQ(client.ProxyPort, 0);
    EXPECT_EQ(client.ProxyUser, "");
    EXPECT_EQ(client.ProxyPass, "");
    SetProxy(client, "gate", "3128", "pu", "pp");
    SetProxy(client, "gate", "", "x", "y");
    EXPECT_EQ(client.ProxyServer, "");
    EXPECT_EQ(client.ProxyPort, 0);

    // A port that is no number fails after the host was taken.
    SetProxy(client, "old", "1", "u1", "p1");
    try {
        SetProxy(client, "new", "31x", "u2", "p2");
        FAIL();
    } catch (const AppError& e) {
        EXPECT_STREQ(e.what(), "'31x' is not a valid integer value");
    }
    EXPECT_EQ(client.ProxyServer, "new");
    EXPECT_EQ(client.ProxyPort, 1);
    EXPECT_EQ(client.ProxyUser, "u1");

    SetCredentials(client, "user", "secret");
    EXPECT_EQ(client.UserName, "user");
    EXPECT_EQ(client.Password, "secret");
    SetCredentials(client, "", "secret");
    EXPECT_EQ(client.UserName, "");
    EXPECT_EQ(client.Password, "");
}

// A range larger than any 32-bit length, announced with its Content-Length:
// it arrives whole over a connection that stays open, so the client read
// exactly the announced bytes instead of waiting for a close.
TEST(WorkerRealServer, RangeBeyondTwoGibibytesIsReadByItsLength) {
    constexpr std::int64_t kSize = (std::int64_t{5} << 30) / 2; // 2.5 GiB, sparse
    constexpr std::int64_t kBegin = kSize - (std::int64_t{2} << 30) - (1 << 20);
    TempDir served, local;
    const std::string original = served.file("big.bin");
    const std::string incomplete = local.file("big.bin");
    const std::string start = "start of the range", tail = "the very last bytes";
    for (const std::string& path : {original, incomplete}) {
        UniqueFd fd(::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600));
        ASSERT_TRUE(static_cast<bool>(fd));
        ASSERT_EQ(::ftruncate(fd.Get(), kSize), 0);
        if (path == original) {
            ASSERT_EQ(::pwrite(fd.Get(), start.data(), start.size(), kBegin),
                      ssize_t(start.size()));
            ASSERT_EQ(::pwrite(fd.Get(), tail.data(), tail.size(), kSize - ssize_t(tail.size())),
                      ssize_t(tail.size()));
        }
    }
    NginxServer nginx(served.path());
    IncompleteFile file(incomplete);
    tHTTPThread worker;
    worker.URL = nginx.url("/big.bin");
    auto fetch = [&](std::int64_t begin, std::int64_t end) {
        worker.Client.ByteRange = std::to_string(begin) + "-" + std::to_string(end);
        worker.Target = {&file, begin, end, kSize};
        const uint64_t serial = worker.RequestFetch();
        while (worker.FetchPending.load(std::memory_order_acquire))
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return worker.Result(serial);
    };
    RequestResult result = fetch(kBegin, kSize - 1);
    ASSERT_TRUE(result.RangeTaken) << result.StatusText;
    EXPECT_EQ(worker.RangeBytesWritten.load(), kSize - kBegin);
    result = fetch(0, 9);
    ASSERT_TRUE(result.RangeTaken) << result.StatusText;
    EXPECT_EQ(worker.Client.ConnectionsOpened(), 1) << "the big answer left its connection open";

    UniqueFd check(::open(incomplete.c_str(), O_RDONLY | O_CLOEXEC));
    std::string bytes(tail.size(), '\0');
    ASSERT_EQ(::pread(check.Get(), bytes.data(), bytes.size(), kSize - ssize_t(tail.size())),
              ssize_t(tail.size()));
    EXPECT_EQ(bytes, tail);
    bytes.assign(start.size(), '\0');
    ASSERT_EQ(::pread(check.Get(), bytes.data(), bytes.size(), kBegin), ssize_t(start.size()));
    EXPECT_EQ(bytes, start);
}

} // namespace
