// A run of a dozen ranges on a file system that keeps only what was made
// durable (file bytes at fsync or fdatasync, names once their folder was
// synced), with the power cut after each of the run's durability events in
// turn. A killed process's writes survive in the page cache, so only a power
// cut shows a missing flush: whatever event the cut follows, the list that a
// later start finds parses, counts only ranges whose bytes are on the disk,
// and is rid of the entry only when the whole file is there.

#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"
#include "PowerCutMount.h"

#include "common/Texts.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

class PowerCutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(seed_.c_str(), 0700);
        ::mkdir(mountPoint_.c_str(), 0700);
        // Ranges of different lengths, spread over the file.
        std::vector<std::pair<int64_t, int64_t>> ranges;
        for (int64_t i = 0; i < 12; ++i)
            ranges.push_back({i * 8192 + 97 * i, i * 8192 + 97 * i + 1200 + 300 * i});
        file_ = MakeHoleyFile(served_.file("f.bin"), seed_ + "/f.bin", 12 * 8192 + 333, ranges, 7);
        original_ = ReadWholeFile(file_.original);
        // The list names the file where the program finds it: on the mount.
        file_.incomplete = mountPoint_ + "/f.bin";
        nginx_ = std::make_unique<NginxServer>(served_.path());
        TestEntry entry = file_.Entry(nginx_->url("/f.bin"));
        entry.percent = PercentText(file_.size - file_.Missing(), file_.size);
        WriteWholeFile(seed_ + "/List.xml", ListXml({SimpleEntry(3, 4), entry}));
        neighbour_ = ReadStoredList(seed_ + "/List.xml").entries.at(0);
    }

    struct Round {
        bool served = false; // the file system was mounted and wrote what it kept
        std::vector<PowerCutMount::Event> events; // counted by the file system
        size_t taken = 0;                         // ranges the kept list no longer lists
    };

    // Runs the download on a fresh mount of the seed, cuts the power after
    // event `cutAfter` (-1: never, and the run must finish), kills the
    // program, and checks what the disk kept.
    Round RunAndCut(int cutAfter, int expectedEvents) {
        TempDir durable;
        PowerCutMount mount(seed_, mountPoint_, durable.path(), cutAfter, work_.file("fs.stderr"));
        if (!mount.MountFailure().empty()) {
            ADD_FAILURE() << mount.MountFailure();
            return {};
        }
        bool cut = false;
        {
            DriverProcess driver(RunArgs(mountPoint_ + "/List.xml", 1),
                                 work_.file("driver.stderr"));
            if (cutAfter < 0) {
                const DriverProcess::Exit exit = driver.Wait(kWatchdog);
                EXPECT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
                EXPECT_EQ(driver
                              .LinesStartingWith("LOG 2 File " + file_.incomplete +
                                                 " downloaded successfully.")
                              .size(),
                          1u)
                    << driver.Transcript();
            } else {
                cut = mount.WaitForCut([&driver] { return driver.Ended(); }, kWatchdog);
                driver.Kill();
            }
            EXPECT_TRUE(driver.LinesStartingWith("ERROR").empty()) << driver.Transcript();
        }
        const std::string failure = mount.Unmount();
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            return {};
        }
        Round round{true, mount.Events(), 0};
        const std::vector<PowerCutMount::Event>& events = round.events;
        SCOPED_TRACE(cutAfter < 0 ? "power cut once the run had ended, after all " +
                                        std::to_string(events.size()) + " events"
                                  : "power cut after event " + std::to_string(cutAfter) + " of " +
                                        std::to_string(expectedEvents) + " (" +
                                        EventText(events, cutAfter) + ")");
        if (cutAfter >= 0) {
            EXPECT_TRUE(cut) << "the run made only " << events.size() << " durable steps\n"
                             << mount.Transcript();
        }
        round.taken = CheckLeftBehind(durable.file("List.xml"), durable.file("f.bin"), file_,
                                      original_, neighbour_);
        return round;
    }

    TempDir served_, work_;
    std::string seed_ = work_.file("seed"), mountPoint_ = work_.file("mnt");
    HoleyFile file_;
    std::string original_;
    std::unique_ptr<NginxServer> nginx_;
    StoredEntry neighbour_;
};

TEST_F(PowerCutTest, AfterEveryDurabilityEventTheListClaimsOnlyWhatTheDiskHolds) {
    const auto failures = [] {
        return ::testing::UnitTest::GetInstance()
            ->current_test_info()
            ->result()
            ->total_part_count();
    };
    const Round whole = RunAndCut(-1, 0);
    ASSERT_TRUE(whole.served);
    ASSERT_FALSE(whole.events.empty());
    EXPECT_EQ(whole.taken, file_.ranges.size());

    // The disk keeps more and more of the download, and all of it once the
    // run's last event is through. The first cut that finds a fault ends
    // the test; the ones after it would only repeat it.
    const int total = static_cast<int>(whole.events.size());
    RecordProperty("DurabilityEvents", total);
    const int before = failures();
    size_t taken = 0;
    for (int cutAfter = 0; cutAfter <= total && failures() == before; ++cutAfter) {
        const Round round = RunAndCut(cutAfter, total);
        if (!round.served) break;
        EXPECT_GE(round.taken, taken) << "a taken range came back after event " << cutAfter;
        taken = round.taken;
    }
    if (failures() == before) {
        EXPECT_EQ(taken, file_.ranges.size());
    }
}

} // namespace
