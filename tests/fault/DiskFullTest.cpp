// A disk that fills up during a run, stood in for by a file-size limit on the
// driver's process: writes at or beyond the limit fail with EFBIG. Whatever
// write fails, nothing is counted that was not written, List.xml stays whole,
// the error is shown, and a later run with room finishes the file.

#include "FaultFixtures.h"
#include "HoleyFile.h"
#include "ListFixtures.h"
#include "NginxServer.h"

#include <gtest/gtest.h>

#include <dirent.h>

namespace {

// Files in a folder whose names start with prefix.
std::vector<std::string> FilesStartingWith(const std::string& folder, const std::string& prefix) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (std::string(entry->d_name).rfind(prefix, 0) == 0) names.push_back(entry->d_name);
        closedir(dir);
    }
    return names;
}

// The row the driver printed for a download: its seven texts.
std::vector<std::string> PrintedRow(const DriverProcess& driver, int row) {
    const std::vector<std::string> lines =
        driver.LinesStartingWith("ROW " + std::to_string(row) + " ");
    std::vector<std::string> texts;
    if (lines.empty()) return texts;
    std::string rest = lines.back().substr(4 + std::to_string(row).size() + 1);
    for (size_t tab; (tab = rest.find('\t')) != std::string::npos; rest.erase(0, tab + 1))
        texts.push_back(Unescaped(rest.substr(0, tab)));
    texts.push_back(Unescaped(rest));
    return texts;
}

std::vector<std::string> RowOf(const StoredEntry& entry) {
    std::vector<std::string> texts;
    for (const char* name :
         {"FileName", "FileSize", "Downloaded", "Percent", "Remains", "Segments", "URL"})
        texts.push_back(entry.Text(name));
    return texts;
}

// The last run, with room on the disk: the file comes out whole.
void ExpectALaterRunFinishes(const std::string& listPath, int row, const HoleyFile& file,
                             const TempDir& dir) {
    DriverProcess driver(RunArgs(listPath, row), dir.file("driver.stderr"));
    const DriverProcess::Exit exit = driver.Wait(kWatchdog);
    ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
    EXPECT_TRUE(driver.LinesStartingWith("ERROR").empty()) << driver.Transcript();
    EXPECT_TRUE(ReadWholeFile(file.incomplete) == ReadWholeFile(file.original))
        << driver.Transcript();
}

TEST(DiskFullTest, ARangeThatCannotBeWrittenIsNotCountedAndTheWindowReturnsToIdle) {
    TempDir served;
    TempDir dir;
    constexpr rlim_t kLimit = 100000;
    // Two ranges below the limit, one across it, one beyond it.
    const HoleyFile file =
        MakeHoleyFile(served.file("f.bin"), dir.file("f.bin"), 300000,
                      {{10000, 14000}, {20000, 24000}, {98000, 102000}, {250000, 254000}}, 5);
    const std::string original = ReadWholeFile(file.original);
    NginxServer nginx(served.path());
    const std::string listPath = dir.file("List.xml");
    WriteWholeFile(listPath, ListXml({file.Entry(nginx.url("/f.bin"))}));

    std::vector<std::string> args = RunArgs(listPath, 0);
    args.push_back("--save-after-run");
    DriverProcess driver(args, dir.file("driver.stderr"), {.fileSize = kLimit});
    const DriverProcess::Exit exit = driver.Wait(kWatchdog);
    ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();

    EXPECT_EQ(driver.LinesStartingWith("ERROR"),
              std::vector<std::string>{"ERROR The incomplete file \"" + file.incomplete +
                                       "\" cannot be written: File too large"})
        << driver.Transcript();
    EXPECT_EQ(driver.LinesStartingWith("LOG 0").size(), 2u) << driver.Transcript();
    EXPECT_FALSE(driver.LinesStartingWith("STATE Idle").empty()) << driver.Transcript();

    const StoredList list = ReadStoredList(listPath);
    ASSERT_TRUE(list.parsed) << list.error;
    ASSERT_EQ(list.entries.size(), 1u);
    const StoredEntry& entry = list.entries[0];
    EXPECT_EQ(CounterViolations(entry), "");
    EXPECT_EQ(entry.begins, (std::vector<std::string>{"98000", "250000"}));
    EXPECT_EQ(entry.Text("Downloaded"), std::to_string(file.size - 4000 * 2));
    // The window shows what the list says (the list was saved from it after the run).
    EXPECT_EQ(PrintedRow(driver, 0), RowOf(entry));
    const std::string written = ReadWholeFile(file.incomplete);
    EXPECT_TRUE(written.compare(10000, 4001, original, 10000, 4001) == 0);
    EXPECT_TRUE(written.compare(20000, 4001, original, 20000, 4001) == 0);
    EXPECT_EQ(written.size(), original.size());

    ExpectALaterRunFinishes(listPath, 0, file, dir);
}

TEST(DiskFullTest, AListThatCannotBeSavedStaysWholeAndTheWindowKeepsItsState) {
    TempDir served;
    TempDir dir;
    // The ranges lie below the limit; List.xml, with a long queue beside
    // them, is larger than it, so the first save after a range fails.
    constexpr rlim_t kLimit = 8192;
    const HoleyFile file =
        MakeHoleyFile(served.file("f.bin"), dir.file("f.bin"), 5000, {{100, 200}, {300, 400}}, 6);
    NginxServer nginx(served.path());
    const std::string listPath = dir.file("List.xml");
    WriteWholeFile(listPath, ListXml({file.Entry(nginx.url("/f.bin")), SimpleEntry(2, 600)}));
    const std::string before = ReadWholeFile(listPath);
    ASSERT_GT(before.size(), kLimit);
    const StoredList listBefore = ReadStoredList(listPath);

    {
        DriverProcess driver(RunArgs(listPath, 0), dir.file("driver.stderr"), {.fileSize = kLimit});
        const DriverProcess::Exit exit = driver.Wait(kWatchdog);
        ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
        EXPECT_EQ(driver.LinesStartingWith("ERROR"),
                  std::vector<std::string>{"ERROR Cannot write " + listPath + ": File too large"})
            << driver.Transcript();
        EXPECT_FALSE(driver.LinesStartingWith("LOG 0 Segment #1").empty()) << driver.Transcript();
        // The old list is untouched and no piece of the new one is left about.
        EXPECT_EQ(ReadWholeFile(listPath), before);
        EXPECT_EQ(FilesStartingWith(dir.path(), "List.xml"), std::vector<std::string>{"List.xml"});
    }

    // Once more, and this time the window saves what it kept after the run,
    // with the limit lifted.
    std::vector<std::string> args = RunArgs(listPath, 0);
    args.push_back("--save-after-run");
    DriverProcess driver(args, dir.file("driver.stderr"), {.fileSize = kLimit});
    const DriverProcess::Exit exit = driver.Wait(kWatchdog);
    ASSERT_TRUE(exit.exited && exit.code == 0) << driver.Transcript();
    ASSERT_FALSE(driver.LinesStartingWith("SAVED").empty()) << driver.Transcript();

    // What the window kept, saved once the disk had room again: the range
    // whose counters could not be stored is still queued, the entry agrees
    // with itself and with its row.
    const StoredList list = ReadStoredList(listPath);
    ASSERT_TRUE(list.parsed) << list.error;
    ASSERT_EQ(list.entries.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(list.entries[i].attributes, listBefore.entries[i].attributes) << "N" << i + 1;
        EXPECT_EQ(list.entries[i].begins, listBefore.entries[i].begins) << "N" << i + 1;
        EXPECT_EQ(list.entries[i].ends, listBefore.entries[i].ends) << "N" << i + 1;
    }
    EXPECT_EQ(PrintedRow(driver, 0), RowOf(list.entries[0]));

    ExpectALaterRunFinishes(listPath, 0, file, dir);
}

} // namespace
