// A run of a dozen ranges, and an import, on a file system that keeps only
// what was made durable (file bytes at fsync or fdatasync, names once their
// folder was synced), with the power cut after each of their durability
// events in turn. A killed process's writes survive in the page cache, so
// only a power cut shows a missing flush.

#include "Answers.h"
#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"
#include "PowerCutMount.h"
#include "ScriptedServer.h"

#include "common/Texts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>

#include <sys/stat.h>

namespace {

class PowerCutTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::mkdir(seed_.c_str(), 0700);
        ::mkdir(mountPoint_.c_str(), 0700);
    }

    // What the driver does on the mount, and how what the disk kept is judged.
    struct Scenario {
        std::vector<std::string> args;
        std::function<void()> beforeEachRun; // optional
        std::string endLine;                 // printed once by a driver that got through
        // Checks the durable copy of the mount; returns how far the work
        // got, which no later cut may take back.
        std::function<int64_t(const std::string& durable)> check;
    };

    struct Round {
        bool served = false; // the file system was mounted and wrote what it kept
        std::vector<PowerCutMount::Event> events; // counted by the file system
        int64_t progress = 0;                     // what the check found kept
        // A request of the run was tried again, which no round's run should.
        bool retried = false;
        std::string transcript;
        // The power was cut; false when the run ended first, by itself.
        bool cut = false;
    };

    // Runs the driver on a fresh mount of the seed, cuts the power after
    // event `cutAfter` (-1: never, and the driver must get through), kills
    // the program, and checks what the disk kept.
    Round RunAndCut(const Scenario& scenario, int cutAfter, int expectedEvents) {
        TempDir durable;
        PowerCutMount mount(seed_, mountPoint_, durable.path(), cutAfter, work_.file("fs.stderr"));
        if (!mount.MountFailure().empty()) {
            ADD_FAILURE() << mount.MountFailure();
            return {};
        }
        bool cut = false;
        bool retried = false;
        std::string transcript;
        if (scenario.beforeEachRun) scenario.beforeEachRun();
        {
            DriverProcess driver(scenario.args, work_.file("driver.stderr"));
            if (cutAfter < 0) {
                const DriverProcess::Exit exit = driver.Wait(kWatchdog);
                EXPECT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
                EXPECT_EQ(driver.LinesStartingWith(scenario.endLine).size(), 1u)
                    << driver.Transcript();
            } else {
                cut = mount.WaitForCut([&driver] { return driver.Ended(); }, kWatchdog);
                driver.Kill();
                while (driver.NextLine(DriverProcess::Milliseconds(0))) {
                }
            }
            EXPECT_TRUE(driver.LinesStartingWith("ERROR").empty()) << driver.Transcript();
            for (const std::string& line : driver.LinesStartingWith("LOG 2 "))
                retried = retried || line.find(" Retrying in ") != std::string::npos;
            transcript = driver.Transcript();
        }
        const std::string failure = mount.Unmount();
        if (!failure.empty()) {
            ADD_FAILURE() << failure;
            return {};
        }
        Round round{true, mount.Events(), 0, retried, transcript + mount.Transcript(), cut};
        const std::vector<PowerCutMount::Event>& events = round.events;
        SCOPED_TRACE(cutAfter < 0 ? "power cut once the run had ended, after all " +
                                        std::to_string(events.size()) + " events"
                                  : "power cut after event " + std::to_string(cutAfter) + " of " +
                                        std::to_string(expectedEvents) + " (" +
                                        EventText(events, cutAfter) + ")");
        round.progress = scenario.check(durable.path());
        return round;
    }

    // The whole run first, which must get as far as `whole`; then a cut after
    // each of its events in turn. Every run makes the same durable steps, so
    // every round's run reaches its cut, and the disk keeps more and more of
    // the work, and all of it once the run's last event is through. The
    // first cut that finds a fault ends the test; the ones after it would
    // only repeat it.
    void CutAfterEveryEvent(const Scenario& scenario, int64_t whole) {
        const auto failures = [] {
            return ::testing::UnitTest::GetInstance()
                ->current_test_info()
                ->result()
                ->total_part_count();
        };
        const Round all = RunAndCut(scenario, -1, 0);
        ASSERT_TRUE(all.served);
        ASSERT_FALSE(all.events.empty());
        EXPECT_EQ(all.progress, whole);
        EXPECT_FALSE(all.retried) << all.transcript;

        const int total = static_cast<int>(all.events.size());
        RecordProperty("DurabilityEvents", total);
        const int before = failures();
        int64_t progress = 0;
        for (int cutAfter = 0; cutAfter <= total && failures() == before; ++cutAfter) {
            const Round round = RunAndCut(scenario, cutAfter, total);
            if (!round.served) break;
            EXPECT_TRUE(round.cut)
                << "the run made only " << round.events.size() << " durable steps\n"
                << round.transcript;
            EXPECT_FALSE(round.retried) << "a request was tried again\n" << round.transcript;
            EXPECT_GE(round.progress, progress)
                << "work kept came back after event " << cutAfter << "\n"
                << round.transcript;
            progress = round.progress;
        }
        if (failures() == before) {
            EXPECT_EQ(progress, whole);
        }
    }

    // The seed's List.xml: a neighbour entry, then the download of `file`
    // from `url`; returns the neighbour as stored.
    StoredEntry SeedList(const HoleyFile& file, const std::string& url) {
        TestEntry entry = file.Entry(url);
        entry.percent = PercentText(file.size - file.Missing(), file.size);
        WriteWholeFile(seed_ + "/List.xml", ListXml({SimpleEntry(3, 4), entry}));
        return ReadStoredList(seed_ + "/List.xml").entries.at(0);
    }

    // The driver records every `bytes` of a range and never by time; 0: as
    // the program does.
    static void RecordEvery(int64_t bytes) {
        if (bytes == 0) {
            unsetenv("QV_FAULT_RECORD_MS");
            unsetenv("QV_FAULT_RECORD_BYTES");
            return;
        }
        setenv("QV_FAULT_RECORD_BYTES", std::to_string(bytes).c_str(), 1);
        setenv("QV_FAULT_RECORD_MS", "3600000", 1);
    }

    TempDir work_;
    std::string seed_ = work_.file("seed"), mountPoint_ = work_.file("mnt");
};

// A download of a dozen ranges: the list that a later start finds parses,
// counts only ranges whose bytes are on the disk, and is rid of the entry
// only when the whole file is there.
TEST_F(PowerCutTest, AfterEveryDurabilityEventTheListClaimsOnlyWhatTheDiskHolds) {
    TempDir served;
    // Ranges of different lengths, spread over the file.
    std::vector<std::pair<int64_t, int64_t>> ranges;
    for (int64_t i = 0; i < 12; ++i)
        ranges.push_back({i * 8192 + 97 * i, i * 8192 + 97 * i + 1200 + 300 * i});
    HoleyFile file =
        MakeHoleyFile(served.file("f.bin"), seed_ + "/f.bin", 12 * 8192 + 333, ranges, 7);
    const std::string original = ReadWholeFile(file.original);
    // The list names the file where the program finds it: on the mount.
    file.incomplete = mountPoint_ + "/f.bin";
    NginxServer nginx(served.path());
    const StoredEntry neighbour = SeedList(file, nginx.url("/f.bin"));

    CutAfterEveryEvent({RunArgs(mountPoint_ + "/List.xml", 1),
                        {},
                        "LOG 2 File " + file.incomplete + " downloaded successfully.",
                        [&](const std::string& durable) {
                            return CheckLeftBehind(durable + "/List.xml", durable + "/f.bin", file,
                                                   original, neighbour);
                        }},
                       file.size);
}

// A range recorded as it becomes durable, every 16 KiB here: the cuts fall
// between a flush of its data and the save that records it, and the list
// never claims a byte of it that the disk lacks. The server sends the bytes
// of the next record only once the list shows the one before, so every run
// makes the same records.
TEST_F(PowerCutTest, AfterEveryDurabilityEventARecordedPrefixIsOnTheDisk) {
    TempDir served;
    const HoleyFile file =
        MakeHoleyFile(served.file("f.bin"), seed_ + "/f.bin", 80000, {{5000, 74999}}, 9);
    const std::string original = ReadWholeFile(file.original);
    HoleyFile onMount = file;
    onMount.incomplete = mountPoint_ + "/f.bin";
    constexpr int64_t kRecordBytes = 16384;
    const std::string answer = RangeAnswer(original, 5000, 74999);
    const int64_t headSize = static_cast<int64_t>(answer.find("\r\n\r\n") + 4);
    // The bytes of the range that the list, as the program sees it, records.
    const auto recorded = [&] {
        const int64_t begin = RecordedBegin(mountPoint_ + "/List.xml");
        return begin < 0 ? begin : begin - 5000;
    };
    ScriptedServer server; // after what its replies use, so it ends first
    const StoredEntry neighbour = SeedList(onMount, server.url("/f.bin"));
    RecordEvery(kRecordBytes);
    CutAfterEveryEvent({RunArgs(mountPoint_ + "/List.xml", 1),
                        [&] {
                            server.addConnection(
                                {ScriptedServer::Reply::Keep(ProbeAnswer(80000)),
                                 ScriptedServer::Reply::Keep(SampleAnswer(original, file.ranges)),
                                 ScriptedServer::Reply::WhenReady(answer, 4096, [&](size_t sent) {
                                     const int64_t body = static_cast<int64_t>(sent) - headSize;
                                     return recorded() >= body / kRecordBytes * kRecordBytes;
                                 })});
                        },
                        "LOG 2 File " + onMount.incomplete + " downloaded successfully.",
                        [&](const std::string& durable) {
                            return CheckLeftBehind(durable + "/List.xml", durable + "/f.bin",
                                                   onMount, original, neighbour);
                        }},
                       file.size);
    RecordEvery(0);
}

// Two ranges in flight on two connections. The server lets them take turns
// (each sends the bytes of its next record only once the other's last one
// is in the list), so every run makes the same durable steps; after every
// cut the list claims nothing the disk lacks, its ranges never overlap, and
// its counters agree.
TEST_F(PowerCutTest, AfterEveryDurabilityEventTwoRangesInFlightAreRecordedTruthfully) {
    TempDir served;
    constexpr int64_t kRecordBytes = 16384;
    // 5 records' bytes each (End - Begin + 1): four recorded as they come,
    // the last one taken with the range, each from a piece of its own.
    constexpr int64_t kHole = 5 * kRecordBytes - 1;
    const std::pair<int64_t, int64_t> first{5000, 5000 + kHole};
    const std::pair<int64_t, int64_t> second{200000, 200000 + kHole};
    const HoleyFile file =
        MakeHoleyFile(served.file("f.bin"), seed_ + "/f.bin", 300000, {first, second}, 12);
    const std::string original = ReadWholeFile(file.original);
    HoleyFile onMount = file;
    onMount.incomplete = mountPoint_ + "/f.bin";
    const std::string list = mountPoint_ + "/List.xml";
    const auto recorded = [&](const std::pair<int64_t, int64_t>& hole) {
        return RecordedInHole(list, hole.first, hole.second);
    };
    // Pieces of one record's size: the k-th piece after the first completes
    // the range's k-th record. The first range's first record comes after
    // most of a second, so that the run sees bytes arrive over the time it
    // measures before it opens the second connection.
    const auto turns = [&](const std::pair<int64_t, int64_t>& own,
                           const std::pair<int64_t, int64_t>& other, int64_t otherAhead) {
        auto firstAsked = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();
        return ScriptedServer::Reply::WhenReady(
            RangeAnswer(original, own.first, own.second), kRecordBytes,
            [&, own, other, otherAhead, firstAsked](size_t sent) {
                const auto now = std::chrono::steady_clock::now();
                if (!*firstAsked) *firstAsked = now;
                const int64_t k = static_cast<int64_t>(sent) / kRecordBytes;
                if (otherAhead == 0 && k == 1 &&
                    now - **firstAsked < std::chrono::milliseconds(700))
                    return false;
                return recorded(own) >= (k - 1) * kRecordBytes &&
                       recorded(other) >= std::min((k - 1 + otherAhead) * kRecordBytes, kHole);
            });
    };
    ScriptedServer server; // after what its replies use, so it ends first
    const StoredEntry neighbour = SeedList(onMount, server.url("/f.bin"));
    RecordEvery(kRecordBytes);
    setenv("QV_FAULT_CONNECTIONS", "2", 1);
    setenv("QV_FAULT_EAGER", "1", 1);
    CutAfterEveryEvent(
        {RunArgs(list, 1),
         [&] {
             // A round cut before the second connection leaves its script.
             server.clearConnections();
             server.addConnection({ScriptedServer::Reply::Keep(ProbeAnswer(file.size)),
                                   ScriptedServer::Reply::Keep(SampleAnswer(original, file.ranges)),
                                   turns(first, second, 0)});
             server.addConnection({turns(second, first, 1)});
         },
         "LOG 2 File " + onMount.incomplete + " downloaded successfully.",
         [&](const std::string& durable) -> int64_t {
             const StoredList kept = ReadStoredList(durable + "/List.xml");
             if (!kept.parsed || kept.entries.empty() || kept.entries.size() > 2) {
                 ADD_FAILURE() << "List.xml holds " << kept.entries.size() << " entries "
                               << kept.error;
                 return 0;
             }
             EXPECT_EQ(kept.entries[0].attributes, neighbour.attributes);
             const std::string now = ReadWholeFile(durable + "/f.bin");
             if (kept.entries.size() == 1) {
                 EXPECT_TRUE(now == original) << "the entry left before the file was whole";
                 return file.size;
             }
             const StoredEntry& left = kept.entries[1];
             EXPECT_EQ(CounterViolations(left), "");
             std::vector<std::pair<int64_t, int64_t>> queue;
             for (std::size_t i = 0; i < left.begins.size() && i < left.ends.size(); ++i)
                 queue.emplace_back(std::stoll(left.begins[i]), std::stoll(left.ends[i]));
             const int64_t downloaded = std::stoll(left.Text("Downloaded"));
             EXPECT_EQ(QueueViolations(onMount, original, now, queue, downloaded), "");
             return downloaded;
         }},
        file.size);
    unsetenv("QV_FAULT_EAGER");
    unsetenv("QV_FAULT_CONNECTIONS");
    RecordEvery(0);
}

// An import with "Rename file by URL" of a file longer than the complete
// file, in a folder of its own beside the list's: the list that a later
// start finds holds the new entry only when the file it names is there, cut
// to exactly FileSize bytes; without the entry the file is under one of its
// two names, its bytes up to FileSize unchanged.
TEST_F(PowerCutTest, AfterEveryDurabilityEventAnImportedEntryNamesItsCutFile) {
    TempDir served;
    ::mkdir((seed_ + "/dl").c_str(), 0700);
    const HoleyFile file = MakeHoleyFile(served.file("f.bin"), seed_ + "/dl/part.bin", 8192 + 333,
                                         {{100, 900}, {4000, 5000}}, 3);
    const std::string held = ReadWholeFile(file.incomplete);
    WriteWholeFile(file.incomplete, held + std::string(777, 'x'));
    WriteWholeFile(seed_ + "/dl/part.sdl", file.SegmentFileText("D:\\dl\\part.bin"));
    WriteWholeFile(seed_ + "/List.xml", ListXml({SimpleEntry(3, 4)}));
    const StoredEntry neighbour = ReadStoredList(seed_ + "/List.xml").entries.at(0);

    const auto check = [&](const std::string& durable) -> int64_t {
        const StoredList list = ReadStoredList(durable + "/List.xml");
        if (!list.parsed || list.entries.empty() || list.entries.size() > 2) {
            ADD_FAILURE() << "List.xml holds " << list.entries.size() << " entries " << list.error;
            return 0;
        }
        EXPECT_EQ(list.entries[0].attributes, neighbour.attributes);
        const bool atOld = FileExists(durable + "/dl/part.bin");
        const bool atNew = FileExists(durable + "/dl/f.bin");
        EXPECT_NE(atOld, atNew) << "the file is under exactly one of its names";
        const std::string kept = ReadWholeFile(durable + (atNew ? "/dl/f.bin" : "/dl/part.bin"));
        EXPECT_EQ(kept.substr(0, held.size()), held);
        if (list.entries.size() == 1) return 0;
        const StoredEntry& entry = list.entries[1];
        EXPECT_EQ(CounterViolations(entry), "");
        EXPECT_EQ(entry.Text("FileName"), mountPoint_ + "/dl/f.bin");
        EXPECT_TRUE(atNew) << "the entry names a file that is not there";
        EXPECT_EQ(kept.size(), held.size()) << "the entry's file is not cut to FileSize";
        return 1;
    };
    CutAfterEveryEvent({ImportArgs(mountPoint_ + "/List.xml", mountPoint_ + "/dl/part.sdl",
                                   "http://127.0.0.1:1/f.bin"),
                        {},
                        "IMPORTED",
                        check},
                       1);
}

} // namespace
