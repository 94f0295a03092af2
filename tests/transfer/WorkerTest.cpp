#include "ScriptedServer.h"

#include "common/AppError.h"
#include "transfer/DLThread_Unit.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

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

std::string Partial(const std::string& body, const std::string& extra = "") {
    return "HTTP/1.1 206 Partial Content\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nContent-Range: bytes 0-" + std::to_string(body.size() - 1) + "/100\r\n" + extra +
           "Connection: keep-alive\r\n\r\n" + body;
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
    for (const Case& c : cases) EXPECT_EQ(tHTTPThread::CaptureErrorText(c.message), c.expected) << c.message;
}

TEST(WorkerRequests, RefusedProbeLeavesTheCapturedTextAndNoHeaders) {
    std::atomic<int> ended{0};
    tHTTPThread worker([&] { ++ended; });
    worker.ContentLength = "stale";
    worker.ContentType = "stale";
    worker.URL = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/file";
    worker.RequestProbe();
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    EXPECT_EQ(worker.StatusText, " SERVER ERROR: Connection refused.");
    EXPECT_EQ(worker.ContentLength, "");
    EXPECT_EQ(worker.AcceptRanges, "");
    EXPECT_EQ(worker.ContentRange, "");
    EXPECT_EQ(worker.ContentType, "");
    EXPECT_EQ(worker.Client.ByteRange, "0-");
    EXPECT_EQ(ended.load(), 1);
}

TEST(WorkerRequests, ProbeRecordsStatusAndHeadersAndLeavesTheRangeText) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 100\r\nAccept-Ranges: bytes\r\n"
        "Content-Range: bytes 0-99/100\r\nContent-Type: text/plain\r\nConnection: keep-alive\r\n\r\n")});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    worker.RequestProbe();
    ASSERT_TRUE(WaitClear(worker.ProbePending));
    EXPECT_EQ(worker.StatusText, "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(worker.ContentLength, "100");
    EXPECT_EQ(worker.AcceptRanges, "bytes");
    EXPECT_EQ(worker.ContentRange, "bytes 0-99/100");
    EXPECT_EQ(worker.ContentType, "text/plain");
    EXPECT_EQ(worker.Client.ByteRange, "0-");
    ASSERT_TRUE(server.waitForRequests(1));
    EXPECT_NE(server.requests()[0].head.find("Range: bytes=0-\r\n"), std::string::npos);
}

TEST(WorkerRequests, BothFlagsSetServesNeither) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(Partial("abc"))});
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
    EXPECT_EQ(worker.StatusText, "HTTP/1.1 206 Partial Content");
}

TEST(WorkerRequests, FetchCollectsTheBodyAndAFailedFetchLeavesNoneOfIt) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::AnswerAndClose(Partial("hello"))});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "0-4";
    uint64_t first = worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_TRUE(worker.FetchCompleted(first));
    EXPECT_EQ(worker.Body, "hello");
    EXPECT_EQ(worker.FetchContentRange, "bytes 0-4/100");

    worker.URL = "http://127.0.0.1:" + std::to_string(RefusedPort()) + "/f";
    uint64_t second = worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_TRUE(worker.FetchCompleted(second));
    EXPECT_EQ(worker.Body, "");
    EXPECT_EQ(worker.FetchContentRange, "");
    EXPECT_EQ(worker.StatusText, " SERVER ERROR: Connection refused.");
}

TEST(WorkerRequests, OtherFailuresBecomeErrorTextsThatNeverReadAsTaken) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Keep(
                              "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 3\r\n"
                              "Connection: keep-alive\r\n\r\nno!"),
                          ScriptedServer::Reply::Keep(Partial("abc", "Location: http://elsewhere/\r\n"))});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "500-600";
    worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_EQ(worker.StatusText, " SERVER ERROR: HTTP/1.1 416 Range Not Satisfiable");
    EXPECT_EQ(worker.Body, "");

    worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_NE(worker.StatusText.find("ERROR"), std::string::npos) << worker.StatusText;
    EXPECT_EQ(worker.StatusText.find("206 Partial Content"), std::string::npos) << worker.StatusText;
    EXPECT_EQ(worker.Body, "");
}

TEST(WorkerRequests, CancelledFetchIsAbortedAndNeverCounts) {
    ScriptedServer server;
    server.addConnection({ScriptedServer::Reply::Stall(
        "HTTP/1.1 206 Partial Content\r\nContent-Length: 1000\r\n\r\npartial")});
    server.addConnection({ScriptedServer::Reply::Keep(Partial("next"))});
    tHTTPThread worker;
    worker.URL = server.url("/f");
    worker.Client.ByteRange = "0-999";
    uint64_t serial = worker.RequestFetch();
    ASSERT_TRUE(server.waitForRequests(1));
    worker.CancelFetch();
    EXPECT_FALSE(worker.FetchPending.load());
    const auto start = Clock::now();
    while (worker.Busy() && Clock::now() - start < 5s) std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(worker.Busy());
    EXPECT_LT(Clock::now() - start, 2s);
    EXPECT_FALSE(worker.FetchCompleted(serial));

    // The worker goes on serving requests afterwards.
    worker.Client.ByteRange = "0-3";
    uint64_t next = worker.RequestFetch();
    ASSERT_TRUE(WaitClear(worker.FetchPending));
    EXPECT_TRUE(worker.FetchCompleted(next));
    EXPECT_EQ(worker.Body, "next");
}

TEST(WorkerLifetime, FreeingIdleOrStalledWorkerReturnsPromptly) {
    auto start = Clock::now();
    { tHTTPThread idle; }
    EXPECT_LT(Clock::now() - start, 2s);

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
    EXPECT_LT(Clock::now() - start, 2s);
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

} // namespace
