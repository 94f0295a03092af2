// A run of many ranges against a real nginx, killed with SIGKILL at random
// moments and resumed again each time: whatever moment the kill hits, the
// list on disk stays whole and truthful, and the last resume finishes a
// byte-identical file.

#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"

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

// Checks everything a killed run leaves behind and returns how many ranges
// the list says are taken.
size_t CheckAfterKill(const std::string& listPath, const HoleyFile& file,
                      const std::string& original, const StoredEntry& neighbour) {
    const StoredList list = ReadStoredList(listPath);
    EXPECT_TRUE(list.parsed) << list.error;
    if (!list.parsed || list.entries.size() != 2) {
        ADD_FAILURE() << "List.xml holds " << list.entries.size() << " entries";
        return 0;
    }
    // The entry that no run touched is exactly as it was.
    EXPECT_EQ(list.entries[0].attributes, neighbour.attributes);
    EXPECT_EQ(list.entries[0].begins, neighbour.begins);
    EXPECT_EQ(list.entries[0].ends, neighbour.ends);

    const StoredEntry& entry = list.entries[1];
    EXPECT_EQ(CounterViolations(entry), "");
    EXPECT_EQ(entry.Text("FileName"), file.incomplete);
    EXPECT_EQ(entry.Text("FileSize"), std::to_string(file.size));

    // The queue is what is left of the original ranges, in their order.
    const size_t queued = std::min(entry.begins.size(), entry.ends.size());
    const size_t taken = file.ranges.size() - std::min(queued, file.ranges.size());
    for (size_t i = 0; i < queued && taken + i < file.ranges.size(); ++i) {
        EXPECT_EQ(entry.begins[i], std::to_string(file.ranges[taken + i].first)) << "S" << i + 1;
        EXPECT_EQ(entry.ends[i], std::to_string(file.ranges[taken + i].second)) << "S" << i + 1;
    }
    int64_t counted = file.size - file.Missing();
    for (size_t i = 0; i < taken; ++i)
        counted += file.ranges[i].second - file.ranges[i].first;
    EXPECT_EQ(entry.Text("Downloaded"), std::to_string(counted));

    // Every range the list no longer asks for is in the file: the bytes from
    // begin through end, as the run fetches them.
    const std::string written = ReadWholeFile(file.incomplete);
    EXPECT_EQ(static_cast<int64_t>(written.size()), file.size);
    size_t wrong = 0;
    for (size_t i = 0; i < taken; ++i) {
        const auto [begin, end] = file.ranges[i];
        const size_t length = static_cast<size_t>(std::min(end, file.size - 1) - begin + 1);
        if (written.compare(static_cast<size_t>(begin), length, original,
                            static_cast<size_t>(begin), length) != 0)
            ++wrong;
    }
    EXPECT_EQ(wrong, 0u) << "taken ranges whose bytes are not in the file, of " << taken;
    return taken;
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

    size_t taken = 0;
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
        const size_t now = CheckAfterKill(listPath, file, original, neighbour);
        EXPECT_GE(now, taken) << "a taken range came back into the queue";
        taken = now;
        if (HasFailure()) return;
    }
    EXPECT_GT(taken, 0u);
    EXPECT_LT(taken, ranges.size());

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

} // namespace
