#include "TempDir.h"

#include "app/core/FinishedName.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

TEST(FinishedName, APartialFileEndingGoesWhenTheNameIsFree) {
    EXPECT_EQ(NameWithoutPartialEnding("/d/movie.avi.part"), "/d/movie.avi");
    EXPECT_EQ(NameWithoutPartialEnding("/d/movie.avi.crdownload"), "/d/movie.avi");
    EXPECT_EQ(NameWithoutPartialEnding("/d/movie.avi.download"), "/d/movie.avi");
    EXPECT_EQ(NameWithoutPartialEnding("/d/movie.avi.PARTIAL"), "/d/movie.avi");
    EXPECT_EQ(NameWithoutPartialEnding("/d/movie.avi"), std::nullopt);
    EXPECT_EQ(NameWithoutPartialEnding("/d/.part"), std::nullopt) << "nothing before the ending";
    EXPECT_EQ(NameWithoutPartialEnding("/d.part/movie"), std::nullopt) << "a folder's ending";
    EXPECT_EQ(NameWithoutPartialEnding("/d/moviepart"), std::nullopt);

    TempDir dir;
    const std::string part = dir.file("movie.avi.part"), whole = dir.file("movie.avi");
    WriteWholeFile(part, "new");
    WriteWholeFile(whole, "theirs");
    EXPECT_EQ(RenameFinished(part)->message,
              "File " + part + " keeps its name: a file named " + whole + " already exists.");
    EXPECT_EQ(RenameFinished(part)->path, part);
    EXPECT_EQ(ReadWholeFile(whole), "theirs");
    ::unlink(whole.c_str());
    const std::optional<FinishedRename> renamed = RenameFinished(part);
    EXPECT_EQ(renamed->message, "File " + part + " renamed to " + whole + ".");
    EXPECT_EQ(renamed->path, whole);
    EXPECT_EQ(ReadWholeFile(whole), "new");
    EXPECT_FALSE(RenameFinished(whole));
}

} // namespace
