#include "common/IncompleteFile.h"
#include "import/core/ImportLogic.h"

#include "common/AppError.h"
#include "support/TempDir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string MessageOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const AppError& e) {
        return e.what();
    }
    return "(no error)";
}

} // namespace

TEST(ImportRenameByUrl, TargetIsTheUrlsLastPartInTheSameFolder) {
    EXPECT_EQ(RenameByUrlTarget("/dl/part.avi", "http://host/a/b/movie.avi"), "/dl/movie.avi");
    EXPECT_EQ(RenameByUrlTarget("C:\\dl\\part.avi", "http://h/x?y=1#z"), "C:\\dl\\x?y=1#z");
    EXPECT_EQ(FileNameFromURL("http://h/a%20b"), "a%20b");
    EXPECT_EQ(FileNameFromURL("http://h/"), "");
    EXPECT_EQ(FileNameFromURL("http"), "");
}

TEST(ImportRenameByUrl, UnusableNamesAreRefusedWithTheReason) {
    const std::string prefix = "The file cannot be renamed by URL: ";
    const std::pair<std::string, std::string> cases[] = {
        {"http://host/dir/", "the URL ends with \"/\" and names no file"},
        {"http:file.avi", "the URL holds no \"/\" before a file name"},
        {"http://host/..", "\"..\" is not a file name"},
        {"http://host/.", "\".\" is not a file name"},
        {"http://host/a\\b.avi",
         "the name \"a\\b.avi\" holds a character that file names cannot hold here (\\ or :)"},
        {"http://host/a:b", "the name \"a:b\" holds a character that file names cannot hold "
                            "here (\\ or :)"},
        {"http://host/" + std::string(256, 'n'),
         "the name that the URL ends with is longer than 255 bytes"},
    };
    for (const auto& [url, reason] : cases)
        EXPECT_EQ(MessageOf([&] { RenameByUrlTarget("/dl/part.avi", url); }), prefix + reason)
            << url;
    EXPECT_EQ(RenameByUrlTarget("/dl/p", "http://h/" + std::string(255, 'n')),
              "/dl/" + std::string(255, 'n'));
}

TEST(ImportRenameByUrl, MoveNeverReplacesAFile) {
    TempDir dir;
    WriteWholeFile(dir.file("part.avi"), "part");
    WriteWholeFile(dir.file("movie.avi"), "other");
    EXPECT_EQ(MessageOf([&] { MoveWithoutReplacing(dir.file("part.avi"), dir.file("movie.avi")); }),
              "The file cannot be renamed by URL: a file named \"movie.avi\" already exists in its "
              "folder");
    EXPECT_EQ(ReadWholeFile(dir.file("part.avi")), "part");
    EXPECT_EQ(ReadWholeFile(dir.file("movie.avi")), "other");

    MoveWithoutReplacing(dir.file("part.avi"), dir.file("new.avi"));
    EXPECT_FALSE(FileExists(dir.file("part.avi")));
    EXPECT_EQ(ReadWholeFile(dir.file("new.avi")), "part");
}

TEST(ImportIncompleteFile, RefusalsSayWhy) {
    TempDir dir;
    const std::string path = dir.file("part");
    EXPECT_EQ(MessageOf([&] { IncompleteFile file(path); }),
              "The incomplete file \"" + path +
                  "\" cannot be opened for writing: No such file or directory");
    EXPECT_FALSE(FileExists(path)) << "an import never creates the file";

    WriteWholeFile(path, "abc");
    int holder = ::open(path.c_str(), O_RDONLY);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(MessageOf([&] { IncompleteFile file(path); }),
              "The incomplete file \"" + path +
                  "\" cannot be opened for writing: it is in use by another program");
    ::close(holder);

    EXPECT_EQ(MessageOf([] { CompleteFileSize("-5"); }),
              "The size of the complete file, \"-5\", is negative: the incomplete file cannot be "
              "cut to it");
    EXPECT_EQ(CompleteFileSize(" 0x10"), 16);

    ::mkfifo(dir.file("pipe").c_str(), 0600);
    EXPECT_FALSE(IncompleteFileExists(dir.file("pipe")));
    EXPECT_FALSE(IncompleteFileExists(dir.path()));
    EXPECT_TRUE(IncompleteFileExists(path));
}
