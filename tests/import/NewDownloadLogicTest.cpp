#include "FailingFileCalls.h"
#include "TempDir.h"

#include "common/AppError.h"
#include "import/core/NewDownload.h"
#include "list/ListDocument.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

TEST(NewDownloadLogic, TheProposedFileIsTheUrlsLastPathSegmentInTheDownloadFolder) {
    struct Row {
        const char* url;
        const char* name;
    };
    for (const Row& row : std::initializer_list<Row>{
             {"http://host/a/b/movie.avi", "movie.avi"},
             {"https://host/get/file.iso?token=abc#part", "file.iso"},
             {"http://host/My%20File%2Bv2.zip", "My File+v2.zip"},
             {"http://host/100%25.txt", "100%.txt"},
             {"http://host/bad%zz.bin", "bad%zz.bin"},
             {"http://host/", "download"},
             {"http://host", "download"},
             {"http://host.example?q=1", "download"},
             {"http://host/a/..", "download"},
             {"http://host/a%2Fb", "download"},
             {"http://host/nul%00.bin", "download"},
         })
        EXPECT_EQ(ProposedFileName(row.url), row.name) << row.url;

    EXPECT_EQ(DownloadFolder("/data/dl", "/home/ann/Downloads"), "/data/dl");
    EXPECT_EQ(DownloadFolder("", "/home/ann/Downloads"), "/home/ann/Downloads");
    EXPECT_EQ(DownloadFolder(nullptr, "/home/ann/Téléchargements"), "/home/ann/Téléchargements");
}

TEST(NewDownloadLogic, AFullDiskOrAnUnsavableListLeavesTheUsersFileAsItWasAndNoEntry) {
    TempDir dir;
    ListDocument list(dir.file("List.xml"));
    list.OpenList();
    ImportInputs inputs;
    inputs.Url = "http://host/movie.bin";

    const std::string created = dir.file("movie.bin");
    const std::string held = dir.file("movie.bin.part");
    WriteWholeFile(held, "held bytes");
    {
        FailingFileCalls full(FailingFileCalls::Allocate, ENOSPC);
        EXPECT_THROW(CommitNewDownload(created, std::nullopt, list,
                                       NewDownloadEntry(created, "1000", 0, inputs)),
                     AppError);
        EXPECT_THROW(CommitNewDownload(held, 10, list, NewDownloadEntry(held, "1000", 10, inputs)),
                     AppError);
    }
    EXPECT_FALSE(FileExists(created));
    EXPECT_EQ(ReadWholeFile(held), "held bytes");
    EXPECT_EQ(list.EntryCount(), 0);

    // A list that cannot be saved (its folder gone) takes the entry out
    // again and leaves the files as they were.
    {
        TempDir lists;
        const std::string folder = lists.file("lists");
        std::filesystem::create_directory(folder);
        ListDocument unsaved(folder + "/List.xml");
        unsaved.OpenList();
        std::filesystem::rename(folder, lists.file("gone"));
        EXPECT_ANY_THROW(CommitNewDownload(created, std::nullopt, unsaved,
                                           NewDownloadEntry(created, "1000", 0, inputs)));
        EXPECT_ANY_THROW(
            CommitNewDownload(held, 10, unsaved, NewDownloadEntry(held, "1000", 10, inputs)));
        EXPECT_EQ(unsaved.EntryCount(), 0);
        EXPECT_FALSE(FileExists(created));
        EXPECT_EQ(ReadWholeFile(held), "held bytes");
    }

    // With room, the file has its full length and the entry one range from
    // the first byte not held.
    CommitNewDownload(held, 10, list, NewDownloadEntry(held, "1000", 10, inputs));
    EXPECT_EQ(ReadWholeFile(held).size(), 1000u);
    ASSERT_EQ(list.EntryCount(), 1);
    const ListEntry entry = list.FindEntry(0);
    EXPECT_EQ(entry.AttributeText("Downloaded"), "10");
    EXPECT_EQ(entry.AttributeText("Remains"), "990");
    EXPECT_EQ(entry.Queue(), (std::vector<std::pair<std::string, std::string>>{{"10", "1000"}}));
}

} // namespace
