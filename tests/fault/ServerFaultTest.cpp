// Servers that misbehave: a reset, a stall, a trickle, a short body, a 200
// instead of a 206, a file that changed between probe and fetch. Nothing
// wrong is ever written or counted, what arrived of the right range is kept,
// and Pause and Exit end a run promptly however the server stalls (the
// worker's own stall limit is 30 s).

#include "Answers.h"
#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "ScriptedServer.h"

#include <gtest/gtest.h>

#include <thread>

#include <csignal>
#include <cstdlib>

namespace {

using namespace std::chrono_literals;
using Reply = ScriptedServer::Reply;

constexpr int64_t kSize = 5000;
constexpr int64_t kBegin = 1000; // the first missing range
constexpr int64_t kEnd = 2000;
constexpr int64_t kBegin2 = 3000; // and a second one, so a pass follows the first
constexpr int64_t kEnd2 = 3500;

// One download of kSize bytes with two ranges missing, served by a scripted
// server that plays its part for the first of them.
class ServerFaultTest : public ::testing::Test {
protected:
    TempDir dir;
    HoleyFile file = MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), kSize,
                                   {{kBegin, kEnd}, {kBegin2, kEnd2}}, 31);
    std::string original = ReadWholeFile(file.original);
    std::string pristine = ReadWholeFile(file.incomplete); // the holes as made
    std::string listPath = dir.file("List.xml");
    std::string listBefore;

    std::string RangeBytes() const { return original.substr(kBegin, kEnd - kBegin + 1); }
    // The right answer to the run's sample of the bytes the file holds.
    Reply Sample() const { return Reply::Keep(SampleAnswer(original, file.ranges)); }
    // The right answer for begin..end.
    std::string RangeAnswer(int64_t begin = kBegin, int64_t end = kEnd) const {
        return ::RangeAnswer(original, begin, end);
    }

    void WriteList(const ScriptedServer& server) {
        listBefore = ListXml({file.Entry(server.url("/f.bin"))});
        WriteWholeFile(listPath, listBefore);
    }

    // Nothing was counted or written: the list is byte for byte as before and
    // the holes are still holes.
    void ExpectNothingTaken(const DriverProcess& driver) {
        EXPECT_TRUE(driver.LinesStartingWith("LOG 0 ").empty()) << driver.Transcript();
        EXPECT_EQ(ReadWholeFile(listPath), listBefore);
        const std::string now = ReadWholeFile(file.incomplete);
        EXPECT_EQ(now.size(), static_cast<size_t>(kSize));
        EXPECT_TRUE(now.substr(kBegin, kEnd - kBegin) == std::string(kEnd - kBegin, '\0') &&
                    now.substr(kBegin2, kEnd2 - kBegin2) == std::string(kEnd2 - kBegin2, '\0'))
            << "bytes were written into a hole";
    }

    // What arrived of the first range before the run stopped is recorded,
    // and on disk: the list's first range begins after it, its counters moved
    // by as much, and nothing else changed.
    void ExpectAtMostAPrefixRecorded(const DriverProcess& driver) {
        EXPECT_TRUE(driver.LinesStartingWith("LOG 0 ").empty()) << driver.Transcript();
        const StoredList list = ReadStoredList(listPath);
        ASSERT_TRUE(list.parsed && list.entries.size() == 1) << list.error;
        const StoredEntry& entry = list.entries[0];
        const int64_t begin = std::stoll(entry.begins.at(0));
        if (begin > kBegin) {
            EXPECT_EQ(CounterViolations(entry), "");
        }
        EXPECT_TRUE(begin >= kBegin && begin <= kEnd) << begin;
        EXPECT_EQ(entry.Text("Downloaded"),
                  std::to_string(kSize - file.Missing() + (begin - kBegin)));
        const std::string now = ReadWholeFile(file.incomplete);
        EXPECT_EQ(now.substr(kBegin, begin - kBegin), original.substr(kBegin, begin - kBegin));
        EXPECT_TRUE(HoleHoldsAtMostAPrefix(now, original, kBegin, kEnd));
    }
};

TEST_F(ServerFaultTest, FetchAnswersThatAreNotTheRangeAreNeitherWrittenNorCounted) {
    const std::string other = RandomBytes(kEnd - kBegin + 1, 99); // the file has changed
    const std::string range = std::to_string(kBegin) + "-" + std::to_string(kEnd);
    const struct Case {
        const char* name;
        Reply reply;
    } cases[] = {
        {"short body of an honest length",
         Reply::Keep(PartialAnswer("bytes " + std::to_string(kBegin) + "-1049/5000",
                                   RangeBytes().substr(0, 50)))},
        {"longer body than the range",
         Reply::Keep(
             PartialAnswer("bytes " + range + "/5000", RangeBytes() + std::string(200, 'x')))},
        {"200 with the whole file",
         Reply::Keep("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + original)},
        {"200 with the range's bytes",
         Reply::Keep("HTTP/1.1 200 OK\r\nContent-Length: 1001\r\nConnection: keep-alive\r\n\r\n" +
                     RangeBytes())},
        {"the file grew since the probe",
         Reply::Keep(PartialAnswer("bytes " + range + "/9000", other))},
        {"the file shrank since the probe",
         Reply::Keep(PartialAnswer("bytes " + range + "/4000", other))},
        {"a range that ends elsewhere", Reply::Keep(PartialAnswer("bytes 1000-1999/5000", other))},
    };
    setenv("QV_FAULT_WAIT_SCALE", "0.001", 1);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteWholeFile(file.incomplete, pristine);
        ScriptedServer server;
        server.addConnection({Reply::Keep(ProbeAnswer(kSize)), Sample(), c.reply});
        WriteList(server);
        DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"));
        const DriverProcess::Exit exit = driver.Wait(kWatchdog);
        ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
        // Asked for once: no retry mends such an answer, and the run ends
        // with its error row.
        EXPECT_EQ(driver.LinesStartingWith("LOG 1 Requesting segment #1 - [" + range + "]").size(),
                  1u)
            << driver.Transcript();
        ExpectNothingTaken(driver);
        EXPECT_FALSE(driver.LinesStartingWith("STATE Idle").empty()) << driver.Transcript();
    }
    unsetenv("QV_FAULT_WAIT_SCALE");
}

// A body reset or closed part-way: what reached the disk is kept, and the
// same pass asks for the rest on a new connection and finishes the file.
TEST_F(ServerFaultTest, ABodyCutPartWayIsTriedAgainFromWhatReachedTheDisk) {
    const std::string right = RangeAnswer();
    const size_t head = right.find("\r\n\r\n") + 4;
    setenv("QV_FAULT_WAIT_SCALE", "0.01", 1);
    for (const Reply& cut : {Reply::ResetAfter(right.substr(0, head + 300)),
                             Reply::AnswerAndClose(right.substr(0, head + 300))}) {
        WriteWholeFile(file.incomplete, pristine);
        ScriptedServer server;
        server.addConnection({Reply::Keep(ProbeAnswer(kSize)), Sample(), cut});
        server.addConnection({Reply::Keep(RangeAnswer(kBegin + 300, kEnd)),
                              Reply::Keep(RangeAnswer(kBegin2, kEnd2))});
        WriteList(server);
        DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"));
        const DriverProcess::Exit exit = driver.Wait(kWatchdog);
        ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
        EXPECT_FALSE(driver.LinesStartingWith("LOG 1 Requesting segment #1 - [1300-2000]").empty())
            << driver.Transcript();
        EXPECT_EQ(ReadWholeFile(file.incomplete), original);
        EXPECT_TRUE(ReadStoredList(listPath).entries.empty());
    }
    unsetenv("QV_FAULT_WAIT_SCALE");
}

TEST_F(ServerFaultTest, ProbeAnswersThatDoNotOfferTheSameFileTouchNothing) {
    const struct Case {
        const char* name;
        std::string answer;
        std::string logRow;
    } cases[] = {
        {"200 instead of 206", "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n",
         "LOG 3 Resuming feature is unsupported by server. Segment downloading is impossible."},
        {"another size", "HTTP/1.1 206 Partial Content\r\nContent-Length: 5001\r\n\r\n",
         "LOG 3 File on server has changed. Can't download incomplete segments."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server;
        server.addConnection({Reply::AnswerAndClose(c.answer)});
        WriteList(server);
        DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"));
        const DriverProcess::Exit exit = driver.Wait(kWatchdog);
        ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
        EXPECT_EQ(driver.LinesStartingWith("LOG 3"), std::vector<std::string>{c.logRow});
        EXPECT_TRUE(driver.LinesStartingWith("LOG 1").empty()) << driver.Transcript();
        ExpectNothingTaken(driver);
    }
}

TEST_F(ServerFaultTest, ATrickledAnswerIsTakenWhole) {
    ScriptedServer server;
    server.addConnection({Reply::Keep(ProbeAnswer(kSize)), Sample(),
                          Reply::Slowly(RangeAnswer(), 37, 2ms, Reply::Then::Keep),
                          Reply::Slowly(RangeAnswer(kBegin2, kEnd2), 1, 1ms)});
    WriteList(server);
    DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"));
    const DriverProcess::Exit exit = driver.Wait(kWatchdog);
    ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
    EXPECT_FALSE(
        driver.LinesStartingWith("LOG 2 File " + file.incomplete + " downloaded successfully.")
            .empty())
        << driver.Transcript();
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    const StoredList list = ReadStoredList(listPath);
    ASSERT_TRUE(list.parsed) << list.error;
    EXPECT_TRUE(list.entries.empty());
}

// Pause (SIGUSR1) and Exit (SIGTERM) while the server holds the run: the run
// ends, or the program exits, long before the worker's read time-out.
TEST_F(ServerFaultTest, PauseAndExitEndAStalledRunPromptly) {
    const std::string answer = RangeAnswer();
    const size_t head = answer.find("\r\n\r\n") + 4;
    const struct Case {
        const char* name;
        std::vector<Reply> replies;
        size_t requests;     // requests the server has seen when the stall is on
        const char* lastLog; // the log row the run shows by then
    } cases[] = {
        {"probe unanswered", {Reply::Stall()}, 1, "LOG 2 Checking URL"},
        {"probe answer cut in its head",
         {Reply::Stall("HTTP/1.1 206 Partial Content\r\nContent-Le")},
         1,
         "LOG 2 Checking URL"},
        {"sample of held bytes unanswered",
         {Reply::Keep(ProbeAnswer(kSize)), Reply::Stall()},
         2,
         "LOG 2 Resuming feature supported"},
        {"fetch unanswered",
         {Reply::Keep(ProbeAnswer(kSize)), Sample(), Reply::Stall()},
         3,
         "LOG 1 Requesting segment #1"},
        {"fetch stalled mid-body",
         {Reply::Keep(ProbeAnswer(kSize)), Sample(), Reply::Stall(answer.substr(0, head + 400))},
         3,
         "LOG 1 Requesting segment #1"},
        {"fetch trickling forever",
         {Reply::Keep(ProbeAnswer(kSize)), Sample(), Reply::Slowly(answer, 1, 300ms)},
         3,
         "LOG 1 Requesting segment #1"},
    };
    for (const Case& c : cases) {
        for (const int signal : {SIGUSR1, SIGTERM}) {
            SCOPED_TRACE(std::string(c.name) + (signal == SIGUSR1 ? ", Pause" : ", Exit"));
            WriteWholeFile(file.incomplete, pristine);
            ScriptedServer server;
            server.addConnection(c.replies);
            WriteList(server);
            DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"));
            ASSERT_TRUE(driver.WaitForLine(c.lastLog, kWatchdog)) << driver.Transcript();
            ASSERT_TRUE(server.waitForRequests(c.requests, kWatchdog));
            driver.Signal(signal);
            if (signal == SIGUSR1) {
                ASSERT_TRUE(driver.WaitForLine("RUN ENDED", 5s)) << "Pause did not end the run\n"
                                                                 << driver.Transcript();
                EXPECT_TRUE(driver.WaitForLine("STATE Idle", 5s)) << driver.Transcript();
                EXPECT_FALSE(driver
                                 .LinesStartingWith("LOG 2 Downloading of file " + file.incomplete +
                                                    " paused")
                                 .empty())
                    << driver.Transcript();
                // The run ended with the file at its size, and nothing is
                // written into it any more, while the server goes on sending.
                const std::string ended = ReadWholeFile(file.incomplete);
                EXPECT_EQ(ended.size(), static_cast<size_t>(kSize));
                std::this_thread::sleep_for(700ms);
                EXPECT_EQ(ReadWholeFile(file.incomplete), ended) << "written after the run ended";
            }
            const DriverProcess::Exit exit = driver.Wait(5s);
            ASSERT_FALSE(exit.timedOut) << "the program did not end\n" << driver.Transcript();
            EXPECT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
            if (signal == SIGTERM) {
                EXPECT_FALSE(driver.LinesStartingWith("CLOSED").empty()) << driver.Transcript();
            }
            EXPECT_TRUE(driver.LinesStartingWith("LOG 3").empty()) << driver.Transcript();
            EXPECT_TRUE(driver.LinesStartingWith("ERROR").empty()) << driver.Transcript();
            ExpectAtMostAPrefixRecorded(driver);
        }
    }
}

} // namespace
