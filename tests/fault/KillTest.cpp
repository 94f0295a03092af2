// A run of many ranges against a real nginx, killed with SIGKILL at random
// moments and resumed again each time: whatever moment the kill hits, the
// list on disk stays whole and truthful, and the last resume finishes a
// byte-identical file.

#include "Answers.h"
#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"
#include "ScriptedServer.h"

#include "common/Texts.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Ranges of a few KiB with gaps between them, spread over the file.
std::vector<std::pair<int64_t, int64_t>> ScatteredRanges(int count, int64_t stride,
                                                         std::mt19937& random) {
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (int i = 0; i < count; ++i) {
        const int64_t begin = i * stride + static_cast<int64_t>(random() % 2048);
        const int64_t length = 1024 + static_cast<int64_t>(random() % 4096);
        ranges.push_back({begin, begin + length});
    }
    return ranges;
}

// Waits until the list's second entry has its first range begin past
// `begin`; false after the watchdog's time.
bool WaitForRecordPast(const std::string& listPath, int64_t begin) {
    const auto deadline = std::chrono::steady_clock::now() + kWatchdog;
    while (std::chrono::steady_clock::now() < deadline) {
        if (RecordedBegin(listPath) > begin) return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

TEST(KillTest, RunsKilledAtRandomMomentsNeverLoseOrCorruptTheDownload) {
    TempDir served;
    TempDir dir;
    std::mt19937 random(20261209);
    constexpr int kRanges = 700;
    constexpr int64_t kStride = 8192;
    const auto ranges = ScatteredRanges(kRanges, kStride, random);
    const HoleyFile file = MakeHoleyFile(served.file("big.bin"), dir.file("big.bin"),
                                         kRanges * kStride + 777, ranges, 42);
    const std::string original = ReadWholeFile(file.original);
    NginxServer nginx(served.path());

    const std::string listPath = dir.file("List.xml");
    WriteWholeFile(listPath, ListXml({SimpleEntry(3, 4), file.Entry(nginx.url("/big.bin"))}));
    const StoredEntry neighbour = ReadStoredList(listPath).entries.at(0);
    const std::string stderrPath = dir.file("driver.stderr");

    int64_t kept = 0; // bytes the list counts as there
    for (int round = 1; round <= 20; ++round) {
        SCOPED_TRACE("kill #" + std::to_string(round));
        DriverProcess driver(RunArgs(listPath, 1), stderrPath);
        // Spread over the run: at start-up, during the probe, between and
        // inside the steps of a range (write, queue, counters).
        const int rows = static_cast<int>(random() % 31);
        const auto extraDelay = std::chrono::microseconds(random() % 4000);
        ASSERT_TRUE(driver.WaitForLine("LOG 2 Checking URL", kWatchdog)) << driver.Transcript();
        for (int r = 0; r < rows; ++r)
            ASSERT_TRUE(driver.WaitForLine("LOG 0 Segment #", kWatchdog)) << driver.Transcript();
        std::this_thread::sleep_for(extraDelay);
        const DriverProcess::Exit exit = driver.Kill();
        ASSERT_FALSE(exit.exited) << "the run ended before it was killed\n" << driver.Transcript();

        EXPECT_TRUE(driver.LinesStartingWith("ERROR").empty()) << driver.Transcript();
        const int64_t now = CheckLeftBehind(listPath, file.incomplete, file, original, neighbour);
        EXPECT_GE(now, kept) << "a taken range came back into the queue";
        kept = now;
        if (HasFailure()) return;
    }
    EXPECT_GT(kept, file.size - file.Missing());
    EXPECT_LT(kept, file.size);

    DriverProcess last(RunArgs(listPath, 1), stderrPath);
    const DriverProcess::Exit exit = last.Wait(std::chrono::seconds(120));
    ASSERT_TRUE(exit.exited && exit.code == 0) << last.Transcript();
    EXPECT_FALSE(
        last.LinesStartingWith("LOG 2 File " + file.incomplete + " downloaded successfully.")
            .empty())
        << last.Transcript();
    EXPECT_TRUE(last.LinesStartingWith("ERROR").empty()) << last.Transcript();
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    const StoredList list = ReadStoredList(listPath);
    ASSERT_TRUE(list.parsed) << list.error;
    ASSERT_EQ(list.entries.size(), 1u);
    EXPECT_EQ(list.entries[0].attributes, neighbour.attributes);
}

// A range that arrives slowly, recorded every 100 ms, killed three times part
// of the way, each time once the list has recorded more of it: each kill
// costs at most what arrived since the last record, the list never claims
// more than the disk holds, and the last resume asks only for the rest and
// finishes the file.
TEST(KillTest, AKillInsideASlowRangeLosesOnlyWhatCameAfterTheLastRecord) {
    TempDir dir;
    const HoleyFile file =
        MakeHoleyFile(dir.file("orig.bin"), dir.file("f.bin"), 400000, {{1000, 389999}}, 43);
    const std::string original = ReadWholeFile(file.original);
    ScriptedServer server;
    const std::string listPath = dir.file("List.xml");
    TestEntry entry = file.Entry(server.url("/f.bin"));
    entry.percent = PercentText(file.size - file.Missing(), file.size);
    WriteWholeFile(listPath, ListXml({SimpleEntry(3, 4), entry}));
    const StoredEntry neighbour = ReadStoredList(listPath).entries.at(0);
    setenv("QV_FAULT_RECORD_MS", "100", 1);
    int64_t begin = 1000;
    for (int round = 1; round <= 4; ++round) {
        SCOPED_TRACE("run #" + std::to_string(round));
        // Each run asks for the rest of the range; 4 KiB arrive every 20 ms.
        std::vector<std::pair<int64_t, int64_t>> rest = {{begin, 389999}};
        server.addConnection({ScriptedServer::Reply::Keep(ProbeAnswer(400000)),
                              ScriptedServer::Reply::Keep(SampleAnswer(original, rest)),
                              ScriptedServer::Reply::Slowly(RangeAnswer(original, begin, 389999),
                                                            4096, std::chrono::milliseconds(20))});
        DriverProcess driver(RunArgs(listPath, 1), dir.file("driver.stderr"));
        ASSERT_TRUE(driver.WaitForLine(
            "LOG 1 Requesting segment #1 - [" + std::to_string(begin) + "-389999]", kWatchdog))
            << driver.Transcript();
        if (round == 4) {
            const DriverProcess::Exit exit = driver.Wait(std::chrono::seconds(60));
            ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
            break;
        }
        // Killed once a record has moved the range on, a little after it.
        ASSERT_TRUE(WaitForRecordPast(listPath, begin)) << driver.Transcript();
        std::this_thread::sleep_for(std::chrono::milliseconds(30 * round));
        ASSERT_FALSE(driver.Kill().exited) << driver.Transcript();
        EXPECT_LT(CheckLeftBehind(listPath, file.incomplete, file, original, neighbour), file.size);
        const StoredList list = ReadStoredList(listPath);
        ASSERT_EQ(list.entries.size(), 2u);
        const int64_t now = std::stoll(list.entries[1].begins.at(0));
        EXPECT_GT(now, begin) << "nothing of the range was recorded";
        begin = now;
        if (HasFailure()) break;
    }
    unsetenv("QV_FAULT_RECORD_MS");
    EXPECT_EQ(ReadWholeFile(file.incomplete), original);
    EXPECT_EQ(ReadStoredList(listPath).entries.size(), 1u);
}

} // namespace
